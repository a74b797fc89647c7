// EmuCardKeypadTest.cpp
//
// The card's keypad commands (VERIFY without PIN bytes, the PIN changes
// 84 F4 and 00 04) with a holder who takes some polls to answer: right and
// wrong PINs and the tries they leave, the lock, cancel, changes with a
// right or wrong old PIN, a holder who never finishes and is dropped, and a
// new command arriving while the holder types.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "EmuCardTestSupport.h"

namespace {

// A holder who answers after a number of "still typing" calls, and counts
// what the card asked.
class SlowKeypad : public IEmuCardUserInput {
public:
    EEmuUserAnswer EnterPin(std::string &strPin) override
    {
        ++m_nCalls;
        m_fAskedChange = false;
        if (Typing())
            return EEmuUserAnswer::Pending;
        strPin = m_strPin;
        return m_eAnswer;
    }
    EEmuUserAnswer EnterPinChange(std::string &strOld, std::string &strNew) override
    {
        ++m_nCalls;
        m_fAskedChange = true;
        if (Typing())
            return EEmuUserAnswer::Pending;
        strOld = m_strPin;
        strNew = m_strNewPin;
        return m_eAnswer;
    }
    void Abandon() override { ++m_nAbandoned; }

    bool Typing()
    {
        if (m_fNever)
            return true;
        if (m_nTyping == 0)
            return false;
        --m_nTyping;
        return true;
    }

    std::string m_strPin = "123456";
    std::string m_strNewPin = "246810";
    EEmuUserAnswer m_eAnswer = EEmuUserAnswer::Entered;
    int m_nTyping = 0;
    bool m_fNever = false;
    int m_nCalls = 0;
    int m_nAbandoned = 0;
    bool m_fAskedChange = false;
};

struct SKeypadResult {
    uint16_t wSw = 0;
    int nPolls = 0;  // PollAnswer calls that had no answer yet
    bool fAnswered = false;
};

// Sends a keypad command and polls (at most nMaxPolls times) for its answer.
SKeypadResult RunKeypad(CEmuCardOs &card, const char *pszApdu, int nMaxPolls = 50)
{
    SKeypadResult result;
    Bytes vbResponse = card.ProcessApdu(Hex(pszApdu));
    while (card.AnswerPending()) {
        EXPECT_TRUE(vbResponse.empty());
        if (result.nPolls >= nMaxPolls)
            return result;
        if (card.PollAnswer(vbResponse))
            break;
        ++result.nPolls;
    }
    EXPECT_FALSE(card.AnswerPending());
    EXPECT_EQ(2u, vbResponse.size());  // keypad commands answer a status word alone
    if (vbResponse.size() >= 2)
        result.wSw = static_cast<uint16_t>((vbResponse[vbResponse.size() - 2] << 8) |
                                           vbResponse.back());
    result.fAnswered = true;
    return result;
}

uint8_t TriesLeft(CEmuCardOs &card)
{
    SCardAnswer answer = Send(card, Hex("8021000100"));
    return answer.vbData.size() == 2 ? answer.vbData[1] : 0xFF;
}

struct SKeypadCase {
    const char *pszName;
    const char *pszApdu;
    uint8_t bTriesBefore;        // tries left when the command comes
    const char *pszTyped;        // the (old) PIN the holder types
    const char *pszNew;          // the new PIN of a change
    EEmuUserAnswer eAnswer;
    uint16_t wSw;
    uint8_t bTriesAfter;
    const char *pszPinAfter;     // the PIN the card takes afterwards
    bool fAsksHolder;            // false: answered without asking
};

class CardKeypadTest : public ::testing::TestWithParam<SKeypadCase> {};

TEST_P(CardKeypadTest, AnswersAfterTheHolderTyped)
{
    const SKeypadCase &c = GetParam();
    CEmuCardOs card;
    SlowKeypad keypad;
    keypad.m_nTyping = 3;
    keypad.m_strPin = c.pszTyped;
    keypad.m_strNewPin = c.pszNew;
    keypad.m_eAnswer = c.eAnswer;
    card.SetUserInput(&keypad);
    for (uint8_t b = 6; b > c.bTriesBefore; --b)
        ASSERT_EQ(0x63C0 | (b - 1), VerifyPin(card, "999999"));

    SKeypadResult result = RunKeypad(card, c.pszApdu);
    ASSERT_TRUE(result.fAnswered);
    EXPECT_EQ(c.wSw, result.wSw);
    // Asked with the command, then three polls: two still typing, the third answers.
    EXPECT_EQ(c.fAsksHolder ? 2 : 0, result.nPolls);
    EXPECT_EQ(c.fAsksHolder ? 4 : 0, keypad.m_nCalls);
    EXPECT_EQ(0, keypad.m_nAbandoned);
    EXPECT_EQ(c.bTriesAfter, TriesLeft(card));
    if (c.bTriesAfter > 0) {
        EXPECT_EQ(0x9000, VerifyPin(card, c.pszPinAfter));
        if (std::string(c.pszPinAfter) != "123456") {
            EXPECT_EQ(0x63C5, VerifyPin(card, "123456"));
        }
    }
}

const char kVerify[] = "0020000100";
const char kSmChange[] = "84F4030C00";
const char kPlainChange[] = "0004000000";
const auto kEntered = EEmuUserAnswer::Entered;
const auto kCancelled = EEmuUserAnswer::Cancelled;

INSTANTIATE_TEST_SUITE_P(
    Card, CardKeypadTest,
    ::testing::Values(
        SKeypadCase{"VerifyRight", kVerify, 6, "123456", "", kEntered, 0x9000, 6, "123456", true},
        SKeypadCase{"VerifyRightResetsTries", kVerify, 2, "123456", "", kEntered, 0x9000, 6,
                    "123456", true},
        SKeypadCase{"VerifyWrong", kVerify, 6, "654321", "", kEntered, 0x63C5, 5, "123456", true},
        SKeypadCase{"VerifyWrongLastTryLocks", kVerify, 1, "654321", "", kEntered, 0x63C0, 0, "",
                    true},
        SKeypadCase{"VerifyLockedNotAsked", kVerify, 0, "123456", "", kEntered, 0x6983, 0, "",
                    false},
        SKeypadCase{"VerifyCancelled", kVerify, 4, "123456", "", kCancelled, 0x6984, 4, "123456",
                    true},
        SKeypadCase{"SmChangeRight", kSmChange, 6, "123456", "1357", kEntered, 0x9000, 6, "1357",
                    true},
        SKeypadCase{"PlainChangeRight", kPlainChange, 3, "123456", "97531", kEntered, 0x9000, 6,
                    "97531", true},
        SKeypadCase{"SmChangeWrongOld", kSmChange, 6, "111111", "1357", kEntered, 0x63C5, 5,
                    "123456", true},
        SKeypadCase{"PlainChangeWrongOldLocks", kPlainChange, 1, "111111", "1357", kEntered,
                    0x63C0, 0, "", true},
        SKeypadCase{"ChangeNewPinTooLong", kSmChange, 6, "123456",
                    "123456789012345678901234567890123", kEntered, 0x6A80, 6, "123456", true},
        SKeypadCase{"ChangeCancelled", kSmChange, 6, "123456", "1357", kCancelled, 0x6984, 6,
                    "123456", true},
        SKeypadCase{"ChangeLockedNotAsked", kPlainChange, 0, "123456", "1357", kEntered, 0x6983, 0,
                    "", false}),
    [](const ::testing::TestParamInfo<SKeypadCase> &info) { return info.param.pszName; });

// A holder who never finishes: the card keeps the command open for as long
// as it is polled, and forgets it (telling the holder) when it is dropped.
struct SDropCase {
    const char *pszName;
    int nHow;  // 0 DropPending, 1 PowerOn, 2 another command
};

class CardKeypadDropTest : public ::testing::TestWithParam<SDropCase> {};

TEST_P(CardKeypadDropTest, NeverFinishingCommandIsDropped)
{
    CEmuCardOs card;
    SlowKeypad keypad;
    keypad.m_fNever = true;
    card.SetUserInput(&keypad);
    std::vector<std::pair<Bytes, Bytes>> logged;
    card.SetApduLog([&logged](const Bytes &vbCommand, const Bytes &vbAnswer) {
        logged.emplace_back(vbCommand, vbAnswer);
    });
    SKeypadResult result = RunKeypad(card, kSmChange, 40);
    EXPECT_FALSE(result.fAnswered);
    EXPECT_EQ(40, result.nPolls);
    EXPECT_TRUE(card.AnswerPending());
    EXPECT_TRUE(keypad.m_fAskedChange);
    EXPECT_TRUE(logged.empty());

    Bytes vbAnswer;
    switch (GetParam().nHow) {
    case 0:
        card.DropPending();
        break;
    case 1:
        card.PowerOn();
        break;
    default:
        EXPECT_EQ(Hex("0606 9000"), card.ProcessApdu(Hex("8021000100")));
        break;
    }
    EXPECT_FALSE(card.AnswerPending());
    EXPECT_EQ(1, keypad.m_nAbandoned);
    EXPECT_FALSE(card.PollAnswer(vbAnswer));
    EXPECT_TRUE(vbAnswer.empty());
    // Nothing was changed or counted, and the next keypad command starts afresh.
    EXPECT_EQ(6, TriesLeft(card));
    keypad.m_fNever = false;
    keypad.m_strPin = "123456";
    EXPECT_EQ(0x9000, RunKeypad(card, kVerify).wSw);
    EXPECT_FALSE(keypad.m_fAskedChange);
    EXPECT_EQ(1, keypad.m_nAbandoned);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(Hex(kVerify), logged.back().first);
    EXPECT_EQ(Hex("9000"), logged.back().second);
}

INSTANTIATE_TEST_SUITE_P(Card, CardKeypadDropTest,
                         ::testing::Values(SDropCase{"DropPending", 0}, SDropCase{"PowerOn", 1},
                                           SDropCase{"OtherCommand", 2}),
                         [](const ::testing::TestParamInfo<SDropCase> &info) {
                             return info.param.pszName;
                         });

// The PIN a change sets survives a save and load, as the rest of the card.
TEST(CardKeypad, ChangedPinPersists)
{
    const std::string strPath = ::testing::TempDir() + "keypad-change.kqcard";
    {
        CEmuCardOs card;
        SlowKeypad keypad;
        keypad.m_nTyping = 2;
        keypad.m_strNewPin = "8642";
        card.SetUserInput(&keypad);
        ASSERT_EQ(0x9000, RunKeypad(card, kSmChange).wSw);
        ASSERT_EQ(0x63C5, VerifyPin(card, "1111"));
        std::string strError;
        ASSERT_TRUE(card.Save(strPath, strError)) << strError;
    }
    CEmuCardOs loaded;
    std::string strError;
    ASSERT_TRUE(loaded.Load(strPath, strError)) << strError;
    EXPECT_EQ(5, TriesLeft(loaded));
    EXPECT_EQ(0x63C4, VerifyPin(loaded, "123456"));
    EXPECT_EQ(0x9000, VerifyPin(loaded, "8642"));
    std::remove(strPath.c_str());
}

}  // namespace
