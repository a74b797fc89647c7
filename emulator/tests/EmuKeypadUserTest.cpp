// EmuKeypadUserTest.cpp
//
// The scripted holder's key presses against a screen whose text the test
// sets: a press "when <text>" waits at the head of the queue, with the
// presses behind it, until the screen shows the text (on any of its rows);
// presses the entry refuses are used up and logged masked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EmuKeypadUser.h"
#include "EmuLog.h"

namespace {

using emu::EmuKeypadUser;

const char *TakeAll(std::uint8_t) { return nullptr; }

class KeypadUserScreen : public ::testing::Test {
protected:
    KeypadUserScreen() : m_user("t1", &m_log)
    {
        m_user.SetScreenText([this]() {
            ++m_nScreenReads;
            return m_strScreen;
        });
    }

    void Script(const std::vector<std::string> &words)
    {
        std::string strError;
        ASSERT_TRUE(m_user.Command(words, strError)) << strError;
    }

    // The next press the entry takes, or 0 for none.
    std::uint8_t Next(const char *(*pfnRefusal)(std::uint8_t) = TakeAll)
    {
        std::uint8_t bChar = 0;
        return m_user.PressKey(pfnRefusal, bChar) ? bChar : 0;
    }

    emu::EmuLog m_log;
    EmuKeypadUser m_user;
    std::string m_strScreen = "Welcome";
    int m_nScreenReads = 0;
};

TEST_F(KeypadUserScreen, PressWaitsUntilTheScreenShowsTheText)
{
    Script({"press", "enter", "when", "Amount: 12,50"});
    Script({"press", "1"});
    EXPECT_EQ(0, Next());
    m_strScreen = "Pay\nAmount: 12,5";
    EXPECT_EQ(0, Next());
    EXPECT_EQ(2, m_nScreenReads);
    m_strScreen = "Pay to ACME\nAmount: 12,50 EUR";
    EXPECT_EQ(0x0D, Next());
    // The press behind it had no text to wait for.
    EXPECT_EQ('1', Next());
    EXPECT_EQ(3, m_nScreenReads);
    EXPECT_EQ(0, Next());
}

// UTF-8 text ("confirm") on the second of the screen's rows.
TEST_F(KeypadUserScreen, Utf8TextOnAnyRow)
{
    Script({"press", "esc", "when", "\xE7\xA1\xAE\xE8\xAE\xA4"});
    m_strScreen = "\xE9\x87\x91\xE9\xA2\x9D\n\xE7\xA1\xAE";
    EXPECT_EQ(0, Next());
    m_strScreen = "\xE9\x87\x91\xE9\xA2\x9D\n\xE8\xAF\xB7\xE7\xA1\xAE\xE8\xAE\xA4";
    EXPECT_EQ(0x1B, Next());
}

const char *RefuseFives(std::uint8_t b) { return b == '5' ? "not allowed in this entry" : nullptr; }

TEST_F(KeypadUserScreen, RefusedPressesAreUsedUpAndLoggedMasked)
{
    Script({"type", "5565"});
    Script({"press", "backspace"});
    EXPECT_EQ('6', Next(RefuseFives));
    EXPECT_EQ(0x08, Next(RefuseFives));
    EXPECT_EQ(0, Next(RefuseFives));
    EXPECT_EQ(0, m_nScreenReads);
    const std::string strLog = m_log.Text();
    EXPECT_EQ("t1 USER script type ****\n"
              "t1 USER script press backspace\n"
              "t1 USER pressed *, ignored: not allowed in this entry\n"
              "t1 USER pressed *, ignored: not allowed in this entry\n"
              "t1 USER pressed *\n"
              "t1 USER pressed *, ignored: not allowed in this entry\n"
              "t1 USER pressed backspace\n",
              strLog);
}

}  // namespace
