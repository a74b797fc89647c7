// DisplaySignEmuFixture.h
//
// The sign confirmation for real: a Pavrel_Hash over sign-data XML and a
// Pavrel_CardAccess on the emulator-bound Corlisk.dll beside the test
// program, against a private token emulator whose scripted holder presses
// the keys. Each test has a folder of its own holding a loaded copy of a
// stand-in "Pavrel.dll", so that the confirmation reads that folder's
// "KQUKeyConfig.ini" ([SIGN] WaitTime, [NOTICE] ShowBitmap) and bitmap.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "EmulatorProcess.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"
#include "SignConfirm.h"
#include "PromptFiles.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

// UTF-8 texts as the emulator reads the screen back.
#define SIGN_CONFIRMED_TEXT "\xE5\xB7\xB2\xE7\xA1\xAE\xE8\xAE\xA4..."
#define SIGN_CANCELLED_TEXT "\xE5\xB7\xB2\xE5\x8F\x96\xE6\xB6\x88..."
#define SIGN_TIMED_OUT_TEXT \
    "\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6,\xE4\xBA\xA4\xE6\x98\x93\xE5\x8F\x96\xE6\xB6\x88"
#define SIGN_SECOND_TEXT \
    "\xE8\xAF\xB7\xE6\x82\xA8\xE5\x86\x8D\xE6\xAC\xA1\xE7\xA1\xAE\xE8\xAE\xA4\xE4\xBA\xA4\xE6\x98\x93"

// The first text row of each kept screen, oldest first.
inline std::vector<std::string> HistoryRows(const std::string &strAnswer)
{
    std::vector<std::string> rows;
    std::istringstream in(strAnswer);
    std::string strLine;
    std::getline(in, strLine);  // "OK"
    while (std::getline(in, strLine)) {
        // "<n> <time> <first row>"
        const size_t a = strLine.find(' ');
        const size_t b = a == std::string::npos ? a : strLine.find(' ', a + 1);
        rows.push_back(b == std::string::npos ? std::string() : strLine.substr(b + 1));
    }
    return rows;
}

// The first row of the screen now.
inline std::string ScreenRow(const std::string &strAnswer)
{
    if (strAnswer.compare(0, 3, "OK\n") != 0)
        return "(" + strAnswer + ")";
    return strAnswer.substr(3, strAnswer.find('\n', 3) - 3);
}

class DisplaySignEmu : public ::testing::Test {
protected:
    DisplaySignEmu() : m_emu(1) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_emu.Started());
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
        // The plug's logo is the first kept screen.
        m_strLogoRow = HistoryRows(m_emu.Control("screen t1 history")).at(0);
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
        const std::string strText = "[SIGN]\r\nWaitTime=" + std::to_string(dwWaitTime) +
                                    "\r\n[NOTICE]\r\nShowBitmap=" + (bShowBitmap ? "1" : "0") +
                                    "\r\n";
        WriteFileBytes(strDir + "\\KQUKeyConfig.ini",
                       std::vector<uint8_t>(strText.begin(), strText.end()));
    }

    // Waits (bounded) until the token shows its logo again.
    bool LogoBack()
    {
        return WaitUntilTrue(
            [&] { return ScreenRow(m_emu.Control("screen t1 text")) == m_strLogoRow; }, 20000);
    }

    // The holder's script, one control command each.
    void Script(const std::vector<std::string> &commands)
    {
        for (const std::string &strCommand : commands)
            ASSERT_EQ("OK", m_emu.Control(strCommand)) << strCommand;
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

    EmulatorProcess m_emu;
    std::unique_ptr<TraceCapture> m_trace;
    std::string m_strDir;
    std::vector<std::string> m_folders;
    HMODULE m_hPavrel = nullptr;
    Pavrel_CardAccess *m_pAccess = nullptr;
    std::string m_strLogoRow;
};
