// XmlDocument.cpp
//
// Construction, the result records, escaping and entity decoding, copying,
// and the record links shared by the parser and the editing operations.
#include "XmlDocument.h"

#include <cstdio>

#include "XmlCharClass.h"
#include "XmlEntityTable.h"

CXmlDocument::CXmlDocument(const XmlChar *pszText)
{
    TakeText(pszText);
}

#ifdef KQ_XML_CHAR8
CXmlDocument::CXmlDocument(const XmlChar *pszText, const IXmlAnsiConverter *pConverter)
    : m_pConverter(pConverter)
{
    TakeText(pszText);
}
#endif

bool CXmlDocument::TakeText(const XmlChar *pszText)
{
    if (m_dwFlags & (XMLDOC_READING | XMLDOC_WRITING))
        return false;
    if (pszText) {
        m_strText = pszText;
    } else {
        m_strText.clear();
        m_tree.Clear();
    }
    m_strResult.clear();
    return CheckSingleRoot();
}

bool CXmlDocument::TakeText(const XmlString &strText)
{
    if (m_dwFlags & (XMLDOC_READING | XMLDOC_WRITING))
        return false;
    m_strText = strText;
    m_strResult.clear();
    return CheckSingleRoot();
}

bool CXmlDocument::IsWellFormed() const
{
    if (m_dwFlags & XMLDOC_WRITING)
        return true;
    if (m_tree.Count() == 0)
        return false;
    const XmlPosition &doc = m_tree.At(0);
    if ((doc.dwFlags & XMLPOS_ILL_FORMED) || doc.dwFirstChild == 0)
        return false;
    return m_tree.At(doc.dwFirstChild).dwNextSibling == 0;
}

void CXmlDocument::AppendResultRecord(const char *pszName, const XmlString *pText, int n1,
                                      int n2, std::uint32_t dwKind, bool bUpdate)
{
    // The string stays at about 1000 characters, however many problems a
    // text has; the test comes first so that a flood of records stays cheap.
    if (m_strResult.size() > 999)
        return;
    CXmlDocument rec;
    rec.TakeText(m_strResult);
    XmlString strName = XmlFromAscii(pszName);
    if (!bUpdate || !rec.SeekElement(strName.c_str()))
        rec.InsertElementAfter(strName.c_str(), nullptr, XMLINS_NO_BREAKS);
    if (pText) {
        const char *pszAttr = (dwKind & REC_TYPE)       ? "type"
                              : (dwKind & REC_ENCODING) ? "encoding"
                              : (dwKind & REC_MSG)      ? "msg"
                                                        : "tagname";
        rec.StoreAttr(XmlFromAscii(pszAttr).c_str(), pText->c_str());
    }
    if (n1 != -1) {
        const char *pszAttr = (dwKind & REC_N)        ? "n"
                              : (dwKind & REC_COUNT)  ? "count"
                              : (dwKind & REC_LENGTH) ? "length"
                                                      : "offset";
        rec.StoreAttr(XmlFromAscii(pszAttr).c_str(), n1);
    }
    if (n2 != -1)
        rec.StoreAttr(XmlFromAscii("offset2").c_str(), n2);
    m_strResult = rec.m_strText;
}

XmlString CXmlDocument::EscapeText(const XmlString &strText, bool bAttribute,
                                   std::uint32_t dwFlags)
{
    const std::size_t n = strText.size();
    XmlString strOut;
    strOut.reserve(n + n / 10 + 7);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = XmlCode(strText[i]);
        if (c == '&' && (dwFlags & XMLESC_KEEP_REFS) && i + 1 < n &&
            XmlIsEntityStart(XmlCode(strText[i + 1]))) {
            std::size_t j = i + 2;
            while (j < n && XmlIsEntityName(XmlCode(strText[j])))
                ++j;
            if (j < n && strText[j] == ';') {
                strOut.append(strText, i, j + 1 - i);
                i = j;
                continue;
            }
        }
        const char *pszRef = nullptr;
        switch (c) {
        case '<': pszRef = "&lt;"; break;
        case '&': pszRef = "&amp;"; break;
        case '>': pszRef = "&gt;"; break;
        case '"': pszRef = bAttribute ? "&quot;" : nullptr; break;
        case '\'': pszRef = bAttribute ? "&apos;" : nullptr; break;
        default: break;
        }
        if (pszRef)
            strOut += XmlFromAscii(pszRef);
        else
            strOut += strText[i];
    }
    return strOut;
}

bool CXmlDocument::AppendCodePoint(XmlString &strOut, std::uint32_t dwCodePoint) const
{
#ifdef KQ_XML_CHAR8
    char bytes[IXmlAnsiConverter::MAX_BYTES];
    int cb = 0;
    if (m_pConverter) {
        cb = m_pConverter->FromCodePoint(dwCodePoint, bytes);
        if (cb < 0 || cb > IXmlAnsiConverter::MAX_BYTES)
            cb = 0;
    } else if (dwCodePoint < 0x80) {
        bytes[0] = static_cast<char>(dwCodePoint);
        cb = 1;
    }
    strOut.append(bytes, static_cast<std::size_t>(cb));
    return cb > 0;
#else
    if (dwCodePoint < 0x10000) {
        strOut += static_cast<XmlChar>(dwCodePoint);
    } else {
        dwCodePoint -= 0x10000;
        strOut += static_cast<XmlChar>(0xD800 + (dwCodePoint >> 10));
        strOut += static_cast<XmlChar>(0xDC00 + (dwCodePoint & 0x3FF));
    }
    return true;
#endif
}

namespace {

// The value of a numeric reference "#65" or "#x41" (pName lower-cased,
// without "&" and ";"); 0 when it is not one.
std::uint32_t NumericReference(const char *pName, std::size_t cch)
{
    if (cch < 2 || pName[0] != '#')
        return 0;
    const bool bHex = pName[1] == 'x';
    std::size_t i = bHex ? 2 : 1;
    if (i == cch)
        return 0;
    std::uint32_t dwValue = 0; // at most 8 digits: no overflow
    for (; i < cch; ++i) {
        const char c = pName[i];
        std::uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<std::uint32_t>(c - '0');
        else if (bHex && c >= 'a' && c <= 'f')
            d = static_cast<std::uint32_t>(c - 'a' + 10);
        else
            return 0;
        dwValue = dwValue * (bHex ? 16 : 10) + d;
    }
    // Beyond Unicode, or a lone surrogate half: not a character.
    if (dwValue > 0x10FFFF || (dwValue >= 0xD800 && dwValue <= 0xDFFF))
        return 0;
    return dwValue;
}

} // namespace

XmlString CXmlDocument::DecodeText(const XmlChar *pText, std::size_t cchText) const
{
    std::size_t nBegin = 0, nEnd = cchText;
    const bool bTrim = (m_dwFlags & (XMLDOC_TRIM | XMLDOC_COLLAPSE)) != 0;
    const bool bCollapse = (m_dwFlags & XMLDOC_COLLAPSE) != 0;
    if (bTrim) {
        while (nBegin < nEnd && XmlIsSpace(XmlCode(pText[nBegin])))
            ++nBegin;
        while (nEnd > nBegin && XmlIsSpace(XmlCode(pText[nEnd - 1])))
            --nEnd;
    }
    XmlString strOut;
    strOut.reserve(nEnd - nBegin);
    for (std::size_t i = nBegin; i < nEnd;) {
        const std::uint32_t c = XmlCode(pText[i]);
        if (bCollapse && XmlIsSpace(c)) {
            strOut += static_cast<XmlChar>(' ');
            while (i < nEnd && XmlIsSpace(XmlCode(pText[i])))
                ++i;
            continue;
        }
        if (c == '&') {
            // Up to 9 ASCII characters and ";".
            char raw[10], lower[10];
            std::size_t k = 0, j = i + 1;
            while (j < nEnd && k < 9 && XmlCode(pText[j]) < 128 && pText[j] != ';') {
                raw[k] = static_cast<char>(XmlCode(pText[j]));
                lower[k] = static_cast<char>(XmlLowerAscii(XmlCode(pText[j])));
                ++k;
                ++j;
            }
            if (j < nEnd && pText[j] == ';') {
                std::uint32_t dwCodePoint = k && raw[0] == '#' ? NumericReference(lower, k)
                                                               : CXmlEntityTable::Lookup(raw, k);
                const std::size_t nMark = strOut.size();
                if (dwCodePoint && AppendCodePoint(strOut, dwCodePoint)) {
                    i = j + 1;
                    continue;
                }
                strOut.resize(nMark);
            }
        }
        strOut += pText[i];
        ++i;
    }
    return strOut;
}

void CXmlDocument::CopyFrom(const CXmlDocument &other)
{
    if (&other == this)
        return;
    if ((m_dwFlags | other.m_dwFlags) & (XMLDOC_READING | XMLDOC_WRITING))
        return;
    m_dwParent = other.m_dwParent;
    m_dwCurrent = other.m_dwCurrent;
    m_dwChild = other.m_dwChild;
    m_nNextFree = other.m_nNextFree;
    m_strText = other.m_strText;
    m_strResult = other.m_strResult;
    m_dwFlags = other.m_dwFlags;
    m_tree.Clear();
    const std::uint32_t dwCount = static_cast<std::uint32_t>(other.m_nNextFree);
    m_tree.Grow(dwCount);
    for (std::uint32_t i = 0; i < dwCount; ++i)
        m_tree.At(i) = other.m_tree.At(i);
}

std::uint32_t CXmlDocument::AllocPosition()
{
    std::uint32_t dwNext = static_cast<std::uint32_t>(m_nNextFree);
    if (dwNext >= m_tree.Count())
        m_tree.Grow(dwNext + dwNext / 2 + 1);
    ++m_nNextFree;
    m_tree.At(dwNext) = XmlPosition();
    return dwNext;
}

void CXmlDocument::LinkChild(std::uint32_t dwParent, std::uint32_t dwPos, bool bFirst)
{
    XmlPosition &parent = m_tree.At(dwParent);
    XmlPosition &rec = m_tree.At(dwPos);
    rec.dwParent = dwParent;
    const std::uint32_t dwFirst = parent.dwFirstChild;
    if (dwFirst == 0) {
        parent.dwFirstChild = dwPos;
        rec.dwFlags |= XMLPOS_FIRST_CHILD;
        rec.dwPrevSibling = dwPos;
        rec.dwNextSibling = 0;
        return;
    }
    XmlPosition &first = m_tree.At(dwFirst);
    const std::uint32_t dwLast = first.dwPrevSibling;
    if (bFirst) {
        rec.dwNextSibling = dwFirst;
        rec.dwPrevSibling = dwLast;
        rec.dwFlags |= XMLPOS_FIRST_CHILD;
        first.dwPrevSibling = dwPos;
        first.dwFlags &= ~XMLPOS_FIRST_CHILD;
        parent.dwFirstChild = dwPos;
    } else {
        m_tree.At(dwLast).dwNextSibling = dwPos;
        rec.dwPrevSibling = dwLast;
        rec.dwNextSibling = 0;
        rec.dwFlags &= ~XMLPOS_FIRST_CHILD;
        first.dwPrevSibling = dwPos;
    }
}

void CXmlDocument::LinkSibling(std::uint32_t dwSibling, std::uint32_t dwPos, bool bBefore)
{
    XmlPosition &sib = m_tree.At(dwSibling);
    const std::uint32_t dwParent = sib.dwParent;
    if (bBefore && (sib.dwFlags & XMLPOS_FIRST_CHILD)) {
        LinkChild(dwParent, dwPos, true);
        return;
    }
    XmlPosition &rec = m_tree.At(dwPos);
    rec.dwParent = dwParent;
    rec.dwFlags &= ~XMLPOS_FIRST_CHILD;
    if (bBefore) {
        const std::uint32_t dwPrev = sib.dwPrevSibling;
        m_tree.At(dwPrev).dwNextSibling = dwPos;
        rec.dwPrevSibling = dwPrev;
        rec.dwNextSibling = dwSibling;
        sib.dwPrevSibling = dwPos;
        return;
    }
    const std::uint32_t dwNext = sib.dwNextSibling;
    rec.dwPrevSibling = dwSibling;
    rec.dwNextSibling = dwNext;
    sib.dwNextSibling = dwPos;
    if (dwNext)
        m_tree.At(dwNext).dwPrevSibling = dwPos;
    else
        m_tree.At(m_tree.At(dwParent).dwFirstChild).dwPrevSibling = dwPos;
}

void CXmlDocument::ShiftAfterEdit(std::uint32_t dwOffset, std::int64_t nDelta,
                                  std::uint32_t dwAncestor, std::uint32_t dwSkip)
{
    const std::uint32_t dwCount = static_cast<std::uint32_t>(m_nNextFree);
    for (std::uint32_t i = 1; i < dwCount; ++i) {
        XmlPosition &rec = m_tree.At(i);
        if (i != dwSkip && !(rec.dwFlags & XMLPOS_FREED) && rec.dwStart >= dwOffset)
            rec.dwStart = static_cast<std::uint32_t>(rec.dwStart + nDelta);
    }
    for (std::uint32_t a = dwAncestor; a != 0; a = m_tree.At(a).dwParent)
        m_tree.At(a).dwLength = static_cast<std::uint32_t>(m_tree.At(a).dwLength + nDelta);
    m_tree.At(0).dwLength = static_cast<std::uint32_t>(m_strText.size());
}

bool CXmlDocument::NamesEqual(const XmlChar *pA, const XmlChar *pB, std::size_t cch) const
{
    const bool bFold = (m_dwFlags & XMLDOC_IGNORE_CASE) != 0;
    for (std::size_t i = 0; i < cch; ++i) {
        std::uint32_t a = XmlCode(pA[i]), b = XmlCode(pB[i]);
        if (bFold) {
            a = XmlLowerAscii(a);
            b = XmlLowerAscii(b);
        }
        if (a != b)
            return false;
    }
    return true;
}
