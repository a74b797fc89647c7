// CardAccessNoLibraryTest.cpp
//
// The card access in a folder without "Corlisk.dll": clean errors and no
// call through a missing card object; once the library is there, the next
// access binds it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "FakeCard.h"
#include "KQCardAccess.h"
#include "Pavrel_CardAccess.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

TEST(NoCardLibrary, CleanErrorsThenTheLibraryIsBoundWhenItAppears)
{
    const std::string strLibrary = TestBinPath("Corlisk.dll");
    DeleteFileA(strLibrary.c_str());
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(strLibrary.c_str()));
    CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    {
        TraceCapture capture;
        EXPECT_EQ(nullptr, Pavrel_CardAccess::getCardInstance("tok"));
        CKQCardAccess bare;
        EXPECT_EQ(nullptr, bare.card());
        EXPECT_EQ(0, bare.GetUKeyCount());
        char szPath[260] = {0};
        EXPECT_FALSE(bare.GetUKeyDevicePath(0, szPath, sizeof(szPath)));
        EXPECT_EQ(PAVREL_E_NO_CARD_OBJECT, bare.OpenConnection("x"));
        KEYSET_ID ids[4];
        DWORD dwCount = 4;
        EXPECT_EQ(PAVREL_E_NO_CARD_OBJECT, bare.ReadKeysetIds(ids, &dwCount));
        EXPECT_EQ(PAVREL_E_NO_CARD_OBJECT, bare.CloseConnection());
        EXPECT_STRCASEEQ(strLibrary.c_str(), CKQCardAccess::getLibraryPath());
        EXPECT_NE(std::string::npos,
                  capture.RawText().find("CKQCardAccess::CKQCardAccess Get Object Failed"));
    }
    CTraceWriter::GetInstance()->FreeTraceLibrary();

    // The library arrives: the next access loads it.
    ASSERT_TRUE(CopyFileA(TestBinPath("..\\csp-fake\\Corlisk.dll").c_str(), strLibrary.c_str(),
                          FALSE));
    ASSERT_TRUE(FakeCardFactory::Install(strLibrary));
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("tok");
    ASSERT_NE(nullptr, pAccess);
    EXPECT_EQ(1u, FakeCardFactory::Made().size());
    pAccess->AddRef();
    pAccess->Release();
}

}  // namespace
