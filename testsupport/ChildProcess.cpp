// ChildProcess.cpp
#include "ChildProcess.h"

#include <vector>

#include "TestPaths.h"

ChildProcess::ChildProcess(const char *pszProgram, const std::string &strArguments)
    : m_hProcess(nullptr), m_dwPid(0)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hNul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = hNul;
    const std::string strCommand = "\"" + TestBinPath(pszProgram) + "\" " + strArguments;
    std::vector<char> command(strCommand.begin(), strCommand.end());
    command.push_back('\0');
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
        m_dwPid = pi.dwProcessId;
    }
    if (hNul != INVALID_HANDLE_VALUE)
        CloseHandle(hNul);
}

ChildProcess::~ChildProcess()
{
    if (m_hProcess == nullptr)
        return;
    if (WaitForSingleObject(m_hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_hProcess, 1);
        WaitForSingleObject(m_hProcess, 5000);
    }
    CloseHandle(m_hProcess);
}

DWORD ChildProcess::Wait(DWORD dwMilliseconds)
{
    DWORD dwExit = STILL_ACTIVE;
    if (m_hProcess != nullptr && WaitForSingleObject(m_hProcess, dwMilliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(m_hProcess, &dwExit);
    return dwExit;
}
