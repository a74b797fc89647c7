// EmuBusPortTest.cpp
//
// The virtual HID bus under Wine: KQTokenEmu.exe started through the test
// harness and driven through the emulator binding of the HID port, as the
// token library will drive it: enumeration with SetupAPI's rules, open,
// capabilities, product string, raw feature reports, unplugging, several
// sessions and many clients at once, and handles the port never made.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "EmuPipeProtocol.h"
#include "EmuPortTestSupport.h"
#include "EmulatorProcess.h"

namespace {

// --- enumeration ----------------------------------------------------------

TEST(EmulatorBusPort, ListsNothingWithoutDevices)
{
    EmulatorProcess emulator(0);
    ASSERT_TRUE(emulator.Started());
    DWORD dwError = 1;
    EXPECT_TRUE(PortPaths(&dwError).empty());
    EXPECT_EQ(0u, dwError);
    EXPECT_TRUE(emulator.DevicePaths().empty());
}

TEST(EmulatorBusPort, ListsTokensAndOtherDevicesInBusOrder)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::vector<std::string> tokens = emulator.DevicePaths();
    ASSERT_EQ(1u, tokens.size());
    EXPECT_EQ(tokens, PortPaths());

    ASSERT_EQ(0u, emulator.Control("plug t2").find("OK "));
    std::string strKeyboard = emulator.Control("plug kbd vid=046d pid=c31c");
    ASSERT_EQ(0u, strKeyboard.find("OK "));
    tokens = emulator.DevicePaths();
    ASSERT_EQ(2u, tokens.size());
    std::vector<std::string> paths = PortPaths();
    ASSERT_EQ(3u, paths.size());
    EXPECT_EQ(strKeyboard.substr(3), paths[0]);  // "kbd" before "t1"
    EXPECT_EQ(tokens[0], paths[1]);
    EXPECT_EQ(tokens[1], paths[2]);
    EXPECT_NE(tokens[0], tokens[1]);

    // \\?\hid#vid_0925&pid_1234#7&<8 hex>&0&<4 digits>#{guid}, lower case.
    for (const std::string &strPath : tokens) {
        const std::string strHead = "\\\\?\\hid#vid_0925&pid_1234#7&";
        const std::string strTail = std::string("#") + emu::kHidClassGuid;
        ASSERT_EQ(strHead.size() + 8 + 3 + 4 + strTail.size(), strPath.size()) << strPath;
        EXPECT_EQ(0u, strPath.find(strHead)) << strPath;
        EXPECT_EQ(strHead.size() + 8, strPath.find("&0&")) << strPath;
        EXPECT_EQ(strPath.size() - strTail.size(), strPath.find(strTail)) << strPath;
        for (char c : strPath)
            EXPECT_FALSE(c >= 'A' && c <= 'Z') << strPath;
    }
}

TEST(EmulatorBusPort, EnumerationFollowsSetupApiRules)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    const std::string strPath = emulator.DevicePaths().at(0);
    GUID guid = {};
    Port().GetHidGuid(&guid);
    EXPECT_EQ(0, std::memcmp(&guid, &kHidGuid, sizeof(GUID)));

    HDEVINFO hSet = Port().GetClassDevs(&guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSet);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data) + 1;
    EXPECT_FALSE(Port().EnumDeviceInterfaces(hSet, &guid, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    data.cbSize = sizeof(data);
    EXPECT_FALSE(Port().EnumDeviceInterfaces(hSet, &guid, 1, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    GUID other = guid;
    other.Data1 ^= 1;
    EXPECT_FALSE(Port().EnumDeviceInterfaces(hSet, &other, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    ASSERT_TRUE(Port().EnumDeviceInterfaces(hSet, &guid, 0, &data));
    EXPECT_EQ(0, std::memcmp(&data.InterfaceClassGuid, &kHidGuid, sizeof(GUID)));
    EXPECT_EQ(static_cast<DWORD>(SPINT_ACTIVE), data.Flags);

    // Size query: no buffer, size 0.
    const DWORD dwNeeded = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strPath.size() + 1);
    DWORD dwRequired = 0;
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &data, nullptr, 0, &dwRequired));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(dwNeeded, dwRequired);
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &data, nullptr, 10, &dwRequired));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());

    std::vector<char> buffer(1024, 'x');
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail =
        reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 1;
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &data, pDetail, 1024, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &data, pDetail, dwNeeded - 1, &dwRequired));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ('x', buffer[offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)]);
    ASSERT_TRUE(Port().GetDeviceInterfaceDetail(hSet, &data, pDetail, dwNeeded, nullptr));
    EXPECT_EQ(strPath, std::string(pDetail->DevicePath));

    SP_DEVICE_INTERFACE_DATA forged = data;
    forged.Reserved = 7;
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &forged, pDetail, 1024, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    EXPECT_TRUE(Port().DestroyDeviceInfoList(hSet));
    // The set is gone: every use of it is refused.
    EXPECT_FALSE(Port().DestroyDeviceInfoList(hSet));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(Port().EnumDeviceInterfaces(hSet, &guid, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(Port().GetDeviceInterfaceDetail(hSet, &data, pDetail, 1024, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // A snapshot: a set taken before an unplug still names the token.
    hSet = Port().GetClassDevs(&guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSet);
    ASSERT_EQ("OK", emulator.Control("unplug t1"));
    EXPECT_TRUE(Port().EnumDeviceInterfaces(hSet, &guid, 0, &data));
    EXPECT_TRUE(Port().DestroyDeviceInfoList(hSet));
    EXPECT_TRUE(PortPaths().empty());

    EXPECT_EQ(INVALID_HANDLE_VALUE, Port().GetClassDevs(nullptr, DIGCF_PRESENT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(EmulatorBusPort, NoEmulatorMeansNoDevices)
{
    PipeBaseScope scope("KQTokenEmu-nobody-here");
    GUID guid;
    Port().GetHidGuid(&guid);
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Port().GetClassDevs(&guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("\\\\?\\hid#vid_0925&pid_1234#7&00000000&0&0000#x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

// --- devices --------------------------------------------------------------

TEST(EmulatorBusPort, OpenCapsAndProductString)
{
    EmulatorProcess emulator(1, 33);
    ASSERT_TRUE(emulator.Started());
    const std::string strPath = emulator.DevicePaths().at(0);
    HANDLE hDevice = Open(strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_EQ(33, ReportLength(hDevice));
    std::wstring strProduct = ProductString(hDevice);
    EXPECT_EQ(0u, strProduct.find(L"KAVRU USB KEY_V0100_ID")) << strProduct.size();
    EXPECT_EQ(22u + 16u, strProduct.size());
    // A small buffer gets the characters that fit, and the terminator only
    // when there is room for it.
    std::vector<wchar_t> small(48, L'\x5A5A');
    ASSERT_TRUE(Port().GetProductString(hDevice, small.data(), 12));
    EXPECT_EQ(L"KAVRU ", std::wstring(small.data(), 6));
    EXPECT_EQ(L'\x5A5A', small[6]);
    small.assign(48, L'\x5A5A');
    ASSERT_TRUE(Port().GetProductString(hDevice, small.data(), 11));
    EXPECT_EQ(L"KAVRU", std::wstring(small.data(), 5));
    EXPECT_EQ(L'\x5A5A', small[5]);
    small.assign(48, L'\x5A5A');
    ASSERT_TRUE(Port().GetProductString(hDevice, small.data(), 80));
    EXPECT_EQ(strProduct, std::wstring(small.data(), 38));
    EXPECT_EQ(L'\0', small[38]);
    EXPECT_EQ(L'\x5A5A', small[39]);
    EXPECT_TRUE(Port().CloseDevice(hDevice));

    // Open is not case-sensitive, like CreateFile; an unknown path fails.
    std::string strUpper = strPath;
    for (char &c : strUpper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    hDevice = Open(strUpper);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(strPath + "0"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    // product= replaces the product string.
    ASSERT_EQ(0u, emulator.Control("plug t2 product=Other token").find("OK"));
    hDevice = Open(emulator.DevicePaths().at(1));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_EQ(L"Other token", ProductString(hDevice));
    EXPECT_EQ(33, ReportLength(hDevice));
    EXPECT_TRUE(Port().CloseDevice(hDevice));

    std::string strLog = emulator.Control("log");
    EXPECT_TRUE(Contains(strLog, "t1 OPEN session")) << strLog;
    EXPECT_TRUE(Contains(strLog, "t1 CLOSE session")) << strLog;
}

TEST(EmulatorBusPort, RawSelectExchangeGoesBusyThenAnswers)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    DWORD dwError = 1;
    std::vector<Bytes> reports = RawExchange(hDevice, 65, kSelectMf, &dwError);
    EXPECT_EQ(0u, dwError);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0xFF, reports[0][2]);
    EXPECT_NE(0, reports[0][0]);
    Bytes expected(65, 0);
    expected[1] = 6;
    const BYTE abBody[] = {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00};
    std::copy(abBody, abBody + 6, expected.begin() + 8);
    EXPECT_EQ(expected, reports[1]);

    // Any other command: 6D00.
    Bytes other = {0x80, 0xFE, 0x00, 0x00, 0x04};
    reports = RawExchange(hDevice, 65, other, &dwError);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0x6D, reports[1][11]);
    EXPECT_TRUE(Port().CloseDevice(hDevice));

    std::string strLog = emulator.Control("log");
    EXPECT_TRUE(Contains(strLog, "t1 APDU 00A40000023F00\nt1 RESP 9000\n")) << strLog;
    EXPECT_TRUE(Contains(strLog, "t1 APDU 80FE000004\nt1 RESP 6D00\n")) << strLog;
}

TEST(EmulatorBusPort, BadReportsFailWithTheDevicesError)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    ASSERT_EQ(0u, emulator.Control("plug kbd vid=046d pid=c31c").find("OK"));
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    Bytes report(64, 0);
    report[0] = 3;
    EXPECT_FALSE(Port().SetFeature(hDevice, report.data(), 64));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Port().GetFeature(hDevice, report.data(), 64));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Port().SetFeature(hDevice, nullptr, 65));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(Port().GetFeature(hDevice, report.data(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    ASSERT_EQ("OK", emulator.Control("fault t1 setfeature 1"));
    report.resize(65);
    EXPECT_FALSE(Port().SetFeature(hDevice, report.data(), 65));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), SelectAnswer(hDevice, 65));
    EXPECT_TRUE(Port().CloseDevice(hDevice));

    // A keyboard has no feature report 3.
    std::string strList = emulator.Control("list");
    std::string strKeyboard = strList.substr(strList.find("kbd ") + 4);
    strKeyboard = strKeyboard.substr(0, strKeyboard.find(' '));
    hDevice = Open(strKeyboard);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_FALSE(Port().SetFeature(hDevice, report.data(), 65));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
    EXPECT_TRUE(Port().CloseDevice(hDevice));
}

TEST(EmulatorBusPort, UnplugFailsEveryDeviceCall)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    const std::string strPath = emulator.DevicePaths().at(0);
    HANDLE hDevice = Open(strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    ASSERT_EQ(65, ReportLength(hDevice));
    ASSERT_EQ("OK", emulator.Control("unplug t1"));

    const DWORD dwGone = ERROR_DEVICE_NOT_CONNECTED;
    PHIDP_PREPARSED_DATA pData = nullptr;
    EXPECT_FALSE(Port().GetPreparsedData(hDevice, &pData));
    EXPECT_EQ(dwGone, GetLastError());
    Bytes report(65, 0);
    report[0] = 3;
    EXPECT_FALSE(Port().SetFeature(hDevice, report.data(), 65));
    EXPECT_EQ(dwGone, GetLastError());
    EXPECT_FALSE(Port().GetFeature(hDevice, report.data(), 65));
    EXPECT_EQ(dwGone, GetLastError());
    wchar_t szProduct[130];
    EXPECT_FALSE(Port().GetProductString(hDevice, szProduct, sizeof(szProduct)));
    EXPECT_EQ(dwGone, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(strPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(emulator.DevicePaths().empty());

    // Plugged in again: the same path opens a new device; the old handle
    // stays dead until closed.
    ASSERT_EQ("OK " + strPath, emulator.Control("plug t1"));
    HANDLE hAgain = Open(strPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, hAgain);
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), SelectAnswer(hAgain, 65));
    EXPECT_FALSE(Port().GetPreparsedData(hDevice, &pData));
    EXPECT_EQ(dwGone, GetLastError());
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    EXPECT_TRUE(Port().CloseDevice(hAgain));
}

TEST(EmulatorBusPort, SessionsAtOnce)
{
    EmulatorProcess emulator(2);
    ASSERT_TRUE(emulator.Started());
    std::vector<std::string> paths = emulator.DevicePaths();
    ASSERT_EQ(2u, paths.size());
    HANDLE hFirst = Open(paths[0]);
    HANDLE hSecond = Open(paths[1]);
    HANDLE hFirstAgain = Open(paths[0]);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFirst);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFirstAgain);
    EXPECT_NE(hFirst, hFirstAgain);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), SelectAnswer(hFirst, 65));
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), SelectAnswer(hSecond, 65));
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), SelectAnswer(hFirstAgain, 65));
    }

    // Threads sharing one handle, and threads with their own connections.
    std::atomic<int> nFailures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (ReportLength(hFirst) != 65 || ProductString(hFirst).size() != 38)
                    ++nFailures;
                HANDLE hOwn = Open(paths[t % 2]);
                if (hOwn == INVALID_HANDLE_VALUE || ReportLength(hOwn) != 65)
                    ++nFailures;
                if (hOwn != INVALID_HANDLE_VALUE)
                    Port().CloseDevice(hOwn);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(0, nFailures.load());
    EXPECT_NE(ProductString(hFirst), ProductString(hSecond));
    EXPECT_TRUE(Port().CloseDevice(hFirst));
    EXPECT_TRUE(Port().CloseDevice(hSecond));
    EXPECT_TRUE(Port().CloseDevice(hFirstAgain));
}

TEST(EmulatorBusPort, HandlesThePortDidNotMakeAreRefused)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    BYTE abFake[64] = {};
    HANDLE hFake = static_cast<HANDLE>(abFake);
    Bytes report(65, 0);
    PHIDP_PREPARSED_DATA pData = nullptr;
    const DWORD dwInvalid = ERROR_INVALID_HANDLE;
    for (HANDLE h : {hFake, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        EXPECT_FALSE(Port().CloseDevice(h));
        EXPECT_EQ(dwInvalid, GetLastError());
        EXPECT_FALSE(Port().GetPreparsedData(h, &pData));
        EXPECT_EQ(dwInvalid, GetLastError());
        EXPECT_FALSE(Port().SetFeature(h, report.data(), 65));
        EXPECT_EQ(dwInvalid, GetLastError());
        EXPECT_FALSE(Port().GetFeature(h, report.data(), 65));
        EXPECT_EQ(dwInvalid, GetLastError());
        EXPECT_FALSE(Port().GetProductString(h, report.data(), 64));
        EXPECT_EQ(dwInvalid, GetLastError());
        EXPECT_FALSE(Port().DestroyDeviceInfoList(h));
        EXPECT_EQ(dwInvalid, GetLastError());
    }
    HIDP_CAPS caps;
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA,
              Port().GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(abFake), &caps));
    EXPECT_FALSE(Port().FreePreparsedData(reinterpret_cast<PHIDP_PREPARSED_DATA>(abFake)));

    // A closed handle and freed preparsed data are refused too.
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    ASSERT_TRUE(Port().GetPreparsedData(hDevice, &pData));
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, Port().GetCaps(pData, nullptr));
    ASSERT_TRUE(Port().FreePreparsedData(pData));
    EXPECT_EQ(HIDP_STATUS_INVALID_PREPARSED_DATA, Port().GetCaps(pData, &caps));
    EXPECT_FALSE(Port().FreePreparsedData(pData));
    EXPECT_FALSE(Port().GetPreparsedData(hDevice, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    ASSERT_TRUE(Port().CloseDevice(hDevice));
    EXPECT_FALSE(Port().CloseDevice(hDevice));
    EXPECT_EQ(dwInvalid, GetLastError());
    EXPECT_FALSE(Port().SetFeature(hDevice, report.data(), 65));
    EXPECT_EQ(dwInvalid, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Port().OpenDevice(nullptr, 0, 0, OPEN_EXISTING, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(EmulatorBusPort, ManyClientsAtOnce)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    const std::string strPath = emulator.DevicePaths().at(0);
    std::vector<HANDLE> handles;
    for (int i = 0; i < 24; ++i) {
        HANDLE hDevice = Open(strPath);
        ASSERT_NE(INVALID_HANDLE_VALUE, hDevice) << i << " error " << GetLastError();
        handles.push_back(hDevice);
    }
    std::atomic<int> nFailures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (PortPaths().size() != 1)
                    ++nFailures;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(0, nFailures.load());
    for (HANDLE hDevice : handles) {
        EXPECT_EQ(65, ReportLength(hDevice));
        EXPECT_TRUE(Port().CloseDevice(hDevice));
    }
}

TEST(EmulatorBusPort, LongLogComesWhole)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    Bytes apdu = {0x80, 0xD6, 0x00, 0x00, 0x2E};
    apdu.resize(apdu.size() + 0x2E, 0x77);
    for (int i = 0; i < 150; ++i) {
        apdu[2] = static_cast<BYTE>(i);
        DWORD dwError = 0;
        ASSERT_EQ(2u, RawExchange(hDevice, 65, apdu, &dwError).size()) << i;
    }
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    std::string strLog = emulator.Control("log");
    EXPECT_GT(strLog.size(), 15000u);  // many pipe reads of one message
    EXPECT_EQ(0u, strLog.find("OK\n"));
    EXPECT_TRUE(Contains(strLog, "t1 APDU 80D600002E7777"));
    EXPECT_TRUE(Contains(strLog, "t1 APDU 80D695002E7777"));
    EXPECT_TRUE(Contains(strLog, "t1 CLOSE session"));
}

}  // namespace
