// XmlDocumentParse.cpp
//
// The tokenizer and the parser of CXmlDocument: one pass over the text that
// fills the position table and writes every problem as a result record.
#include "XmlDocument.h"

#include "XmlCharClass.h"

namespace {

bool IsQuote(std::uint32_t c)
{
    return c == '"' || c == '\'';
}

} // namespace

int CXmlDocument::SyntaxError(std::uint32_t dwAt, const char *pszRecord, Token &tok) const
{
    std::size_t nClose = m_strText.find(static_cast<XmlChar>('>'), dwAt);
    std::size_t nEnd = nClose == XmlString::npos ? m_strText.size() : nClose + 1;
    tok.dwLength = static_cast<std::uint32_t>(nEnd - tok.dwStart);
    tok.pszRecord = pszRecord;
    tok.nType = XMLNODE_ERROR;
    return tok.nType;
}

int CXmlDocument::Unterminated(const char *pszType, Token &tok) const
{
    tok.dwLength = static_cast<std::uint32_t>(m_strText.size() - tok.dwStart);
    tok.pszRecord = "unterminated_tag_syntax";
    tok.pszType = pszType;
    tok.nType = XMLNODE_ERROR;
    return tok.nType;
}

int CXmlDocument::ScanClosed(std::uint32_t dwSearch, const char *pszClose, int nType,
                             const char *pszKind, Token &tok) const
{
    const XmlString strClose = XmlFromAscii(pszClose);
    const std::size_t q = m_strText.find(strClose, dwSearch);
    if (q == XmlString::npos)
        return Unterminated(pszKind, tok);
    tok.dwLength = static_cast<std::uint32_t>(q + strClose.size() - tok.dwStart);
    tok.nType = nType;
    return tok.nType;
}

int CXmlDocument::ScanMarkupToken(std::uint32_t dwFrom, Token &tok) const
{
    const XmlString &t = m_strText;
    const std::size_t n = t.size();
    tok = Token{XMLNODE_END, dwFrom, 0, 0, 0, false, nullptr, nullptr};
    if (dwFrom >= n)
        return tok.nType;
    auto at = [&](std::size_t i) -> std::uint32_t { return i < n ? XmlCode(t[i]) : 0; };

    if (t[dwFrom] != '<') {
        std::size_t p = dwFrom;
        bool bAllSpace = true;
        for (; p < n && t[p] != '<'; ++p)
            bAllSpace = bAllSpace && XmlIsSpace(XmlCode(t[p]));
        tok.dwLength = static_cast<std::uint32_t>(p - dwFrom);
        tok.nType = bAllSpace ? XMLNODE_WHITESPACE : XMLNODE_TEXT;
        return tok.nType;
    }
    if (dwFrom + 1 >= n)
        return Unterminated("tag", tok);
    const std::uint32_t c1 = at(dwFrom + 1);

    if ((c1 >= 'A' && c1 <= 'Z') || c1 == ':' || c1 == '_' || c1 >= 'a' || c1 == '/') {
        const bool bEnd = c1 == '/';
        std::size_t p = dwFrom + (bEnd ? 2 : 1);
        tok.dwNameStart = static_cast<std::uint32_t>(p);
        while (p < n && !XmlIsSpace(at(p)) && at(p) != '/' && at(p) != '>')
            ++p;
        tok.dwNameEnd = static_cast<std::uint32_t>(p);
        // Attribute values: quoted after "=", else up to whitespace or ">".
        bool bAfterEquals = false, bUnquoted = false;
        while (p < n) {
            const std::uint32_t c = at(p);
            if (c == '>')
                break;
            if (bUnquoted) {
                bUnquoted = !XmlIsSpace(c);
            } else if (bAfterEquals) {
                if (IsQuote(c)) {
                    std::size_t q = t.find(t[p], p + 1);
                    if (q == XmlString::npos) {
                        p = n; // the text ends inside the value
                        break;
                    }
                    p = q;
                    bAfterEquals = false;
                } else if (!XmlIsSpace(c)) {
                    bUnquoted = true;
                    bAfterEquals = false;
                }
            } else if (c == '=') {
                bAfterEquals = true;
            }
            ++p;
        }
        if (p >= n)
            return Unterminated(bEnd ? "end_tag" : "start_tag", tok);
        tok.dwLength = static_cast<std::uint32_t>(p + 1 - dwFrom);
        tok.nType = bEnd ? XMLNODE_END_TAG : XMLNODE_ELEMENT;
        // "/>" ends an empty element, except where the "/" ends an unquoted
        // value with neither whitespace nor a quote before it.
        if (!bEnd && at(p - 1) == '/' && p - 1 > dwFrom + 1)
            tok.bEmpty = !bUnquoted || XmlIsSpace(at(p - 2)) || IsQuote(at(p - 2));
        return tok.nType;
    }
    if (c1 == '?') {
        return ScanClosed(dwFrom + 2, "?>", XMLNODE_PI, "processing_instruction", tok);
    }
    if (c1 != '!')
        return SyntaxError(dwFrom, "first_tag_syntax", tok);
    if (dwFrom + 2 >= n)
        return Unterminated("tag", tok);
    const std::uint32_t c2 = at(dwFrom + 2);
    if (c2 == '-') {
        if (dwFrom + 3 >= n)
            return Unterminated("comment", tok);
        if (at(dwFrom + 3) != '-')
            return SyntaxError(dwFrom, "comment_tag_syntax", tok);
        return ScanClosed(dwFrom + 4, "-->", XMLNODE_COMMENT, "comment", tok);
    }
    if (c2 == '[') {
        if (dwFrom + 3 >= n)
            return Unterminated("tag", tok);
        if (at(dwFrom + 3) != 'C')
            return SyntaxError(dwFrom, "cdata_section_syntax", tok);
        return ScanClosed(dwFrom + 4, "]]>", XMLNODE_CDATA, "cdata_section", tok);
    }
    if (c2 != 'D')
        return SyntaxError(dwFrom, "exclamation_tag_syntax", tok);
    // Document type declaration: an internal subset in brackets, quoted
    // strings anywhere, and only declarations and comments inside the subset.
    int nDepth = 0;
    for (std::size_t p = dwFrom + 3; p < n; ++p) {
        const std::uint32_t c = at(p);
        if (IsQuote(c)) {
            std::size_t q = t.find(t[p], p + 1);
            if (q == XmlString::npos)
                break;
            p = q;
        } else if (c == '[') {
            ++nDepth;
        } else if (c == ']') {
            if (nDepth > 0)
                --nDepth;
        } else if (c == '>' && nDepth == 0) {
            tok.dwLength = static_cast<std::uint32_t>(p + 1 - dwFrom);
            tok.nType = XMLNODE_DOCTYPE;
            return tok.nType;
        } else if (c == '<' && nDepth > 0 && at(p + 1) == '!' && p + 2 < n) {
            const std::uint32_t c3 = at(p + 2);
            if (c3 != '-' && c3 != 'A' && c3 != 'E' && c3 != 'N')
                return SyntaxError(static_cast<std::uint32_t>(p), "doctype_tag_syntax", tok);
        }
    }
    return Unterminated("document_type", tok);
}

bool CXmlDocument::CheckSingleRoot()
{
    m_dwParent = m_dwCurrent = m_dwChild = 0;
    const std::size_t n = m_strText.size();
    m_tree.Grow(static_cast<std::uint32_t>(n / 64 + 8));
    m_nNextFree = 1;
    m_tree.At(0) = XmlPosition();
    if (n > 0x7FFFFFFF) {
        // Offsets are 32-bit signed in the records: a longer text is not indexed.
        m_tree.At(0).dwFlags |= XMLPOS_ILL_FORMED;
    } else if (n > 0) {
        const std::uint32_t dwRoot = BuildPositionTree(0);
        AssignLevels();
        m_tree.At(0).dwLength = static_cast<std::uint32_t>(n);
        if (dwRoot == 0)
            AppendResultRecord("no_root_element", nullptr, -1, -1, 0);
        else if (m_tree.At(dwRoot).dwNextSibling != 0)
            AppendResultRecord("root_has_sibling", nullptr, -1, -1, 0);
    }
    m_dwParent = m_dwCurrent = m_dwChild = 0;
    return IsWellFormed();
}

std::uint32_t CXmlDocument::BuildPositionTree(std::uint32_t dwParent)
{
    std::vector<OpenElement> stack;
    stack.reserve(7);
    // Open elements by name, each list in stack order: an end tag finds its
    // element, or learns that it has none, without walking the stack.
    std::unordered_map<XmlString, std::vector<std::uint32_t>> open;
    const bool bFold = (m_dwFlags & XMLDOC_IGNORE_CASE) != 0;
    auto keyOf = [&](const Token &tok) {
        XmlString strKey = m_strText.substr(tok.dwNameStart, tok.dwNameEnd - tok.dwNameStart);
        if (bFold)
            for (XmlChar &c : strKey)
                c = static_cast<XmlChar>(XmlLowerAscii(XmlCode(c)));
        return strKey;
    };
    auto markError = [&](std::uint32_t dwFilling) {
        m_tree.At(0).dwFlags |= XMLPOS_ILL_FORMED;
        m_tree.At(dwFilling).dwFlags |= XMLPOS_INNER_ERROR;
    };

    std::uint32_t dwFirst = 0;
    Token tok;
    for (std::uint32_t p = 0; ScanMarkupToken(p, tok) != XMLNODE_END;
         p = tok.dwStart + tok.dwLength) {
        const std::uint32_t dwFilling = stack.empty() ? dwParent : stack.back().dwPos;
        if (tok.nType == XMLNODE_ELEMENT) {
            const std::uint32_t dwPos = AllocPosition();
            LinkChild(dwFilling, dwPos, false);
            XmlPosition &rec = m_tree.At(dwPos);
            rec.dwLevel = static_cast<std::uint32_t>(stack.size());
            rec.dwStart = tok.dwStart;
            rec.dwStartTagLen = rec.dwLength = tok.dwLength;
            if (dwFirst == 0)
                dwFirst = dwPos;
            if (!tok.bEmpty) {
                XmlString strKey = keyOf(tok);
                open[strKey].push_back(static_cast<std::uint32_t>(stack.size()));
                stack.push_back(OpenElement{dwPos, std::move(strKey)});
            }
        } else if (tok.nType == XMLNODE_END_TAG) {
            auto it = open.find(keyOf(tok));
            if (it == open.end() || it->second.empty()) {
                markError(dwFilling);
                XmlString strName =
                    m_strText.substr(tok.dwNameStart, tok.dwNameEnd - tok.dwNameStart);
                AppendResultRecord("lone_end_tag", &strName, static_cast<int>(tok.dwStart), -1,
                                   0);
                continue;
            }
            const std::size_t nDepth = it->second.back();
            if (nDepth + 1 < stack.size())
                CloseUnended(stack, open, nDepth + 1, tok.dwStart + 1, dwParent);
            XmlPosition &rec = m_tree.At(stack.back().dwPos);
            rec.dwLength = tok.dwStart + tok.dwLength - rec.dwStart;
            rec.dwEndTagLen = tok.dwLength;
            open[stack.back().strKey].pop_back();
            stack.pop_back();
        } else if (tok.nType == XMLNODE_ERROR) {
            markError(dwFilling);
            if (tok.pszType) {
                const XmlString strType = XmlFromAscii(tok.pszType);
                AppendResultRecord(tok.pszRecord, &strType, static_cast<int>(tok.dwStart), -1,
                                   REC_TYPE);
            } else {
                AppendResultRecord(tok.pszRecord, nullptr, static_cast<int>(tok.dwStart), -1, 0);
            }
        }
    }
    if (!stack.empty())
        CloseUnended(stack, open, 0, static_cast<std::uint32_t>(m_strText.size()), dwParent);
    return dwFirst;
}

void CXmlDocument::CloseUnended(std::vector<OpenElement> &stack,
                                std::unordered_map<XmlString, std::vector<std::uint32_t>> &open,
                                std::size_t nDepth, std::uint32_t dwFoundAt, std::uint32_t dwBase)
{
    const std::uint32_t dwTarget = nDepth == 0 ? dwBase : stack[nDepth - 1].dwPos;
    std::uint32_t dwErrors = 0;
    // Records innermost first, as closing them one by one would write them.
    for (std::size_t i = stack.size(); i-- > nDepth;) {
        XmlPosition &rec = m_tree.At(stack[i].dwPos);
        rec.dwLength = rec.dwStartTagLen;
        rec.dwEndTagLen = 0;
        rec.dwFlags |= XMLPOS_START_ONLY;
        dwErrors |= rec.dwFlags & XMLPOS_INNER_ERROR;
        rec.dwFlags &= ~XMLPOS_INNER_ERROR;
        if (m_strResult.size() <= 999) {
            Token tok;
            ScanMarkupToken(rec.dwStart, tok);
            XmlString strName =
                m_strText.substr(tok.dwNameStart, tok.dwNameEnd - tok.dwNameStart);
            AppendResultRecord("unended_start_tag", &strName, static_cast<int>(rec.dwStart),
                               static_cast<int>(dwFoundAt), 0);
        }
    }
    m_tree.At(dwTarget).dwFlags |= dwErrors;
    m_tree.At(0).dwFlags |= XMLPOS_ILL_FORMED;

    // Each closed element followed by its own children, in text order; the
    // next closed element is the last child of the one before it.
    std::vector<std::uint32_t> order;
    for (std::size_t i = nDepth; i < stack.size(); ++i) {
        const std::uint32_t dwPos = stack[i].dwPos;
        const std::uint32_t dwInner = i + 1 < stack.size() ? stack[i + 1].dwPos : 0;
        order.push_back(dwPos);
        for (std::uint32_t c = m_tree.At(dwPos).dwFirstChild; c && c != dwInner;
             c = m_tree.At(c).dwNextSibling)
            order.push_back(c);
        m_tree.At(dwPos).dwFirstChild = 0;
    }
    for (std::size_t k = 1; k < order.size(); ++k) {
        XmlPosition &rec = m_tree.At(order[k]);
        rec.dwParent = dwTarget;
        rec.dwFlags &= ~XMLPOS_FIRST_CHILD;
        rec.dwPrevSibling = order[k - 1];
        m_tree.At(order[k - 1]).dwNextSibling = order[k];
    }
    m_tree.At(order.back()).dwNextSibling = 0;
    m_tree.At(m_tree.At(dwTarget).dwFirstChild).dwPrevSibling = order.back();

    for (std::size_t i = stack.size(); i-- > nDepth;) {
        open[stack[i].strKey].pop_back();
        stack.pop_back();
    }
}

void CXmlDocument::AssignLevels()
{
    const std::uint32_t dwCount = static_cast<std::uint32_t>(m_nNextFree);
    for (std::uint32_t i = 1; i < dwCount; ++i) {
        XmlPosition &rec = m_tree.At(i);
        rec.dwLevel = rec.dwParent ? m_tree.At(rec.dwParent).dwLevel + 1 : 0;
    }
}
