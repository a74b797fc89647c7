// XmlTreeCheck.cpp
#include "XmlTreeCheck.h"

#include <cstdint>
#include <vector>

namespace {

std::string Fail(const char *pszWhat, std::uint32_t dwPos)
{
    return std::string(pszWhat) + " at position " + std::to_string(dwPos);
}

std::string Narrow(const XmlString &str)
{
    std::string out;
    for (XmlChar c : str)
        out += XmlCode(c) < 0x80 ? static_cast<char>(XmlCode(c)) : '?';
    return out;
}

} // namespace

std::string CheckXmlTree(const CXmlDocument &doc)
{
    const XmlString &text = doc.GetText();
    const std::uint64_t cchText = text.size();
    const std::uint32_t dwCount = doc.PositionCount();
    if (dwCount < 1)
        return "no document record";
    const XmlPosition &docRec = doc.PositionAt(0);
    if (cchText > 0 && docRec.dwLength != cchText)
        return "document record length is not the text length";
    for (std::uint32_t dwNav : {doc.ParentPosition(), doc.CurrentPosition(), doc.ChildPosition()})
        if (dwNav >= dwCount)
            return Fail("navigation position out of range", dwNav);

    std::vector<char> seen(dwCount, 0);
    // Each parent's chain, walked with an explicit list of parents to visit.
    std::vector<std::uint32_t> parents{0};
    std::uint32_t dwReached = 0;
    while (!parents.empty()) {
        const std::uint32_t dwParent = parents.back();
        parents.pop_back();
        const XmlPosition &par = doc.PositionAt(dwParent);
        std::uint64_t lo = 0, hi = cchText; // where the children may lie
        if (dwParent) {
            lo = std::uint64_t(par.dwStart) + par.dwStartTagLen;
            hi = std::uint64_t(par.dwStart) + par.dwLength - par.dwEndTagLen;
        }
        const std::uint32_t dwFirst = par.dwFirstChild;
        std::uint32_t dwPrev = 0, dwLast = 0;
        for (std::uint32_t c = dwFirst; c; c = doc.PositionAt(c).dwNextSibling) {
            if (c >= dwCount)
                return Fail("link out of range", c);
            if (seen[c])
                return Fail("element reached twice", c);
            seen[c] = 1;
            ++dwReached;
            const XmlPosition &rec = doc.PositionAt(c);
            if (rec.dwParent != dwParent)
                return Fail("wrong parent", c);
            if (((rec.dwFlags & XMLPOS_FIRST_CHILD) != 0) != (c == dwFirst))
                return Fail("first-child flag", c);
            if (c != dwFirst && rec.dwPrevSibling != dwPrev)
                return Fail("backward link", c);
            if (rec.dwLevel != (dwParent ? par.dwLevel + 1 : 0))
                return Fail("level", c);
            const std::uint64_t start = rec.dwStart, end = start + rec.dwLength;
            if (start < lo || end > hi)
                return Fail("element outside its parent", c);
            if (rec.dwStartTagLen < 3 || rec.dwStartTagLen + std::uint64_t(rec.dwEndTagLen) >
                                             rec.dwLength)
                return Fail("tag lengths", c);
            if (text[start] != '<' || text[start + rec.dwStartTagLen - 1] != '>')
                return Fail("start tag not within < and >", c);
            if (rec.dwEndTagLen) {
                const std::uint64_t endTag = end - rec.dwEndTagLen;
                if (rec.dwEndTagLen < 3 || text[endTag] != '<' || text[endTag + 1] != '/' ||
                    text[end - 1] != '>')
                    return Fail("end tag not within </ and >", c);
                if (rec.dwFlags & XMLPOS_START_ONLY)
                    return Fail("start-only element with an end tag", c);
            } else if (rec.dwLength != rec.dwStartTagLen) {
                return Fail("element without end tag longer than its start tag", c);
            }
            if (rec.dwFlags & XMLPOS_FREED)
                return Fail("freed record linked", c);
            lo = end; // siblings follow each other
            dwPrev = dwLast = c;
            if (rec.dwFirstChild)
                parents.push_back(c);
        }
        if (dwFirst && doc.PositionAt(dwFirst).dwPrevSibling != dwLast)
            return Fail("first child's backward link is not the last sibling", dwFirst);
    }
    if (dwReached != dwCount - 1)
        return "elements not reachable from the document record";
    return std::string();
}

std::string CompareWithReparse(const CXmlDocument &doc)
{
    CXmlDocument fresh;
    fresh.SetFlags(doc.GetFlags());
    fresh.TakeText(doc.GetText());
    if (fresh.PositionCount() != doc.PositionCount())
        return "element count differs from a fresh parse: " +
               std::to_string(doc.PositionCount()) + " vs " +
               std::to_string(fresh.PositionCount());
    // Inserted records are numbered in insertion order, parsed ones in text
    // order: compare the trees walked in text order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs{{0, 0}};
    while (!pairs.empty()) {
        auto [a, b] = pairs.back();
        pairs.pop_back();
        std::uint32_t ca = doc.PositionAt(a).dwFirstChild, cb = fresh.PositionAt(b).dwFirstChild;
        for (; ca && cb; ca = doc.PositionAt(ca).dwNextSibling,
                         cb = fresh.PositionAt(cb).dwNextSibling) {
            const XmlPosition &x = doc.PositionAt(ca), &y = fresh.PositionAt(cb);
            if (x.dwStart != y.dwStart || x.dwLength != y.dwLength ||
                x.dwStartTagLen != y.dwStartTagLen || x.dwEndTagLen != y.dwEndTagLen ||
                x.dwLevel != y.dwLevel ||
                (x.dwFlags & XMLPOS_START_ONLY) != (y.dwFlags & XMLPOS_START_ONLY))
                return Fail("record differs from a fresh parse", ca);
            pairs.push_back({ca, cb});
        }
        if (ca || cb)
            return Fail("children differ from a fresh parse", a);
    }
    return std::string();
}

std::string XmlShape(const CXmlDocument &doc)
{
    std::string out;
    // Recursion-free walk: a stack of the next sibling to visit per level.
    std::vector<std::uint32_t> next{doc.PositionAt(0).dwFirstChild};
    while (!next.empty()) {
        const std::uint32_t c = next.back();
        if (!c) {
            next.pop_back();
            if (!next.empty())
                out += '}';
            continue;
        }
        const XmlPosition &rec = doc.PositionAt(c);
        next.back() = rec.dwNextSibling;
        if (!out.empty() && out.back() != '{')
            out += ' ';
        out += Narrow(doc.TagNameAt(c));
        if (rec.dwFlags & XMLPOS_START_ONLY)
            out += '!';
        if (rec.dwFirstChild) {
            out += '{';
            next.push_back(rec.dwFirstChild);
        }
    }
    return out;
}
