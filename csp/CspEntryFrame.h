// CspEntryFrame.h
//
// CCspEntryFrame: the common frame of one exported CP* function. It traces
// the entry and exit, clears the last error on entry, holds the keyset lock
// while the provider found for the handle is in use, dumps the data that may
// be shown and hands the result to the caller as CryptoAPI expects it: 0 is
// TRUE with ERROR_SUCCESS, any other code FALSE with that code as the last
// error. Run() is the catch-all every entry point goes through, so that no
// exception leaves the module.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <new>

#include "CspTraceScope.h"
#include "Pavrel_Keyset.h"

class Pavrel_Provider;

class CCspEntryFrame {
public:
    explicit CCspEntryFrame(const char *pszFunction);

    const char *function() const { return m_pszFunction; }
    // The provider of the handle, or null; good while the frame lives.
    Pavrel_Provider *findProvider(ULONG64 hProv);

    // A level-4 line "[<function>] <text>".
    void info(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // A level-1 line "[<function>] <text>".
    void error(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // Traces "[<function>] [<operation>] fOK=[..]" and gives the code back.
    DWORD result(const char *pszOperation, DWORD dwRet);
    // A hex dump of the bytes; a null buffer writes nothing, and secret
    // bytes (PINs, clear keys, clear data, random output) show only their
    // length.
    void dump(const char *pszName, const BYTE *pbData, DWORD dwLen, bool bSecret = false);
    // The output of a successful call: a dump when a buffer was given, the
    // length alone for a size query.
    void dumpOutput(const char *pszName, DWORD dwRet, const BYTE *pbData, const DWORD *pdwLen,
                    bool bSecret = false);
    // result() of an operation with an output buffer, then dumpOutput().
    DWORD resultWithOutput(const char *pszOperation, DWORD dwRet, const char *pszName,
                           const BYTE *pbData, const DWORD *pdwLen, bool bSecret = false);

    // The last error and return value for the code.
    static BOOL finish(DWORD dwRet);

    // Runs the body (a callable returning 0 or an error code) inside the
    // catch-all: out of memory is NTE_NO_MEMORY, anything else NTE_FAIL.
    // The report names the caller's source file and line.
    template <typename Body>
    static BOOL Run(const char *pszFunction, Body body, const char *pszSource = __builtin_FILE(),
                    int nLine = __builtin_LINE())
    {
        DWORD dwRet;
        try {
            CCspEntryFrame frame(pszFunction);
            dwRet = body(frame);
        } catch (const std::bad_alloc &) {
            reportException(pszSource, nLine, pszFunction);
            dwRet = static_cast<DWORD>(NTE_NO_MEMORY);
        } catch (...) {
            reportException(pszSource, nLine, pszFunction);
            dwRet = static_cast<DWORD>(NTE_FAIL);
        }
        return finish(dwRet);
    }

private:
    CCspEntryFrame(const CCspEntryFrame &) = delete;
    CCspEntryFrame &operator=(const CCspEntryFrame &) = delete;

    static void reportException(const char *pszSource, int nLine, const char *pszFunction);

    const char *m_pszFunction;
    CCspTraceScope m_scope;
    Pavrel_Keyset::Lock m_lock;
};
