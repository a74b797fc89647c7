// CorliskApp.h
//
// CCorliskApp: the token access library's application object. It binds the
// outside libraries the library works with, all found beside the library's
// own file: the trace library KQUKeyLog, the memory library KQUKeyMem and
// the path of the crypto plug-in KQCrypt (loaded where it is used), and it
// creates the process-wide managers (trace writer, HID device manager, HID
// manager, owner-record manager).
//
// Start-up runs once, on the first call of an export, never inside DllMain:
// loading libraries while the loader lock is held can deadlock. Exit runs
// from DllMain when the library is freed (see ExitFromDllMain).
#pragma once

#include <windows.h>

class CCorliskApp {
public:
    // The library's one application object.
    static CCorliskApp &GetInstance();

    // Runs InitInstance exactly once per process, whichever thread calls
    // first; later callers wait until it has finished.
    void EnsureStarted();
    // Called from DllMain: remembers the library's own module handle.
    void SetModule(HMODULE hModule) { m_hModule = hModule; }
    // Called from DllMain's PROCESS_DETACH; bProcessExit when the process is
    // ending rather than the library being freed.
    void ExitFromDllMain(bool bProcessExit);

    // Binds the trace and memory libraries and records the crypto plug-in's
    // path, all from the library's own folder. TRUE.
    BOOL InitInstance();
    // Frees what InitInstance bound, memory and crypto first, trace last.
    int ExitInstance();

    // True once InitInstance has run.
    bool IsStarted() const { return m_bStarted; }

private:
    CCorliskApp();
    CCorliskApp(const CCorliskApp &) = delete;
    CCorliskApp &operator=(const CCorliskApp &) = delete;

    static BOOL CALLBACK InitOnce(PINIT_ONCE pInitOnce, PVOID pParam, PVOID *ppContext);

    HMODULE m_hModule;
    INIT_ONCE m_initOnce;
    volatile bool m_bStarted;
};
