// DisplaySignTest.cpp
//
// The sign confirmation against a fake card and a fake clock: which pages
// reach the screen for each run of keys, what getKey sends and answers, and
// that both named locks (after the card's device path) are held by the
// confirming thread whenever the token is drawn on or polled.
#include <gtest/gtest.h>
#include <windows.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "FakeCard.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"
#include "SignConfirm.h"
#include "SignDataLayout.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

// The fake token's path, one of this process's own: the named locks are
// seen by the test programs running beside this one.
const std::string &DevicePath()
{
    static const std::string s_strPath =
        "\\\\?\\hid#vid_0925&pid_1234#7&2a0c&0&" + std::to_string(GetCurrentProcessId()) +
        "#{4d1e55b2}";
    return s_strPath;
}
const char kAccount[] = "6222020200112233";
const DWORD kPollMs = 1000;

DWORD g_dwNow = 0;
DWORD FakeTicks() { return g_dwNow; }

// True when a thread other than the caller holds the named mutex.
bool HeldByAnotherThread(const std::string &strName)
{
    struct Probe {
        std::string strName;
        bool bHeld;
    } probe = {strName, false};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pv) -> DWORD {
            Probe *p = static_cast<Probe *>(pv);
            HANDLE h = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, p->strName.c_str());
            if (h == nullptr)
                return 0;
            const DWORD dw = WaitForSingleObject(h, 0);
            p->bHeld = dw == WAIT_TIMEOUT;
            if (!p->bHeld)
                ReleaseMutex(h);
            CloseHandle(h);
            return 0;
        },
        &probe, 0, nullptr);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return probe.bHeld;
}

std::string Upper(std::string s)
{
    for (char &c : s) {
        if (c == '\\')
            c = '_';
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// One keypad poll: the card's result and the key it gives.
struct Poll {
    DWORD dwResult;
    char cKey;
};

class DisplayFakeCard : public FakeCard {
public:
    std::string strPath = DevicePath();
    BOOL bPathResult = TRUE;
    DWORD dwClearResult = 0;
    DWORD dwDisplayResult = 0;
    DWORD dwKeyInStartResult = 0;
    std::deque<Poll> polls;  // then: no key, for ever
    // What it was asked.
    std::vector<std::string> pages;
    std::vector<int> logoDelays;
    std::vector<KEYINSTART_PARAM> starts;
    int nClears = 0;
    int nKeyIns = 0;
    bool bUnlockedCall = false;  // a screen or keypad call without both locks

    BOOL GetDevicePath(char *pszPath, DWORD dwLen) override
    {
        if (!bPathResult || dwLen <= strPath.size())
            return FALSE;
        memcpy(pszPath, strPath.c_str(), strPath.size() + 1);
        return TRUE;
    }
    DWORD ClearScreen() override
    {
        ++nClears;
        CheckLocks();
        return dwClearResult;
    }
    DWORD SetDisplay(const char *pScreen) override
    {
        CheckLocks();
        pages.emplace_back(pScreen, 64);
        return dwDisplayResult;
    }
    DWORD DelayDisplayLogo(int nMs) override
    {
        logoDelays.push_back(nMs);
        return 0;
    }
    DWORD KeyInStart(const KEYINSTART_PARAM *pParam, void *) override
    {
        CheckLocks();
        starts.push_back(*pParam);
        return dwKeyInStartResult;
    }
    DWORD KeyIn(char *pKey, int *pState) override
    {
        CheckLocks();
        ++nKeyIns;
        g_dwNow += kPollMs;
        *pState = 0x9000;
        *pKey = 0;
        if (polls.empty())
            return 0;
        const Poll poll = polls.front();
        polls.pop_front();
        *pKey = poll.cKey;
        return poll.dwResult;
    }

private:
    void CheckLocks()
    {
        if (!HeldByAnotherThread(Upper("MUTEX_CARD_" + strPath)) ||
            !HeldByAnotherThread(Upper("MUTEX_DISPLAYSIGN_" + strPath)))
            bUnlockedCall = true;
    }
};

// The transaction of four lines: the type, a field of 20 bytes, one of 10.
const char kFourLines[] =
    "<SignData><TradeType name=\"Transfer\"/><Fields>"
    "<a name=\"Account:\">6222020200112233</a><b name=\"Sum:\">12.50 </b>"
    "</Fields></SignData>";

class DisplaySignTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(FakeCardFactory::Install(TestBinPath("Corlisk.dll")));
        FakeCardFactory::SetMaker([]() -> FakeCard * { return new DisplayFakeCard(); });
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        Pavrel_DisplaySign::setTickSource(&FakeTicks);
    }
    static void TearDownTestSuite()
    {
        Pavrel_DisplaySign::setTickSource(nullptr);
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        FakeCardFactory::SetMaker(nullptr);
    }
    void SetUp() override
    {
        m_trace.Forbid("the account number", kAccount);
        Fresh();
    }
    void TearDown() override
    {
        if (m_pAccess)
            m_pAccess->Release();
        m_pAccess = nullptr;
    }

    // A card access and fake card of their own, for one case of a table.
    void Fresh()
    {
        static int nAccess = 0;
        TearDown();
        m_pAccess = Pavrel_CardAccess::getCardInstance("display" + std::to_string(++nAccess));
        ASSERT_NE(nullptr, m_pAccess);
        m_pAccess->AddRef();
        m_pCard = static_cast<DisplayFakeCard *>(FakeCardFactory::Made().back());
    }

    // Both locks are free again once the confirmation is over.
    static void ExpectLocksFree()
    {
        EXPECT_FALSE(HeldByAnotherThread(Upper("MUTEX_CARD_" + DevicePath())));
        EXPECT_FALSE(HeldByAnotherThread(Upper("MUTEX_DISPLAYSIGN_" + DevicePath())));
    }

    int Confirm(const std::string &strData) { return ConfirmSignData(m_pAccess, strData); }

    TraceCapture m_trace;
    Pavrel_CardAccess *m_pAccess = nullptr;
    DisplayFakeCard *m_pCard = nullptr;
};

std::string Hint(bool bUp, bool bDown)
{
    return std::string("\xC8\xA1\xCF\xFB ") + (bUp ? "\xA1\xFC" : "  ") + "  " +
           (bDown ? "\xA1\xFD" : "  ") + " \xC8\xB7\xC8\xCF";
}
std::string Row(const std::string &s) { return s + std::string(16 - s.size(), ' '); }

// The data pages of kFourLines, and the text pages.
const std::string kPageTop =
    Row("Transfer") + "Account:62220202" + Row("00112233") + Hint(false, true);
const std::string kPageBottom =
    "Account:62220202" + Row("00112233") + Row("Sum:12.50") + Hint(true, false);
const std::string kFallbackPage = std::string(CSignDataLayout::kFallbackLine) +
                                  std::string(32, ' ') + Hint(false, false);
const std::string kSecondPage = CSignDataLayout::TextPage(CSignDataLayout::kSecondConfirm);
const std::string kConfirmedPage = CSignDataLayout::TextPage(CSignDataLayout::kConfirmed);
const std::string kCancelledPage = CSignDataLayout::TextPage(CSignDataLayout::kCancelled);
const std::string kTimedOutPage = CSignDataLayout::TextPage(CSignDataLayout::kTimedOut);

const Poll kEnter = {0, '\r'};
const Poll kEsc = {0, 0x1B};
const Poll kUp = {0, '.'};
const Poll kDown = {0, '#'};
const Poll kNothing = {0, 0};
const Poll kOther = {0, '5'};
const Poll kPollFails = {0x80100013, 0};

// Special masks: Enter 0x02, Esc 0x01, '.' 0x10, '#' 0x20.
const DWORD kEnterEsc = 0x03;

struct DialogueCase {
    const char *pszName;
    const char *pszData;
    std::vector<Poll> polls;
    int nResult;
    std::vector<std::string> pages;
    std::vector<DWORD> masks;  // special mask of each KeyInStart
    bool bLogo;                // a final text with the logo after it
};

TEST_F(DisplaySignTest, KeysLeadThroughThePagesToTheFinalText)
{
    const DialogueCase cases[] = {
        {"not xml, Enter confirms at once", "abc", {kNothing, kEnter}, 0,
         {kFallbackPage, kConfirmedPage}, {kEnterEsc}, true},
        {"scroll down and up, confirm twice", kFourLines,
         {kOther, kDown, kUp, kNothing, kEnter, kEnter}, 0,
         {kPageTop, kPageBottom, kPageTop, kSecondPage, kConfirmedPage},
         {kEnterEsc | 0x20, kEnterEsc | 0x10, kEnterEsc | 0x20, kEnterEsc}, true},
        {"Esc on a data page", kFourLines, {kEsc}, -4, {kPageTop, kCancelledPage},
         {kEnterEsc | 0x20}, true},
        {"silence on a data page", kFourLines, {}, -4, {kPageTop, kTimedOutPage},
         {kEnterEsc | 0x20}, true},
        {"Esc at the second confirmation", kFourLines, {kEnter, kEsc}, -4,
         {kPageTop, kSecondPage, kCancelledPage}, {kEnterEsc | 0x20, kEnterEsc}, true},
        {"silence at the second confirmation", kFourLines, {kEnter}, -4,
         {kPageTop, kSecondPage, kCancelledPage}, {kEnterEsc | 0x20, kEnterEsc}, true},
        {"keypad failure on a data page", kFourLines, {kNothing, kPollFails}, -1, {kPageTop},
         {kEnterEsc | 0x20}, false},
        {"keypad failure at the second confirmation", kFourLines, {kEnter, kPollFails}, -4,
         {kPageTop, kSecondPage, kCancelledPage}, {kEnterEsc | 0x20, kEnterEsc}, true},
    };
    for (const DialogueCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        Fresh();
        m_pCard->polls.assign(c.polls.begin(), c.polls.end());
        EXPECT_EQ(c.nResult, Confirm(c.pszData));
        EXPECT_EQ(c.pages, m_pCard->pages);
        std::vector<DWORD> masks;
        for (const KEYINSTART_PARAM &p : m_pCard->starts) {
            masks.push_back(p.dwSpecialMask);
            EXPECT_EQ(0u, p.dwNumberMask | p.dwLowerMask | p.dwUpperMask);
            EXPECT_EQ(4u, p.dwMode);
            EXPECT_EQ(nullptr, p.pszContainer);
            EXPECT_EQ(0u, p.dwKeyKind | p.dwReserved);
            EXPECT_EQ(1u, p.wMaxLen);
        }
        EXPECT_EQ(c.masks, masks);
        EXPECT_EQ(c.bLogo ? std::vector<int>{3000} : std::vector<int>{}, m_pCard->logoDelays);
        // Every page is drawn on a cleared screen.
        EXPECT_EQ(static_cast<int>(c.pages.size()), m_pCard->nClears);
        EXPECT_FALSE(m_pCard->bUnlockedCall);
        ExpectLocksFree();
    }
}

TEST_F(DisplaySignTest, ScreenFailuresEndTheDialogueWithoutAKey)
{
    struct Case {
        const char *pszName;
        DWORD DisplayFakeCard::*pResult;
    } cases[] = {{"clearScreen", &DisplayFakeCard::dwClearResult},
                 {"setDisplay", &DisplayFakeCard::dwDisplayResult},
                 {"KeyInStart", &DisplayFakeCard::dwKeyInStartResult}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        Fresh();
        m_pCard->*c.pResult = 0x80100013;
        m_pCard->polls.assign({kEnter, kEnter});
        EXPECT_EQ(-1, Confirm(kFourLines));
        EXPECT_EQ(0, m_pCard->nKeyIns);
        EXPECT_TRUE(m_pCard->logoDelays.empty());
        ExpectLocksFree();
    }
}

TEST_F(DisplaySignTest, WithoutTheCardOrItsPathNothingIsShown)
{
    Pavrel_DisplaySign sign;
    EXPECT_EQ(-1, sign.DisplaySign(nullptr, nullptr));
    m_pCard->bPathResult = FALSE;
    m_pCard->polls.assign({kEnter});
    EXPECT_EQ(-1, Confirm("abc"));
    EXPECT_TRUE(m_pCard->pages.empty());
}

// A confirmation whose earlier owner died holding the display lock goes on.
TEST_F(DisplaySignTest, AbandonedDisplayLockCountsAsOwned)
{
    const std::string strName = Upper("MUTEX_DISPLAYSIGN_" + DevicePath());
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pv) -> DWORD {
            // Taken and never released: abandoned when the thread ends.
            CreateMutexA(nullptr, TRUE, static_cast<const char *>(pv));
            return 0;
        },
        const_cast<char *>(strName.c_str()), 0, nullptr);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    m_pCard->polls.assign({kEnter});
    EXPECT_EQ(0, Confirm("abc"));
    EXPECT_EQ((std::vector<std::string>{kFallbackPage, kConfirmedPage}), m_pCard->pages);
    ExpectLocksFree();
}

struct KeyCase {
    const char *pszName;
    int nAllowed;
    DWORD dwWait;
    std::vector<Poll> polls;
    DWORD dwMask;
    int nKey;
    int nPolls;
};

TEST_F(DisplaySignTest, GetKeySendsTheMasksAndMapsTheKeys)
{
    const int kAll = Pavrel_DisplaySign::ALLOW_ENTER | Pavrel_DisplaySign::ALLOW_ESC |
                     Pavrel_DisplaySign::ALLOW_UP | Pavrel_DisplaySign::ALLOW_DOWN;
    const KeyCase cases[] = {
        {"Enter", Pavrel_DisplaySign::ALLOW_ENTER, 30000, {kEnter}, 0x02, 1, 1},
        {"Esc", Pavrel_DisplaySign::ALLOW_ESC, 30000, {kNothing, kEsc}, 0x01, 0, 2},
        {"dot", Pavrel_DisplaySign::ALLOW_UP, 30000, {kUp}, 0x10, 2, 1},
        {"hash", Pavrel_DisplaySign::ALLOW_DOWN, 30000, {kDown}, 0x20, 3, 1},
        {"other keys polled past", kAll, 30000, {kOther, kNothing, kEnter}, 0x33, 1, 3},
        {"poll fails", kAll, 30000, {kNothing, kPollFails}, 0x33, -1, 2},
        // The clock moves a second a poll: three polls fit into 3000 ms.
        {"time-out", kAll, 3000, {}, 0x33, -2, 3},
        {"no time at all", kAll, 0, {kEnter}, 0x33, -2, 0},
    };
    Pavrel_DisplaySign sign;
    for (const KeyCase &c : cases) {
        SCOPED_TRACE(c.pszName);
        m_pCard->polls.assign(c.polls.begin(), c.polls.end());
        m_pCard->starts.clear();
        m_pCard->nKeyIns = 0;
        EXPECT_EQ(c.nKey, sign.getKey(m_pAccess, c.nAllowed, c.dwWait));
        ASSERT_EQ(1u, m_pCard->starts.size());
        EXPECT_EQ(c.dwMask, m_pCard->starts[0].dwSpecialMask);
        EXPECT_EQ(c.nPolls, m_pCard->nKeyIns);
    }
    m_pCard->dwKeyInStartResult = 0x80100013;
    EXPECT_EQ(-1, sign.getKey(m_pAccess, kAll, 30000));
}

// The token renders GBK: the conversion does not follow the PC's ANSI code
// page (1252 in this prefix).
TEST(DisplaySignText, Utf8BecomesGbk)
{
    struct Case {
        const char *pszName;
        std::string strUtf8;
        std::string strGbk;
    } cases[] = {
        {"ascii", "Pay 12.50", "Pay 12.50"},
        {"chinese", "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},
        {"low trail byte", "\xE4\xB8\x82", "\x81\x40"},
        {"not utf-8", "ab\xC3", ""},
        {"empty", "", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.strGbk,
                  Pavrel_DisplaySign::Utf8ToAnsi(reinterpret_cast<const BYTE *>(c.strUtf8.data()),
                                                 static_cast<DWORD>(c.strUtf8.size())))
            << c.pszName;
}

}  // namespace
