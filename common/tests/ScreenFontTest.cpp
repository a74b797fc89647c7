// ScreenFontTest.cpp
//
// The token screen's fonts as the build generates them: the reference ASCII
// glyphs, the GBK glyph numbering both ways, and GBK.dat's size and a known
// character's shape (which a wrong bit order or a swapped half would break).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "CaseName.h"
#include "ScreenFont.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Glyph(unsigned c)
{
    const std::uint8_t *pb = kqfont::AsciiFont() + 16 * c;
    return Bytes(pb, pb + 16);
}

TEST(AsciiFont, ReferenceGlyphsAreExact)
{
    EXPECT_EQ(Bytes(16, 0), Glyph(' '));
    EXPECT_EQ((Bytes{0x00, 0x07, 0x08, 0x10, 0x10, 0x08, 0x07, 0x00, 0x00, 0xF0, 0x08, 0x04, 0x04,
                     0x08, 0xF0, 0x00}),
              Glyph('0'));
    EXPECT_EQ((Bytes{0x00, 0x08, 0x08, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04, 0xFC, 0x04,
                     0x04, 0x00, 0x00}),
              Glyph('1'));
    EXPECT_EQ((Bytes{0x00, 0x00, 0x03, 0x1C, 0x07, 0x00, 0x00, 0x00, 0x04, 0x3C, 0xC4, 0x40, 0x40,
                     0xE4, 0x1C, 0x04}),
              Glyph('A'));
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x01, 0x01}),
              Glyph(0));
}

// The screen is read back by matching glyphs: printable characters must be
// told apart from each other, from the space and from code 0.
TEST(AsciiFont, PrintableGlyphsAreDistinctAndNotBlank)
{
    std::set<Bytes> seen = {Glyph(' '), Glyph(0)};
    for (unsigned c = 0x21; c < 0x7F; ++c)
        EXPECT_TRUE(seen.insert(Glyph(c)).second) << "glyph of " << static_cast<char>(c);
}

struct GlyphNumberCase {
    const char *pszName;
    unsigned bLead, bTrail;
    bool bValid;
    std::uint32_t ulGlyph;
};

class GbkGlyphNumbers : public ::testing::TestWithParam<GlyphNumberCase> {};

TEST_P(GbkGlyphNumbers, FollowTheLeadByteRange)
{
    const GlyphNumberCase &c = GetParam();
    std::uint32_t ulGlyph = 0xDEADBEEF;
    ASSERT_EQ(c.bValid, kqfont::GbkGlyphNumber(static_cast<std::uint8_t>(c.bLead),
                                               static_cast<std::uint8_t>(c.bTrail), ulGlyph));
    if (c.bValid) {
        EXPECT_EQ(c.ulGlyph, ulGlyph);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GbkGlyphNumbers,
    ::testing::Values(GlyphNumberCase{"First", 0x81, 0x40, true, 0},
                      GlyphNumberCase{"RowOf191", 0x82, 0x40, true, 191},
                      GlyphNumberCase{"SymbolsFromA1", 0xA1, 0xA1, true, 6112},
                      GlyphNumberCase{"A8Row", 0xA8, 0x40, true, 6770},
                      GlyphNumberCase{"AARow", 0xAA, 0x40, true, 7123},
                      GlyphNumberCase{"B0A1", 0xB0, 0xA1, true, 7802},
                      GlyphNumberCase{"F8Row", 0xF8, 0x40, true, 21457},
                      GlyphNumberCase{"LastLead", 0xFE, 0xA0, true, 21457 + 6 * 97 + 96},
                      GlyphNumberCase{"Lead80", 0x80, 0xA1, false, 0},
                      GlyphNumberCase{"LeadFF", 0xFF, 0xA1, false, 0},
                      GlyphNumberCase{"Ascii", 0x41, 0x42, false, 0},
                      GlyphNumberCase{"TrailBelow40", 0xB0, 0x3F, false, 0}),
    CaseName());

TEST(GbkGlyphNumbers, EveryGlyphHasOnePairThatGivesItBack)
{
    for (std::uint32_t n = 0; n < kqfont::GBK_GLYPH_COUNT; ++n) {
        std::uint8_t bLead = 0, bTrail = 0;
        if (!kqfont::GbkPairOfGlyph(n, bLead, bTrail)) {
            EXPECT_EQ(7122u, n) << "only the number between the A8 and AA rows is unused";
            continue;
        }
        std::uint32_t ulBack = 0;
        ASSERT_TRUE(kqfont::GbkGlyphNumber(bLead, bTrail, ulBack)) << n;
        ASSERT_EQ(n, ulBack);
    }
    std::uint8_t bLead = 0, bTrail = 0;
    EXPECT_FALSE(kqfont::GbkPairOfGlyph(kqfont::GBK_GLYPH_COUNT, bLead, bTrail));
}

Bytes ReadGbkGlyph(std::uint8_t bLead, std::uint8_t bTrail)
{
    std::uint32_t n = 0;
    EXPECT_TRUE(kqfont::GbkGlyphNumber(bLead, bTrail, n));
    Bytes glyph(32, 0);
    FILE *pFile = std::fopen(KQ_GBK_DAT_PATH, "rb");
    EXPECT_NE(nullptr, pFile);
    if (pFile == nullptr)
        return glyph;
    std::fseek(pFile, static_cast<long>(n * 32), SEEK_SET);
    EXPECT_EQ(32u, std::fread(glyph.data(), 1, 32, pFile));
    std::fclose(pFile);
    return glyph;
}

TEST(GbkFontFile, HoldsEveryGlyphAndTheHorizontalStrokeOfYi)
{
    FILE *pFile = std::fopen(KQ_GBK_DAT_PATH, "rb");
    ASSERT_NE(nullptr, pFile);
    std::fseek(pFile, 0, SEEK_END);
    EXPECT_EQ(static_cast<long>(kqfont::GBK_GLYPH_COUNT * 32), std::ftell(pFile));
    std::fclose(pFile);
    // 一 (D2 BB): one pixel row lit across most columns, nothing else. The
    // row is the same bit in every column byte of one page.
    const Bytes yi = ReadGbkGlyph(0xD2, 0xBB);
    int nLitColumns = 0, nStray = 0;
    unsigned char bRowBit = 0;
    for (int page = 0; page < 2; ++page)
        for (int x = 0; x < 16; ++x) {
            const unsigned char b = yi[16 * page + x];
            if (b == 0)
                continue;
            if (bRowBit == 0)
                bRowBit = b;
            b == bRowBit ? ++nLitColumns : ++nStray;
        }
    EXPECT_GE(nLitColumns, 12);
    EXPECT_EQ(0, nStray);
    // 啊 (B0 A1) is not blank, and its two halves differ.
    const Bytes a = ReadGbkGlyph(0xB0, 0xA1);
    EXPECT_NE(Bytes(32, 0), a);
    EXPECT_NE(Bytes(a.begin(), a.begin() + 8), Bytes(a.begin() + 8, a.begin() + 16));
}

}  // namespace
