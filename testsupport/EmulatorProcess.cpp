// EmulatorProcess.cpp
#include "EmulatorProcess.h"

#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "../emulator/server/EmuPipeIo.h"
#include "EmuScreenAnswers.h"
#include "TestPaths.h"

namespace {

const DWORD kStartTimeoutMs = 20000;
const DWORD kQuitTimeoutMs = 5000;
const DWORD kControlTimeoutMs = 10000;

std::atomic<unsigned> g_nCounter(0);

std::string LowerCase(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

EmulatorProcess::EmulatorProcess(int nTokens, int nReportLength)
    : m_hProcess(nullptr), m_bStarted(false), m_bHadPrevious(false)
{
    char szBase[64];
    std::snprintf(szBase, sizeof(szBase), "KQTokenEmu-%lu-%u", GetCurrentProcessId(),
                  ++g_nCounter);
    m_strBase = szBase;

    char szPrevious[256];
    DWORD dwPrevious = GetEnvironmentVariableA(emu::kPipeEnvVar, szPrevious, sizeof(szPrevious));
    if (dwPrevious > 0 && dwPrevious < sizeof(szPrevious)) {
        m_bHadPrevious = true;
        m_strPrevious.assign(szPrevious, dwPrevious);
    }
    SetEnvironmentVariableA(emu::kPipeEnvVar, m_strBase.c_str());

    // The emulator's standard handles go to NUL: it must never hold the
    // test's own pipes (ctest would wait for them to close).
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hNul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNul;
    si.hStdOutput = hNul;
    si.hStdError = hNul;
    std::ostringstream command;
    command << '"' << TestBinPath("KQTokenEmu.exe") << "\" --pipe " << m_strBase << " --tokens "
            << nTokens << " --report " << nReportLength << " --parent " << GetCurrentProcessId();
    std::string strCommand = command.str();
    std::vector<char> commandLine(strCommand.begin(), strCommand.end());
    commandLine.push_back('\0');
    // Only the NUL handle is handed on, whatever else this process has
    // marked inheritable.
    STARTUPINFOEXA six = {};
    six.StartupInfo = si;
    six.StartupInfo.cb = sizeof(six);
    SIZE_T nAttributes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &nAttributes);
    std::vector<char> attributes(nAttributes);
    six.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    DWORD dwFlags = CREATE_NO_WINDOW;
    if (nAttributes != 0 && InitializeProcThreadAttributeList(six.lpAttributeList, 1, 0, &nAttributes)) {
        if (UpdateProcThreadAttribute(six.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                      &hNul, sizeof(hNul), nullptr, nullptr))
            dwFlags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        six.lpAttributeList = nullptr;
    }
    if (!(dwFlags & EXTENDED_STARTUPINFO_PRESENT))
        six.StartupInfo.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL bCreated = hNul != INVALID_HANDLE_VALUE &&
                    CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, dwFlags,
                                   nullptr, nullptr, &six.StartupInfo, &pi);
    if (six.lpAttributeList != nullptr)
        DeleteProcThreadAttributeList(six.lpAttributeList);
    if (hNul != INVALID_HANDLE_VALUE)
        CloseHandle(hNul);
    if (!bCreated) {
        std::fprintf(stderr, "EmulatorProcess: cannot start %s (error %lu)\n", strCommand.c_str(),
                     GetLastError());
        return;
    }
    CloseHandle(pi.hThread);
    m_hProcess = pi.hProcess;

    const ULONGLONG ullDeadline = GetTickCount64() + kStartTimeoutMs;
    while (GetTickCount64() < ullDeadline) {
        std::string strAnswer;
        DWORD dwError = 0;
        if (emu::ControlRequest(m_strBase, "list", 1000, strAnswer, &dwError) &&
            strAnswer.compare(0, 2, "OK") == 0) {
            m_bStarted = true;
            return;
        }
        if (WaitForSingleObject(m_hProcess, 20) == WAIT_OBJECT_0) {
            DWORD dwExit = 0;
            GetExitCodeProcess(m_hProcess, &dwExit);
            std::fprintf(stderr, "EmulatorProcess: the emulator ended at start (exit %lu)\n",
                         dwExit);
            return;
        }
    }
    std::fprintf(stderr, "EmulatorProcess: the emulator did not answer within %lu ms\n",
                 kStartTimeoutMs);
}

EmulatorProcess::~EmulatorProcess()
{
    HANDLE hProcess = static_cast<HANDLE>(m_hProcess);
    if (hProcess != nullptr) {
        if (WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT) {
            std::string strAnswer;
            DWORD dwError = 0;
            emu::ControlRequest(m_strBase, "quit", 1000, strAnswer, &dwError);
            if (WaitForSingleObject(hProcess, kQuitTimeoutMs) != WAIT_OBJECT_0) {
                TerminateProcess(hProcess, 1);
                WaitForSingleObject(hProcess, kQuitTimeoutMs);
            }
        }
        CloseHandle(hProcess);
    }
    SetEnvironmentVariableA(emu::kPipeEnvVar, m_bHadPrevious ? m_strPrevious.c_str() : nullptr);
}

bool EmulatorProcess::Started() const { return m_bStarted; }

std::string EmulatorProcess::Control(const std::string &strCommand) const
{
    std::string strAnswer;
    DWORD dwError = 0;
    if (!emu::ControlRequest(m_strBase, strCommand, kControlTimeoutMs, strAnswer, &dwError))
        return "ERR emulator not reachable (error " + std::to_string(dwError) + ")";
    return strAnswer;
}

std::vector<std::string> EmulatorProcess::DevicePaths() const
{
    std::vector<std::string> paths;
    std::istringstream lines(Control("list"));
    std::string strLine;
    if (!std::getline(lines, strLine) || strLine.compare(0, 2, "OK") != 0)
        return paths;
    while (std::getline(lines, strLine)) {
        // id path R state
        std::istringstream fields(strLine);
        std::string strId, strPath, strReport, strState;
        if (!(fields >> strId >> strPath >> strReport >> strState))
            continue;
        if (strState == "plugged" &&
            LowerCase(strPath).find("#vid_0925&pid_1234#") != std::string::npos)
            paths.push_back(strPath);
    }
    return paths;
}

std::string EmulatorProcess::PipeBase() const { return m_strBase; }

bool EmulatorProcess::WaitForFirstRow(const std::string &strId, const std::string &strRow,
                                      unsigned long ulMs) const
{
    const ULONGLONG ullDeadline = GetTickCount64() + ulMs;
    for (;;) {
        if (ScreenRow(Control("screen " + strId + " text")) == strRow)
            return true;
        if (GetTickCount64() >= ullDeadline)
            return false;
        Sleep(100);
    }
}
