// XmlDocument.h
//
// CXmlDocument: a single-document XML reader and writer that keeps the whole
// document as one text and indexes its elements in a table of position
// records (XmlPositionTree). Names, values and contents are read out of the
// text on demand; edits splice the text and shift the records' offsets. It is
// tolerant: a document that is not well formed is indexed as far as
// possible, and every problem becomes a record in the result string (itself
// XML text) instead of a failure.
//
// Built twice from the same sources (XmlChar.h): with 16-bit characters for
// the key manager and with 8-bit characters for the CSP. Navigation works on
// three positions: the parent (the level being looked at), the current
// element at that level, and the remembered child of the current element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "XmlAnsiConverter.h"
#include "XmlChar.h"
#include "XmlPositionTree.h"

// Document flags.
enum : std::uint32_t {
    XMLDOC_BOM_UTF16LE = 0x01,
    XMLDOC_BOM_UTF8 = 0x04,
    XMLDOC_IGNORE_CASE = 0x08, // names compared ignoring ASCII case
    XMLDOC_READING = 0x10,     // a file is being read
    XMLDOC_WRITING = 0x20,     // a file is being written
    XMLDOC_BOM_UTF16BE = 0x80,
    XMLDOC_TRIM = 0x100,       // values read lose leading and trailing whitespace
    XMLDOC_COLLAPSE = 0x200,   // ... and each inner whitespace run becomes one space
};

// Flags of InsertElementAfter, StoreAttr and EscapeText.
enum : std::uint32_t {
    XMLINS_CDATA = 0x01,       // the value as a CDATA section
    XMLINS_NO_BREAKS = 0x02,   // no line breaks
    XMLINS_SPACE_EMPTY = 0x04, // an empty element written " />"
    XMLESC_KEEP_REFS = 0x08,   // complete references are kept as typed
    XMLINS_START_ONLY = 0x10,  // a start tag only
    XMLINS_BEFORE = 0x2000,    // before the current element
    XMLINS_CHILD = 0x4000,     // as a child of the current element
};

// Node types reported by the tokenizer.
enum : int {
    XMLNODE_END_TAG = 0,
    XMLNODE_ELEMENT = 1,
    XMLNODE_TEXT = 2,
    XMLNODE_WHITESPACE = 4,
    XMLNODE_CDATA = 8,
    XMLNODE_PI = 16,
    XMLNODE_COMMENT = 32,
    XMLNODE_DOCTYPE = 64,
    XMLNODE_ERROR = -1,
    XMLNODE_END = -2,
};

class CXmlDocument {
public:
    // Takes the text (an empty one when null) and parses it as TakeText does.
    explicit CXmlDocument(const XmlChar *pszText = nullptr);
#ifdef KQ_XML_CHAR8
    // As above; decoded references go through pConverter (not owned; null:
    // only ASCII references are decoded).
    CXmlDocument(const XmlChar *pszText, const IXmlAnsiConverter *pConverter);
#endif
    CXmlDocument(const CXmlDocument &) = delete;
    CXmlDocument &operator=(const CXmlDocument &) = delete;

    // Replaces the text (null empties it and frees the index) and parses it;
    // true when well formed. Refused (false) during a file operation.
    bool TakeText(const XmlChar *pszText);
    // The same for a text that may hold zero characters.
    bool TakeText(const XmlString &strText);
    // Well formed: one root element, no ill-formed mark (always true while a
    // file is written).
    bool IsWellFormed() const;

    // Finds the next element matching a path ("/a/b", relative "b", null or
    // empty for the next element without a name test); it becomes current.
    bool SeekElement(const XmlChar *pszPath);
    // Enters the current element: its remembered child becomes current.
    bool DescendLevel();
    // Leaves the current level: the old parent becomes current.
    bool AscendLevel();
    // Attribute of the current element, entity-decoded; empty when absent.
    XmlString QueryAttr(const XmlChar *pszName) const;
    // Sets (replaces or adds) an attribute of the current element.
    bool StoreAttr(const XmlChar *pszName, const XmlChar *pszValue, std::uint32_t dwFlags = 0);
    bool StoreAttr(const XmlChar *pszName, int nValue, std::uint32_t dwFlags = 0);
    // Adds an element next to the current one, or as a child (XMLINS_*).
    bool InsertElementAfter(const XmlChar *pszName, const XmlChar *pszValue,
                            std::uint32_t dwFlags = 0);
    // Text content of the current element; empty when it has child elements.
    XmlString ReadContent() const;
    // Makes this document an exact copy of another (nothing during a file
    // operation of either, nothing when copying onto itself).
    void CopyFrom(const CXmlDocument &other);
    // The element's name; empty for position 0.
    XmlString TagNameAt(std::uint32_t dwPos) const;

    // Escapes for an attribute value (bAttribute) or element content.
    static XmlString EscapeText(const XmlString &strText, bool bAttribute, std::uint32_t dwFlags);
    // Decodes the character references of a value read from the document,
    // with the document's whitespace flags.
    XmlString DecodeText(const XmlChar *pText, std::size_t cchText) const;

    // The records of the last parse ("<lone_end_tag tagname=... />...").
    const XmlString &GetResult() const { return m_strResult; }
    const XmlString &GetText() const { return m_strText; }
    std::uint32_t GetFlags() const { return m_dwFlags; }
    void SetFlags(std::uint32_t dwFlags) { m_dwFlags = dwFlags; }

    // Read-only view of the index and the navigation positions.
    std::uint32_t PositionCount() const { return static_cast<std::uint32_t>(m_nNextFree); }
    const XmlPosition &PositionAt(std::uint32_t dwPos) const { return m_tree.At(dwPos); }
    std::uint32_t ParentPosition() const { return m_dwParent; }
    std::uint32_t CurrentPosition() const { return m_dwCurrent; }
    std::uint32_t ChildPosition() const { return m_dwChild; }

private:
    // A token of the document text.
    struct Token {
        int nType;
        std::uint32_t dwStart;
        std::uint32_t dwLength;
        std::uint32_t dwNameStart;
        std::uint32_t dwNameEnd;
        bool bEmpty;            // an empty-element tag
        const char *pszRecord;  // the syntax error's record, or null
        const char *pszType;    // its "type" attribute, or null
    };

    // Kinds of the arguments of AppendResultRecord.
    enum : std::uint32_t {
        REC_COUNT = 0x01,
        REC_TYPE = 0x02,
        REC_N = 0x04,
        REC_ENCODING = 0x08,
        REC_LENGTH = 0x10,
        REC_MSG = 0x40,
    };

    // Reads one node from dwFrom; a syntax error names its record in tok.
    int ScanMarkupToken(std::uint32_t dwFrom, Token &tok) const;
    // Syntax error: the token runs through the next ">" from dwAt.
    int SyntaxError(std::uint32_t dwAt, const char *pszRecord, Token &tok) const;
    // The text ends inside an unfinished tag of the kind pszType.
    int Unterminated(const char *pszType, Token &tok) const;
    // A node from tok.dwStart through pszClose, searched from dwSearch
    // (unterminated of the kind pszKind when the text lacks it).
    int ScanClosed(std::uint32_t dwSearch, const char *pszClose, int nType, const char *pszKind,
                   Token &tok) const;
    // The whole parse: index, navigation reset, root records.
    bool CheckSingleRoot();
    // Indexes the text below dwParent; returns the first element created.
    std::uint32_t BuildPositionTree(std::uint32_t dwParent);
    // An open element of the parse: its record, and its name as the end-tag
    // lookup keys it (folded when names ignore case).
    struct OpenElement {
        std::uint32_t dwPos;
        XmlString strKey;
    };
    // Closes the open elements from nDepth up as unended (found unended at
    // dwFoundAt); their children become their following siblings, all under
    // the element below nDepth (dwBase when nDepth is 0). One pass for the
    // whole run, so that a run of thousands stays linear.
    void CloseUnended(std::vector<OpenElement> &stack,
                      std::unordered_map<XmlString, std::vector<std::uint32_t>> &open,
                      std::size_t nDepth, std::uint32_t dwFoundAt, std::uint32_t dwBase);
    // Fixes every level from its parent's (parents come before children).
    void AssignLevels();
    // Adds a record to the result string (kinds REC_*; -1 numbers are left out).
    void AppendResultRecord(const char *pszName, const XmlString *pText, int n1, int n2,
                            std::uint32_t dwKind, bool bUpdate = false);

    std::uint32_t AllocPosition();
    // Links dwPos as the last (bFirst: first) child of dwParent.
    void LinkChild(std::uint32_t dwParent, std::uint32_t dwPos, bool bFirst);
    // Links dwPos after (bBefore: before) the sibling dwSibling.
    void LinkSibling(std::uint32_t dwSibling, std::uint32_t dwPos, bool bBefore);
    // Shifts every element from dwOffset on (except dwSkip) by nDelta and
    // grows the lengths of dwAncestor and its ancestors.
    void ShiftAfterEdit(std::uint32_t dwOffset, std::int64_t nDelta, std::uint32_t dwAncestor,
                        std::uint32_t dwSkip);

    // Names compared with the document's case rule.
    bool NamesEqual(const XmlChar *pA, const XmlChar *pB, std::size_t cch) const;
    // Span of the element name token after "<".
    void TagNameSpan(std::uint32_t dwPos, std::uint32_t &dwBegin, std::uint32_t &dwEnd) const;
    // An attribute found in a start tag, and where the tag's last token ends.
    struct AttrSpan {
        std::uint32_t dwNameBegin, dwNameEnd;
        std::uint32_t dwValueBegin, dwValueEnd; // with the quotes, if any
        bool bHasValue;                         // false: written as a bare name
        std::uint32_t dwLastTokenEnd;
    };
    // Finds an attribute of the current element. Values are skipped as
    // values: a value is never taken for a name.
    bool FindAttr(const XmlChar *pszName, AttrSpan &span) const;
    // Replaces cchOld characters at dwAt inside the current element's start
    // tag and shifts the records after it.
    void SpliceStartTag(std::uint32_t dwAt, std::uint32_t cchOld, const XmlString &strNew);
    // Appends one decoded code point (false when it cannot be written).
    bool AppendCodePoint(XmlString &strOut, std::uint32_t dwCodePoint) const;

    XmlString m_strText;
    XmlString m_strResult;
    std::uint32_t m_dwParent = 0;
    std::uint32_t m_dwCurrent = 0;
    std::uint32_t m_dwChild = 0;
    std::int32_t m_nNextFree = 0;
    std::uint32_t m_dwFlags = 0;
    XmlPositionTree m_tree;
    const IXmlAnsiConverter *m_pConverter = nullptr;
};
