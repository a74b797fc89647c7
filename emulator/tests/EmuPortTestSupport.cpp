// EmuPortTestSupport.cpp
#include "EmuPortTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "EmuPipeIo.h"
#include "EmuPipeProtocol.h"
#include "TestPaths.h"

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

// Every path of the bus, through the port as the enumeration walks it.
std::vector<std::string> PortPaths(DWORD *pdwError)
{
    std::vector<std::string> paths;
    GUID guid;
    Port().GetHidGuid(&guid);
    HDEVINFO hSet = Port().GetClassDevs(&guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hSet == INVALID_HANDLE_VALUE) {
        if (pdwError != nullptr)
            *pdwError = GetLastError();
        return paths;
    }
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!Port().EnumDeviceInterfaces(hSet, &guid, i, &data)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        std::vector<char> buffer(1024, 0);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail =
            reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD dwRequired = 0;
        EXPECT_TRUE(Port().GetDeviceInterfaceDetail(hSet, &data, pDetail,
                                                    static_cast<DWORD>(buffer.size()), &dwRequired));
        paths.push_back(pDetail->DevicePath);
    }
    EXPECT_TRUE(Port().DestroyDeviceInfoList(hSet));
    if (pdwError != nullptr)
        *pdwError = 0;
    return paths;
}

HANDLE Open(const std::string &strPath)
{
    return Port().OpenDevice(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

// FeatureReportByteLength through preparsed data and caps; 0 on failure.
USHORT ReportLength(HANDLE hDevice)
{
    PHIDP_PREPARSED_DATA pData = nullptr;
    if (!Port().GetPreparsedData(hDevice, &pData))
        return 0;
    HIDP_CAPS caps;
    std::memset(&caps, 0xCC, sizeof(caps));
    NTSTATUS status = Port().GetCaps(pData, &caps);
    EXPECT_TRUE(Port().FreePreparsedData(pData));
    if (status != HIDP_STATUS_SUCCESS)
        return 0;
    EXPECT_EQ(0, caps.InputReportByteLength);
    EXPECT_EQ(0, caps.UsagePage);
    return caps.FeatureReportByteLength;
}

std::wstring ProductString(HANDLE hDevice, ULONG ulLength)
{
    std::vector<wchar_t> buffer(ulLength / 2 + 2, L'\x5A5A');
    if (!Port().GetProductString(hDevice, buffer.data(), ulLength))
        return L"<failed>";
    buffer[ulLength / 2] = 0;
    return buffer.data();
}

// One SELECT as raw reports: the request, then polls until the last report.
// The reports seen, or empty with the failing call's error.
std::vector<Bytes> RawExchange(HANDLE hDevice, USHORT usR, const Bytes &apdu, DWORD *pdwError)
{
    std::vector<Bytes> reports;
    Bytes report(usR, 0);
    report[0] = 3;
    report[1] = 0;
    report[2] = 0x0C;
    const size_t nBody = apdu.size() + 3;
    report[3] = 0;
    report[4] = static_cast<BYTE>(nBody);
    report[5] = 0;
    report[6] = static_cast<BYTE>(nBody);
    report[8] = 0xA1;
    report[9] = 0;
    report[10] = static_cast<BYTE>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), report.begin() + 11);
    if (!Port().SetFeature(hDevice, report.data(), usR)) {
        *pdwError = GetLastError();
        return reports;
    }
    for (int i = 0; i < 100; ++i) {
        Bytes answer(usR, 0);
        answer[0] = 3;
        if (!Port().GetFeature(hDevice, answer.data(), usR)) {
            *pdwError = GetLastError();
            reports.clear();
            return reports;
        }
        reports.push_back(answer);
        if (answer[2] != 0xFF && answer[0] == 0)
            break;
    }
    *pdwError = 0;
    return reports;
}

// The answer body a SELECT gets: A1 00 03 90 00 00; empty on failure.
Bytes SelectAnswer(HANDLE hDevice, USHORT usR)
{
    DWORD dwError = 0;
    std::vector<Bytes> reports = RawExchange(hDevice, usR, kSelectMf, &dwError);
    Bytes body;
    for (const Bytes &report : reports) {
        if (report[2] != 0xFF)
            body.insert(body.end(), report.begin() + 8, report.begin() + 8 + report[1]);
    }
    return body;
}

bool Contains(const std::string &strText, const std::string &strPart)
{
    return strText.find(strPart) != std::string::npos;
}

// Runs KQTokenEmuCtl.exe with the arguments; its exit code and output.
DWORD RunCtl(const std::string &strArguments, std::string *pstrOutput)
{
    std::string strOutput = TestScratchPath("ctl");
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE hOut = CreateFileA(strOutput.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                              CREATE_ALWAYS, 0, nullptr);
    HANDLE hNul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hOut);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNul;
    si.hStdOutput = hOut;
    si.hStdError = hNul;
    std::string strCommand = "\"" + TestBinPath("KQTokenEmuCtl.exe") + "\" " + strArguments;
    std::vector<char> command(strCommand.begin(), strCommand.end());
    command.push_back('\0');
    PROCESS_INFORMATION pi = {};
    DWORD dwExit = 99;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &dwExit);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << strCommand << ", error " << GetLastError();
    }
    CloseHandle(hOut);
    CloseHandle(hNul);
    if (pstrOutput != nullptr) {
        std::ifstream file(strOutput, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        *pstrOutput = text.str();
    }
    DeleteFileA(strOutput.c_str());
    return dwExit;
}

// Polls the control pipe of a base until it answers (at most 20 s).
bool Answers(const std::string &strBase)
{
    for (int i = 0; i < 1000; ++i) {
        std::string strAnswer;
        DWORD dwError = 0;
        if (emu::ControlRequest(strBase, "list", 1000, strAnswer, &dwError))
            return strAnswer.compare(0, 2, "OK") == 0;
        Sleep(20);
    }
    return false;
}

PipeBaseScope::PipeBaseScope(const char *pszBase)
{
    char szOld[256];
    DWORD dwLength = GetEnvironmentVariableA(emu::kPipeEnvVar, szOld, sizeof(szOld));
    m_bHad = dwLength > 0 && dwLength < sizeof(szOld);
    if (m_bHad)
        m_strOld.assign(szOld, dwLength);
    SetEnvironmentVariableA(emu::kPipeEnvVar, pszBase);
}

PipeBaseScope::~PipeBaseScope()
{
    SetEnvironmentVariableA(emu::kPipeEnvVar, m_bHad ? m_strOld.c_str() : nullptr);
}
