// EmuScreenBusTest.cpp
//
// The token's screen on the bus, natively: "screen <id> ..." reaches the
// token's card (through the server's adapter) and is refused for unknown
// ids and for devices that are not tokens; a re-plugged token powers up
// with its logo; the screen-text function for the keypad holder reads the
// card it was made for and outlives it harmlessly.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "EmuBus.h"
#include "EmuCardOsAdapter.h"

namespace {

using emu::EmuBus;

class ScreenBus : public ::testing::Test {
protected:
    ScreenBus()
        : m_bus(0x1a2b3c4d, 65, [this](const std::string &strId, bool bBlank) {
              m_pCard = std::make_shared<CEmuCardOsAdapter>(strId, std::string(), bBlank,
                                                            m_bus.Log());
              return m_pCard;
          })
    {
    }
    // Clears the card's screen with its screen command.
    void ClearScreen()
    {
        ASSERT_EQ((std::vector<std::uint8_t>{0x90, 0x00}),
                  m_pCard->ProcessApdu({0x80, 0x52, 0x00, 0x00, 0x02, 0x00}));
    }
    EmuBus m_bus;
    std::shared_ptr<CEmuCardOsAdapter> m_pCard;
};

TEST_F(ScreenBus, CommandsReachTheTokensCard)
{
    ASSERT_EQ(0u, m_bus.Control("plug t1").find("OK"));
    ASSERT_EQ(0u, m_bus.Control("plug kbd vid=046d pid=c31c").find("OK"));
    EXPECT_EQ("ERR no device t9", m_bus.Control("screen t9"));
    EXPECT_EQ("ERR kbd is not a token", m_bus.Control("screen kbd text"));
    EXPECT_EQ(0u, m_bus.Control("screen").find("ERR usage"));
    EXPECT_EQ(0u, m_bus.Control("screen t1 bogus").find("ERR usage"));

    // The logo of power-on, seen by the control channel: one history entry.
    EXPECT_EQ("OK\n" + CEmuScreen::TextArt(CEmuScreen::Logo()), m_bus.Control("screen t1"));
    const std::string strHistory = m_bus.Control("screen t1 history");
    EXPECT_EQ(0u, strHistory.find("OK\n0 ")) << strHistory;
    EXPECT_EQ(std::string::npos, strHistory.find("\n1 ")) << strHistory;
}

TEST_F(ScreenBus, ReplugShowsTheLogoAgain)
{
    ASSERT_EQ(0u, m_bus.Control("plug t1").find("OK"));
    ClearScreen();
    EXPECT_EQ("OK\n" + CEmuScreen::TextArt(CEmuScreen::Frame{}), m_bus.Control("screen t1"));
    ASSERT_EQ(0u, m_bus.Control("unplug t1").find("OK"));
    ASSERT_EQ(0u, m_bus.Control("plug t1").find("OK"));
    EXPECT_EQ("OK\n" + CEmuScreen::TextArt(CEmuScreen::Logo()), m_bus.Control("screen t1"));
}

TEST_F(ScreenBus, ScreenTextFunctionReadsItsCard)
{
    ASSERT_EQ(0u, m_bus.Control("plug t1").find("OK"));
    std::function<std::string()> fnText = EmuBus::ScreenTextOf(m_pCard);
    EXPECT_NE("\n\n\n", fnText()) << "the logo";
    ClearScreen();
    EXPECT_EQ("\n\n\n", fnText());
    const std::string strAnswer = m_bus.Control("screen t1 text");
    EXPECT_EQ("OK\n\n\n\n", strAnswer);
    // The card gone, the function reads nothing (the bus keeps its tokens'
    // cards, so this one is made apart).
    std::shared_ptr<emu::IEmuCard> pLone =
        std::make_shared<CEmuCardOsAdapter>("t2", std::string(), false, m_bus.Log());
    std::function<std::string()> fnGone = EmuBus::ScreenTextOf(pLone);
    EXPECT_NE("", fnGone()) << "the logo";
    pLone.reset();
    EXPECT_EQ("", fnGone());
}

}  // namespace
