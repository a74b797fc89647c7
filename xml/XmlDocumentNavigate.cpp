// XmlDocumentNavigate.cpp
//
// Navigation and editing of CXmlDocument: finding elements by path, entering
// and leaving them, attributes, contents and new elements. Every edit keeps
// the text and the position records consistent.
#include "XmlDocument.h"

#include <cstdio>
#include <cstring>

#include "XmlCharClass.h"

namespace {

std::size_t Length(const XmlChar *psz)
{
    std::size_t n = 0;
    if (psz)
        while (psz[n])
            ++n;
    return n;
}

bool IsDigit(std::uint32_t c)
{
    return c >= '0' && c <= '9';
}

// Run of name characters from p; returns its end.
std::size_t NameRun(const XmlChar *s, std::size_t p)
{
    while (!XmlIsNameEnd(XmlCode(s[p])))
        ++p;
    return p;
}

// The path syntax: segments separated by "/", each optionally followed by
// bracketed numbers, names or attribute tests, and at the end an optional
// "/@name". A leading "//" allows one segment only.
bool PathSyntaxOk(const XmlChar *s)
{
    std::size_t p = 0;
    bool bOneSegment = false;
    if (s[0] == '/') {
        p = 1;
        if (s[1] == '/') {
            p = 2;
            bOneSegment = true;
        }
    }
    for (;;) {
        std::size_t b = p;
        p = NameRun(s, p);
        if (p == b)
            return false;
        while (s[p] == '[') {
            ++p;
            if (IsDigit(XmlCode(s[p]))) {
                while (IsDigit(XmlCode(s[p])))
                    ++p;
            } else if (s[p] == '@') {
                b = ++p;
                p = NameRun(s, p);
                if (p == b || s[p] != '=')
                    return false;
                ++p;
                if (s[p] == '"' || s[p] == '\'') {
                    const XmlChar q = s[p++];
                    while (s[p] && s[p] != q)
                        ++p;
                    if (!s[p])
                        return false;
                    ++p;
                } else {
                    while (s[p] && s[p] != ']')
                        ++p;
                }
            } else {
                b = p;
                p = NameRun(s, p);
                if (p == b)
                    return false;
            }
            if (s[p] != ']')
                return false;
            ++p;
        }
        if (s[p] == 0)
            return true;
        if (s[p] != '/')
            return false;
        ++p;
        if (s[p] == '@') {
            b = ++p;
            p = NameRun(s, p);
            return p > b && s[p] == 0;
        }
        if (bOneSegment || s[p] == 0)
            return false;
    }
}

// A valid name for a new element: it must tokenize back as one start tag name.
bool ElementNameOk(const XmlChar *psz)
{
    if (!psz || !psz[0])
        return false;
    const std::uint32_t c0 = XmlCode(psz[0]);
    if (!((c0 >= 'A' && c0 <= 'Z') || c0 == ':' || c0 == '_' || c0 >= 'a'))
        return false;
    for (; *psz; ++psz)
        if (XmlIsDelimiter(XmlCode(*psz)))
            return false;
    return true;
}

} // namespace

void CXmlDocument::TagNameSpan(std::uint32_t dwPos, std::uint32_t &dwBegin,
                               std::uint32_t &dwEnd) const
{
    const XmlPosition &rec = m_tree.At(dwPos);
    const std::uint32_t dwTagEnd = rec.dwStart + rec.dwStartTagLen;
    dwBegin = dwEnd = rec.dwStart + 1;
    while (dwEnd < dwTagEnd && !XmlIsDelimiter(XmlCode(m_strText[dwEnd])))
        ++dwEnd;
}

XmlString CXmlDocument::TagNameAt(std::uint32_t dwPos) const
{
    if (dwPos == 0 || dwPos >= PositionCount())
        return XmlString();
    std::uint32_t b, e;
    TagNameSpan(dwPos, b, e);
    return m_strText.substr(b, e - b);
}

bool CXmlDocument::SeekElement(const XmlChar *pszPath)
{
    if ((m_dwFlags & XMLDOC_WRITING) || m_tree.Count() == 0 || m_nNextFree < 1)
        return false;
    const bool bNoName = Length(pszPath) == 0;
    if (!bNoName && !PathSyntaxOk(pszPath))
        return false;
    std::size_t p = 0;
    if (!bNoName && pszPath[0] == '/') {
        if (pszPath[1] == '/') {
            p = 2; // one segment, searched like a relative name
        } else {
            p = 1;
            m_dwParent = m_dwCurrent = m_dwChild = 0;
        }
    }
    // After the current element, or from the first child of the level when
    // none is current: a find-next loop ends at the last sibling.
    std::uint32_t dwCand = m_dwCurrent ? m_tree.At(m_dwCurrent).dwNextSibling
                                       : m_tree.At(m_dwParent).dwFirstChild;
    if (!bNoName) {
        while (dwCand) {
            const std::size_t nSegEnd = NameRun(pszPath, p);
            std::uint32_t b, e;
            TagNameSpan(dwCand, b, e);
            if (e - b != nSegEnd - p || !NamesEqual(m_strText.data() + b, pszPath + p, e - b)) {
                dwCand = m_tree.At(dwCand).dwNextSibling;
                continue;
            }
            const XmlChar cNext = pszPath[nSegEnd];
            if (cNext == 0 || (cNext == '/' && pszPath[nSegEnd + 1] == '@'))
                break;
            // Bracketed predicates pass the syntax test but are not
            // evaluated: such a search finds nothing.
            if (cNext == '[')
                return false;
            p = nSegEnd + 1;
            dwCand = m_tree.At(dwCand).dwFirstChild;
        }
    }
    if (!dwCand)
        return false;
    m_dwParent = m_tree.At(dwCand).dwParent;
    m_dwCurrent = dwCand;
    m_dwChild = 0;
    return true;
}

bool CXmlDocument::DescendLevel()
{
    if (!m_dwCurrent)
        return false;
    m_dwParent = m_dwCurrent;
    m_dwCurrent = m_dwChild;
    m_dwChild = 0;
    return true;
}

bool CXmlDocument::AscendLevel()
{
    if (!m_dwParent)
        return false;
    m_dwChild = m_dwCurrent;
    m_dwCurrent = m_dwParent;
    m_dwParent = m_tree.At(m_dwParent).dwParent;
    return true;
}

bool CXmlDocument::FindAttr(const XmlChar *pszName, AttrSpan &span) const
{
    const XmlPosition &rec = m_tree.At(m_dwCurrent);
    const XmlChar *t = m_strText.data();
    // The tag's final ">" is not searched.
    const std::uint32_t dwTagEnd = rec.dwStart + rec.dwStartTagLen - 1;
    const std::size_t cchName = Length(pszName);
    auto isSpace = [&](std::uint32_t i) { return XmlIsSpace(XmlCode(t[i])); };
    auto isQuote = [&](std::uint32_t i) { return t[i] == '"' || t[i] == '\''; };
    // End of a value starting at q: past its closing quote, or up to whitespace.
    auto valueEnd = [&](std::uint32_t q) {
        if (q < dwTagEnd && isQuote(q)) {
            const XmlChar cQuote = t[q];
            for (++q; q < dwTagEnd && t[q] != cQuote; ++q) {
            }
            return q < dwTagEnd ? q + 1 : dwTagEnd;
        }
        while (q < dwTagEnd && !isSpace(q))
            ++q;
        return q;
    };

    std::uint32_t b, p;
    TagNameSpan(m_dwCurrent, b, p);
    span.dwLastTokenEnd = p;
    for (;;) {
        while (p < dwTagEnd && isSpace(p))
            ++p;
        if (p >= dwTagEnd || t[p] == '/' || t[p] == '>' || t[p] == '?')
            return false;
        if (isQuote(p) || t[p] == '=') {
            // A stray value: skipped as a value.
            if (t[p] == '=')
                for (++p; p < dwTagEnd && isSpace(p); ++p) {
                }
            p = span.dwLastTokenEnd = valueEnd(p);
            continue;
        }
        const std::uint32_t dwNameBegin = p;
        while (p < dwTagEnd && !isSpace(p) && t[p] != '/' && t[p] != '=' && t[p] != '>')
            ++p;
        const std::uint32_t dwNameEnd = span.dwLastTokenEnd = p;
        const bool bMatch = dwNameEnd - dwNameBegin == cchName &&
                            NamesEqual(t + dwNameBegin, pszName, cchName);
        std::uint32_t q = p;
        while (q < dwTagEnd && isSpace(q))
            ++q;
        bool bHasValue = q < dwTagEnd && t[q] == '=';
        std::uint32_t dwValueBegin = dwNameEnd, dwValueEnd = dwNameEnd;
        if (bHasValue) {
            for (++q; q < dwTagEnd && isSpace(q); ++q) {
            }
            dwValueBegin = q;
            dwValueEnd = p = span.dwLastTokenEnd = valueEnd(q);
        }
        if (bMatch) {
            span.dwNameBegin = dwNameBegin;
            span.dwNameEnd = dwNameEnd;
            span.dwValueBegin = dwValueBegin;
            span.dwValueEnd = dwValueEnd;
            span.bHasValue = bHasValue;
            return true;
        }
    }
}

XmlString CXmlDocument::QueryAttr(const XmlChar *pszName) const
{
    if (!m_dwCurrent || Length(pszName) == 0)
        return XmlString();
    AttrSpan span;
    if (!FindAttr(pszName, span))
        return XmlString();
    const XmlChar *t = m_strText.data();
    if (!span.bHasValue)
        return DecodeText(t + span.dwNameBegin, span.dwNameEnd - span.dwNameBegin);
    std::uint32_t b = span.dwValueBegin, e = span.dwValueEnd;
    if (e > b && (t[b] == '"' || t[b] == '\'')) {
        ++b;
        if (e > b && t[e - 1] == t[b - 1])
            --e;
    }
    return DecodeText(t + b, e - b);
}

void CXmlDocument::SpliceStartTag(std::uint32_t dwAt, std::uint32_t cchOld,
                                  const XmlString &strNew)
{
    m_strText.replace(dwAt, cchOld, strNew);
    const std::int64_t nDelta =
        static_cast<std::int64_t>(strNew.size()) - static_cast<std::int64_t>(cchOld);
    XmlPosition &rec = m_tree.At(m_dwCurrent);
    rec.dwStartTagLen = static_cast<std::uint32_t>(rec.dwStartTagLen + nDelta);
    ShiftAfterEdit(dwAt, nDelta, m_dwCurrent, m_dwCurrent);
}

bool CXmlDocument::StoreAttr(const XmlChar *pszName, const XmlChar *pszValue,
                             std::uint32_t dwFlags)
{
    if ((m_dwFlags & XMLDOC_READING) || !m_dwCurrent || Length(pszName) == 0)
        return false;
    XmlString strValue = XmlFromAscii("\"");
    strValue += EscapeText(pszValue ? XmlString(pszValue) : XmlString(), true,
                           dwFlags & XMLESC_KEEP_REFS);
    strValue += static_cast<XmlChar>('"');
    AttrSpan span;
    if (FindAttr(pszName, span)) {
        if (span.bHasValue)
            SpliceStartTag(span.dwValueBegin, span.dwValueEnd - span.dwValueBegin, strValue);
        else // a bare name gets its value
            SpliceStartTag(span.dwNameEnd, 0, XmlFromAscii("=") + strValue);
    } else {
        XmlString strAttr = XmlFromAscii(" ");
        strAttr += pszName;
        strAttr += static_cast<XmlChar>('=');
        strAttr += strValue;
        SpliceStartTag(span.dwLastTokenEnd, 0, strAttr);
    }
    return true;
}

bool CXmlDocument::StoreAttr(const XmlChar *pszName, int nValue, std::uint32_t dwFlags)
{
    char szValue[16];
    std::snprintf(szValue, sizeof szValue, "%d", nValue);
    return StoreAttr(pszName, XmlFromAscii(szValue).c_str(), dwFlags);
}

bool CXmlDocument::InsertElementAfter(const XmlChar *pszName, const XmlChar *pszValue,
                                      std::uint32_t dwFlags)
{
    if (m_dwFlags & XMLDOC_READING)
        return false;
    const bool bChild = (dwFlags & XMLINS_CHILD) != 0;
    if (bChild && (!m_dwCurrent || (m_dwFlags & XMLDOC_WRITING)))
        return false;
    const std::size_t cchValue = Length(pszValue);
    if (!ElementNameOk(pszName) || ((dwFlags & XMLINS_START_ONLY) && cchValue))
        return false;
    const std::uint32_t dwParent = bChild ? m_dwCurrent : m_dwParent;
    const std::uint32_t dwCurrent = bChild ? m_dwChild : m_dwCurrent;
    const bool bBefore = (dwFlags & XMLINS_BEFORE) != 0;
    const bool bBreaks = !(dwFlags & XMLINS_NO_BREAKS);
    const XmlString strBreak = bBreaks ? XmlFromAscii("\r\n") : XmlString();
    const XmlString strName(pszName);

    // The element's text.
    XmlString strElem = XmlFromAscii("<") + strName;
    std::uint32_t dwStartTagLen, dwEndTagLen = 0;
    bool bStartOnly = false;
    if (cchValue) {
        strElem += static_cast<XmlChar>('>');
        dwStartTagLen = static_cast<std::uint32_t>(strElem.size());
        const XmlString strValue(pszValue);
        if (dwFlags & XMLINS_CDATA) {
            // Every "]]>" inside is split across two sections.
            const XmlString strClose = XmlFromAscii("]]>");
            strElem += XmlFromAscii("<![CDATA[");
            std::size_t nFrom = 0, nHit;
            while ((nHit = strValue.find(strClose, nFrom)) != XmlString::npos) {
                strElem += strValue.substr(nFrom, nHit + 2 - nFrom);
                strElem += XmlFromAscii("]]><![CDATA[");
                nFrom = nHit + 2;
            }
            strElem += strValue.substr(nFrom);
            strElem += strClose;
        } else {
            strElem += EscapeText(strValue, false, dwFlags & XMLESC_KEEP_REFS);
        }
        strElem += XmlFromAscii("</") + strName + static_cast<XmlChar>('>');
        dwEndTagLen = static_cast<std::uint32_t>(strName.size() + 3);
    } else {
        if (dwFlags & XMLINS_START_ONLY) {
            strElem += static_cast<XmlChar>('>');
            bStartOnly = true;
        } else {
            strElem += XmlFromAscii((dwFlags & XMLINS_SPACE_EMPTY) ? " />" : "/>");
        }
        dwStartTagLen = static_cast<std::uint32_t>(strElem.size());
    }
    const std::uint32_t dwElemLen = static_cast<std::uint32_t>(strElem.size());

    std::uint32_t dwElemStart;
    if (!dwCurrent && dwParent && m_tree.At(dwParent).dwEndTagLen == 0) {
        // A lone parent tag is opened: "<p/>" becomes "<p>" CRLF new CRLF "</p>".
        XmlPosition &par = m_tree.At(dwParent);
        std::uint32_t dwClose = par.dwStart + par.dwStartTagLen - 1; // its ">"
        std::uint32_t cchRemoved = 0;
        if (!(par.dwFlags & XMLPOS_START_ONLY) && dwClose > par.dwStart &&
            m_strText[dwClose - 1] == '/') {
            m_strText.erase(dwClose - 1, 1);
            --dwClose;
            cchRemoved = 1;
        }
        std::uint32_t b, e;
        const std::uint32_t dwParStart = par.dwStart;
        par.dwStartTagLen -= cchRemoved;
        TagNameSpan(dwParent, b, e);
        const XmlString strParName = m_strText.substr(b, e - b);
        XmlString strInsert = XmlFromAscii(">") + strBreak;
        dwElemStart = dwClose + static_cast<std::uint32_t>(strInsert.size());
        strInsert += strElem + strBreak + XmlFromAscii("</") + strParName;
        m_strText.insert(dwClose, strInsert);
        const std::int64_t nDelta = static_cast<std::int64_t>(strInsert.size()) - cchRemoved;
        ShiftAfterEdit(dwClose, nDelta, dwParent, dwParent);
        XmlPosition &opened = m_tree.At(dwParent);
        opened.dwFlags &= ~XMLPOS_START_ONLY;
        opened.dwEndTagLen = static_cast<std::uint32_t>(strParName.size() + 3);
        opened.dwLength = dwClose + static_cast<std::uint32_t>(strInsert.size()) + 1 - dwParStart;
    } else {
        std::uint32_t dwPlace;
        bool bEmptyParent = false;
        if (dwCurrent) {
            const XmlPosition &cur = m_tree.At(dwCurrent);
            dwPlace = bBefore ? cur.dwStart : cur.dwStart + cur.dwLength;
        } else if (dwParent) {
            const XmlPosition &par = m_tree.At(dwParent);
            const std::uint32_t dwContent = par.dwStart + par.dwStartTagLen;
            const std::uint32_t dwEndTag = par.dwStart + par.dwLength - par.dwEndTagLen;
            dwPlace = bBefore ? dwContent : dwEndTag;
            bEmptyParent = dwContent == dwEndTag;
        } else {
            dwPlace = bBefore ? 0 : static_cast<std::uint32_t>(m_strText.size());
        }
        XmlString strInsert;
        if (bBreaks) {
            // Past whitespace that runs up to markup or the end of the text.
            std::uint32_t q = dwPlace;
            while (q < m_strText.size() && XmlIsSpace(XmlCode(m_strText[q])))
                ++q;
            if (q == m_strText.size() || m_strText[q] == '<')
                dwPlace = q;
            if (bEmptyParent)
                strInsert = strBreak;
        }
        dwElemStart = dwPlace + static_cast<std::uint32_t>(strInsert.size());
        strInsert += strElem + strBreak;
        m_strText.insert(dwPlace, strInsert);
        ShiftAfterEdit(dwPlace, static_cast<std::int64_t>(strInsert.size()), dwParent, 0);
    }

    const std::uint32_t dwPos = AllocPosition();
    XmlPosition &rec = m_tree.At(dwPos);
    rec.dwStart = dwElemStart;
    rec.dwLength = dwElemLen;
    rec.dwStartTagLen = dwStartTagLen;
    rec.dwEndTagLen = dwEndTagLen;
    if (bStartOnly)
        rec.dwFlags |= XMLPOS_START_ONLY;
    if (dwCurrent)
        LinkSibling(dwCurrent, dwPos, bBefore);
    else
        LinkChild(dwParent, dwPos, bBefore);
    m_tree.At(dwPos).dwLevel = dwParent ? m_tree.At(dwParent).dwLevel + 1 : 0;
    if (bChild) {
        m_dwChild = dwPos;
    } else {
        m_dwCurrent = dwPos;
        m_dwChild = 0;
    }
    return true;
}

XmlString CXmlDocument::ReadContent() const
{
    if (!m_dwCurrent)
        return XmlString();
    const XmlPosition &rec = m_tree.At(m_dwCurrent);
    if (rec.dwStartTagLen >= rec.dwLength || rec.dwFirstChild)
        return XmlString();
    const std::uint32_t dwBegin = rec.dwStart + rec.dwStartTagLen;
    const std::uint32_t dwEnd = rec.dwStart + rec.dwLength - rec.dwEndTagLen;
    const XmlChar *t = m_strText.data();
    if (std::char_traits<XmlChar>::find(t + dwBegin, dwEnd - dwBegin, '<') == nullptr)
        return DecodeText(t + dwBegin, dwEnd - dwBegin);
    // Text runs decoded, CDATA sections as they are, the rest left out.
    XmlString strOut;
    Token tok;
    for (std::uint32_t p = dwBegin; p < dwEnd; p = tok.dwStart + tok.dwLength) {
        if (ScanMarkupToken(p, tok) == XMLNODE_END)
            break;
        std::uint32_t dwLen = tok.dwLength;
        if (tok.dwStart + dwLen > dwEnd)
            dwLen = dwEnd - tok.dwStart;
        if (tok.nType == XMLNODE_TEXT || tok.nType == XMLNODE_WHITESPACE) {
            strOut += DecodeText(t + tok.dwStart, dwLen);
        } else if (tok.nType == XMLNODE_CDATA && dwLen == tok.dwLength) {
            // Between the "[" after "<![C..." and the closing "]]>".
            const XmlChar *pOpen = std::char_traits<XmlChar>::find(t + tok.dwStart + 3,
                                                                   dwLen - 6, '[');
            if (pOpen) {
                const XmlChar *pInner = pOpen + 1;
                strOut.append(pInner, t + tok.dwStart + dwLen - 3 - pInner);
            }
        }
    }
    return strOut;
}
