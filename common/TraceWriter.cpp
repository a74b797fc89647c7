// TraceWriter.cpp
//
// The binding is module-wide state: one library handle (null = off) and five
// entry points, each tested before it is called so that a library missing an
// export cannot crash its caller.
#include "TraceWriter.h"

#include <cstdarg>
#include <new>
#include <string>

#include "OutsideInterfaces.h"
#include "TraceFormat.h"

namespace {

HMODULE g_hTraceLibrary = nullptr;
PFN_traceEnter g_pfnTraceEnter = nullptr;
PFN_traceLeave g_pfnTraceLeave = nullptr;
PFN_traceLog g_pfnTraceLog = nullptr;
PFN_traceException g_pfnTraceException = nullptr;
PFN_traceHex g_pfnTraceHex = nullptr;

// Restores the caller's last-error value when a trace call returns.
class CLastErrorKeeper {
public:
    CLastErrorKeeper() : m_dwLastError(GetLastError()) {}
    ~CLastErrorKeeper() { SetLastError(m_dwLastError); }

private:
    DWORD m_dwLastError;
};

}  // namespace

CTraceWriter *CTraceWriter::GetInstance()
{
    static CTraceWriter *s_pInstance = new CTraceWriter();
    return s_pInstance;
}

CTraceWriter::CTraceWriter() {}

CTraceWriter::~CTraceWriter() {}

BOOL CTraceWriter::LoadTraceLibrary(const char *pszPath)
{
    CLastErrorKeeper keeper;
    if (g_hTraceLibrary != nullptr)
        return TRUE;
    const char *pszName = (pszPath && *pszPath) ? pszPath : "KQUKeyLog.dll";
    HMODULE hModule = LoadLibraryA(pszName);
    if (hModule == nullptr)
        return TRUE;
    g_pfnTraceEnter = KQGetProcAddress<PFN_traceEnter>(hModule, "traceEnter");
    g_pfnTraceLeave = KQGetProcAddress<PFN_traceLeave>(hModule, "traceLeave");
    g_pfnTraceLog = KQGetProcAddress<PFN_traceLog>(hModule, "traceLog");
    g_pfnTraceException = KQGetProcAddress<PFN_traceException>(hModule, "traceException");
    g_pfnTraceHex = KQGetProcAddress<PFN_traceHex>(hModule, "traceHex");
    g_hTraceLibrary = hModule;
    return TRUE;
}

BOOL CTraceWriter::FreeTraceLibrary()
{
    CLastErrorKeeper keeper;
    HMODULE hModule = g_hTraceLibrary;
    g_hTraceLibrary = nullptr;
    g_pfnTraceEnter = nullptr;
    g_pfnTraceLeave = nullptr;
    g_pfnTraceLog = nullptr;
    g_pfnTraceException = nullptr;
    g_pfnTraceHex = nullptr;
    if (hModule != nullptr)
        FreeLibrary(hModule);
    return TRUE;
}

BOOL CTraceWriter::IsTracing() const { return g_hTraceLibrary != nullptr; }

void CTraceWriter::Enter(const char *pszModule, const char *pszClass, const char *pszMethod)
{
    if (g_hTraceLibrary == nullptr || g_pfnTraceEnter == nullptr)
        return;
    CLastErrorKeeper keeper;
    g_pfnTraceEnter(pszModule, pszClass, pszMethod);
}

void CTraceWriter::Leave(const char *pszModule, const char *pszClass, const char *pszMethod)
{
    if (g_hTraceLibrary == nullptr || g_pfnTraceLeave == nullptr)
        return;
    CLastErrorKeeper keeper;
    g_pfnTraceLeave(pszModule, pszClass, pszMethod);
}

void CTraceWriter::Log(int nLevel, int nKind, const char *pszModule, const char *pszFormat,
                       ...)
{
    if (g_hTraceLibrary == nullptr || g_pfnTraceLog == nullptr)
        return;
    CLastErrorKeeper keeper;
    char szText[TRACE_TEXT_AREA];
    va_list args;
    va_start(args, pszFormat);
    TraceFormatText(szText, pszFormat, args);
    va_end(args);
    g_pfnTraceLog(nLevel, nKind, pszModule, szText);
}

void CTraceWriter::SendHexLine(const char *pszModule, const char *pszClass,
                               const char *pszMethod, const char *pszDataName,
                               const BYTE *pbData, DWORD dwLen, DWORD dwVisible)
{
    if (g_hTraceLibrary == nullptr || g_pfnTraceLog == nullptr)
        return;
    if (pbData == nullptr || dwLen == 0)
        return;
    CLastErrorKeeper keeper;
    try {
        char szHead[TRACE_HEX_HEAD_AREA];
        TraceFormatHexHead(szHead, pszClass, pszMethod, pszDataName);
        std::string strLine = TraceMaskedHexLine(szHead, pbData, dwLen, dwVisible);
        g_pfnTraceLog(TRACE_LEVEL_HEX, TRACE_KIND_HEX, pszModule, strLine.c_str());
    } catch (...) {
        // A dump that cannot be built (memory) is dropped.
    }
}

void CTraceWriter::LogHex(const char *pszModule, const char *pszClass, const char *pszMethod,
                          const char *pszDataName, const BYTE *pbData, DWORD dwLen)
{
    SendHexLine(pszModule, pszClass, pszMethod, pszDataName, pbData, dwLen, dwLen);
}

void CTraceWriter::LogHexMasked(const char *pszModule, const char *pszClass,
                                const char *pszMethod, const char *pszDataName,
                                const BYTE *pbData, DWORD dwLen, DWORD dwVisible)
{
    SendHexLine(pszModule, pszClass, pszMethod, pszDataName, pbData, dwLen, dwVisible);
}

void CTraceWriter::LogException(const char *pszSourcePath, int nLine, const char *pszModule,
                                const char *pszFormat, ...)
{
    if (g_hTraceLibrary == nullptr || g_pfnTraceLog == nullptr)
        return;
    const char *pszFileName = TraceSourceFileName(pszSourcePath);
    if (pszFileName == nullptr)
        return;
    CLastErrorKeeper keeper;
    char szText[TRACE_TEXT_AREA];
    va_list args;
    va_start(args, pszFormat);
    TraceFormatText(szText, pszFormat, args);
    va_end(args);
    char szReport[TRACE_EXCEPTION_AREA];
    TraceFormatExceptionReport(szReport, pszFileName, nLine, szText);
    g_pfnTraceLog(TRACE_LEVEL_ERROR, TRACE_KIND_EXCEPTION, pszModule, szReport);
}
