// SignDataLayout.cpp
#include "SignDataLayout.h"

#include <algorithm>
#include <cstring>

const char *const CSignDataLayout::kFallbackLine =
    "\xC7\xEB\xC4\xFA\xC8\xB7\xC8\xCF\xCA\xFD\xD7\xD6\xC7\xA9\xC3\xFB";
const char *const CSignDataLayout::kSecondConfirm =
    "\xC7\xEB\xC4\xFA\xD4\xD9\xB4\xCE\xC8\xB7\xC8\xCF\xBD\xBB\xD2\xD7";
const char *const CSignDataLayout::kConfirmed = "\xD2\xD1\xC8\xB7\xC8\xCF...";
const char *const CSignDataLayout::kCancelled = "\xD2\xD1\xC8\xA1\xCF\xFB...";
const char *const CSignDataLayout::kTimedOut =
    "\xD2\xD1\xB3\xAC\xCA\xB1,\xBD\xBB\xD2\xD7\xC8\xA1\xCF\xFB";

namespace {

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// "取消", "↑", "↓" and "确认".
const char kCancelHint[] = "\xC8\xA1\xCF\xFB";
const char kUpArrow[] = "\xA1\xFC";
const char kDownArrow[] = "\xA1\xFD";
const char kConfirmHint[] = "\xC8\xB7\xC8\xCF";

}  // namespace

void CSignDataLayout::SplitText(const std::string &strText, SignLines &vecLines)
{
    const size_t n = strText.size();
    size_t s = 0;
    while (s < n) {
        size_t p = s;
        while (p < n) {
            const size_t nChar =
                IsLeadByte(static_cast<unsigned char>(strText[p])) && p + 1 < n ? 2 : 1;
            if (p + nChar - s > ROW_BYTES)
                break;
            p += nChar;
        }
        vecLines.push_back(strText.substr(s, p - s));
        s = p;
    }
}

void CSignDataLayout::Arrange(CXmlDocument &doc, SignLines &vecLines)
{
    if (doc.SeekElement("/SignData/TradeType"))
        SplitText(doc.QueryAttr("name"), vecLines);
    if (doc.SeekElement("/SignData/Fields")) {
        doc.DescendLevel();
        while (doc.SeekElement(nullptr)) {
            const std::string strLabel = doc.QueryAttr("name");
            const std::string strValue = doc.ReadContent();
            if (!strLabel.empty() && !strValue.empty())
                SplitText(strLabel + strValue, vecLines);
        }
        doc.AscendLevel();
    }
}

bool CSignDataLayout::BuildLines(const std::string &strText, const IXmlAnsiConverter *pConverter,
                                 PFN_ARRANGE pfnArrange, SignLines &vecLines)
{
    vecLines.clear();
    bool bSecond = false;
    CXmlDocument doc(nullptr, pConverter);
    if (doc.TakeText(strText)) {
        // The arrangement walks a copy, so the parsed document stays as read.
        CXmlDocument copy(nullptr, pConverter);
        copy.CopyFrom(doc);
        bSecond = pfnArrange(copy, vecLines) != 0 && !vecLines.empty();
    }
    // Half a transaction is never shown: without the whole of it the user
    // confirms only that a signature is made.
    if (!bSecond) {
        vecLines.clear();
        vecLines.push_back(kFallbackLine);
    }
    Pad(vecLines);
    return bSecond;
}

void CSignDataLayout::Pad(SignLines &vecLines)
{
    for (std::string &strLine : vecLines)
        strLine = (strLine + std::string(ROW_BYTES, ' ')).substr(0, ROW_BYTES);
}

int CSignDataLayout::Compose(const SignLines &vecLines, int nTop, char *pPage, bool *pbEarlier,
                             bool *pbLater)
{
    std::memset(pPage, ' ', PAGE_BYTES);
    *pbEarlier = false;
    *pbLater = false;
    const int nCount = static_cast<int>(vecLines.size());
    if (nCount == 0)
        return 0;
    int i = std::max(nTop, 0);
    if (i + 2 >= nCount - 1)
        i = std::max(nCount - 3, 0);
    for (int nRow = 0; nRow < 3 && i + nRow < nCount; ++nRow) {
        const std::string &strLine = vecLines[static_cast<size_t>(i + nRow)];
        std::memcpy(pPage + nRow * ROW_BYTES, strLine.data(), std::min(strLine.size(), ROW_BYTES));
    }
    *pbEarlier = i > 0;
    *pbLater = i + 2 < nCount - 1;
    char *pHint = pPage + 3 * ROW_BYTES;
    std::memcpy(pHint, kCancelHint, 4);
    if (*pbEarlier)
        std::memcpy(pHint + 5, kUpArrow, 2);
    if (*pbLater)
        std::memcpy(pHint + 9, kDownArrow, 2);
    std::memcpy(pHint + 12, kConfirmHint, 4);
    return 1;
}

std::string CSignDataLayout::TextPage(const char *pszText)
{
    std::string strPage(PAGE_BYTES, ' ');
    const size_t nLen = std::min(std::strlen(pszText), ROW_BYTES);
    strPage.replace(0, nLen, pszText, nLen);
    return strPage;
}
