// TraceWriter.h
//
// CTraceWriter: the one door through which a module writes trace lines. It
// binds the outside trace library KQUKeyLog once at start-up and forwards
// entries, exits, formatted lines, hex dumps and exception reports to it.
// Without the library every call returns at once and nothing else changes.
// No call ever changes the caller's last-error value.
//
// Secrets (PINs, private keys, key blobs) are written only through
// LogHexMasked, which shows a header and the length but never the data.
#pragma once

#include <windows.h>

// Module tags of the modules that trace.
#define TRACE_MODULE_CARD "KQCARD"
#define TRACE_MODULE_CSP "KQCSPX"
#define TRACE_MODULE_PINPAD "KQWBPI"

// Levels and line kinds passed to traceLog.
enum {
    TRACE_LEVEL_ERROR = 1,
    TRACE_LEVEL_WARNING = 2,
    TRACE_LEVEL_ARGS = 3,
    TRACE_LEVEL_INFO = 4,
    TRACE_LEVEL_HEX = 5,
};
enum {
    TRACE_KIND_LINE = 14,
    TRACE_KIND_HEX = 15,
    TRACE_KIND_EXCEPTION = 255,
};

class CTraceWriter {
public:
    // The module's writer; created at first use and never deleted.
    static CTraceWriter *GetInstance();

    virtual ~CTraceWriter();

    // Loads the trace library from the path (the bare name "KQUKeyLog.dll"
    // when the path is null or empty) and looks up its five entry points;
    // true in every case.
    BOOL LoadTraceLibrary(const char *pszPath);
    // Frees the library; tracing is off afterwards. True.
    BOOL FreeTraceLibrary();
    // True while a trace library is bound.
    BOOL IsTracing() const;

    void Enter(const char *pszModule, const char *pszClass, const char *pszMethod);
    void Leave(const char *pszModule, const char *pszClass, const char *pszMethod);
    // printf-formatted line, cut at 4095 characters.
    void Log(int nLevel, int nKind, const char *pszModule, const char *pszFormat, ...)
        __attribute__((format(printf, 5, 6)));
    // One hex-dump line at level 5, kind 15. Class and data name may be null.
    void LogHex(const char *pszModule, const char *pszClass, const char *pszMethod,
                const char *pszDataName, const BYTE *pbData, DWORD dwLen);
    // Like LogHex, but only the first dwVisible bytes are shown (an APDU
    // header); the rest is written as its length alone.
    void LogHexMasked(const char *pszModule, const char *pszClass, const char *pszMethod,
                      const char *pszDataName, const BYTE *pbData, DWORD dwLen,
                      DWORD dwVisible);
    // One exception report at level 1, kind 255, naming the source file's
    // last path component. A path without a separator writes nothing.
    void LogException(const char *pszSourcePath, int nLine, const char *pszModule,
                      const char *pszFormat, ...) __attribute__((format(printf, 5, 6)));

private:
    CTraceWriter();
    CTraceWriter(const CTraceWriter &) = delete;
    CTraceWriter &operator=(const CTraceWriter &) = delete;

    // One dump line showing the first dwVisible bytes (all of them: LogHex).
    void SendHexLine(const char *pszModule, const char *pszClass, const char *pszMethod,
                     const char *pszDataName, const BYTE *pbData, DWORD dwLen,
                     DWORD dwVisible);
};

// Writes the catch-all report of an operation: "<Class>::<Method> Catch an
// Exception,GetLastError=[%d]" with the current last-error value.
#define TRACE_CATCH_ALL(module, text)                                                   \
    CTraceWriter::GetInstance()->LogException(__FILE__, __LINE__, module,              \
                                              text " Catch an Exception,GetLastError=[%d]", \
                                              static_cast<int>(GetLastError()))
