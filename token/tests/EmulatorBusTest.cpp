// EmulatorBusTest.cpp
//
// The HID enumeration and transport against the token emulator, a separate
// process serving the virtual HID bus: tokens found by count and index,
// exchanges that reach the card, unplugging, injected faults, and the owner
// record shared by two processes using one token.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "CardInfoManager.h"
#include "ChildProcess.h"
#include "EmulatorProcess.h"
#include "HidDeviceManager.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "TestPaths.h"

namespace {

const std::vector<BYTE> kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const std::vector<BYTE> kSelectApp = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x00};

// The paths the enumeration hands out, by index after one count.
std::vector<std::string> EnumeratedPaths()
{
    CHidDeviceManager *pDevices = CHidDeviceManager::GetInstance();
    std::vector<std::string> paths;
    int nCount = pDevices->GetUKeyCount();
    for (int i = 0; i < nCount; ++i) {
        char szPath[MAX_PATH] = {0};
        if (pDevices->GetUKeyDevicePath(i, szPath, sizeof(szPath)))
            paths.push_back(szPath);
    }
    return paths;
}

class EmulatorBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
    }
    void TearDown() override { CMemoryManager::UnloadDLL(); }

    // One APDU exchange; the status word, or 0 when the exchange failed.
    WORD Exchange(const std::string &strPath, const std::vector<BYTE> &apdu)
    {
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!CHidManager::GetInstance()->SendRcvCmd(strPath.c_str(), apdu, answer, bSw1, bSw2))
            return 0;
        return static_cast<WORD>((bSw1 << 8) | bSw2);
    }
};

TEST_F(EmulatorBus, EnumerationListsTheTokensOnlyInBusOrder)
{
    EmulatorProcess emulator(0);
    ASSERT_TRUE(emulator.Started());
    EXPECT_TRUE(EnumeratedPaths().empty());
    char szPath[MAX_PATH];
    EXPECT_FALSE(CHidDeviceManager::GetInstance()->GetUKeyDevicePath(0, szPath, sizeof(szPath)));

    ASSERT_EQ(0u, emulator.Control("plug t1").find("OK"));
    ASSERT_EQ(0u, emulator.Control("plug kbd vid=046d pid=c31c").find("OK"));
    EXPECT_EQ(emulator.DevicePaths(), EnumeratedPaths());
    ASSERT_EQ(1u, EnumeratedPaths().size());

    ASSERT_EQ(0u, emulator.Control("plug t2").find("OK"));
    std::vector<std::string> paths = EnumeratedPaths();
    ASSERT_EQ(2u, paths.size());
    EXPECT_EQ(emulator.DevicePaths(), paths);
    EXPECT_NE(paths[0], paths[1]);
}

TEST_F(EmulatorBus, ExchangesReachTheCardOfEachToken)
{
    EmulatorProcess emulator(2);
    ASSERT_TRUE(emulator.Started());
    std::vector<std::string> paths = EnumeratedPaths();
    ASSERT_EQ(2u, paths.size());
    CHidManager *pHid = CHidManager::GetInstance();
    for (const std::string &strPath : paths) {
        ASSERT_TRUE(pHid->Connect(strPath.c_str()));
        EXPECT_TRUE(pHid->IsConnected(strPath.c_str()));
        EXPECT_EQ(0x9000, Exchange(strPath, kSelectMf));
        EXPECT_EQ(0x9000, Exchange(strPath, kSelectApp));
        EXPECT_EQ(0x6D00, Exchange(strPath, {0x80, 0xFE, 0x00, 0x00, 0x04}));
        EXPECT_TRUE(pHid->DisConnect(strPath.c_str()));
    }
    std::string strLog = emulator.Control("log");
    EXPECT_NE(std::string::npos, strLog.find("t1 APDU 00A40000023F00"));
    EXPECT_NE(std::string::npos, strLog.find("t2 APDU 00A4000002500" "0"));
}

TEST_F(EmulatorBus, LongApduCrossesManySmallReports)
{
    EmulatorProcess emulator(1, 33);
    ASSERT_TRUE(emulator.Started());
    std::vector<std::string> paths = emulator.DevicePaths();
    ASSERT_EQ(1u, paths.size());
    ASSERT_TRUE(CHidManager::GetInstance()->Connect(paths[0].c_str()));
    std::vector<BYTE> apdu = {0x80, 0xFE, 0x00, 0x00, 0xF8};
    for (int i = 0; i < 0xF8; ++i)
        apdu.push_back(static_cast<BYTE>(i));
    EXPECT_EQ(0x6D00, Exchange(paths[0], apdu));
    // The emulator saw the whole APDU, in order.
    std::string strHex;
    char szByte[3];
    for (BYTE b : apdu) {
        std::snprintf(szByte, sizeof(szByte), "%02X", b);
        strHex += szByte;
    }
    EXPECT_NE(std::string::npos, emulator.Control("log").find("t1 APDU " + strHex));
    CHidManager::GetInstance()->DisConnect(paths[0].c_str());
}

TEST_F(EmulatorBus, UnplugDuringABusyExchangeEndsItAndTheConnection)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::string strPath = emulator.DevicePaths().at(0);
    CHidManager *pHid = CHidManager::GetInstance();
    ASSERT_TRUE(pHid->Connect(strPath.c_str()));
    ASSERT_EQ(0u, emulator.Control("fault t1 busy forever").find("OK"));

    std::atomic<bool> bDone(false);
    std::thread unplugger([&] {
        // Unplug once the exchange is polling busy answers.
        for (int i = 0; i < 200 && emulator.Control("log").find("t1 APDU") == std::string::npos; ++i)
            ::Sleep(10);
        ::Sleep(200);
        emulator.Control("unplug t1");
        bDone = true;
    });
    EXPECT_EQ(0, Exchange(strPath, kSelectMf));
    unplugger.join();
    EXPECT_TRUE(bDone);
    EXPECT_FALSE(pHid->IsConnected(strPath.c_str()));
    EXPECT_TRUE(EnumeratedPaths().empty());
}

TEST_F(EmulatorBus, FailedReportClosesTheDeviceAndAReconnectWorks)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::string strPath = emulator.DevicePaths().at(0);
    CHidManager *pHid = CHidManager::GetInstance();
    ASSERT_TRUE(pHid->Connect(strPath.c_str()));
    for (const char *pszFault : {"fault t1 setfeature 1", "fault t1 getfeature 1"}) {
        ASSERT_EQ(0u, emulator.Control(pszFault).find("OK")) << pszFault;
        EXPECT_EQ(0, Exchange(strPath, kSelectMf)) << pszFault;
        EXPECT_FALSE(pHid->IsConnected(strPath.c_str())) << pszFault;
        ASSERT_TRUE(pHid->Connect(strPath.c_str())) << pszFault;
        EXPECT_EQ(0x9000, Exchange(strPath, kSelectMf)) << pszFault;
    }
    pHid->DisConnect(strPath.c_str());
}

TEST_F(EmulatorBus, MalformedAnswerLengthsAreRefused)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::string strPath = emulator.DevicePaths().at(0);
    CHidManager *pHid = CHidManager::GetInstance();
    ASSERT_TRUE(pHid->Connect(strPath.c_str()));
    for (const char *pszFault : {"fault t1 dfield 0", "fault t1 dfield 2", "fault t1 dfield 600",
                                 "fault t1 length 2", "fault t1 length 1100"}) {
        ASSERT_EQ(0u, emulator.Control(pszFault).find("OK")) << pszFault;
        EXPECT_EQ(0, Exchange(strPath, kSelectMf)) << pszFault;
        pHid->Connect(strPath.c_str());
    }
    EXPECT_EQ(0x9000, Exchange(strPath, kSelectMf));
    pHid->DisConnect(strPath.c_str());
}

// Process A connects, then process B connects to the same token: the owner
// record names B, so the token is no longer connected for A while it is for
// B; when B disconnects, the token is free and A may use it again.
TEST_F(EmulatorBus, SecondProcessTakesTheTokenOver)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::string strPath = emulator.DevicePaths().at(0);
    CHidManager *pHid = CHidManager::GetInstance();
    ASSERT_TRUE(pHid->Connect(strPath.c_str()));
    ASSERT_TRUE(pHid->IsConnected(strPath.c_str()));

    char szConnected[64], szRelease[64];
    std::snprintf(szConnected, sizeof(szConnected), "KQTEST_OWNER_CONNECTED_%lu",
                  GetCurrentProcessId());
    std::snprintf(szRelease, sizeof(szRelease), "KQTEST_OWNER_RELEASE_%lu",
                  GetCurrentProcessId());
    HANDLE hConnected = CreateEventA(nullptr, TRUE, FALSE, szConnected);
    HANDLE hRelease = CreateEventA(nullptr, TRUE, FALSE, szRelease);
    ChildProcess helper("owner_record_helper.exe",
                        "\"" + strPath + "\" " + szConnected + " " + szRelease);
    ASSERT_TRUE(helper.Started());

    HANDLE ahWait[2] = {hConnected, helper.Handle()};
    DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, 60000);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), dwWait) << "the helper did not connect";
    if (dwWait == WAIT_OBJECT_0) {
        EXPECT_FALSE(pHid->IsConnected(strPath.c_str()));
        DWORD dwOwner = 0;
        CCardInfoManager::CShareMem(strPath.c_str()).Read(&dwOwner);
        EXPECT_EQ(helper.Pid(), dwOwner);
    }
    SetEvent(hRelease);
    EXPECT_EQ(0u, helper.Wait(60000)) << "the helper's step failed";
    // B wrote 0 when it disconnected: the token is free, so A's handle serves.
    EXPECT_TRUE(pHid->IsConnected(strPath.c_str()));
    EXPECT_EQ(0x9000, Exchange(strPath, kSelectMf));

    pHid->DisConnect(strPath.c_str());
    CloseHandle(hConnected);
    CloseHandle(hRelease);
}

}  // namespace
