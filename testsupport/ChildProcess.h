// ChildProcess.h
//
// ChildProcess: a helper program a test starts (from the test's output
// folder), with no window and its standard handles on NUL. The destructor
// ends it if it still runs, so a failed test leaves no helper behind.
#pragma once

#include <windows.h>

#include <string>

class ChildProcess {
public:
    // Starts "<bin>\<pszProgram>" with the argument text.
    ChildProcess(const char *pszProgram, const std::string &strArguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool Started() const { return m_hProcess != nullptr; }
    DWORD Pid() const { return m_dwPid; }
    HANDLE Handle() const { return m_hProcess; }
    // Waits until it ends (at most dwMilliseconds); its exit code, or
    // STILL_ACTIVE when it still runs (or never started).
    DWORD Wait(DWORD dwMilliseconds);

private:
    HANDLE m_hProcess;
    DWORD m_dwPid;
};
