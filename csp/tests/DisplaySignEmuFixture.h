// DisplaySignEmuFixture.h
//
// The sign confirmation for real: a Pavrel_Hash over sign-data XML and a
// Pavrel_CardAccess on the emulator-bound Corlisk.dll beside the test
// program, against a private token emulator whose scripted holder presses
// the keys (EmuHolderTest). Each test has a folder of its own holding a
// loaded copy of a stand-in "Pavrel.dll", so that the confirmation reads
// that folder's "KQUKeyConfig.ini" ([SIGN] WaitTime, [NOTICE] ShowBitmap)
// and bitmap.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "EmuHolderTest.h"
#include "EmuScreenAnswers.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"
#include "SignConfirm.h"
#include "SignSamples.h"
#include "PromptFiles.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

class DisplaySignEmu : public EmuHolderTest {
protected:
    void SetUp() override
    {
        EmuHolderTest::SetUp();
        if (HasFatalFailure())
            return;
        m_strDir = NewFolder(1500, false);
        m_hPavrel = LoadLibraryA(Path("Pavrel.dll").c_str());
        ASSERT_NE(nullptr, m_hPavrel);
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        m_trace.reset(new TraceCapture());
        // The transaction reaches the token's screen and no trace.
        m_trace->Forbid("the account number", "6222020200112233");
        m_trace->Forbid("the account's page row", "Account:62220202");
        m_pAccess = Pavrel_CardAccess::getCardInstance("");
        ASSERT_NE(nullptr, m_pAccess);
        m_pAccess->AddRef();
    }

    void TearDown() override
    {
        if (m_pAccess != nullptr)
            m_pAccess->Release();
        m_trace.reset();
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        if (m_hPavrel != nullptr)
            FreeLibrary(m_hPavrel);
        for (const std::string &strDir : m_folders) {
            for (const char *pszName : {"Pavrel.dll", "KQUKeyConfig.ini", "KQSign.bmp"})
                DeleteFileA((strDir + "\\" + pszName).c_str());
            RemoveDirectoryA(strDir.c_str());
        }
    }

    std::string Path(const char *pszName) const { return m_strDir + "\\" + pszName; }

    // A folder of this test's own with a copy of the stand-in "Pavrel.dll"
    // and its configuration.
    std::string NewFolder(DWORD dwWaitTime, bool bShowBitmap)
    {
        static int s_nFolder = 0;
        const std::string strDir = TestBinDir() + "sign-" + std::to_string(GetCurrentProcessId()) +
                                   "-" + std::to_string(++s_nFolder);
        EXPECT_TRUE(CreateDirectoryA(strDir.c_str(), nullptr)) << strDir;
        m_folders.push_back(strDir);
        EXPECT_TRUE(CopyFileA(TestBinPath("..\\prompts-fixture\\Pavrel.dll").c_str(),
                              (strDir + "\\Pavrel.dll").c_str(), FALSE));
        Configure(strDir, dwWaitTime, bShowBitmap);
        return strDir;
    }

    static void Configure(const std::string &strDir, DWORD dwWaitTime, bool bShowBitmap)
    {
        const std::string strText = SignConfigText(dwWaitTime, bShowBitmap);
        WriteFileBytes(strDir + "\\KQUKeyConfig.ini",
                       std::vector<uint8_t>(strText.begin(), strText.end()));
    }

    int Confirm(const std::string &strData) { return ConfirmSignData(m_pAccess, strData); }

    // The first rows of the kept screens, the logo's left out when
    // bDropLogo.
    std::vector<std::string> Dialogue(bool bDropLogo = true)
    {
        const std::string strAnswer = m_emu.Control("screen t1 history");
        std::vector<std::string> shown;
        for (const std::string &strRow : HistoryRows(strAnswer))
            if (!bDropLogo || strRow != m_strLogoRow)
                shown.push_back(strRow);
        return shown;
    }

    std::unique_ptr<TraceCapture> m_trace;
    std::string m_strDir;
    std::vector<std::string> m_folders;
    HMODULE m_hPavrel = nullptr;
    Pavrel_CardAccess *m_pAccess = nullptr;
};
