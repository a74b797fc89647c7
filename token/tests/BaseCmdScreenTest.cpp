// BaseCmdScreenTest.cpp
//
// The screen and keypad commands of the command set against the scripted
// port: the line renderer over a small injected GBK font file, the exact
// screen APDUs, the KEY IN START layouts with and without a key, the poll,
// the end of an entry and GET KEY DATA.
#include "BaseCmdFixture.h"

#include <cstdio>
#include <cstring>

#include "CardKeys.h"
#include "CaseName.h"
#include "ResultCodes.h"
#include "ScreenFont.h"
#include "SmReference.h"

namespace {

const Bytes kChallenge = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

// Glyph n of the injected font: bytes 0x10 * (n % 15 + 1) + i with the bits as
// stored (least significant bit at the top), so every byte tells its glyph
// and position, and the renderer's bit reversal shows.
BYTE FontByte(std::uint32_t n, int i) { return static_cast<BYTE>(0x10 * (n % 15 + 1) + i); }

BYTE Reversed(BYTE b)
{
    BYTE r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i))
            r |= static_cast<BYTE>(0x80 >> i);
    return r;
}

// A GBK.dat that holds glyphs 0 to 7802 (the pair B0 A1 is the last one).
class ScreenTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        char szDir[MAX_PATH];
        GetTempPathA(sizeof(szDir), szDir);
        char szName[MAX_PATH];
        std::snprintf(szName, sizeof(szName), "%skq-gbk-%lu.dat", szDir, GetCurrentProcessId());
        m_strFont = szName;
        FILE *pFile = std::fopen(szName, "wb");
        ASSERT_NE(nullptr, pFile);
        for (std::uint32_t n = 0; n <= 7802; ++n)
            for (int i = 0; i < 32; ++i)
                std::fputc(FontByte(n, i), pFile);
        std::fclose(pFile);
        CBaseCmd::OverrideGbkFontPath(szName);
    }
    void TearDown() override
    {
        CBaseCmd::OverrideGbkFontPath(nullptr);
        DeleteFileA(m_strFont.c_str());
        CommandTest::TearDown();
    }
    std::string m_strFont;
};

Bytes AsciiGlyph(BYTE c)
{
    const BYTE *pb = kqfont::AsciiFont() + 16 * c;
    return Bytes(pb, pb + 16);
}

// One expected run of bytes in the line bitmap.
struct ByteRun {
    std::size_t nOffset;
    Bytes bytes;
};

Bytes GlyphPart(std::uint32_t n, int nFirst)
{
    Bytes part;
    for (int i = nFirst; i < nFirst + 8; ++i)
        part.push_back(Reversed(FontByte(n, i)));
    return part;
}

struct LineCase {
    const char *pszName;
    Bytes text;  // 16 bytes
    bool bRendered;
    std::vector<ByteRun> runs;  // everything else is zero
};

Bytes Spaces() { return Bytes(16, ' '); }
Bytes With(std::initializer_list<std::pair<int, BYTE>> bytes)
{
    Bytes text = Spaces();
    for (const auto &b : bytes)
        text[b.first] = b.second;
    return text;
}

class LineRendering : public ScreenTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineRendering, PutsEachGlyphHalfWhereTheLayoutSays)
{
    const LineCase &c = GetParam();
    Bytes out(256, 0xEE);
    ASSERT_EQ(c.bRendered, CBaseCmd::PacketLineData(c.text.data(), 16, out.data(), 256) != FALSE);
    if (!c.bRendered)
        return;
    Bytes expected(256, 0);
    for (const ByteRun &run : c.runs)
        std::copy(run.bytes.begin(), run.bytes.end(), expected.begin() + run.nOffset);
    EXPECT_EQ(expected, out);
}

const Bytes kA = AsciiGlyph('A');
INSTANTIATE_TEST_SUITE_P(
    Table, LineRendering,
    ::testing::Values(
        LineCase{"SixteenSpacesAreBlank", Spaces(), true, {}},
        LineCase{"AAtPositionZero", With({{0, 'A'}}), true,
                 {{0, Bytes(kA.begin(), kA.begin() + 8)}, {16, Bytes(kA.begin() + 8, kA.end())}}},
        LineCase{"AAtPositionOne", With({{1, 'A'}}), true,
                 {{8, Bytes(kA.begin(), kA.begin() + 8)}, {24, Bytes(kA.begin() + 8, kA.end())}}},
        // B0 A1 is glyph 7802; at positions 1-2 it straddles blocks 0 and 1.
        LineCase{"GbkPairAtPositionsOneAndTwo", With({{1, 0xB0}, {2, 0xA1}}), true,
                 {{8, GlyphPart(7802, 0)},
                  {32, GlyphPart(7802, 8)},
                  {24, GlyphPart(7802, 16)},
                  {48, GlyphPart(7802, 24)}}},
        LineCase{"GbkPairAtTheStartIsGlyphZero", With({{0, 0x81}, {1, 0x40}}), true,
                 {{0, GlyphPart(0, 0)},
                  {8, GlyphPart(0, 8)},
                  {16, GlyphPart(0, 16)},
                  {24, GlyphPart(0, 24)}}},
        // 41 after a lead byte is its trail ('A' would be wrong): glyph 1.
        LineCase{"TrailBelow80IsATrailNotAscii", With({{0, 0x81}, {1, 0x41}}), true,
                 {{0, GlyphPart(1, 0)},
                  {8, GlyphPart(1, 8)},
                  {16, GlyphPart(1, 16)},
                  {24, GlyphPart(1, 24)}}},
        LineCase{"LeadByteInTheLastPositionLeavesItBlank", With({{15, 0xB0}}), true, {}},
        LineCase{"Lead80HasNoGlyph", With({{0, 0x80}, {1, 0xA1}}), false, {}},
        LineCase{"LeadFFHasNoGlyph", With({{0, 0xFF}, {1, 0xA1}}), false, {}}),
    CaseName());

TEST_F(ScreenTest, RendererRefusesOtherSizesAndAMissingFontOnlyForGbkLines)
{
    const Bytes text = Spaces();
    Bytes out(256);
    EXPECT_FALSE(CBaseCmd::PacketLineData(text.data(), 15, out.data(), 256));
    EXPECT_FALSE(CBaseCmd::PacketLineData(text.data(), 16, out.data(), 255));
    CBaseCmd::OverrideGbkFontPath("C:\\no such folder\\GBK.dat");
    EXPECT_TRUE(CBaseCmd::PacketLineData(With({{3, 'A'}}).data(), 16, out.data(), 256));
    EXPECT_FALSE(
        CBaseCmd::PacketLineData(With({{3, 0xB0}, {4, 0xA1}}).data(), 16, out.data(), 256));
}

TEST_F(ScreenTest, ClearAndLogoAreSixBytesAndMapTheStatusWord)
{
    Queue({{{}, 0x9000}, {{}, 0x6A86}});
    EXPECT_EQ(0u, m_pCmd->ClearScreen());
    EXPECT_NE(0u, m_pCmd->DisplayLogo());
    const std::vector<Bytes> expected = {{0x80, 0x52, 0x00, 0x00, 0x02, 0x00},
                                         {0x80, 0x52, 0x00, 0x00, 0x02, 0x04}};
    EXPECT_EQ(expected, Sent());
}

TEST_F(ScreenTest, DisplayLineSendsTwoPartsAtItsRows)
{
    Queue({{{}, 0x9000}, {{}, 0x6A86}});
    const BYTE abText[] = {'A'};
    // A failing part does not change the result.
    EXPECT_EQ(0u, m_pCmd->DisplayLine(abText, 1, 3));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(2u, sent.size());
    Bytes bitmap(256);
    Bytes text(16, 0);
    text[0] = 'A';
    ASSERT_TRUE(CBaseCmd::PacketLineData(text.data(), 16, bitmap.data(), 256));
    for (int half = 0; half < 2; ++half) {
        Bytes expected = {0x80, 0x52, 0x00, 0x00, 0x83, 0x03, 6, static_cast<BYTE>(64 * half)};
        expected.insert(expected.end(), bitmap.begin() + 128 * half,
                        bitmap.begin() + 128 * (half + 1));
        EXPECT_EQ(expected, sent[half]) << "part " << half;
    }
    // Positions after the text render as code 0, which is not blank: the
    // lower page of position 8 (block 4, bytes 16-23).
    const Bytes code0 = AsciiGlyph(0);
    const Bytes lower0(code0.begin() + 8, code0.end());
    EXPECT_EQ(lower0, Bytes(bitmap.begin() + 4 * 32 + 16, bitmap.begin() + 4 * 32 + 24));
    EXPECT_NE(Bytes(8, 0), lower0);
}

TEST_F(ScreenTest, DisplayLineRefusesWhatItCannotShowWithoutSending)
{
    const Bytes text(17, 'x');
    EXPECT_EQ(1u, m_pCmd->DisplayLine(text.data(), 17, 0));
    EXPECT_EQ(1u, m_pCmd->DisplayLine(text.data(), 16, 4));
    EXPECT_EQ(1u, m_pCmd->DisplayLine(nullptr, 0, 0));
    const BYTE abGbk[] = {0x80, 0xA1};
    EXPECT_EQ(1u, m_pCmd->DisplayLine(abGbk, 2, 0));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ScreenTest, SetDisplaySendsEightPartsInScreenOrder)
{
    const Bytes line0 = With({{0, 'A'}}), line1 = Spaces(), line2 = With({{15, '1'}}),
                line3 = With({{0, 0xB0}, {1, 0xA1}});
    for (int i = 0; i < 8; ++i)
        Queue({{}, 0x9000});
    EXPECT_EQ(0u, m_pCmd->SetDisplay(line0.data(), 16, line1.data(), 16, line2.data(), 16,
                                     line3.data(), 16, 2));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(8u, sent.size());
    const Bytes *apLines[4] = {&line0, &line1, &line2, &line3};
    for (int p = 0; p < 8; ++p) {
        Bytes bitmap(256);
        ASSERT_TRUE(CBaseCmd::PacketLineData(apLines[p / 2]->data(), 16, bitmap.data(), 256));
        Bytes expected = {0x80, 0x52, 0x00, 0x00, 0x83, 0x03, static_cast<BYTE>(2 * (p / 2)),
                          static_cast<BYTE>(64 * (p % 2))};
        expected.insert(expected.end(), bitmap.begin() + 128 * (p % 2),
                        bitmap.begin() + 128 * (p % 2 + 1));
        EXPECT_EQ(expected, sent[p]) << "part " << p;
    }
}

TEST_F(ScreenTest, SetDisplaySendsNothingWhenALineIsTooLongOrCannotBeRendered)
{
    const Bytes line = Spaces(), longLine(17, 'x'), badGbk = With({{4, 0xFF}, {5, 0xA1}});
    EXPECT_EQ(1u, m_pCmd->SetDisplay(line.data(), 16, line.data(), 16, longLine.data(), 17,
                                     line.data(), 16, 2));
    EXPECT_EQ(1u, m_pCmd->SetDisplay(line.data(), 16, line.data(), 16, line.data(), 16,
                                     badGbk.data(), 16, 2));
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(TraceHas("CBaseCmd::SetDisplay PacketLineData Failed"));
}

// ---------------------------------------------------------------------------
// Keypad

Bytes AllowedKeys()
{
    return {0xFF, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00};
}

Bytes StartHeader(BYTE bLc) { return {0x80, 0x6E, 0x01, 0x00, bLc}; }

TEST_F(CommandTest, KeyInStartWithoutAKeyIsFourteenBytes)
{
    Queue({{}, 0x9000});
    int nSw = 0;
    EXPECT_EQ(0u, m_pCmd->KeyInStart(3, 6, AllowedKeys().data(), 0xFF, 0, 0, nullptr, &nSw));
    EXPECT_EQ(0x9000, nSw);
    Bytes expected = StartHeader(0x0E);
    expected.insert(expected.end(), {3, 6});
    const Bytes keys = AllowedKeys();
    expected.insert(expected.end(), keys.begin(), keys.end());
    expected.insert(expected.end(), {0xFF, 0x00});
    EXPECT_EQ(std::vector<Bytes>{expected}, Sent());
    EXPECT_EQ((std::vector<DWORD>{5}), Waits());
}

TEST_F(CommandTest, KeyInStartWithANamedKeyEndsInTheName)
{
    Queue({{}, 0x6985});
    int nSw = 0;
    EXPECT_NE(0u, m_pCmd->KeyInStart(1, 8, AllowedKeys().data(), 0xFF, 1, 0x6601, "abc", &nSw));
    EXPECT_EQ(0x6985, nSw);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(StartHeader(0x14), Bytes(sent[0].begin(), sent[0].begin() + 5));
    EXPECT_EQ((Bytes{0x01, 0x66, 0x01, 0x03, 'a', 'b', 'c'}),
              Bytes(sent[0].end() - 7, sent[0].end()));
}

// The host-key lookup: DF 5000, external authentication, EF 5031, the
// descriptor at offset 9 (directory 5035, one record), the directory, its
// record, the record's name file.
std::vector<CardAnswer> HostKeyLookup(WORD wRecordKeyId, const char *pszName)
{
    Bytes record = {0x00, 0x0C, static_cast<BYTE>(wRecordKeyId >> 8),
                    static_cast<BYTE>(wRecordKeyId), 0x50, 0x80, 0, 0, 0, 0, 0x50, 0x81};
    Bytes name(pszName, pszName + std::strlen(pszName));
    name.resize(128, 0);
    return {{{}, 0x9000},           {Bytes(16, 0x42), 0x9000}, {{}, 0x9000},
            {{}, 0x9000},           {{0x50, 0x35, 0x01}, 0x9000}, {{}, 0x9000},
            {{}, 0x9000},           {record, 0x9000},          {{}, 0x9000},
            {name, 0x9000},         {Bytes(127, 0), 0x9000}};
}

TEST_F(CommandTest, KeyInStartWithTheHostKeyNamesItsFile)
{
    Queue(HostKeyLookup(0xA400, "kavrupin rsa enc default keyset"));
    Queue({{}, 0x9000});
    int nSw = 0;
    EXPECT_EQ(0u, m_pCmd->KeyInStart(3, 6, AllowedKeys().data(), 0xFF, 1, 0xA400,
                                     "KAVRUPIN RSA ENC DEFAULT KEYSET", &nSw));
    const std::vector<Bytes> sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(StartHeader(0x13), Bytes(sent.back().begin(), sent.back().begin() + 5));
    EXPECT_EQ((Bytes{0x01, 0xA4, 0x00, 0x02, 0x50, 0x80}),
              Bytes(sent.back().end() - 6, sent.back().end()));
}

TEST_F(CommandTest, KeyInStartWithAnUnknownHostKeySendsNoStart)
{
    // Up to the record, which holds another key id: nothing else is read.
    const std::vector<CardAnswer> lookup = HostKeyLookup(0x6601, "KAVRUPIN RSA ENC DEFAULT KEYSET");
    Queue(std::vector<CardAnswer>(lookup.begin(), lookup.begin() + 8));
    int nSw = 0;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED,
              m_pCmd->KeyInStart(3, 6, AllowedKeys().data(), 0xFF, 1, 0xA400,
                                 "KAVRUPIN RSA ENC DEFAULT KEYSET", &nSw));
    EXPECT_EQ(8u, Sent().size());
    for (const Bytes &apdu : Sent())
        EXPECT_FALSE(apdu.size() > 2 && apdu[0] == 0x80 && apdu[1] == 0x6E);
    EXPECT_TRUE(TraceHas("[KeyInStart] GetRsaKeyFid != S_OK, dwRetCode = [-2146435041]"));
}

struct PollCase {
    const char *pszName;
    CardAnswer answer;
    DWORD dwResult;
    char cKey;  // when dwResult is 0
};

class KeyPoll : public CommandTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(KeyPoll, TakesTheFirstAnswerByte)
{
    const PollCase &c = GetParam();
    Queue(c.answer);
    char cKey = 'x';
    int nSw = 0;
    EXPECT_EQ(c.dwResult, m_pCmd->KeyIn(&cKey, &nSw));
    EXPECT_EQ(c.answer.wSw, nSw);
    if (c.dwResult == 0) {
        EXPECT_EQ(c.cKey, cKey);
    }
    EXPECT_EQ((std::vector<Bytes>{{0x80, 0x6E, 0x02, 0x00, 0x00}}), Sent());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, KeyPoll,
    ::testing::Values(PollCase{"Enter", {{0x0D}, 0x9000}, 0, '\r'},
                      PollCase{"NoKeyYet", {{0x00}, 0x9000}, 0, '\0'},
                      PollCase{"TwoBytesUseTheFirst", {{'#', '.'}, 0x9000}, 0, '#'},
                      PollCase{"EmptyAnswer", {{}, 0x9000}, KQ_SCARD_E_UNEXPECTED, 0},
                      PollCase{"BadStatusWord", {{}, 0x6985}, KQ_SCARD_E_NO_ACCESS, 0}),
    CaseName());

Bytes SmKey()
{
    Bytes key(16);
    KQDWORD dwLen = 16;
    EXPECT_TRUE(GetSmKey(key.data(), &dwLen));
    return key;
}

TEST_F(CommandTest, KeyInEndReturnsTheUnwrappedEntryOrRefusesASmallBuffer)
{
    const Bytes typed = {'1', '2', '3', '4', '5', '6'};
    const Bytes answer = smref::EncipherAnswer(SmKey().data(), smref::PlainBlock(typed));
    Queue({{kChallenge, 0x9000}, {answer, 0x9000}, {kChallenge, 0x9000}, {answer, 0x9000}});
    Bytes buf(4, 0xEE);
    DWORD dwLen = 4;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->KeyInEnd(2, buf.data(), &dwLen));
    EXPECT_EQ(4u, dwLen);
    EXPECT_EQ(Bytes(4, 0xEE), buf);
    buf.assign(8, 0xEE);
    dwLen = 8;
    EXPECT_EQ(0u, m_pCmd->KeyInEnd(buf.data(), &dwLen));
    EXPECT_EQ(6u, dwLen);
    EXPECT_EQ(typed, Bytes(buf.begin(), buf.begin() + 6));
    const std::vector<Bytes> expected = {{0x80, 0x84, 0x00, 0x00, 0x08},
                                         {0x84, 0x6E, 0x03, 0x02, 0x00},
                                         {0x80, 0x84, 0x00, 0x00, 0x08},
                                         {0x84, 0x6E, 0x03, 0x00, 0x00}};
    EXPECT_EQ(expected, Sent());
}

TEST_F(CommandTest, KeyInEndStopsOnAShortChallenge)
{
    Queue({Bytes(7, 1), 0x9000});
    Bytes buf(8);
    DWORD dwLen = 8;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->KeyInEnd(buf.data(), &dwLen));
    EXPECT_EQ(1u, Sent().size());
    EXPECT_TRUE(TraceHas("UKey::KeyInEnd GetRandom recvApdu.size()<8"));
}

TEST_F(CommandTest, GetKeyDataPadsTheBlockAndRespectsTheRoom)
{
    const Bytes reply = {1, 2, 3, 4, 5};
    Queue({{reply, 0x9000}, {reply, 0x9000}});
    const BYTE abBlock[] = {0xA1, 0xA2, 0xA3};
    Bytes out(8, 0xEE);
    BYTE bLen = 8;
    EXPECT_EQ(0u, m_pCmd->GetKeyData(1, 2, 3, abBlock, 3, 4, out.data(), &bLen));
    EXPECT_EQ(5, bLen);
    EXPECT_EQ(reply, Bytes(out.begin(), out.begin() + 5));
    bLen = 4;
    out.assign(8, 0xEE);
    EXPECT_EQ(KQ_SCARD_E_INSUFFICIENT_BUFFER,
              m_pCmd->GetKeyData(1, 2, 3, abBlock, 3, 4, out.data(), &bLen));
    EXPECT_EQ(5, bLen);
    EXPECT_EQ(Bytes(8, 0xEE), out);
    const Bytes expected = {0x80, 0x5E, 0x00, 0x00, 0x0E, 1, 2, 3, 0xA1, 0xA2, 0xA3,
                            0,    0,    0,    0,    0,    0, 0, 4};
    EXPECT_EQ((std::vector<Bytes>{expected, expected}), Sent());
}

}  // namespace
