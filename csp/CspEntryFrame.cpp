// CspEntryFrame.cpp
#include "CspEntryFrame.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "Pavrel_Provider.h"
#include "TraceWriter.h"

namespace {

void WriteLine(int nLevel, const char *pszFunction, const char *pszFormat, va_list args)
{
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    if (!pWriter->IsTracing())
        return;
    char szText[4096];
    vsnprintf(szText, sizeof(szText), pszFormat, args);
    pWriter->Log(nLevel, TRACE_KIND_LINE, TRACE_MODULE_CSP, "[%s] %s", pszFunction, szText);
}

}  // namespace

CCspEntryFrame::CCspEntryFrame(const char *pszFunction)
    : m_pszFunction(pszFunction), m_scope("", pszFunction)
{
    SetLastError(ERROR_SUCCESS);
}

Pavrel_Provider *CCspEntryFrame::findProvider(ULONG64 hProv)
{
    return Pavrel_Keyset::FindProvider(hProv);
}

void CCspEntryFrame::info(const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    WriteLine(TRACE_LEVEL_INFO, m_pszFunction, pszFormat, args);
    va_end(args);
}

void CCspEntryFrame::error(const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    WriteLine(TRACE_LEVEL_ERROR, m_pszFunction, pszFormat, args);
    va_end(args);
}

DWORD CCspEntryFrame::result(const char *pszOperation, DWORD dwRet)
{
    info("[%s] fOK=[%d]", pszOperation, dwRet == 0 ? 1 : 0);
    return dwRet;
}

void CCspEntryFrame::dump(const char *pszName, const BYTE *pbData, DWORD dwLen, bool bSecret)
{
    if (pbData == nullptr)
        return;
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    if (bSecret)
        pWriter->LogHexMasked(TRACE_MODULE_CSP, nullptr, m_pszFunction, pszName, pbData, dwLen, 0);
    else
        pWriter->LogHex(TRACE_MODULE_CSP, nullptr, m_pszFunction, pszName, pbData, dwLen);
}

void CCspEntryFrame::dumpOutput(const char *pszName, DWORD dwRet, const BYTE *pbData,
                                const DWORD *pdwLen, bool bSecret)
{
    if (dwRet != 0 || pdwLen == nullptr)
        return;
    if (pbData == nullptr)
        info("%s:0 ,pcbDataLen=[%d]", pszName, static_cast<int>(*pdwLen));
    else
        dump(pszName, pbData, *pdwLen, bSecret);
}

DWORD CCspEntryFrame::resultWithOutput(const char *pszOperation, DWORD dwRet, const char *pszName,
                                       const BYTE *pbData, const DWORD *pdwLen, bool bSecret)
{
    result(pszOperation, dwRet);
    dumpOutput(pszName, dwRet, pbData, pdwLen, bSecret);
    return dwRet;
}

BOOL CCspEntryFrame::finish(DWORD dwRet)
{
    SetLastError(dwRet);
    return dwRet == 0 ? TRUE : FALSE;
}

void CCspEntryFrame::reportException(const char *pszSource, int nLine, const char *pszFunction)
{
    const std::string strText = std::string("[") + pszFunction + "]";
    CTraceWriter::GetInstance()->LogException(pszSource, nLine, TRACE_MODULE_CSP,
                                              "%s Catch an Exception,GetLastError=[%d]",
                                              strText.c_str(), static_cast<int>(GetLastError()));
}
