// KQTokenEmu.cpp
//
// KQTokenEmu.exe: the token emulator process. It serves the virtual HID bus
// (EmuBus) on the data pipe \\.\pipe\<base> and its control channel on
// \\.\pipe\<base>.control, to any number of client processes at once: each
// pipe keeps a listening instance, and every connection gets its own thread
// that moves messages between the pipe and the bus. See EmuPipeProtocol.h
// for the messages and the command line.
//
//   KQTokenEmu [--pipe B] [--tokens n] [--report R] [--instance X] [--parent pid]
//              [--state-dir dir] [--gbk path]
//
// The process ends on the control command "quit" (once the client has read
// the answer), or when the --parent process ends. Log lines are echoed to
// stdout.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "EmuBus.h"
#include "EmuCardOsAdapter.h"
#include "EmuPipeIo.h"
#include "EmuPipeProtocol.h"
#include "EmuScreenText.h"
#include "EmuText.h"

namespace {

const DWORD kPipeBuffer = 64 * 1024;
const std::size_t kMaxControlRequest = 64 * 1024;

struct Options {
    std::string strBase;
    std::uint32_t dwTokens = 1;
    std::uint32_t dwReport = emu::kDefaultReportLength;
    std::string strStateDir;  // empty: cards live in memory only
    std::string strGbk;       // empty: the installed GBK.dat
    bool bInstance = false;
    std::uint32_t dwInstance = 0;
    DWORD dwParent = 0;
};

struct Server {
    std::unique_ptr<emu::EmuBus> pBus;
    std::string strDataPipe;
    std::string strControlPipe;
    HANDLE hQuit = nullptr;           // set once "quit" was answered
    HANDLE hQuitReadOut = nullptr;    // set once the quitting client has gone
    CRITICAL_SECTION csEcho;
};

Server g_server;

void Usage()
{
    std::fprintf(stderr, "usage: KQTokenEmu [--pipe base] [--tokens n] [--report R] "
                         "[--instance hex8] [--parent pid] [--state-dir dir] [--gbk path]\n");
}

bool ParseOptions(int argc, char **argv, Options &options)
{
    options.strBase = emu::PipeBaseFromEnvironment();
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string strValue = argv[++i];
        std::uint32_t dwValue = 0;
        if (strArg == "--pipe" && !strValue.empty() && strValue.size() < 200 &&
            strValue.find('\\') == std::string::npos)
            options.strBase = strValue;
        else if (strArg == "--state-dir" && !strValue.empty() && strValue.size() < 200)
            options.strStateDir = strValue;
        else if (strArg == "--gbk" && !strValue.empty() && strValue.size() < MAX_PATH)
            options.strGbk = strValue;
        else if (strArg == "--tokens" && emu::ParseDecimal(strValue, 9999, dwValue))
            options.dwTokens = dwValue;
        else if (strArg == "--report" && emu::ParseDecimal(strValue, emu::kMaxReportLength, dwValue) &&
                 dwValue >= emu::kMinReportLength)
            options.dwReport = dwValue;
        else if (strArg == "--instance" && emu::ParseHex(strValue, 0xFFFFFFFF, dwValue)) {
            options.bInstance = true;
            options.dwInstance = dwValue;
        } else if (strArg == "--parent" && emu::ParseDecimal(strValue, 0xFFFFFFFF, dwValue) &&
                   dwValue != 0)
            options.dwParent = dwValue;
        else
            return false;
    }
    return true;
}

// Unique to this process: its id, and the clock for ids the system reuses.
std::uint32_t DefaultInstance()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const std::uint32_t dwPid = GetCurrentProcessId();
    return (dwPid << 16) ^ (dwPid >> 16) ^ static_cast<std::uint32_t>(counter.QuadPart & 0xFFFF);
}

// GBK bytes to UTF-8 through UTF-16 with code page 936.
bool GbkToUtf8(const std::string &strGbk, std::string &strUtf8)
{
    wchar_t awc[64];
    const int cwc = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, strGbk.data(),
                                        static_cast<int>(strGbk.size()), awc, 64);
    if (cwc <= 0)
        return false;
    char ach[256];
    const int cch = WideCharToMultiByte(CP_UTF8, 0, awc, cwc, ach, sizeof(ach), nullptr, nullptr);
    if (cch <= 0)
        return false;
    strUtf8.assign(ach, static_cast<std::size_t>(cch));
    return true;
}

// The screens' text decoder on the GBK font of --gbk, else the one the
// library reads ("<Program Files>\KQFT\HRNL\KQPT20\GBK.dat"). Without the
// file only ASCII is read back.
std::shared_ptr<const CEmuScreenText> LoadScreenText(std::string strPath, emu::EmuLog &log)
{
    if (strPath.empty()) {
        char szFolder[MAX_PATH] = "";
        if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                                    szFolder)))
            szFolder[0] = '\0';
        strPath = std::string(szFolder) + "\\KQFT\\HRNL\\KQPT20\\GBK.dat";
    }
    std::vector<std::uint8_t> vbFont;
    std::string strError;
    if (!CEmuScreenText::ReadFile(strPath, vbFont, strError)) {
        log.Add("bus SCREEN font " + strError + ": GBK text reads as '?'");
        return std::make_shared<const CEmuScreenText>();
    }
    std::shared_ptr<const CEmuScreenText> pText =
        std::make_shared<const CEmuScreenText>(vbFont, GbkToUtf8);
    log.Add("bus SCREEN font " + strPath + " " + std::to_string(pText->GbkGlyphs()) + " glyphs");
    return pText;
}

HANDLE CreateInstance(const std::string &strName, bool bFirst)
{
    return CreateNamedPipeA(strName.c_str(),
                            PIPE_ACCESS_DUPLEX | (bFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
}

void EndConnection(HANDLE hPipe)
{
    DisconnectNamedPipe(hPipe);
    CloseHandle(hPipe);
}

// One data-pipe connection: a bus session until the client goes.
DWORD WINAPI DataConnection(LPVOID pvPipe)
{
    HANDLE hPipe = static_cast<HANDLE>(pvPipe);
    {
        // The client's process id goes into the session's OPEN line, so a
        // log of several processes shows whose session is whose.
        ULONG ulClientPid = 0;
        if (!GetNamedPipeClientProcessId(hPipe, &ulClientPid))
            ulClientPid = 0;
        std::unique_ptr<emu::EmuBus::Session> pSession = g_server.pBus->NewSession(ulClientPid);
        std::vector<std::uint8_t> request;
        for (;;) {
            DWORD dwError = 0;
            std::vector<std::uint8_t> answer;
            if (emu::ReadPipeMessage(hPipe, request, emu::kMaxDataMessage, &dwError)) {
                answer = pSession->Handle(request.data(), request.size());
            } else if (dwError == ERROR_MESSAGE_EXCEEDS_MAX_SIZE) {
                answer = {emu::STATUS_FAILED, static_cast<std::uint8_t>(emu::kErrorInvalidParameter),
                          0, 0, 0};
            } else {
                break;  // the client closed its end
            }
            if (!emu::WritePipeMessage(hPipe, answer.data(), answer.size(), &dwError))
                break;
        }
    }
    EndConnection(hPipe);
    return 0;
}

// One control-pipe connection: requests and answers until the client goes.
DWORD WINAPI ControlConnection(LPVOID pvPipe)
{
    HANDLE hPipe = static_cast<HANDLE>(pvPipe);
    bool bQuitting = false;
    std::vector<std::uint8_t> request;
    for (;;) {
        DWORD dwError = 0;
        std::string strAnswer;
        if (emu::ReadPipeMessage(hPipe, request, kMaxControlRequest, &dwError))
            strAnswer = g_server.pBus->Control(std::string(request.begin(), request.end()));
        else if (dwError == ERROR_MESSAGE_EXCEEDS_MAX_SIZE)
            strAnswer = "ERR request too long";
        else
            break;
        if (!emu::WritePipeMessage(hPipe, strAnswer.data(), strAnswer.size(), &dwError))
            break;
        if (!bQuitting && g_server.pBus->QuitRequested()) {
            // Ends the process once this client has read the answer and
            // closed (the read below fails), or after the main thread's wait.
            bQuitting = true;
            SetEvent(g_server.hQuit);
        }
    }
    EndConnection(hPipe);
    if (bQuitting)
        SetEvent(g_server.hQuitReadOut);
    return 0;
}

struct Listener {
    std::string strName;
    HANDLE hFirst;
    LPTHREAD_START_ROUTINE pfnConnection;
};

// Keeps one instance listening; each connected instance gets a thread.
DWORD WINAPI Listen(LPVOID pvListener)
{
    Listener *pListener = static_cast<Listener *>(pvListener);
    HANDLE hPipe = pListener->hFirst;
    for (;;) {
        if (hPipe == INVALID_HANDLE_VALUE) {
            hPipe = CreateInstance(pListener->strName, false);
            if (hPipe == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "KQTokenEmu: CreateNamedPipe %s failed, error %lu\n",
                             pListener->strName.c_str(), GetLastError());
                Sleep(100);
                continue;
            }
        }
        BOOL bConnected = ConnectNamedPipe(hPipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!bConnected) {
            CloseHandle(hPipe);
            hPipe = INVALID_HANDLE_VALUE;
            continue;
        }
        HANDLE hThread = CreateThread(nullptr, 0, pListener->pfnConnection, hPipe, 0, nullptr);
        if (hThread == nullptr)
            EndConnection(hPipe);
        else
            CloseHandle(hThread);
        hPipe = INVALID_HANDLE_VALUE;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    HANDLE hParent = nullptr;
    if (options.dwParent != 0) {
        hParent = OpenProcess(SYNCHRONIZE, FALSE, options.dwParent);
        if (hParent == nullptr) {
            std::fprintf(stderr, "KQTokenEmu: parent process %lu not found\n", options.dwParent);
            return 2;
        }
    }

    InitializeCriticalSection(&g_server.csEcho);
    const std::uint32_t dwInstance = options.bInstance ? options.dwInstance : DefaultInstance();
    // Every token gets the card operating system; with --state-dir each
    // token's card persists to "<dir>\\<id>.kqcard".
    emu::EmuLog *pLog = nullptr;
    std::shared_ptr<const CEmuScreenText> pScreenText;
    const std::string strStateDir = options.strStateDir;
    g_server.pBus.reset(new emu::EmuBus(
        dwInstance, options.dwReport,
        [&pLog, &pScreenText, strStateDir](const std::string &strId, bool bBlank) {
            std::string strPath;
            if (!strStateDir.empty())
                strPath = strStateDir + "\\" + strId + ".kqcard";
            return std::shared_ptr<emu::IEmuCard>(
                new CEmuCardOsAdapter(strId, strPath, bBlank, *pLog, pScreenText));
        }));
    pLog = &g_server.pBus->Log();
    g_server.pBus->Log().SetEcho([](const std::string &strLine) {
        EnterCriticalSection(&g_server.csEcho);
        std::fprintf(stdout, "%s\n", strLine.c_str());
        std::fflush(stdout);
        LeaveCriticalSection(&g_server.csEcho);
    });
    g_server.hQuit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_server.hQuitReadOut = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_server.strDataPipe = emu::DataPipeName(options.strBase);
    g_server.strControlPipe = emu::ControlPipeName(options.strBase);

    // One emulator per pipe base. (FILE_FLAG_FIRST_PIPE_INSTANCE would say
    // so too, but Wine does not honour it.) The mutex lives as long as the
    // process.
    HANDLE hOwner = CreateMutexA(nullptr, FALSE, ("KQTokenEmu.owner." + options.strBase).c_str());
    if (hOwner == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "KQTokenEmu: another emulator serves %s\n", options.strBase.c_str());
        return 3;
    }

    // Both first instances exist before the control channel can answer, so
    // a client that got an answer finds the data pipe too.
    static Listener data = {g_server.strDataPipe, CreateInstance(g_server.strDataPipe, true),
                            DataConnection};
    static Listener control = {g_server.strControlPipe,
                               CreateInstance(g_server.strControlPipe, true), ControlConnection};
    if (data.hFirst == INVALID_HANDLE_VALUE || control.hFirst == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "KQTokenEmu: cannot create the pipes of %s (error %lu; another "
                             "emulator on this name?)\n",
                     options.strBase.c_str(), GetLastError());
        return 3;
    }
    g_server.pBus->Log().Add("bus START pipe " + options.strBase + " instance " +
                             g_server.pBus->InstanceTag() + " pid " +
                             std::to_string(GetCurrentProcessId()));
    pScreenText = LoadScreenText(options.strGbk, g_server.pBus->Log());
    for (std::uint32_t i = 1; i <= options.dwTokens; ++i)
        g_server.pBus->Control("plug t" + std::to_string(i));

    HANDLE hDataThread = CreateThread(nullptr, 0, Listen, &data, 0, nullptr);
    HANDLE hControlThread = CreateThread(nullptr, 0, Listen, &control, 0, nullptr);
    if (hDataThread == nullptr || hControlThread == nullptr) {
        std::fprintf(stderr, "KQTokenEmu: CreateThread failed, error %lu\n", GetLastError());
        return 3;
    }

    HANDLE ahWait[2] = {g_server.hQuit, hParent};
    DWORD dwWait = WaitForMultipleObjects(hParent != nullptr ? 2 : 1, ahWait, FALSE, INFINITE);
    if (dwWait == WAIT_OBJECT_0) {
        // Let the quitting client read its answer before the pipes go.
        WaitForSingleObject(g_server.hQuitReadOut, 2000);
    } else {
        g_server.pBus->Log().Add("bus PARENT GONE, ending");
    }
    std::fflush(stdout);
    // Connection threads are blocked in pipe calls; ending the process ends
    // them and closes every pipe.
    ExitProcess(0);
}
