// EmuTextTest.cpp
//
// The emulator core's text helpers: hex dumps, the natural order of ids,
// number parsing and UTF-8 to UTF-16.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EmuText.h"

namespace {

TEST(EmuText, HexIsUpperCaseWithoutSeparators)
{
    const std::uint8_t ab[] = {0x00, 0xA4, 0x3F, 0xFF};
    EXPECT_EQ("00A43FFF", emu::HexString(ab, sizeof(ab)));
    EXPECT_EQ("", emu::HexString(std::vector<std::uint8_t>()));
}

TEST(EmuText, NaturalOrderOfIds)
{
    std::vector<std::string> ids = {"t10", "t2", "kbd", "t1", "t02", "t", "a", "t1x", ""};
    std::sort(ids.begin(), ids.end(), emu::NaturalLess);
    EXPECT_EQ((std::vector<std::string>{"", "a", "kbd", "t", "t1", "t1x", "t02", "t2", "t10"}),
              ids);
    EXPECT_FALSE(emu::NaturalLess("t1", "t1"));
    EXPECT_NE(emu::NaturalLess("t02", "t2"), emu::NaturalLess("t2", "t02"));
    EXPECT_TRUE(emu::NaturalLess("t99999999999999999999", "t100000000000000000000"));
}

TEST(EmuText, CaseHelpers)
{
    EXPECT_TRUE(emu::EqualNoCase("\\\\?\\HID#VID_0925", "\\\\?\\hid#vid_0925"));
    EXPECT_FALSE(emu::EqualNoCase("abc", "abd"));
    EXPECT_FALSE(emu::EqualNoCase("abc", "abcd"));
    EXPECT_EQ("abc1", emu::ToLowerAscii("AbC1"));
    EXPECT_EQ("ABC1", emu::ToUpperAscii("aBc1"));
}

TEST(EmuText, Numbers)
{
    std::uint32_t n = 7;
    EXPECT_TRUE(emu::ParseDecimal("65", 4096, n));
    EXPECT_EQ(65u, n);
    EXPECT_TRUE(emu::ParseDecimal("0", 0, n));
    EXPECT_EQ(0u, n);
    EXPECT_FALSE(emu::ParseDecimal("4097", 4096, n));
    EXPECT_FALSE(emu::ParseDecimal("", 10, n));
    EXPECT_FALSE(emu::ParseDecimal("-1", 10, n));
    EXPECT_FALSE(emu::ParseDecimal("1x", 10, n));
    EXPECT_FALSE(emu::ParseDecimal("99999999999999999", 0xFFFFFFFF, n));
    EXPECT_TRUE(emu::ParseHex("046d", 0xFFFF, n));
    EXPECT_EQ(0x046Du, n);
    EXPECT_TRUE(emu::ParseHex("C31C", 0xFFFF, n));
    EXPECT_EQ(0xC31Cu, n);
    EXPECT_FALSE(emu::ParseHex("10000", 0xFFFF, n));
    EXPECT_FALSE(emu::ParseHex("0x12", 0xFFFF, n));
}

TEST(EmuText, Utf8ToUtf16)
{
    EXPECT_EQ(u"KAVRU", emu::Utf8ToUtf16("KAVRU"));
    EXPECT_EQ(u"\u00e9\u4e2d", emu::Utf8ToUtf16("\xc3\xa9\xe4\xb8\xad"));
    EXPECT_EQ(u"\U0001F511", emu::Utf8ToUtf16("\xf0\x9f\x94\x91"));
    // Stray and cut-off bytes stand for themselves.
    EXPECT_EQ(u"a\u00ffb", emu::Utf8ToUtf16("a\xff" "b"));
    EXPECT_EQ(u"\u00e4", emu::Utf8ToUtf16("\xe4"));
    EXPECT_EQ(u"\u00c0\u0080", emu::Utf8ToUtf16("\xc0\x80"));          // overlong
    EXPECT_EQ(u"\u00ed\u00a0\u0080", emu::Utf8ToUtf16("\xed\xa0\x80"));  // surrogate
}

}  // namespace
