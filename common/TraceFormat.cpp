// TraceFormat.cpp
#include "TraceFormat.h"

#include <cstdio>
#include <cstring>

void TraceFormatText(char *szOut, const char *pszFormat, va_list args)
{
    std::memset(szOut, 0, TRACE_TEXT_AREA);
    if (pszFormat == nullptr)
        return;
    // vsnprintf always terminates and never writes past the area: a text of
    // more than 4095 characters is cut there.
    std::vsnprintf(szOut, TRACE_TEXT_AREA, pszFormat, args);
}

void TraceFormatHexHead(char *szOut, const char *pszClass, const char *pszMethod,
                        const char *pszDataName)
{
    std::memset(szOut, 0, TRACE_HEX_HEAD_AREA);
    const char *pszSafeMethod = pszMethod ? pszMethod : "";
    if (pszClass && pszDataName)
        std::snprintf(szOut, TRACE_HEX_HEAD_AREA, "%s::%s %s=", pszClass, pszSafeMethod,
                      pszDataName);
    else if (pszClass)
        std::snprintf(szOut, TRACE_HEX_HEAD_AREA, "%s::%s ", pszClass, pszSafeMethod);
    else if (pszDataName)
        std::snprintf(szOut, TRACE_HEX_HEAD_AREA, "[%s] %s=", pszSafeMethod, pszDataName);
    else
        std::snprintf(szOut, TRACE_HEX_HEAD_AREA, "[%s] ", pszSafeMethod);
}

void TraceAppendHex(std::string &strOut, const KQBYTE *pbData, std::size_t cbData)
{
    static const char kDigits[] = "0123456789ABCDEF";
    strOut.reserve(strOut.size() + cbData * 2);
    for (std::size_t i = 0; i < cbData; ++i) {
        strOut.push_back(kDigits[pbData[i] >> 4]);
        strOut.push_back(kDigits[pbData[i] & 0x0F]);
    }
}

std::string TraceMaskedHexLine(const char *szHead, const KQBYTE *pbData, std::size_t cbData,
                               std::size_t cbVisible)
{
    std::string strLine(szHead ? szHead : "");
    if (cbVisible > cbData)
        cbVisible = cbData;
    TraceAppendHex(strLine, pbData, cbVisible);
    if (cbData > cbVisible) {
        char szMasked[48];
        std::snprintf(szMasked, sizeof(szMasked), "[%lu bytes masked]",
                      static_cast<unsigned long>(cbData - cbVisible));
        strLine += szMasked;
    }
    return strLine;
}

const char *TraceSourceFileName(const char *pszPath)
{
    if (pszPath == nullptr)
        return nullptr;
    const char *pszName = nullptr;
    for (const char *p = pszPath; *p; ++p) {
        if (*p == '\\' || *p == '/')
            pszName = p + 1;
    }
    return pszName;
}

void TraceFormatExceptionReport(char *szOut, const char *pszFileName, int nLine,
                                const char *pszText)
{
    std::memset(szOut, 0, TRACE_EXCEPTION_AREA);
    std::snprintf(szOut, TRACE_EXCEPTION_AREA,
                  "File %s Catch an Exception,line:%d\r\nDetail=\r\n{\r\n\t%s\r\n}",
                  pszFileName ? pszFileName : "", nLine, pszText ? pszText : "");
}
