// TraceWriterTest.cpp
//
// The writer against the trace stand-in (records read back from its capture
// file), against no library at all, and against a library missing exports.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "OutsideInterfaces.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

class TraceWriterBound : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pWriter->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        ASSERT_TRUE(m_pWriter->IsTracing());
    }
    void TearDown() override { m_pWriter->FreeTraceLibrary(); }

    TraceCapture m_capture;
    CTraceWriter *m_pWriter = CTraceWriter::GetInstance();
};

TEST_F(TraceWriterBound, ForwardsEnterLeaveAndLinesWithTheirFields)
{
    m_pWriter->Enter(TRACE_MODULE_CARD, "CKQCard", "ChangePin");
    m_pWriter->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                   "CKQCard::ChangePin ReadBinary Faied,dwRet=[0x%08X]", 0x80100024u);
    m_pWriter->Leave(TRACE_MODULE_CARD, "CKQCard", "ChangePin");

    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((std::vector<std::string>{"ENTER", "KQCARD", "CKQCard", "ChangePin"}),
              records[0].fields);
    EXPECT_EQ((std::vector<std::string>{"LOG", "1", "14", "KQCARD",
                                        "CKQCard::ChangePin ReadBinary Faied,dwRet=[0x80100024]"}),
              records[1].fields);
    EXPECT_EQ((std::vector<std::string>{"LEAVE", "KQCARD", "CKQCard", "ChangePin"}),
              records[2].fields);
}

TEST_F(TraceWriterBound, LongLineReachesTheLibraryCutTo4095Characters)
{
    std::string strText(5000, 'a');
    m_pWriter->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD, "%s", strText.c_str());
    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(std::string(4095, 'a'), records[0].Text());
}

TEST_F(TraceWriterBound, HexDumpIsOneLevelFiveKindFifteenLine)
{
    const BYTE abData[] = {0x00, 0x1F, 0xA0};
    m_pWriter->LogHex(TRACE_MODULE_CARD, "CHidManager", "Transmit", "obuffer", abData, 3);
    m_pWriter->LogHex(TRACE_MODULE_CARD, nullptr, "Transmit", nullptr, abData, 3);
    m_pWriter->LogHex(TRACE_MODULE_CARD, "CHidManager", "Transmit", "ibuffer", abData, 0);
    m_pWriter->LogHex(TRACE_MODULE_CARD, "CHidManager", "Transmit", "ibuffer", nullptr, 3);

    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ((std::vector<std::string>{"LOG", "5", "15", "KQCARD",
                                        "CHidManager::Transmit obuffer=001FA0"}),
              records[0].fields);
    EXPECT_EQ("[Transmit] 001FA0", records[1].Text());
}

TEST_F(TraceWriterBound, MaskedDumpNeverCarriesTheSecret)
{
    // VERIFY with the PIN "918273" and a key import with private key bytes.
    const BYTE abVerify[] = {0x00, 0x20, 0x00, 0x00, 0x06, '9', '1', '8', '2', '7', '3'};
    BYTE abImport[5 + 64];
    abImport[0] = 0x80; abImport[1] = 0xD8; abImport[2] = 0x00; abImport[3] = 0x00;
    abImport[4] = 64;
    for (int i = 0; i < 64; ++i)
        abImport[5 + i] = static_cast<BYTE>(0xC0 + (i % 16));
    m_pWriter->LogHexMasked(TRACE_MODULE_CARD, "CHidManager", "Transmit", "obuffer", abVerify,
                            sizeof(abVerify), 5);
    m_pWriter->LogHexMasked(TRACE_MODULE_CARD, "CHidManager", "Transmit", "obuffer", abImport,
                            sizeof(abImport), 5);

    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("CHidManager::Transmit obuffer=0020000006[6 bytes masked]", records[0].Text());
    EXPECT_EQ("CHidManager::Transmit obuffer=80D8000040[64 bytes masked]", records[1].Text());
    std::string strRaw = m_capture.RawText();
    EXPECT_EQ(std::string::npos, strRaw.find("918273"));
    EXPECT_EQ(std::string::npos, strRaw.find("393138323733"));
    EXPECT_EQ(std::string::npos, strRaw.find("C0C1C2C3"));
}

TEST_F(TraceWriterBound, ExceptionReportNamesTheFileAfterEitherSeparator)
{
    m_pWriter->LogException("C:\\build\\token\\Corlisk.cpp", 77, TRACE_MODULE_CARD,
                            "CKQCard::ChangePin Catch an Exception,GetLastError=[%d]", 5);
    m_pWriter->LogException("/work/main/common/BMPThread.cpp", 12, TRACE_MODULE_CSP,
                            "[WrkThrd] Catch an Exception,GetLastError=[%d]", 0);
    m_pWriter->LogException("NoSeparator.cpp", 1, TRACE_MODULE_CARD, "dropped");

    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ((std::vector<std::string>{
                  "LOG", "1", "255", "KQCARD",
                  "File Corlisk.cpp Catch an Exception,line:77\r\nDetail=\r\n{\r\n\t"
                  "CKQCard::ChangePin Catch an Exception,GetLastError=[5]\r\n}"}),
              records[0].fields);
    EXPECT_EQ("KQCSPX", records[1].fields[3]);
    EXPECT_EQ(0u, records[1].Text().find("File BMPThread.cpp Catch an Exception,line:12"));
}

TEST_F(TraceWriterBound, CatchAllMacroReportsThisFileAndTheLastError)
{
    SetLastError(87);
    TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::ChangePin");
    EXPECT_EQ(87u, GetLastError());
    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(0u, records[0].Text().find("File TraceWriterTest.cpp Catch an Exception,line:"));
    EXPECT_NE(std::string::npos,
              records[0].Text().find("CKQCard::ChangePin Catch an Exception,GetLastError=[87]"));
}

TEST_F(TraceWriterBound, NoCallChangesTheLastError)
{
    const BYTE abData[] = {1, 2, 3};
    SetLastError(0x1234);
    m_pWriter->Enter(TRACE_MODULE_CARD, "C", "M");
    m_pWriter->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD, "x");
    m_pWriter->LogHex(TRACE_MODULE_CARD, "C", "M", "d", abData, 3);
    m_pWriter->LogHexMasked(TRACE_MODULE_CARD, "C", "M", "d", abData, 3, 1);
    m_pWriter->LogException("a\\b.cpp", 1, TRACE_MODULE_CARD, "x");
    m_pWriter->Leave(TRACE_MODULE_CARD, "C", "M");
    EXPECT_EQ(0x1234u, GetLastError());
    EXPECT_EQ(6u, m_capture.Records().size());
}

TEST(TraceWriterUnbound, WithoutTheLibraryEveryCallIsSilent)
{
    TraceCapture capture;
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    std::string strMissing = TestBinPath("NoSuchTraceLibrary.dll");
    const BYTE abData[] = {0xAA};
    // Each call in turn, with the last-error value checked right after it.
    const std::vector<std::function<BOOL()>> calls = {
        [&] { return pWriter->LoadTraceLibrary(strMissing.c_str()); },
        [&] { pWriter->Enter(TRACE_MODULE_CARD, "C", "M"); return TRUE; },
        [&] { pWriter->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD, "%s", "x");
              return TRUE; },
        [&] { pWriter->LogHex(TRACE_MODULE_CARD, "C", "M", "d", abData, 1); return TRUE; },
        [&] { pWriter->LogHexMasked(TRACE_MODULE_CARD, "C", "M", "d", abData, 1, 0);
              return TRUE; },
        [&] { pWriter->LogException("a\\b.cpp", 1, TRACE_MODULE_CARD, "x"); return TRUE; },
        [&] { pWriter->Leave(TRACE_MODULE_CARD, "C", "M"); return TRUE; },
        [&] { return pWriter->FreeTraceLibrary(); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SetLastError(0x4321);
        BOOL bResult = calls[i]();
        DWORD dwError = GetLastError();
        EXPECT_TRUE(bResult) << "call " << i;
        EXPECT_EQ(0x4321u, dwError) << "call " << i;
        if (i == 0) {
            EXPECT_FALSE(pWriter->IsTracing());
        }
    }
    EXPECT_TRUE(capture.RawText().empty());
}

TEST(TraceWriterUnbound, FreeingStopsTracing)
{
    TraceCapture capture;
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    pWriter->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    pWriter->FreeTraceLibrary();
    EXPECT_FALSE(pWriter->IsTracing());
    pWriter->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD, "after free");
    EXPECT_TRUE(capture.RawText().empty());
}

// A library that has traceEnter and traceLog only: the calls that need a
// missing entry do nothing, the others still reach the library.
TEST(TraceWriterPartial, LibraryMissingExportsDoesNotCrash)
{
    std::string strPath = TestBinPath("KQUKeyLogPartial.dll");
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    pWriter->LoadTraceLibrary(strPath.c_str());
    ASSERT_TRUE(pWriter->IsTracing());
    HMODULE hPartial = GetModuleHandleA(strPath.c_str());
    ASSERT_NE(nullptr, hPartial);
    typedef LONG(KQ_EXPORT_CALL * PFN_Count)();
    PFN_Count pfnEnters = KQGetProcAddress<PFN_Count>(hPartial, "PartialEnterCalls");
    PFN_Count pfnLogs = KQGetProcAddress<PFN_Count>(hPartial, "PartialLogCalls");
    ASSERT_TRUE(pfnEnters && pfnLogs);

    const BYTE abData[] = {1};
    pWriter->Enter(TRACE_MODULE_CARD, "C", "M");
    pWriter->Leave(TRACE_MODULE_CARD, "C", "M");
    pWriter->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD, "x");
    pWriter->LogHex(TRACE_MODULE_CARD, "C", "M", "d", abData, 1);
    pWriter->LogException("a\\b.cpp", 1, TRACE_MODULE_CARD, "x");
    EXPECT_EQ(1, pfnEnters());
    EXPECT_EQ(3, pfnLogs());
    pWriter->FreeTraceLibrary();
}

}  // namespace
