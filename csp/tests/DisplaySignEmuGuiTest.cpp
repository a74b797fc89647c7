// DisplaySignEmuGuiTest.cpp
//
// The bitmap prompt of the sign confirmation under a private X server, with
// [NOTICE] ShowBitmap=1: "KQSIGNWnd" is up while the user decides on the
// token and gone once the confirmation returns, also when the first poll
// brings Esc and when the screen cannot be drawn.
#include "DisplaySignEmuFixture.h"

#include <atomic>
#include <thread>

namespace {

const int kBitmapWidth = 100;
const int kBitmapHeight = 60;
// Bounds for the other thread and the window; never checked as times.
const DWORD kWaitMs = 10000;

class DisplaySignEmuGui : public DisplaySignEmu {
protected:
    void SetUp() override
    {
        DisplaySignEmu::SetUp();
        Configure(m_strDir, 30000, true);
        WriteFileBytes(Path("KQSign.bmp"),
                       SolidBitmap(kBitmapWidth, kBitmapHeight, RGB(0x20, 0x80, 0xE0)));
    }
    static bool WindowGone()
    {
        return WaitUntilTrue([] { return FindOwnWindow("KQSIGNWnd") == nullptr; }, kWaitMs);
    }
};

// The holder confirms only after the test has seen the window beside the
// first page.
TEST_F(DisplaySignEmuGui, WindowShowsDuringTheDialogueOnly)
{
    ASSERT_EQ(nullptr, FindOwnWindow("KQSIGNWnd"));
    std::atomic<bool> bSeen{false};
    std::thread holder([&] {
        m_emu.WaitForFirstRow("t1", "Transfer", kWaitMs);
        bSeen = WaitUntilTrue([] { return FindOwnWindow("KQSIGNWnd") != nullptr; }, kWaitMs);
        m_emu.Control("user t1 press enter when Transfer");
        m_emu.Control(std::string("user t1 press enter when ") + SIGN_SECOND_TEXT);
    });
    EXPECT_EQ(0, Confirm(TransferXml("Transfer")));
    holder.join();
    EXPECT_TRUE(bSeen);
    EXPECT_TRUE(WindowGone());
}

TEST_F(DisplaySignEmuGui, WindowGoesOnEveryEnd)
{
    struct Case {
        const char *pszName;
        const char *pszScript;
        int nResult;
    } cases[] = {
        // The failure first: no logo of an earlier dialogue is pending.
        {"screen failure", "fault t1 setfeature 1", -1},
        {"Esc at the first poll", "user t1 press esc", -4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        Script({c.pszScript});
        EXPECT_EQ(c.nResult, Confirm(TransferXml("Transfer")));
        EXPECT_TRUE(WindowGone());
    }
}

}  // namespace
