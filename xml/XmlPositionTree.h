// XmlPositionTree.h
//
// The element index of CXmlDocument: position records kept in blocks of
// 65536 so that growing the table never moves a full block; only the pointer
// array and the last, partial block are reallocated. A position index has
// the block in its high 16 bits and the record in its low 16 bits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Flag bits of XmlPosition::dwFlags.
enum : std::uint32_t {
    XMLPOS_FREED = 0x20000,        // on the freed list
    XMLPOS_FIRST_CHILD = 0x80000,  // first child of its parent
    XMLPOS_START_ONLY = 0x100000,  // start tag without end tag
    XMLPOS_INNER_ERROR = 0x200000, // a parse error occurred inside
    XMLPOS_ILL_FORMED = 0x800000,  // document record: not well formed
};

// One element. The tag lengths and the level have fields of their own, so
// no tag, however long, and no nesting depth can overflow into a neighbour.
struct XmlPosition {
    std::uint32_t dwStart;        // offset of the element's "<"
    std::uint32_t dwLength;       // through the ">" of the end tag
    std::uint32_t dwStartTagLen;  // length of the start tag
    std::uint32_t dwEndTagLen;    // length of the end tag, 0 when none
    std::uint32_t dwLevel;        // 0 at the document level
    std::uint32_t dwFlags;        // XMLPOS_*
    std::uint32_t dwParent;       // 0 = document level
    std::uint32_t dwFirstChild;   // 0 = none
    std::uint32_t dwNextSibling;  // 0 = last
    std::uint32_t dwPrevSibling;  // the first child's holds the last sibling
};

class XmlPositionTree {
public:
    static const std::uint32_t BLOCK_SIZE = 65536;

    // Number of positions allocated.
    std::uint32_t Count() const { return m_dwCount; }
    // Grows to at least dwCount positions (never shrinks); new records are zero.
    void Grow(std::uint32_t dwCount);
    // Frees every block.
    void Clear();
    XmlPosition &At(std::uint32_t dwIndex) { return m_blocks[dwIndex >> 16][dwIndex & 0xFFFF]; }
    const XmlPosition &At(std::uint32_t dwIndex) const
    {
        return m_blocks[dwIndex >> 16][dwIndex & 0xFFFF];
    }

private:
    // One growth step: adds at most one block.
    void GrowStep(std::uint32_t dwCount);

    std::vector<std::unique_ptr<XmlPosition[]>> m_blocks;
    std::uint32_t m_dwCount = 0;
};
