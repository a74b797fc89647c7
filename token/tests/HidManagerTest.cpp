// HidManagerTest.cpp
//
// The HID transport against a scripted port: what it writes, how it polls
// and waits, how it takes answers apart, and how it fails.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CardInfoManager.h"
#include "CaseName.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "ScriptedHidPort.h"
#include "StandinMemory.h"
#include "TestHidPortBinding.h"
#include "TestPaths.h"
#include "UniqueDevicePath.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {


const std::vector<BYTE> kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class HidTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        SetTestHidPort(&m_port);
        m_strPath = UniqueDevicePath();
        m_port.AddDevice(m_strPath);
        m_lBaseBlocks = m_memory.LiveBlocks();
    }
    void TearDown() override
    {
        CHidManager::GetInstance()->DisConnect(m_strPath.c_str());
        EXPECT_EQ(m_lBaseBlocks, m_memory.LiveBlocks()) << "memory blocks leaked";
        SetTestHidPort(nullptr);
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        CMemoryManager::UnloadDLL();
    }

    bool TraceHas(const std::string &strText) const
    {
        for (const TraceRecord &record : m_capture.Records())
            if (record.Text().find(strText) != std::string::npos)
                return true;
        return false;
    }

    BOOL Exchange(const std::vector<BYTE> &apdu, std::vector<BYTE> &data, WORD &wSw,
                  DWORD dwFlags = HID_FLAG_NONE)
    {
        BYTE bSw1 = 0, bSw2 = 0;
        BOOL bOk = CHidManager::GetInstance()->SendRcvCmd(m_strPath.c_str(), apdu, data, bSw1,
                                                          bSw2, dwFlags);
        wSw = static_cast<WORD>((bSw1 << 8) | bSw2);
        return bOk;
    }

    TraceCapture m_capture;
    StandinMemory m_memory;
    ScriptedHidPort m_port;
    std::string m_strPath;
    long m_lBaseBlocks = 0;
    CHidManager *m_pHid = CHidManager::GetInstance();
};

TEST_F(HidTransport, ExchangeWritesTheWrappedApduAndReturnsTheResponse)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x05, 0x3F, 0x00, 0x90, 0x00, 0x00});
    std::vector<BYTE> data;
    WORD wSw = 0;
    ASSERT_TRUE(Exchange(kSelectMf, data, wSw));
    EXPECT_EQ((std::vector<BYTE>{0x3F, 0x00}), data);
    EXPECT_EQ(0x9000, wSw);

    const auto &written = m_port.Dev(m_strPath).written;
    ASSERT_EQ(1u, written.size());
    const std::vector<BYTE> expected = {3,    0,    0x0C, 0x00, 0x0A, 0x00, 0x0A, 0,    0xA1,
                                        0x00, 0x07, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), written[0].begin()));
    EXPECT_EQ((std::vector<DWORD>{20}), m_port.m_sleeps);
    EXPECT_TRUE(TraceHas("CHidManager::Transmit obuffer=A10007"));
    EXPECT_TRUE(TraceHas("CHidManager::Transmit ibuffer=A100053F00900000"));
}

TEST_F(HidTransport, BusyAnswersArePolledEveryEightyMilliseconds)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}, 3);
    std::vector<BYTE> data;
    WORD wSw = 0;
    ASSERT_TRUE(Exchange(kSelectMf, data, wSw));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ((std::vector<DWORD>{20, 80, 80, 80}), m_port.m_sleeps);
}

TEST_F(HidTransport, TimeOutDelaysOnlyTheNextExchange)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    ASSERT_TRUE(m_pHid->SetTimeOut(m_strPath.c_str(), 200));
    std::vector<BYTE> data;
    WORD wSw = 0;
    for (int i = 0; i < 2; ++i) {
        m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00});
        ASSERT_TRUE(Exchange(kSelectMf, data, wSw));
    }
    EXPECT_EQ((std::vector<DWORD>{200, 20}), m_port.m_sleeps);
    EXPECT_FALSE(m_pHid->SetTimeOut("\\\\?\\no-such-device", 5));
}

TEST_F(HidTransport, LongestApduIsSentAndOneByteMoreIsRefusedUnsent)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    std::vector<BYTE> apdu(253, 0x11), data;
    WORD wSw = 0;
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00});
    ASSERT_TRUE(Exchange(apdu, data, wSw));
    EXPECT_EQ(5u, m_port.Dev(m_strPath).written.size());

    apdu.push_back(0x11);
    m_port.Dev(m_strPath).written.clear();
    EXPECT_FALSE(Exchange(apdu, data, wSw));
    EXPECT_TRUE(m_port.Dev(m_strPath).written.empty());
    EXPECT_TRUE(TraceHas("[Transmit] leftdataLen Is Not Validat, leftdataLen=[257]"));
    // A refused request is not a broken device.
    EXPECT_TRUE(m_pHid->IsConnected(m_strPath.c_str()));
}

TEST_F(HidTransport, SecretRequestIsDumpedWithoutItsData)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    // VERIFY with the PIN 31 32 33 34 35 36.
    const std::vector<BYTE> verify = {0x00, 0x20, 0x00, 0x00, 0x06, 0x31, 0x32,
                                      0x33, 0x34, 0x35, 0x36};
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00});
    std::vector<BYTE> data;
    WORD wSw = 0;
    ASSERT_TRUE(Exchange(verify, data, wSw, HID_FLAG_SECRET_REQUEST));
    EXPECT_TRUE(TraceHas("CHidManager::Transmit obuffer=A1000B0020000006[6 bytes masked]"));
    EXPECT_EQ(std::string::npos, m_capture.RawText().find("313233343536"));
}

struct AnswerScriptCase {
    const char *pszName;
    std::vector<std::vector<BYTE>> reports;  // as the device hands them out (R = 65)
    bool bOk;
    WORD wSw;
    std::size_t nDataLength;
};

std::vector<BYTE> Report(BYTE bMore, BYTE bCount, std::vector<BYTE> data, BYTE bBusy = 0)
{
    std::vector<BYTE> report(65, 0);
    report[0] = bMore;
    report[1] = bCount;
    report[2] = bBusy;
    std::copy(data.begin(), data.end(), report.begin() + 8);
    return report;
}

std::vector<std::vector<BYTE>> TooLongAnswer()
{
    // 19 full reports of 56 bytes: 1064 bytes, past the 1024-byte area.
    std::vector<std::vector<BYTE>> reports(18, Report(1, 56, {0xA1, 0x04, 0x00}));
    reports.push_back(Report(0, 56, {}));
    return reports;
}

std::vector<std::vector<BYTE>> CountAboveChunk()
{
    // Byte 1 says 200: only the 56 bytes of one chunk count.
    std::vector<BYTE> first(56, 0xEE);
    first[0] = 0xA1;
    first[1] = 0x00;
    first[2] = 0x38;  // D = 56: 53 data bytes in this report
    return {Report(1, 200, first), Report(0, 3, {0x90, 0x00, 0x00})};
}

class AnswerScripts : public HidTransport,
                      public ::testing::WithParamInterface<AnswerScriptCase> {};

TEST_P(AnswerScripts, AreTakenApartOrRefused)
{
    const AnswerScriptCase &c = GetParam();
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    for (const std::vector<BYTE> &report : c.reports)
        m_port.Dev(m_strPath).answers.push_back(report);
    std::vector<BYTE> data;
    WORD wSw = 0;
    EXPECT_EQ(c.bOk, Exchange(kSelectMf, data, wSw) != FALSE);
    if (c.bOk) {
        EXPECT_EQ(c.wSw, wSw);
        EXPECT_EQ(c.nDataLength, data.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerScripts,
    ::testing::Values(
        AnswerScriptCase{"StatusOnly", {Report(0, 6, {0xA1, 0x00, 0x03, 0x6A, 0x82, 0x00})},
                         true, 0x6A82, 0},
        AnswerScriptCase{"BusyWithCountAddsNothing",
                         {Report(0, 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0xFF),
                          Report(0, 6, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00})},
                         true, 0x9000, 0},
        AnswerScriptCase{"CountAboveChunk", CountAboveChunk(), true, 0x9000, 53},
        AnswerScriptCase{"TwoBytesOnly", {Report(0, 2, {0xA1, 0x00})}, false, 0, 0},
        AnswerScriptCase{"LengthZero", {Report(0, 6, {0xA1, 0x00, 0x00, 0x90, 0x00, 0x00})},
                         false, 0, 0},
        AnswerScriptCase{"LengthOne", {Report(0, 6, {0xA1, 0x00, 0x01, 0x90, 0x00, 0x00})},
                         false, 0, 0},
        AnswerScriptCase{"LengthTwo", {Report(0, 6, {0xA1, 0x00, 0x02, 0x90, 0x00, 0x00})},
                         false, 0, 0},
        AnswerScriptCase{"LengthBeyondReceived",
                         {Report(0, 6, {0xA1, 0x00, 0x40, 0x90, 0x00, 0x00})}, false, 0, 0},
        AnswerScriptCase{"MoreThan1024Bytes", TooLongAnswer(), false, 0, 0}),
    CaseName());

struct FailingDeviceCase {
    const char *pszName;
    int nFailSetAt;   // -1: SetFeature works
    bool bNoAnswer;   // GetFeature fails
    const char *pszTrace;
};

class FailingDevice : public HidTransport,
                      public ::testing::WithParamInterface<FailingDeviceCase> {};

// A failed exchange closes the device and frees the owner record, so the
// card object reconnects on its next operation.
TEST_P(FailingDevice, ExchangeFailsAndTheDeviceIsClosed)
{
    const FailingDeviceCase &c = GetParam();
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    m_port.Dev(m_strPath).nFailSetAt = c.nFailSetAt;
    if (!c.bNoAnswer)
        m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00});
    std::vector<BYTE> apdu(100, 0x22), data;
    WORD wSw = 0;
    EXPECT_FALSE(Exchange(apdu, data, wSw));
    EXPECT_TRUE(TraceHas(c.pszTrace));
    EXPECT_TRUE(TraceHas("[SendRcvCmd] Transmit Failed, GetLastError=["));
    EXPECT_EQ(1u, m_port.m_closed.size());
    EXPECT_FALSE(m_pHid->IsConnected(m_strPath.c_str()));
    DWORD dwOwner = 1;
    CCardInfoManager::CShareMem(m_strPath.c_str()).Read(&dwOwner);
    EXPECT_EQ(0u, dwOwner);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailingDevice,
    ::testing::Values(
        FailingDeviceCase{"FirstSetFeature", 0, false, "[Transmit] HidD_SetFeature Failed, nRet=[0]"},
        FailingDeviceCase{"SecondSetFeature", 1, false,
                          "[Transmit] HidD_SetFeature Failed, nRet=[0]"},
        FailingDeviceCase{"GetFeature", -1, true,
                          "[Transmit] HidD_GetFeature Failed, nRet=[0], nActRecvLen=[65]"}),
    CaseName());

TEST_F(HidTransport, ConnectingTwiceKeepsOneEntryWithTheNewHandle)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    ASSERT_EQ(1u, m_port.m_closed.size());
    EXPECT_TRUE(m_pHid->IsConnected(m_strPath.c_str()));
    EXPECT_TRUE(m_pHid->DisConnect(m_strPath.c_str()));
    EXPECT_EQ(2u, m_port.m_closed.size());
    // The entry stays, with an invalid handle.
    EXPECT_FALSE(m_pHid->DisConnect(m_strPath.c_str()));
    EXPECT_TRUE(TraceHas("CHidManager::DisConnect Dest Device Handle Is INVALID_HANDLE_VALUE"));
}

struct BadCapsCase {
    const char *pszName;
    bool bCapsFail;
    USHORT usReportLength;
    const char *pszTrace;
};

class ConnectFailure : public HidTransport,
                       public ::testing::WithParamInterface<BadCapsCase> {};

TEST_P(ConnectFailure, ClosesTheHandleItOpened)
{
    const BadCapsCase &c = GetParam();
    m_port.AddDevice(m_strPath, c.usReportLength).bCapsFail = c.bCapsFail;
    EXPECT_FALSE(m_pHid->Connect(m_strPath.c_str()));
    EXPECT_EQ(1u, m_port.m_closed.size());
    EXPECT_TRUE(TraceHas(c.pszTrace));
    EXPECT_FALSE(m_pHid->IsConnected(m_strPath.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Caps, ConnectFailure,
    ::testing::Values(BadCapsCase{"CapsFail", true, 65, "CHidManager::Connect HidP_GetCaps Failed"},
                      BadCapsCase{"ReportOfNine", false, 9,
                                  "CHidManager::Connect FeatureReportByteLength Too Small"}),
    CaseName());

TEST_F(HidTransport, MissingDeviceFailsToConnect)
{
    EXPECT_FALSE(m_pHid->Connect(UniqueDevicePath().c_str()));
    EXPECT_TRUE(TraceHas("CHidManager::Connect CreateFile["));
    EXPECT_TRUE(m_port.m_closed.empty());
}

TEST_F(HidTransport, PulledTokenIsNoLongerConnected)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    m_port.Dev(m_strPath).bPresent = false;
    EXPECT_FALSE(m_pHid->IsConnected(m_strPath.c_str()));
    EXPECT_TRUE(TraceHas("CHidManager::IsConnected HidD_GetPreparsedData Failed"));
}

TEST_F(HidTransport, TokenOwnedByAnotherProcessIsNotConnectedHere)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    ASSERT_TRUE(m_pHid->IsConnected(m_strPath.c_str()));
    CCardInfoManager::CShareMem(m_strPath.c_str()).Write(GetCurrentProcessId() + 4);
    EXPECT_FALSE(m_pHid->IsConnected(m_strPath.c_str()));
    EXPECT_TRUE(TraceHas("CHidManager::IsConnected IsAcquired Return False"));
}

TEST_F(HidTransport, AtrIsEmptyForAnyLength)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    BYTE abAtr[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    DWORD dwLen = 0;
    EXPECT_TRUE(m_pHid->GetAtr(m_strPath.c_str(), abAtr, &dwLen));
    EXPECT_EQ(0u, dwLen);
    dwLen = sizeof(abAtr);
    EXPECT_TRUE(m_pHid->GetAtr(m_strPath.c_str(), abAtr, &dwLen));
    EXPECT_EQ(0u, dwLen);
    EXPECT_EQ(0xEE, abAtr[0]);
    EXPECT_FALSE(m_pHid->GetAtr("\\\\?\\no-such-device", abAtr, &dwLen));
}

TEST_F(HidTransport, WithoutTheMemoryLibraryNothingIsSent)
{
    ASSERT_TRUE(m_pHid->Connect(m_strPath.c_str()));
    CMemoryManager::UnloadDLL();
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x90, 0x00, 0x00});
    std::vector<BYTE> data;
    WORD wSw = 0;
    EXPECT_FALSE(Exchange(kSelectMf, data, wSw));
    EXPECT_TRUE(m_port.Dev(m_strPath).written.empty());
    ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
}

}  // namespace
