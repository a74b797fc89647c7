// SignDemoPlan.cpp
#include "SignDemoPlan.h"

#include <windows.h>

#include "Pavrel_DisplaySign.h"
#include "SignDataLayout.h"

namespace {

const UINT kTokenCodePage = 936;

std::string TrimRight(std::string s)
{
    const size_t n = s.find_last_not_of(' ');
    s.erase(n == std::string::npos ? 0 : n + 1);
    return s;
}

// The first row with text; the key-hint row when the lines are all blank.
std::string MarkerOf(const std::vector<std::string> &rows)
{
    for (const std::string &strRow : rows)
        if (!strRow.empty())
            return strRow;
    return std::string();
}

// GBK text (the token's code page) in UTF-8; empty when it is not GBK.
std::string GbkToUtf8(const std::string &strGbk)
{
    if (strGbk.empty())
        return std::string();
    const int nLen = static_cast<int>(strGbk.size());
    const int cchWide = MultiByteToWideChar(kTokenCodePage, MB_ERR_INVALID_CHARS, strGbk.data(),
                                            nLen, nullptr, 0);
    if (cchWide <= 0)
        return std::string();
    std::vector<WCHAR> wide(static_cast<size_t>(cchWide));
    MultiByteToWideChar(kTokenCodePage, MB_ERR_INVALID_CHARS, strGbk.data(), nLen, wide.data(),
                        cchWide);
    const int cbUtf8 =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), cchWide, nullptr, 0, nullptr, nullptr);
    if (cbUtf8 <= 0)
        return std::string();
    std::string strUtf8(static_cast<size_t>(cbUtf8), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), cchWide, &strUtf8[0], cbUtf8, nullptr, nullptr);
    return strUtf8;
}

}  // namespace

SignDemoPlan PlanConfirmation(const std::string &strData, const std::string &strToken,
                              bool bCancel)
{
    SignDemoPlan plan;
    // The CSP's own lines, then one page per line scrolled.
    SignLines lines;
    plan.bSecond = Pavrel_DisplaySign::SignLinesOf(reinterpret_cast<const BYTE *>(strData.data()),
                                                   static_cast<DWORD>(strData.size()), lines);
    const std::string strPress = "user " + strToken + " press ";
    for (int nTop = 0;; ++nTop) {
        char abPage[CSignDataLayout::PAGE_BYTES];
        bool bEarlier = false, bLater = false;
        if (!CSignDataLayout::Compose(lines, nTop, abPage, &bEarlier, &bLater))
            break;
        SignDemoPage page;
        for (size_t nRow = 0; nRow < 4; ++nRow)
            page.rows.push_back(TrimRight(GbkToUtf8(
                std::string(abPage + nRow * CSignDataLayout::ROW_BYTES, CSignDataLayout::ROW_BYTES))));
        page.strMarker = MarkerOf(page.rows);
        const char *pszKey = bLater ? "#" : bCancel ? "esc" : "enter";
        plan.commands.push_back(strPress + pszKey + " when " + page.strMarker);
        plan.pages.push_back(page);
        if (!bLater)
            break;
    }
    if (plan.bSecond && !bCancel)
        plan.commands.push_back(strPress + "enter when " +
                                GbkToUtf8(CSignDataLayout::kSecondConfirm));
    return plan;
}
