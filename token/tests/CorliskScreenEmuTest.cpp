// CorliskScreenEmuTest.cpp
//
// The screen through the emulator-bound Corlisk.dll against a private token
// emulator: what the card object's SetDisplay and DisplayLine send lands in
// the emulated framebuffer byte for byte as the renderer built it, and the
// emulator reads the text back in UTF-8. Both the library and the emulator
// read the installed GBK.dat (scripts/test installs it into the prefix).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BaseCmd.h"
#include "CorliskOnEmulator.h"

namespace {

typedef std::vector<BYTE> Frame;

const char kAsciiLine[] = "Kavru USB KEY   ";
// "中文" in GBK, then spaces.
const char kChineseLine[] = "\xD6\xD0\xCE\xC4            ";
const char kChineseUtf8[] = "\xE4\xB8\xAD\xE6\x96\x87";

std::string InstalledGbkFont()
{
    char szFolder[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, szFolder);
    return std::string(szFolder) + "\\KQFT\\HRNL\\KQPT20\\GBK.dat";
}

// The 1024-byte framebuffer from the emulator's text art ('#' lit).
bool FrameOf(const std::string &strAnswer, Frame &frame)
{
    if (strAnswer.compare(0, 3, "OK\n") != 0 || strAnswer.size() != 3 + 64 * 129)
        return false;
    frame.assign(1024, 0);
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 128; ++x)
            if (strAnswer[3 + y * 129 + x] == '#')
                frame[(y / 8) * 128 + x] |= static_cast<BYTE>(0x80 >> (y % 8));
    return true;
}

// The line's 256-byte bitmap as the renderer makes it, placed into pages
// 2k and 2k + 1 as the token's part layout puts it: part p of a line covers
// columns 64p..64p+63, block j of it columns 16j..16j+15.
void PutLine(Frame &frame, unsigned nLine, const char *pszText)
{
    BYTE abText[16];
    std::memcpy(abText, pszText, 16);
    BYTE abBitmap[256];
    ASSERT_TRUE(CBaseCmd::PacketLineData(abText, 16, abBitmap, 256));
    for (unsigned nBlock = 0; nBlock < 8; ++nBlock) {
        const BYTE *pb = abBitmap + 32 * nBlock;
        const unsigned nColumn = 16 * nBlock;
        BYTE *pbUpper = &frame[2 * nLine * 128 + nColumn];
        BYTE *pbLower = &frame[(2 * nLine + 1) * 128 + nColumn];
        std::memcpy(pbUpper, pb, 16);
        std::memcpy(pbLower, pb + 16, 16);
    }
}

class CorliskScreen : public CorliskOpenedToken {
protected:
    void SetUp() override
    {
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(InstalledGbkFont().c_str()))
            << InstalledGbkFont() << " missing (kq_install_gbk in scripts/wine-env)";
        CorliskOpenedToken::SetUp();
    }
};

TEST_F(CorliskScreen, SetDisplayAndDisplayLineLandInTheFramebuffer)
{
    std::string strScreen = std::string(kAsciiLine) + kChineseLine + std::string(32, ' ');
    ASSERT_EQ(64u, strScreen.size());
    ASSERT_EQ(0u, m_pCard->SetDisplay(strScreen.c_str()));

    Frame expected(1024, 0);
    PutLine(expected, 0, kAsciiLine);
    PutLine(expected, 1, kChineseLine);
    PutLine(expected, 2, std::string(16, ' ').c_str());
    PutLine(expected, 3, std::string(16, ' ').c_str());
    Frame frame;
    ASSERT_TRUE(FrameOf(m_env.m_emu.Control("screen t1"), frame));
    EXPECT_EQ(expected, frame);
    EXPECT_EQ(std::string("OK\nKavru USB KEY\n") + kChineseUtf8 + "\n\n",
              m_env.m_emu.Control("screen t1 text"));

    // Line 3 is pages 6 and 7; the rest stays.
    const char kLast[] = "line three   \xD6\xD0 ";
    ASSERT_EQ(0u, m_pCard->DisplayLine(reinterpret_cast<const BYTE *>(kLast), 16, 3));
    PutLine(expected, 3, kLast);
    ASSERT_TRUE(FrameOf(m_env.m_emu.Control("screen t1"), frame));
    EXPECT_EQ(expected, frame);
    EXPECT_NE(0, std::count_if(frame.begin() + 6 * 128, frame.end(), [](BYTE b) { return b != 0; }));
    EXPECT_EQ(std::string("OK\nKavru USB KEY\n") + kChineseUtf8 + "\n\nline three   \xE4\xB8\xAD",
              m_env.m_emu.Control("screen t1 text"));

    // The history holds both finished screens once each, asked for twice.
    const std::string strHistory = m_env.m_emu.Control("screen t1 history");
    std::size_t nScreens = 0;
    for (std::size_t i = 0; (i = strHistory.find("Z Kavru USB KEY\n", i)) != std::string::npos; ++i)
        ++nScreens;
    EXPECT_EQ(2u, nScreens) << strHistory;
}

}  // namespace
