// XmlAnsiCodePage.cpp
#include "XmlAnsiCodePage.h"

#include <windows.h>

int CXmlAnsiCodePage::FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const
{
    WCHAR wsz[2];
    int cch = 1;
    if (dwCodePoint >= 0x10000) {
        wsz[0] = static_cast<WCHAR>(0xD800 + ((dwCodePoint - 0x10000) >> 10));
        wsz[1] = static_cast<WCHAR>(0xDC00 + ((dwCodePoint - 0x10000) & 0x3FF));
        cch = 2;
    } else {
        wsz[0] = static_cast<WCHAR>(dwCodePoint);
    }
    BOOL bUsedDefault = FALSE;
    int cb = WideCharToMultiByte(m_uCodePage, WC_NO_BEST_FIT_CHARS, wsz, cch, pOut, MAX_BYTES,
                                 nullptr, &bUsedDefault);
    return cb > 0 && !bUsedDefault ? cb : 0;
}
