// EmuKeypadBusTest.cpp
//
// The scripted keypad holder on the bus, natively: tokens with the card
// operating system (through the server's adapter), the control commands
// "user <id> ..." and their errors, busy reports while the holder types
// and then the card's answer, a holder who never finishes until the script
// is cleared or the token is pulled, the log (PINs masked), and a changed
// PIN that survives the emulator's end in the token's state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "EmuBus.h"
#include "EmuCardOsAdapter.h"
#include "EmuPipeProtocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using emu::EmuBus;

const std::uint32_t kR = 65;
const Bytes kVerify = {0x00, 0x20, 0x00, 0x01, 0x00};
const Bytes kSmChange = {0x84, 0xF4, 0x03, 0x0C, 0x00};
const Bytes kPlainChange = {0x00, 0x04, 0x00, 0x00, 0x00};

bool Has(const std::string &strText, const std::string &strPart)
{
    return strText.find(strPart) != std::string::npos;
}

struct SExchange {
    int nBusy = 0;
    std::uint16_t wSw = 0;  // 0: no answer (failed, or still busy)
    Bytes data;             // the response data before the status word
};

class KeypadBus : public ::testing::Test {
public:
    explicit KeypadBus(const std::string &strStatePath = std::string())
    {
        MakeBus(strStatePath);
    }

    void MakeBus(const std::string &strStatePath)
    {
        session.reset();
        pBus.reset(new EmuBus(0x1a2b3c4d, kR, [this, strStatePath](const std::string &strId,
                                                                   bool bBlank) {
            return std::shared_ptr<emu::IEmuCard>(
                new CEmuCardOsAdapter(strId, strStatePath, bBlank, pBus->Log()));
        }));
        const std::string strPlug = pBus->Control("plug t1");
        EXPECT_EQ(0u, strPlug.find("OK ")) << strPlug;
        m_strPath = strPlug.substr(3);
        MakeSessionAgain();
    }

    // A new session on t1 (after a re-plug).
    void MakeSessionAgain()
    {
        session = pBus->NewSession();
        Bytes open = {emu::OP_OPEN};
        open.insert(open.end(), m_strPath.begin(), m_strPath.end());
        EXPECT_EQ(Bytes{emu::STATUS_OK}, session->Handle(open.data(), open.size()));
    }

    bool Send(const Bytes &apdu)
    {
        Bytes request = {emu::OP_SET_FEATURE, 3, 0, 0x0C, 0, 0, 0, 0, 0};
        request.resize(1 + kR, 0);
        const std::size_t nBody = apdu.size() + 3;
        request[5] = static_cast<std::uint8_t>(nBody);
        request[7] = static_cast<std::uint8_t>(nBody);
        request[9] = 0xA1;
        request[11] = static_cast<std::uint8_t>(apdu.size());
        std::copy(apdu.begin(), apdu.end(), request.begin() + 12);
        return session->Handle(request.data(), request.size()) == Bytes{emu::STATUS_OK};
    }

    // Polls at most nMaxPolls times; counts busy reports, takes the answer.
    SExchange Poll(int nMaxPolls = 100)
    {
        SExchange result;
        for (int i = 0; i < nMaxPolls; ++i) {
            Bytes request(1 + kR, 0);
            request[0] = emu::OP_GET_FEATURE;
            request[1] = 3;
            Bytes answer = session->Handle(request.data(), request.size());
            if (answer.size() != 1 + kR || answer[0] != emu::STATUS_OK)
                return result;
            if (answer[3] == 0xFF) {
                ++result.nBusy;
                continue;
            }
            // One report: A1, D = data + 3 (2 bytes), data, SW1 SW2 00.
            EXPECT_EQ(0, answer[1]);
            const std::size_t nBody = answer[2];
            if (nBody < 6 || nBody > kR - 8)
                return result;
            const Bytes body(answer.begin() + 9, answer.begin() + 9 + nBody);
            result.data.assign(body.begin() + 3, body.end() - 3);
            result.wSw = static_cast<std::uint16_t>((body[nBody - 3] << 8) | body[nBody - 2]);
            return result;
        }
        return result;
    }

    SExchange Exchange(const Bytes &apdu, int nMaxPolls = 100)
    {
        if (!Send(apdu))
            return SExchange();
        return Poll(nMaxPolls);
    }

    std::string Control(const std::string &strLine) { return pBus->Control(strLine); }

    std::unique_ptr<EmuBus> pBus;
    std::unique_ptr<EmuBus::Session> session;
    std::string m_strPath;
};

// --- control commands -------------------------------------------------------

struct SControlCase {
    const char *pszCommand;
    const char *pszAnswer;  // the whole answer, or its start when it ends in '*'
};

class KeypadControl : public KeypadBus, public ::testing::WithParamInterface<SControlCase> {};

TEST_P(KeypadControl, Answers)
{
    ASSERT_EQ(0u, Control("plug kbd vid=046d pid=c31c").find("OK"));
    std::string strExpected = GetParam().pszAnswer;
    const std::string strAnswer = Control(GetParam().pszCommand);
    if (!strExpected.empty() && strExpected.back() == '*') {
        strExpected.pop_back();
        EXPECT_EQ(0u, strAnswer.find(strExpected)) << strAnswer;
    } else {
        EXPECT_EQ(strExpected, strAnswer);
    }
}

const char kUsage[] = "ERR usage: user <id> [pin <PIN> | change <old> <new> | cancel | never | "
                      "clear | press <key> [when <text>] | type <chars>] (PINs: 1 to 32 digits; "
                      "keys: 0-9 A-Z a-z * + . # or enter, esc, backspace)";

INSTANTIATE_TEST_SUITE_P(
    Bus, KeypadControl,
    ::testing::Values(SControlCase{"user t1 pin 123456", "OK"},
                      SControlCase{"user t1 change 123456 9999", "OK"},
                      SControlCase{"user t1 cancel", "OK"}, SControlCase{"user t1 never", "OK"},
                      SControlCase{"user t1 clear", "OK"}, SControlCase{"user t1", "OK\n"},
                      SControlCase{"user", "ERR usage: user <id> *"},
                      SControlCase{"user t9", "ERR no device t9"},
                      SControlCase{"user t9 pin 1234", "ERR no device t9"},
                      SControlCase{"user kbd", "ERR kbd is not a token"},
                      SControlCase{"user t1 pin", kUsage}, SControlCase{"user t1 pin 12a4", kUsage},
                      SControlCase{"user t1 pin 123456789012345678901234567890123", kUsage},
                      SControlCase{"user t1 pin 1234 5678", kUsage},
                      SControlCase{"user t1 change 1234", kUsage},
                      SControlCase{"user t1 change 1234 56x", kUsage},
                      SControlCase{"user t1 cancel now", kUsage},
                      SControlCase{"user t1 press 1", "OK"},
                      SControlCase{"user t1 press enter", "OK"},
                      SControlCase{"user t1 press backspace", "OK"},
                      SControlCase{"user t1 press esc when Cancel?", "OK"},
                      SControlCase{"user t1 type aZ09*+.#", "OK"},
                      SControlCase{"user t1 press", kUsage}, SControlCase{"user t1 press 12", kUsage},
                      SControlCase{"user t1 press tab", kUsage},
                      SControlCase{"user t1 press ~", kUsage},
                      SControlCase{"user t1 press 1 when", kUsage},
                      SControlCase{"user t1 press 1 if Amount", kUsage},
                      SControlCase{"user t1 type", kUsage}, SControlCase{"user t1 type 12 34", kUsage},
                      SControlCase{"user t1 type 1-2", kUsage},
                      SControlCase{"user t1 sing 1234", kUsage}));

TEST_F(KeypadBus, ReportListsTheScriptAndWhatWasAskedWithPinsMasked)
{
    ASSERT_EQ("OK", Control("user t1 pin 123456"));
    ASSERT_EQ("OK", Control("user t1 change 123456 97531"));
    ASSERT_EQ("OK", Control("user t1 cancel"));
    ASSERT_EQ("OK", Control("user t1 never"));
    EXPECT_EQ("OK\nqueued pin ******\nqueued change ****** *****\nqueued cancel\n"
              "queued never\n",
              Control("user t1"));

    EXPECT_EQ(0x9000, Exchange(kVerify).wSw);
    // A pin entry does not answer a change request: used up, cancelled.
    ASSERT_EQ("OK", Control("user t1 clear"));
    ASSERT_EQ("OK", Control("user t1 pin 123456"));
    EXPECT_EQ(0x6984, Exchange(kSmChange).wSw);
    EXPECT_EQ(0x6984, Exchange(kVerify).wSw);  // nothing scripted
    ASSERT_EQ("OK", Control("user t1 never"));
    ASSERT_TRUE(Send(kPlainChange));
    EXPECT_EQ(0, Poll(5).wSw);
    EXPECT_EQ("OK\nactive change: never\n"
              "asked pin: typed pin ******\n"
              "asked change: cancelled, script entry pin ****** does not answer a change "
              "request\n"
              "asked pin: cancelled, nothing scripted\n",
              Control("user t1"));
    const std::string strLog = Control("log");
    EXPECT_FALSE(Has(strLog, "123456")) << strLog;
    EXPECT_FALSE(Has(strLog, "97531")) << strLog;
    EXPECT_FALSE(Has(strLog, "313233")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 USER script change ****** *****\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 APDU 0020000100\nt1 USER asked pin\n"
                             "t1 WAIT answer pending on the card\nt1 USER typed pin ******\n"
                             "t1 RESP 9000\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 USER asked change\nt1 USER never finishes\n")) << strLog;
}

TEST_F(KeypadBus, ScriptIsCapped)
{
    for (std::size_t i = 0; i < emu::kMaxUserScript; ++i)
        ASSERT_EQ("OK", Control("user t1 cancel"));
    EXPECT_EQ("ERR script full (64 entries)", Control("user t1 cancel"));
}

// --- exchanges ----------------------------------------------------------------

struct SKeypadCase {
    const char *pszName;
    const char *pszScript;  // one control line, or "" for none
    Bytes apdu;
    std::uint16_t wSw;
    int nBusy;           // typing polls and the device's one busy report
    const char *pszLog;  // a line the log must have
};

class KeypadExchange : public KeypadBus, public ::testing::WithParamInterface<SKeypadCase> {};

TEST_P(KeypadExchange, BusyWhileTypingThenTheAnswer)
{
    const SKeypadCase &c = GetParam();
    if (*c.pszScript != '\0') {
        ASSERT_EQ("OK", Control(c.pszScript));
    }
    SExchange result = Exchange(c.apdu);
    EXPECT_EQ(c.wSw, result.wSw);
    EXPECT_EQ(c.nBusy, result.nBusy);
    const std::string strLog = Control("log");
    EXPECT_TRUE(Has(strLog, c.pszLog)) << strLog;
}

const int kTyped = static_cast<int>(emu::kTypingPolls);  // 2 typing + 1 before the answer
INSTANTIATE_TEST_SUITE_P(
    Bus, KeypadExchange,
    ::testing::Values(
        SKeypadCase{"RightPin", "user t1 pin 123456", kVerify, 0x9000, kTyped,
                    "t1 USER typed pin ******\nt1 RESP 9000\n"},
        SKeypadCase{"WrongPin", "user t1 pin 1234", kVerify, 0x63C5, kTyped,
                    "t1 USER typed pin ****\nt1 RESP 63C5\n"},
        SKeypadCase{"Cancel", "user t1 cancel", kVerify, 0x6984, kTyped,
                    "t1 USER cancelled on the keypad\nt1 RESP 6984\n"},
        SKeypadCase{"NothingScripted", "", kVerify, 0x6984, 1,
                    "t1 USER asked pin\nt1 USER cancelled, nothing scripted\nt1 RESP 6984\n"},
        SKeypadCase{"SmChange", "user t1 change 123456 1357", kSmChange, 0x9000, kTyped,
                    "t1 APDU 84F4030C00\nt1 USER asked change\nt1 WAIT answer pending on the card\n"},
        SKeypadCase{"PlainChangeWrongOld", "user t1 change 111111 1357", kPlainChange, 0x63C5,
                    kTyped, "t1 USER typed change ****** ****\nt1 RESP 63C5\n"},
        SKeypadCase{"ChangeForPin", "user t1 change 123456 1357", kVerify, 0x6984, 1,
                    "does not answer a pin request\nt1 RESP 6984\n"}),
    [](const ::testing::TestParamInfo<SKeypadCase> &info) { return info.param.pszName; });

TEST_F(KeypadBus, WrongPinsLockThenLockedAnswersWithoutAsking)
{
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ("OK", Control("user t1 pin 000000"));
    ASSERT_EQ("OK", Control("user t1 pin 123456"));
    for (std::uint16_t wLeft = 5; wLeft != 0xFFFF; --wLeft)
        EXPECT_EQ(0x63C0 | wLeft, Exchange(kVerify).wSw);
    SExchange locked = Exchange(kVerify);
    EXPECT_EQ(0x6983, locked.wSw);
    EXPECT_EQ(1, locked.nBusy);
    EXPECT_EQ(0x6983, Exchange(kSmChange).wSw);
    // The right PIN is still queued: a locked token never asked for it.
    const std::string strReport = Control("user t1");
    EXPECT_EQ(0u, strReport.find("OK\nqueued pin ******\nasked pin: typed pin ******\n"))
        << strReport;
}

TEST_F(KeypadBus, ChangedPinIsTheOneVerified)
{
    ASSERT_EQ("OK", Control("user t1 change 123456 2468"));
    ASSERT_EQ("OK", Control("user t1 pin 123456"));
    ASSERT_EQ("OK", Control("user t1 pin 2468"));
    EXPECT_EQ(0x9000, Exchange(kSmChange).wSw);
    EXPECT_EQ(0x63C5, Exchange(kVerify).wSw);
    EXPECT_EQ(0x9000, Exchange(kVerify).wSw);
}

// A holder who never finishes keeps the host polling busy reports until the
// script is cleared (cancelled), the token is pulled or the host sends
// another request (dropped).
struct SNeverCase {
    const char *pszName;
    int nEnd;  // 0 clear, 1 unplug, 2 new request
    const char *pszLog;
};

class KeypadNever : public KeypadBus, public ::testing::WithParamInterface<SNeverCase> {};

TEST_P(KeypadNever, BusyUntilEnded)
{
    ASSERT_EQ("OK", Control("user t1 never"));
    ASSERT_EQ("OK", Control("user t1 pin 123456"));
    ASSERT_TRUE(Send(kVerify));
    SExchange waiting = Poll(200);
    EXPECT_EQ(0, waiting.wSw);
    EXPECT_EQ(200, waiting.nBusy);
    // Other tokens and the control channel are not held up meanwhile.
    EXPECT_EQ(0u, Control("list").find("OK\nt1 "));
    switch (GetParam().nEnd) {
    case 0: {
        ASSERT_EQ("OK", Control("user t1 clear"));
        SExchange ended = Poll();
        EXPECT_EQ(0x6984, ended.wSw);
        EXPECT_EQ(1, ended.nBusy);
        EXPECT_EQ(0x6984, Exchange(kVerify).wSw);  // the clear dropped the pin entry too
        break;
    }
    case 1: {
        ASSERT_EQ("OK", Control("unplug t1"));
        EXPECT_EQ(0, Poll().wSw);
        EXPECT_EQ(0u, Control("plug t1").find("OK"));
        MakeSessionAgain();
        EXPECT_EQ(0x9000, Exchange(kVerify).wSw);  // the next entry serves the next request
        break;
    }
    default:
        EXPECT_EQ(0x9000, Exchange(kVerify).wSw);
        break;
    }
    EXPECT_FALSE(Has(Control("user t1"), "active")) << Control("user t1");
    const std::string strLog = Control("log");
    EXPECT_TRUE(Has(strLog, GetParam().pszLog)) << strLog;
}

INSTANTIATE_TEST_SUITE_P(
    Bus, KeypadNever,
    ::testing::Values(
        SNeverCase{"Cleared", 0, "t1 USER script clear\nt1 USER cancelled, script cleared\n"},
        SNeverCase{"Unplugged", 1,
                   "t1 DROP pending answer, the card's command is dropped\nt1 USER dropped pin, "
                   "the host gave up\nt1 UNPLUG\n"},
        SNeverCase{"NewRequest", 2,
                   "t1 DROP pending answer, the card's command is dropped\nt1 USER dropped pin, "
                   "the host gave up\nt1 APDU 0020000100\n"}),
    [](const ::testing::TestParamInfo<SNeverCase> &info) { return info.param.pszName; });

// --- keypad entries -----------------------------------------------------------

// KEY IN START without a key: up to 8 characters, digits and Enter allowed.
const Bytes kStartDigits = {0x80, 0x6E, 0x01, 0x00, 0x0E, 0x03, 0x08, 0xFF, 0xC0, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x00};
const Bytes kPollKey = {0x80, 0x6E, 0x02, 0x00, 0x00};

// The keys the polls answer until one answers none.
std::string PollKeys(KeypadBus &bus)
{
    std::string strKeys;
    for (int i = 0; i < 50; ++i) {
        SExchange poll = bus.Exchange(kPollKey);
        EXPECT_EQ(0x9000, poll.wSw);
        if (poll.wSw != 0x9000 || poll.data.size() != 1 || poll.data[0] == 0)
            break;
        strKeys += static_cast<char>(poll.data[0]);
    }
    return strKeys;
}

TEST_F(KeypadBus, TypedPressesAnswerThePollsAndTheLogMasksThem)
{
    ASSERT_EQ(0x9000, Exchange(kStartDigits).wSw);
    ASSERT_EQ("OK", Control("user t1 type 4729"));
    ASSERT_EQ("OK", Control("user t1 press x"));
    ASSERT_EQ("OK", Control("user t1 press backspace"));
    ASSERT_EQ("OK", Control("user t1 press enter"));
    ASSERT_EQ("OK", Control("user t1 press 5"));
    EXPECT_EQ("OK\nqueued press *\nqueued press *\nqueued press *\nqueued press *\n"
              "queued press *\nqueued press backspace\nqueued press enter\nqueued press *\n",
              Control("user t1"));
    EXPECT_EQ("4729\b\r", PollKeys(*this));
    // The press after Enter waits for the next entry.
    EXPECT_EQ("OK\nqueued press *\n", Control("user t1"));
    ASSERT_EQ(0x9000, Exchange({0x80, 0x84, 0x00, 0x00, 0x08}).wSw);
    SExchange end = Exchange({0x84, 0x6E, 0x03, 0x00, 0x00});
    EXPECT_EQ(0x9000, end.wSw);
    EXPECT_EQ(8u, end.data.size() - 4);  // length byte and "472" in one block, and the MAC

    const std::string strLog = Control("log");
    EXPECT_TRUE(Has(strLog, "t1 USER script type ****\nt1 USER script press *\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 APDU 806E020000\nt1 USER pressed *\nt1 RESP 9000\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 USER pressed *, ignored: not allowed in this entry\n"
                             "t1 USER pressed backspace\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 USER pressed enter\n")) << strLog;
    EXPECT_TRUE(Has(strLog, "t1 APDU 846E030000\nt1 RESP 9000\n")) << strLog;
    // Every poll's answer is logged as its status word alone, never with the
    // key's character (the challenge's random answer may start with any byte,
    // so only the polls' answers are looked at).
    std::istringstream lines(strLog);
    int nPolls = 0;
    bool bAwaitingAnswer = false;
    for (std::string strLine; std::getline(lines, strLine);) {
        if (strLine == "t1 APDU 806E020000") {
            EXPECT_FALSE(bAwaitingAnswer) << "a poll without an answer\n" << strLog;
            bAwaitingAnswer = true;
            ++nPolls;
        } else if (bAwaitingAnswer && strLine.rfind("t1 RESP ", 0) == 0) {
            EXPECT_EQ("t1 RESP 9000", strLine) << strLog;
            bAwaitingAnswer = false;
        }
    }
    EXPECT_FALSE(bAwaitingAnswer) << "the last poll has no answer\n" << strLog;
    EXPECT_EQ(7, nPolls) << strLog;
    EXPECT_FALSE(Has(strLog, "4729")) << strLog;
}

TEST_F(KeypadBus, PressWhenWaitsForTheScreenWithThoseBehindIt)
{
    ASSERT_EQ(0x9000, Exchange(kStartDigits).wSw);
    ASSERT_EQ("OK", Control("user t1 press enter when Confirm  payment? 12,50"));
    ASSERT_EQ("OK", Control("user t1 press 1"));
    EXPECT_EQ("OK\nqueued press enter when Confirm  payment? 12,50\nqueued press *\n",
              Control("user t1"));
    // No screen text is shown yet: the presses stay queued.
    EXPECT_EQ("", PollKeys(*this));
    EXPECT_EQ("OK\nqueued press enter when Confirm  payment? 12,50\nqueued press *\n",
              Control("user t1"));
    ASSERT_EQ("OK", Control("user t1 clear"));
    EXPECT_EQ("OK\n", Control("user t1"));
}

TEST_F(KeypadBus, PressesAreCappedAndEntriesNeedAStart)
{
    ASSERT_EQ("OK", Control("user t1 type " + std::string(emu::kMaxUserPresses - 1, '7')));
    EXPECT_EQ("ERR key presses full (256)", Control("user t1 type 12"));
    ASSERT_EQ("OK", Control("user t1 press enter"));
    EXPECT_EQ("ERR key presses full (256)", Control("user t1 press 1"));
    // Without a KEY IN START no press is taken.
    EXPECT_EQ(0x6985, Exchange(kPollKey).wSw);
    EXPECT_EQ(std::string::npos, Control("log").find("USER pressed"));
}

// The outcome of a keypad command is saved with the rest of the card.
TEST(KeypadState, ChangedPinSurvivesInTheStateFile)
{
    const std::string strPath = ::testing::TempDir() + "keypad-bus-t1.kqcard";
    std::remove(strPath.c_str());
    struct StateBus : KeypadBus {
        explicit StateBus(const std::string &strState) : KeypadBus(strState) {}
        void TestBody() override {}
    };
    {
        StateBus first(strPath);
        ASSERT_EQ("OK", first.Control("user t1 change 123456 8642"));
        ASSERT_EQ("OK", first.Control("user t1 pin 0000"));
        ASSERT_EQ(0x9000, first.Exchange(kSmChange).wSw);
        ASSERT_EQ(0x63C5, first.Exchange(kVerify).wSw);
    }
    StateBus second(strPath);
    EXPECT_TRUE(Has(second.Control("log"), "t1 STATE loaded"));
    ASSERT_EQ("OK", second.Control("user t1 pin 123456"));
    ASSERT_EQ("OK", second.Control("user t1 pin 8642"));
    EXPECT_EQ(0x63C4, second.Exchange(kVerify).wSw);
    EXPECT_EQ(0x9000, second.Exchange(kVerify).wSw);
    std::remove(strPath.c_str());
}

}  // namespace
