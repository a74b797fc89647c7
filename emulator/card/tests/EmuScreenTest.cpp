// EmuScreenTest.cpp
//
// The emulated token's screen natively: where a part's bytes land, the
// refused screen commands through the card, clear and the centred logo,
// the text read back (ASCII, GBK pairs from a small injected font, what
// reads as '?'), the history rules, the PNG (header, palette and pixels
// inflated here with zlib) and the control commands.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CaseName.h"
#include "EmuCardTestSupport.h"
#include "EmuPng.h"
#include "EmuScreen.h"
#include "EmuScreenControl.h"
#include "EmuScreenText.h"
#include "ScreenFont.h"

namespace {

typedef CEmuScreen::Frame Frame;

// A part whose byte i is i + 1, so every byte shows where it went.
Bytes NumberedPart()
{
    Bytes part(128);
    for (int i = 0; i < 128; ++i)
        part[i] = static_cast<uint8_t>(i + 1);
    return part;
}

std::uint8_t At(const Frame &frame, unsigned nPage, unsigned nColumn)
{
    return frame[nPage * 128 + nColumn];
}

struct SPlacementCase {
    const char *pszName;
    unsigned nRow, nColumn;
    // Part byte -> (page, column) landmarks.
    struct {
        int iByte;
        unsigned nPage, nColumn;
    } aMarks[6];
};

class ScreenPlacement : public ::testing::TestWithParam<SPlacementCase> {};

TEST_P(ScreenPlacement, PartBytesLandInTheirPagesAndColumns)
{
    const SPlacementCase &c = GetParam();
    CEmuScreen screen;
    const Bytes part = NumberedPart();
    ASSERT_TRUE(screen.DrawPart(c.nRow, c.nColumn, part.data()));
    for (const auto &mark : c.aMarks)
        EXPECT_EQ(mark.iByte + 1, At(screen.Current(), mark.nPage, mark.nColumn))
            << "byte " << mark.iByte;
    // Exactly 128 bytes were written, nothing outside the two pages.
    int nWritten = 0;
    for (unsigned p = 0; p < 8; ++p)
        for (unsigned x = 0; x < 128; ++x)
            if (At(screen.Current(), p, x) != 0) {
                ++nWritten;
                EXPECT_TRUE(p == c.nRow || p == c.nRow + 1) << "page " << p;
                EXPECT_TRUE(x >= c.nColumn && x < c.nColumn + 64) << "column " << x;
            }
    EXPECT_EQ(128, nWritten);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, ScreenPlacement,
    ::testing::Values(
        SPlacementCase{"TopLeft", 0, 0,
                       {{0, 0, 0}, {8, 0, 8}, {16, 1, 0}, {24, 1, 8}, {32, 0, 16}, {127, 1, 63}}},
        SPlacementCase{"BottomRight", 6, 64,
                       {{0, 6, 64}, {15, 6, 79}, {23, 7, 71}, {56, 7, 88}, {96, 6, 112}, {127, 7, 127}}},
        SPlacementCase{"OddRowAndColumn", 3, 5,
                       {{0, 3, 5}, {7, 3, 12}, {8, 3, 13}, {16, 4, 5}, {31, 4, 20}, {127, 4, 68}}}),
    CaseName());

struct SCommandCase {
    const char *pszName;
    std::string strApdu;  // hex, with the part as ApduOf writes it
    uint16_t wSw;
};

// "P" is the 128-byte part; "P-" one byte short, "P+" one byte more.
Bytes ApduOf(const std::string &strSpec)
{
    std::string strHex = strSpec;
    const std::size_t iPart = strHex.find('P');
    Bytes tail;
    if (iPart != std::string::npos) {
        tail = NumberedPart();
        if (strHex.compare(iPart, 2, "P-") == 0)
            tail.pop_back();
        else if (strHex.compare(iPart, 2, "P+") == 0)
            tail.push_back(0x55);
        strHex.erase(iPart);
    }
    Bytes apdu = Hex(strHex.c_str());
    apdu.insert(apdu.end(), tail.begin(), tail.end());
    return apdu;
}

class ScreenCommandOnCard : public ::testing::TestWithParam<SCommandCase> {};

TEST_P(ScreenCommandOnCard, AnswersAndLeavesARefusedScreenAlone)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, Send(card, Hex("80 52 00 00 02 00")).wSw);
    const SCardAnswer answer = Send(card, ApduOf(GetParam().strApdu));
    EXPECT_EQ(GetParam().wSw, answer.wSw);
    EXPECT_TRUE(answer.vbData.empty());
    const Frame &frame = card.Screen().Current();
    const bool fBlank = frame == Frame{};
    EXPECT_EQ(GetParam().wSw != 0x9000, fBlank);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ScreenCommandOnCard,
    ::testing::Values(
        SCommandCase{"LastRowAndColumn", "80 52 00 00 83 03 06 40 P", 0x9000},
        SCommandCase{"Logo", "80 52 00 00 02 04", 0x9000},
        SCommandCase{"RowOffTheScreen", "80 52 00 00 83 03 07 00 P", 0x6A80},
        SCommandCase{"ColumnOffTheScreen", "80 52 00 00 83 03 00 41 P", 0x6A80},
        SCommandCase{"PartHeaderOtherThan03", "80 52 00 00 83 02 00 00 P", 0x6A80},
        SCommandCase{"UnknownShortOperation", "80 52 00 00 02 07", 0x6A80},
        SCommandCase{"UnknownOperation", "80 52 00 00 05 00", 0x6A80},
        SCommandCase{"PartWithoutItsLastByte", "80 52 00 00 83 03 00 00 P-", 0x6700},
        SCommandCase{"PartWithAByteMore", "80 52 00 00 83 03 00 00 P+", 0x6700},
        SCommandCase{"ShortOperationTooLong", "80 52 00 00 02 04 00", 0x6700},
        SCommandCase{"ShortOperationTooShort", "80 52 00 00 02", 0x6700},
        SCommandCase{"NoData", "80 52 00 00", 0x6700},
        SCommandCase{"HeaderCut", "80 52 00", 0x6700},
        SCommandCase{"P1NotZero", "80 52 01 00 02 04", 0x6A86},
        SCommandCase{"P2NotZero", "80 52 00 01 02 04", 0x6A86},
        SCommandCase{"OtherClassIsNoScreenCommand", "00 52 00 00 01 02", 0x6D00}),
    CaseName());

// Bounds of the lit pixels inside the logo's frame.
TEST(ScreenLogo, ShownAtPowerOnCentredAndBackAfterAClear)
{
    CEmuCardOs card;
    EXPECT_EQ(CEmuScreen::Logo(), card.Screen().Current());
    unsigned nLeft = 128, nRight = 0, nTop = 64, nBottom = 0;
    for (unsigned y = 4; y < 60; ++y)
        for (unsigned x = 4; x < 124; ++x)
            if (CEmuScreen::Lit(CEmuScreen::Logo(), x, y)) {
                nLeft = std::min(nLeft, x);
                nRight = std::max(nRight, x);
                nTop = std::min(nTop, y);
                nBottom = std::max(nBottom, y);
            }
    ASSERT_LT(nLeft, nRight);
    EXPECT_LE(std::abs(static_cast<int>(nLeft) - static_cast<int>(127 - nRight)), 2);
    EXPECT_LE(std::abs(static_cast<int>(nTop) - static_cast<int>(63 - nBottom)), 3);
    // The text is the ASCII font's: the first glyph's columns begin the row.
    EXPECT_EQ(0, std::memcmp(&CEmuScreen::Logo()[3 * 128 + 12], kqfont::AsciiFont() + 16 * 'K', 8));

    ASSERT_EQ(0x9000, Send(card, Hex("80 52 00 00 02 00")).wSw);
    EXPECT_EQ(Frame{}, card.Screen().Current());
    ASSERT_EQ(0x9000, Send(card, Hex("80 52 00 00 02 04")).wSw);
    EXPECT_EQ(CEmuScreen::Logo(), card.Screen().Current());
    ASSERT_EQ(0x9000, Send(card, Hex("80 52 00 00 02 00")).wSw);
    card.PowerOn();
    EXPECT_EQ(CEmuScreen::Logo(), card.Screen().Current());
}

// ---------------------------------------------------------------------------
// Text read back

void PutCell(Frame &frame, unsigned nLine, unsigned nCell, const uint8_t *pbUpper,
             const uint8_t *pbLower)
{
    std::memcpy(&frame[2 * nLine * 128 + 8 * nCell], pbUpper, 8);
    std::memcpy(&frame[(2 * nLine + 1) * 128 + 8 * nCell], pbLower, 8);
}

void PutAscii(Frame &frame, unsigned nLine, unsigned nCell, const std::string &str)
{
    for (std::size_t i = 0; i < str.size(); ++i) {
        const uint8_t *pb = kqfont::AsciiFont() + 16 * static_cast<unsigned char>(str[i]);
        PutCell(frame, nLine, static_cast<unsigned>(nCell + i), pb, pb + 8);
    }
}

uint8_t Reverse(uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i))
            r |= static_cast<uint8_t>(0x80 >> i);
    return r;
}

// A glyph in screen order: upper left, upper right, lower left, lower right.
typedef std::array<uint8_t, 32> Glyph;

Glyph Pattern(uint8_t bSeed)
{
    Glyph g;
    for (int i = 0; i < 32; ++i)
        g[i] = static_cast<uint8_t>(bSeed * 7 + i * 3 + 1);
    return g;
}

// 'A' and 'B' side by side: a GBK glyph that two ASCII cells also make.
Glyph AsciiPair()
{
    Glyph g;
    const uint8_t *pbA = kqfont::AsciiFont() + 16 * 'A';
    const uint8_t *pbB = kqfont::AsciiFont() + 16 * 'B';
    std::memcpy(&g[0], pbA, 8);
    std::memcpy(&g[8], pbB, 8);
    std::memcpy(&g[16], pbA + 8, 8);
    std::memcpy(&g[24], pbB + 8, 8);
    return g;
}

void PutGlyph(Frame &frame, unsigned nLine, unsigned nCell, const Glyph &g)
{
    PutCell(frame, nLine, nCell, &g[0], &g[16]);
    PutCell(frame, nLine, nCell + 1, &g[8], &g[24]);
}

// GBK.dat bytes: the glyphs in the file's bit order (least significant bit
// at the top).
Bytes FontFile(const std::vector<Glyph> &glyphs)
{
    Bytes file;
    for (const Glyph &g : glyphs)
        for (uint8_t b : g)
            file.push_back(Reverse(b));
    return file;
}

// The system's GBK conversion: iconv natively, code page 936 under Windows.
bool GbkToUtf8(const std::string &strGbk, std::string &strUtf8)
{
#ifdef _WIN32
    wchar_t awc[32];
    const int cwc = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, strGbk.data(),
                                        static_cast<int>(strGbk.size()), awc, 32);
    char ach[128];
    const int cch = cwc > 0 ? WideCharToMultiByte(CP_UTF8, 0, awc, cwc, ach, sizeof(ach), nullptr,
                                                  nullptr)
                            : 0;
    if (cch <= 0)
        return false;
    strUtf8.assign(ach, static_cast<std::size_t>(cch));
    return true;
#else
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string strIn = strGbk;
    char achOut[64];
    char *pIn = &strIn[0];
    char *pOut = achOut;
    size_t cbIn = strIn.size(), cbOut = sizeof(achOut);
    const bool fOk = iconv(cd, &pIn, &cbIn, &pOut, &cbOut) != static_cast<size_t>(-1) && cbIn == 0;
    iconv_close(cd);
    if (fOk)
        strUtf8.assign(achOut, pOut);
    return fOk;
#endif
}

// Glyph 0 is 81 40 (U+4E02), 1 is 81 41 (U+4E04), 2 is blank, 3 repeats
// glyph 1 (the first number wins), 4 is 'A' 'B' side by side, 5 is 81 45.
class ScreenTextTest : public ::testing::Test {
protected:
    ScreenTextTest()
        : m_text(FontFile({Pattern(1), Pattern(2), Glyph{}, Pattern(2), AsciiPair(), Pattern(5)}),
                 GbkToUtf8)
    {
    }
    CEmuScreenText m_text;
};

TEST_F(ScreenTextTest, AsciiGbkPairsBlanksAndUnknownCells)
{
    Frame frame{};
    PutAscii(frame, 0, 0, "Kavru USB KEY");
    PutGlyph(frame, 1, 0, Pattern(1));
    PutGlyph(frame, 1, 3, Pattern(2));  // odd cell: pairs need not start even
    PutAscii(frame, 1, 5, "ok");
    PutAscii(frame, 2, 2, "AB");        // two ASCII cells, also glyph 4
    PutAscii(frame, 3, 15, "~");
    EXPECT_EQ(6u - 1u - 1u, m_text.GbkGlyphs());  // blank and repeat left out
    EXPECT_EQ("Kavru USB KEY\n\xE4\xB8\x82 \xE4\xB8\x84ok\n  AB\n               ~",
              m_text.Decode(frame));
}

TEST_F(ScreenTextTest, WhatIsNoGlyphReadsAsQuestionMark)
{
    Frame frame{};
    // Half a GBK glyph, then code 0 of the ASCII table (not blank), then one
    // stray pixel.
    const Glyph g = Pattern(5);
    PutCell(frame, 0, 0, &g[0], &g[16]);
    PutAscii(frame, 0, 1, std::string(1, '\0'));
    frame[2 * 128 + 8 * 4] = 0x01;
    PutAscii(frame, 0, 2, "x");
    EXPECT_EQ("??x\n    ?\n\n", m_text.Decode(frame));
}

TEST(ScreenTextAsciiOnly, GbkGlyphsReadAsQuestionMarks)
{
    CEmuScreenText text;
    Frame frame{};
    PutGlyph(frame, 0, 0, Pattern(1));
    PutAscii(frame, 0, 2, "Hi");
    EXPECT_EQ("??Hi\n\n\n", text.Decode(frame));
    EXPECT_EQ(0u, text.GbkGlyphs());
}

// ---------------------------------------------------------------------------
// History

class ScreenHistory : public ::testing::Test {
protected:
    ScreenHistory() : m_screen([this]() { return ++m_ullNow; }) {}
    // A cleared screen with a part of byte b at the top left.
    void DrawScreen(uint8_t b)
    {
        m_screen.Clear();
        const Bytes part(128, b);
        m_screen.DrawPart(0, 0, part.data());
    }
    uint64_t m_ullNow = 1000;
    CEmuScreen m_screen;
};

TEST_F(ScreenHistory, KeepsFinishedScreensOnceEach)
{
    m_screen.Record();
    EXPECT_TRUE(m_screen.History().empty()) << "nothing drawn yet";

    DrawScreen(0x11);  // clear at 1001, part at 1002
    m_screen.Record();
    m_screen.Record();
    ASSERT_EQ(1u, m_screen.History().size());
    EXPECT_EQ(1002u, m_screen.History()[0].ullTimeMs);
    EXPECT_EQ(0x11, m_screen.History()[0].frame[0]);

    DrawScreen(0x11);  // drawn again, the same picture
    m_screen.Record();
    EXPECT_EQ(1u, m_screen.History().size());

    DrawScreen(0x22);
    m_screen.Record();
    ASSERT_EQ(2u, m_screen.History().size());
    EXPECT_EQ(0x22, m_screen.History()[1].frame[0]);

    m_screen.ClearHistory();
    m_screen.Record();
    EXPECT_TRUE(m_screen.History().empty()) << "not drawn since the last record";
    DrawScreen(0x22);
    m_screen.Record();
    EXPECT_EQ(1u, m_screen.History().size());
}

TEST_F(ScreenHistory, DropsTheOldestBeyond256)
{
    for (int i = 0; i < 300; ++i) {
        DrawScreen(static_cast<uint8_t>(i % 200 + 1));
        m_screen.Record();
    }
    ASSERT_EQ(256u, m_screen.History().size());
    EXPECT_EQ(300 - 256 + 1, m_screen.History().front().frame[0]);
    EXPECT_EQ(299 % 200 + 1, m_screen.History().back().frame[0]);
}

TEST(ScreenHistoryOnCard, OtherCommandsRecordScreenCommandsDoNot)
{
    CEmuCardOs card;
    Send(card, Hex("80 52 00 00 02 00"));
    for (int p = 0; p < 8; ++p) {
        Bytes apdu = Hex("80 52 00 00 83 03");
        apdu.push_back(static_cast<uint8_t>(2 * (p / 2)));
        apdu.push_back(static_cast<uint8_t>(64 * (p % 2)));
        const Bytes part(128, static_cast<uint8_t>(p + 1));
        apdu.insert(apdu.end(), part.begin(), part.end());
        ASSERT_EQ(0x9000, Send(card, apdu).wSw);
        EXPECT_TRUE(card.Screen().History().empty());
    }
    // The next command of another kind (even a refused one) records the
    // finished screen; the logo was never seen, so it is not there.
    Send(card, Hex("00 A4 00 00 02 3F 00"));
    ASSERT_EQ(1u, card.Screen().History().size());
    EXPECT_EQ(card.Screen().Current(), card.Screen().History()[0].frame);
    EXPECT_EQ(8, card.Screen().History()[0].frame[7 * 128 + 127]);
    Send(card, Hex("FF"));
    EXPECT_EQ(1u, card.Screen().History().size());
}

// ---------------------------------------------------------------------------
// PNG

uint32_t BigEndian32(const uint8_t *pb)
{
    return static_cast<uint32_t>(pb[0]) << 24 | pb[1] << 16 | pb[2] << 8 | pb[3];
}

struct SPng {
    uint32_t nWidth = 0, nHeight = 0;
    uint8_t bDepth = 0, bColour = 0;
    Bytes palette, raw;  // raw: the inflated scanlines
};

// Walks the chunks, checking each CRC, and inflates the image data.
::testing::AssertionResult ParsePng(const Bytes &png, SPng &out)
{
    const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (png.size() < 8 || std::memcmp(png.data(), kSig, 8) != 0)
        return ::testing::AssertionFailure() << "no PNG signature";
    Bytes idat;
    std::vector<std::string> types;
    for (std::size_t i = 8; i + 12 <= png.size();) {
        const uint32_t cb = BigEndian32(&png[i]);
        if (i + 12 + cb > png.size())
            return ::testing::AssertionFailure() << "chunk beyond the end";
        const std::string strType(reinterpret_cast<const char *>(&png[i + 4]), 4);
        const uint8_t *pbData = &png[i + 8];
        const uLong ulCrc = crc32(0L, &png[i + 4], cb + 4);
        if (ulCrc != BigEndian32(pbData + cb))
            return ::testing::AssertionFailure() << "bad CRC in " << strType;
        types.push_back(strType);
        if (strType == "IHDR") {
            out.nWidth = BigEndian32(pbData);
            out.nHeight = BigEndian32(pbData + 4);
            out.bDepth = pbData[8];
            out.bColour = pbData[9];
        } else if (strType == "PLTE") {
            out.palette.assign(pbData, pbData + cb);
        } else if (strType == "IDAT") {
            idat.insert(idat.end(), pbData, pbData + cb);
        }
        i += 12 + cb;
    }
    if (types.empty() || types.front() != "IHDR" || types.back() != "IEND")
        return ::testing::AssertionFailure() << "IHDR first and IEND last expected";
    uLongf cbRaw = (out.nWidth + 1) * out.nHeight;
    out.raw.resize(cbRaw);
    if (uncompress(out.raw.data(), &cbRaw, idat.data(), static_cast<uLong>(idat.size())) != Z_OK ||
        cbRaw != out.raw.size())
        return ::testing::AssertionFailure() << "image data do not inflate to the image's size";
    return ::testing::AssertionSuccess();
}

TEST(ScreenPng, ScaledPaletteImageOfTheFrame)
{
    Frame frame{};
    frame[0] = 0x80;             // pixel (0, 0)
    frame[7 * 128 + 127] = 0x01;  // pixel (127, 63)
    frame[2 * 128 + 10] = 0x10;  // pixel (10, 19)
    SPng png;
    ASSERT_TRUE(ParsePng(CEmuPng::Screen(frame, 3), png));
    EXPECT_EQ(384u, png.nWidth);
    EXPECT_EQ(192u, png.nHeight);
    EXPECT_EQ(8, png.bDepth);
    EXPECT_EQ(3, png.bColour);
    ASSERT_EQ(6u, png.palette.size());
    // Lit pixels dark on a light background.
    EXPECT_LT(png.palette[3] + png.palette[4] + png.palette[5],
              png.palette[0] + png.palette[1] + png.palette[2]);
    int nLit = 0;
    for (uint32_t y = 0; y < png.nHeight; ++y) {
        const uint8_t *pbRow = &png.raw[y * (png.nWidth + 1)];
        ASSERT_EQ(0, pbRow[0]) << "filter of row " << y;
        for (uint32_t x = 0; x < png.nWidth; ++x) {
            const bool fLit = pbRow[1 + x] == 1;
            nLit += fLit;
            ASSERT_EQ(CEmuScreen::Lit(frame, x / 3, y / 3), fLit) << x << "," << y;
        }
    }
    EXPECT_EQ(3 * 9, nLit);
}

TEST(ScreenPng, ScaleOutOfRangeGivesNothing)
{
    EXPECT_TRUE(CEmuPng::Screen(Frame{}, 0).empty());
    EXPECT_TRUE(CEmuPng::Screen(Frame{}, 17).empty());
    SPng png;
    ASSERT_TRUE(ParsePng(CEmuPng::Screen(Frame{}, 16), png));
    EXPECT_EQ(2048u, png.nWidth);
}

// ---------------------------------------------------------------------------
// Control commands

std::string TempFile(const char *pszName)
{
    return ::testing::TempDir() + pszName;
}

Bytes FileBytes(const std::string &strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Words(const std::string &str)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while ((i = str.find_first_not_of(' ', i)) != std::string::npos) {
        const std::size_t nEnd = str.find(' ', i);
        words.push_back(str.substr(i, nEnd - i));
        i = nEnd;
    }
    return words;
}

class ScreenControl : public ::testing::Test {
protected:
    ScreenControl() : m_screen([this]() { return m_ullNow; }) {}
    std::string Ask(const std::string &strWords)
    {
        return CEmuScreenControl::Answer(m_screen, m_text, Words(strWords));
    }
    uint64_t m_ullNow = 1714555800125;
    CEmuScreen m_screen;
    CEmuScreenText m_text;
};

TEST_F(ScreenControl, TextArtTextAndHistory)
{
    m_screen.Clear();
    // Draw "Hi" through a part: block 0 = cells 0 and 1.
    Bytes hi(128, 0);
    const uint8_t *pbH = kqfont::AsciiFont() + 16 * 'H';
    const uint8_t *pbI = kqfont::AsciiFont() + 16 * 'i';
    std::memcpy(&hi[0], pbH, 8);
    std::memcpy(&hi[8], pbI, 8);
    std::memcpy(&hi[16], pbH + 8, 8);
    std::memcpy(&hi[24], pbI + 8, 8);
    m_screen.DrawPart(0, 0, hi.data());

    EXPECT_EQ("OK\nHi\n\n\n", Ask("text"));
    const std::string strArt = Ask("");
    ASSERT_EQ(3u + 64 * 129, strArt.size());
    EXPECT_EQ(std::string(128, '.') + "\n", strArt.substr(3 + 63 * 129));
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 128; ++x)
            ASSERT_EQ(CEmuScreen::Lit(m_screen.Current(), x, y) ? '#' : '.', strArt[3 + y * 129 + x]);
    EXPECT_EQ("OK\n0 2024-05-01T09:30:00.125Z Hi\n", Ask("history"));

    m_ullNow += 1000;
    m_screen.Clear();
    EXPECT_EQ("OK\n0 2024-05-01T09:30:00.125Z Hi\n1 2024-05-01T09:30:01.125Z \n", Ask("history"));
    EXPECT_EQ("OK", Ask("history clear"));
    EXPECT_EQ("OK\n", Ask("history"));
}

TEST_F(ScreenControl, PngOfTheCurrentScreenOrOfAHistoryEntry)
{
    m_screen.ShowLogo();
    m_screen.Record();
    m_screen.Clear();
    const std::string strPath = TempFile("kq-screen-test.png");
    std::remove(strPath.c_str());

    EXPECT_EQ("OK " + strPath, Ask("png " + strPath));
    SPng png;
    ASSERT_TRUE(ParsePng(FileBytes(strPath), png));
    EXPECT_EQ(512u, png.nWidth) << "default scale 4";
    EXPECT_EQ(std::string::npos, std::string(png.raw.begin(), png.raw.end()).find('\x01'))
        << "the current screen is blank";

    EXPECT_EQ("OK " + strPath, Ask("png " + strPath + " 0 scale=2"));
    ASSERT_TRUE(ParsePng(FileBytes(strPath), png));
    EXPECT_EQ(256u, png.nWidth);
    EXPECT_NE(std::string::npos, std::string(png.raw.begin(), png.raw.end()).find('\x01'))
        << "entry 0 is the logo";
    std::remove(strPath.c_str());
}

struct SControlErrorCase {
    const char *pszName;
    const char *pszWords;
    const char *pszAnswerStart;
};

class ScreenControlErrors : public ScreenControl,
                            public ::testing::WithParamInterface<SControlErrorCase> {};

TEST_P(ScreenControlErrors, AreRefused)
{
    m_screen.ShowLogo();
    const std::string strAnswer = Ask(GetParam().pszWords);
    EXPECT_EQ(0u, strAnswer.find(GetParam().pszAnswerStart)) << strAnswer;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ScreenControlErrors,
    ::testing::Values(
        SControlErrorCase{"UnknownWord", "picture", "ERR usage"},
        SControlErrorCase{"TextWithMore", "text all", "ERR usage"},
        SControlErrorCase{"PngWithoutPath", "png", "ERR usage"},
        SControlErrorCase{"EntryNotKept", "png x.png 1", "ERR no history entry 1 (1 kept)"},
        SControlErrorCase{"ScaleTooLarge", "png x.png scale=17", "ERR scale must be 1 to 16"},
        SControlErrorCase{"ScaleZero", "png x.png scale=0", "ERR scale must be 1 to 16"},
        SControlErrorCase{"EntryAfterScale", "png x.png scale=2 0", "ERR usage"},
        SControlErrorCase{"TwoEntries", "png x.png 0 0", "ERR usage"},
        SControlErrorCase{"UnwritablePath", "png /no/such/folder/x.png", "ERR cannot write"},
        SControlErrorCase{"HistoryWhat", "history all", "ERR usage"}),
    CaseName());

struct STimeCase {
    const char *pszName;
    uint64_t ullMs;
    const char *pszText;
};

class ScreenTimeFormat : public ::testing::TestWithParam<STimeCase> {};

TEST_P(ScreenTimeFormat, IsUtcWithMilliseconds)
{
    EXPECT_EQ(GetParam().pszText, CEmuScreenControl::FormatTime(GetParam().ullMs));
}

INSTANTIATE_TEST_SUITE_P(
    Times, ScreenTimeFormat,
    ::testing::Values(STimeCase{"Epoch", 0, "1970-01-01T00:00:00.000Z"},
                      STimeCase{"LeapDay", 951782400123ull, "2000-02-29T00:00:00.123Z"},
                      STimeCase{"May2024", 1714555800125ull, "2024-05-01T09:30:00.125Z"},
                      STimeCase{"EndOf2099", 4102444799999ull, "2099-12-31T23:59:59.999Z"}),
    CaseName());

}  // namespace
