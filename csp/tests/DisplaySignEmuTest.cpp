// DisplaySignEmuTest.cpp
//
// The sign confirmation on the emulated token, its holder pressing the keys
// when the screen shows a text: results, the pages in the screen's history
// and the final text; and two processes confirming on one token, whose
// dialogues follow each other whole, with no logo inside either.
#include "DisplaySignEmuFixture.h"

#include <map>
#include <sstream>
#include <utility>

#include "ChildProcess.h"

namespace {

// "取消     ↓ 确认" and "取消 ↑     确认".
const char kHintDown[] = "\xE5\x8F\x96\xE6\xB6\x88     \xE2\x86\x93 \xE7\xA1\xAE\xE8\xAE\xA4";
const char kHintUp[] = "\xE5\x8F\x96\xE6\xB6\x88 \xE2\x86\x91     \xE7\xA1\xAE\xE8\xAE\xA4";
const char kFallbackUtf8[] =
    "\xE8\xAF\xB7\xE6\x82\xA8\xE7\xA1\xAE\xE8\xAE\xA4\xE6\x95\xB0\xE5\xAD\x97\xE7\xAD\xBE\xE5\x90"
    "\x8D";

struct EmuCase {
    const char *pszName;
    std::string strXml;
    std::vector<std::string> script;
    int nResult;
    std::vector<std::string> rows;  // first rows of the screens, in order
};

TEST_F(DisplaySignEmu, HolderKeysGiveTheResultAndTheScreens)
{
    const std::string kWhenSecond = std::string("when ") + SIGN_SECOND_TEXT;
    const EmuCase cases[] = {
        {"Enter Enter", TransferXml("Transfer"),
         {"user t1 press enter when Transfer", "user t1 press enter " + kWhenSecond}, 0,
         {"Transfer", SIGN_SECOND_TEXT, SIGN_CONFIRMED_TEXT}},
        {"Enter Esc", TransferXml("Transfer"),
         {"user t1 press enter when Transfer", "user t1 press esc " + kWhenSecond}, -4,
         {"Transfer", SIGN_SECOND_TEXT, SIGN_CANCELLED_TEXT}},
        {"Esc", TransferXml("Transfer"), {"user t1 press esc when Transfer"}, -4,
         {"Transfer", SIGN_CANCELLED_TEXT}},
        {"silence", TransferXml("Transfer"), {}, -4, {"Transfer", SIGN_TIMED_OUT_TEXT}},
        {"scroll down and back up", TransferXml("Transfer"),
         {"user t1 press # when Transfer", "user t1 press . when Sum:12.50",
          "user t1 press enter when Transfer", "user t1 press enter " + kWhenSecond},
         0,
         {"Transfer", "Account:62220202", "Transfer", SIGN_SECOND_TEXT, SIGN_CONFIRMED_TEXT}},
        {"not xml: one Enter", "abc", {"user t1 press enter when \xE7\xA1\xAE\xE8\xAE\xA4"}, 0,
         {kFallbackUtf8, SIGN_CONFIRMED_TEXT}},
    };
    for (const EmuCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        ASSERT_EQ("OK", m_emu.Control("screen t1 history clear"));
        Script(c.script);
        EXPECT_EQ(c.nResult, Confirm(c.strXml));
        EXPECT_EQ(c.rows, Dialogue());
        // The final text gives way to the logo, which is then no longer
        // pending for the next case.
        EXPECT_TRUE(LogoBack());
        ASSERT_EQ("OK", m_emu.Control("user t1 clear"));
    }
}

// The holder presses only when the key-hint row with the right arrow is
// drawn: down on the first page, up on the last.
TEST_F(DisplaySignEmu, PagesCarryTheArrowsThatApply)
{
    Script({std::string("user t1 press # when ") + kHintDown,
            std::string("user t1 press enter when ") + kHintUp,
            std::string("user t1 press enter when ") + SIGN_SECOND_TEXT});
    EXPECT_EQ(0, Confirm(TransferXml("Transfer")));
    EXPECT_EQ((std::vector<std::string>{"Transfer", "Account:62220202", SIGN_SECOND_TEXT,
                                        SIGN_CONFIRMED_TEXT}),
              Dialogue());
}

// A screen that cannot be drawn ends the dialogue at once.
TEST_F(DisplaySignEmu, ScreenFailureEndsTheDialogue)
{
    Script({"fault t1 setfeature 1", "user t1 press enter"});
    EXPECT_EQ(-1, Confirm(TransferXml("Transfer")));
    EXPECT_EQ(std::vector<std::string>{}, Dialogue());
}

// One APDU of the emulator's log and the process that sent it.
struct SentApdu {
    DWORD dwPid;
    std::string strApdu;
};

std::vector<SentApdu> ApdusBySender(const std::string &strLog)
{
    std::map<std::string, DWORD> pids;  // session -> pid
    std::vector<SentApdu> apdus;
    std::istringstream in(strLog);
    std::string strLine;
    DWORD dwSender = 0;
    while (std::getline(in, strLine)) {
        std::istringstream words(strLine);
        std::string strId, strEvent, strWord, strSession, strPidWord;
        words >> strId >> strEvent;
        if (strEvent == "OPEN") {
            DWORD dwPid = 0;
            words >> strWord >> strSession >> strPidWord >> dwPid;
            pids[strSession] = dwPid;
        } else if (strEvent == "SENDER") {
            words >> strWord >> strSession;
            dwSender = pids.count(strSession) ? pids[strSession] : 0;
        } else if (strEvent == "APDU") {
            words >> strWord;
            apdus.push_back({dwSender, strWord});
        }
    }
    return apdus;
}

bool IsScreenPart(const std::string &strApdu) { return strApdu.compare(0, 10, "8052000083") == 0; }
bool IsClear(const std::string &strApdu) { return strApdu == "805200000200"; }
bool IsLogo(const std::string &strApdu) { return strApdu == "805200000204"; }

// A process's dialogue in the log: from its first clear to its last screen
// part (the final text); [npos, npos] when it drew nothing.
std::pair<size_t, size_t> Span(const std::vector<SentApdu> &apdus, DWORD dwPid)
{
    size_t nFirst = std::string::npos, nLast = std::string::npos;
    for (size_t i = 0; i < apdus.size(); ++i) {
        if (apdus[i].dwPid != dwPid)
            continue;
        if (nFirst == std::string::npos && IsClear(apdus[i].strApdu))
            nFirst = i;
        if (IsScreenPart(apdus[i].strApdu))
            nLast = i;
    }
    return {nFirst, nLast};
}

// Two processes confirm on the one token. A is on its first page (its
// keypad entry has begun) before B starts; only once B is about to open the
// token (which waits while A's dialogue holds it) does the holder confirm A. B, left in silence, times out after longer
// than A's delayed logo waits. Inside either dialogue the token hears from
// no one else: no command of the other process and no logo.
TEST_F(DisplaySignEmu, TwoProcessesTakeTurnsOnTheScreen)
{
    const std::string strDirA = NewFolder(60000, false);
    const std::string strDirB = NewFolder(5000, false);
    ASSERT_EQ("OK", m_emu.Control("log clear"));
    const std::string strPrefix = "KQSignTurns" + std::to_string(GetCurrentProcessId());
    HANDLE hReadyB = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "B_READY").c_str());
    HANDLE hDoneA = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "A_DONE").c_str());
    HANDLE hDoneB = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "B_DONE").c_str());
    HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, (strPrefix + "GO").c_str());

    ChildProcess first("display_sign_helper.exe", strDirA + " " + strPrefix + "A Transfer-A");
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitUntilTrue(
        [&] { return m_emu.Control("log").find(" APDU 806E") != std::string::npos; }, 60000));
    ChildProcess second("display_sign_helper.exe", strDirB + " " + strPrefix + "B Transfer-B");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hReadyB, 60000));
    Script({"user t1 press enter when Transfer-A",
            std::string("user t1 press enter when ") + SIGN_SECOND_TEXT});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hDoneA, 60000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hDoneB, 60000));
    // A (and its delayed logo) still runs; the logo is back before the log
    // is read.
    EXPECT_TRUE(LogoBack());
    const std::string strLog = m_emu.Control("log");
    SetEvent(hGo);
    EXPECT_EQ(0u, first.Wait(60000));
    EXPECT_EQ(static_cast<DWORD>(-4), second.Wait(60000));
    for (HANDLE h : {hReadyB, hDoneA, hDoneB, hGo})
        CloseHandle(h);

    const std::vector<SentApdu> apdus = ApdusBySender(strLog);
    const std::pair<size_t, size_t> spanA = Span(apdus, first.Pid());
    const std::pair<size_t, size_t> spanB = Span(apdus, second.Pid());
    ASSERT_NE(std::string::npos, spanA.first) << strLog;
    ASSERT_NE(std::string::npos, spanB.first) << strLog;
    EXPECT_LT(spanA.second, spanB.first) << strLog;
    for (const std::pair<size_t, size_t> &span : {spanA, spanB}) {
        const DWORD dwOwner = apdus[span.first].dwPid;
        for (size_t i = span.first; i <= span.second && i < apdus.size(); ++i) {
            EXPECT_EQ(dwOwner, apdus[i].dwPid) << "APDU " << i << "\n" << strLog;
            EXPECT_FALSE(IsLogo(apdus[i].strApdu)) << "APDU " << i << "\n" << strLog;
        }
    }
    // The logo came after B's final text.
    bool bLogoAfter = false;
    for (size_t i = spanB.second; i < apdus.size(); ++i)
        bLogoAfter = bLogoAfter || IsLogo(apdus[i].strApdu);
    EXPECT_TRUE(bLogoAfter) << strLog;
}

}  // namespace
