// SignDataLayoutTest.cpp
//
// The sign data's screen layout: lines never cut a GBK character (trail
// bytes 0x40-0x7E included), pages show three lines with the right arrows,
// and sign-data XML becomes the transaction's lines, or the fallback line
// alone and no second confirmation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SignDataLayout.h"

namespace {

// GBK "中" (D6 D0), and a character whose trail byte is ASCII-range.
const std::string kZhong = "\xD6\xD0";
const std::string kLowTrail = "\x81\x40";

std::string Times(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

std::vector<size_t> LineSizes(const SignLines &vecLines)
{
    std::vector<size_t> sizes;
    for (const std::string &s : vecLines)
        sizes.push_back(s.size());
    return sizes;
}

struct SplitCase {
    const char *pszName;
    std::string strText;
    std::vector<size_t> sizes;
};

TEST(SignDataSplit, LinesEndOnCharacterBoundaries)
{
    const SplitCase cases[] = {
        {"empty", "", {}},
        {"ascii short", "Pay", {3}},
        {"ascii exact", std::string(16, 'a'), {16}},
        {"ascii long", std::string(20, 'a'), {16, 4}},
        {"gbk only", Times(kZhong, 20), {16, 16, 8}},
        {"letter then gbk", "A" + Times(kZhong, 20), {15, 16, 10}},
        {"gbk at the edge", std::string(15, 'a') + kZhong, {15, 2}},
        {"low trail bytes", "A" + Times(kLowTrail, 10), {15, 6}},
        {"low trail only", Times(kLowTrail, 9), {16, 2}},
        {"mixed", "No." + kZhong + "12" + Times(kLowTrail, 5) + "xyz", {15, 5}},
        {"lone lead byte at the end", "abc\xD6", {4}},
    };
    for (const SplitCase &c : cases) {
        SignLines vecLines;
        CSignDataLayout::SplitText(c.strText, vecLines);
        EXPECT_EQ(c.sizes, LineSizes(vecLines)) << c.pszName;
        std::string strJoined;
        for (const std::string &s : vecLines) {
            // No line ends inside a character: walking it lands on its end.
            size_t p = 0;
            while (p < s.size()) {
                const unsigned char b = static_cast<unsigned char>(s[p]);
                p += (b >= 0x81 && b <= 0xFE && p + 1 < s.size()) ? 2 : 1;
            }
            EXPECT_EQ(s.size(), p) << c.pszName;
            strJoined += s;
        }
        EXPECT_EQ(c.strText, strJoined) << c.pszName;
    }
}

// Row 3 of a data page.
std::string Hint(bool bUp, bool bDown)
{
    return std::string("\xC8\xA1\xCF\xFB ") + (bUp ? "\xA1\xFC" : "  ") + "  " +
           (bDown ? "\xA1\xFD" : "  ") + " \xC8\xB7\xC8\xCF";
}

SignLines Numbered(int n)
{
    SignLines vecLines;
    for (int i = 0; i < n; ++i)
        vecLines.push_back("line " + std::to_string(i) + std::string(i < 10 ? 10 : 9, ' '));
    return vecLines;
}

struct PageCase {
    int nLines;
    int nTop;
    int nFirst;  // first line shown
    bool bEarlier;
    bool bLater;
};

TEST(SignDataPage, ThreeLinesAndTheArrowsThatApply)
{
    const PageCase cases[] = {
        {1, 0, 0, false, false}, {3, 0, 0, false, false}, {3, 1, 0, false, false},
        {4, 0, 0, false, true},  {4, 1, 1, true, false},  {4, 5, 1, true, false},
        {6, 0, 0, false, true},  {6, 1, 1, true, true},   {6, 2, 2, true, true},
        {6, 3, 3, true, false},  {6, -1, 0, false, true},
    };
    for (const PageCase &c : cases) {
        const SignLines vecLines = Numbered(c.nLines);
        char abPage[CSignDataLayout::PAGE_BYTES];
        bool bEarlier = !c.bEarlier;
        bool bLater = !c.bLater;
        ASSERT_EQ(1, CSignDataLayout::Compose(vecLines, c.nTop, abPage, &bEarlier, &bLater));
        std::string strExpected;
        for (int r = 0; r < 3; ++r)
            strExpected += c.nFirst + r < c.nLines ? vecLines[static_cast<size_t>(c.nFirst + r)]
                                                   : std::string(16, ' ');
        strExpected += Hint(c.bEarlier, c.bLater);
        const std::string strCase =
            std::to_string(c.nLines) + " lines, top " + std::to_string(c.nTop);
        EXPECT_EQ(strExpected, std::string(abPage, sizeof(abPage))) << strCase;
        EXPECT_EQ(c.bEarlier, bEarlier) << strCase;
        EXPECT_EQ(c.bLater, bLater) << strCase;
    }
}

TEST(SignDataPage, NoLinesGiveABlankPage)
{
    char abPage[CSignDataLayout::PAGE_BYTES];
    bool bEarlier = true, bLater = true;
    EXPECT_EQ(0, CSignDataLayout::Compose(SignLines(), 0, abPage, &bEarlier, &bLater));
    EXPECT_EQ(std::string(64, ' '), std::string(abPage, sizeof(abPage)));
    EXPECT_FALSE(bEarlier);
    EXPECT_FALSE(bLater);
    EXPECT_EQ(std::string(CSignDataLayout::kCancelled) + std::string(55, ' '),
              CSignDataLayout::TextPage(CSignDataLayout::kCancelled));
}

std::string Padded(const std::string &s) { return s + std::string(16 - s.size(), ' '); }

struct XmlCase {
    const char *pszName;
    std::string strXml;
    SignLines lines;  // padded
    bool bSecond;
};

int Arranged(CXmlDocument &doc, SignLines &vecLines)
{
    CSignDataLayout::Arrange(doc, vecLines);
    return 1;
}

int FailingArrange(CXmlDocument &doc, SignLines &vecLines)
{
    CSignDataLayout::Arrange(doc, vecLines);
    return 0;
}

TEST(SignDataXml, DocumentBecomesTheTransactionsLines)
{
    const std::string strFallback = CSignDataLayout::kFallbackLine;
    const XmlCase cases[] = {
        {"type and two fields",
         "<SignData><TradeType name=\"Transfer\"/><Fields>"
         "<f1 name=\"Account:\">622202020011</f1><f2 name=\"Sum:\">12.50 CNY</f2>"
         "</Fields></SignData>",
         {Padded("Transfer"), "Account:62220202", Padded("0011"), Padded("Sum:12.50 CNY")},
         true},
        {"gbk type split on characters",
         "<SignData><TradeType name=\"A" + Times(kZhong, 20) + "\"/></SignData>",
         {Padded("A" + Times(kZhong, 7)), Times(kZhong, 8), Padded(Times(kZhong, 5))},
         true},
        {"empty label or value not shown",
         "<SignData><Fields><a name=\"\">x</a><b name=\"Fee:\"></b><c>y</c>"
         "<d name=\"To:\">Li</d></Fields></SignData>",
         {Padded("To:Li")},
         true},
        {"type missing",
         "<SignData><Fields><a name=\"Sum:\">1</a></Fields></SignData>",
         {Padded("Sum:1")},
         true},
        {"fields missing, other elements ignored",
         "<SignData><Other name=\"x\"/><TradeType name=\"Pay\"/></SignData>",
         {Padded("Pay")},
         true},
        {"nothing to show", "<SignData><Other/></SignData>", {strFallback}, false},
        {"other root", "<Data><TradeType name=\"Pay\"/></Data>", {strFallback}, false},
        {"not xml", "abc", {strFallback}, false},
        {"empty", "", {strFallback}, false},
        {"not well formed",
         "<SignData><TradeType name=\"Pay\"/><Fields><a name=\"S\">1</a></Fields>",
         {strFallback},
         false},
    };
    for (const XmlCase &c : cases) {
        SignLines vecLines;
        EXPECT_EQ(c.bSecond, CSignDataLayout::BuildLines(c.strXml, nullptr, &Arranged, vecLines))
            << c.pszName;
        EXPECT_EQ(c.lines, vecLines) << c.pszName;
    }
}

// Lines appended before the arrangement failed are not shown: half a
// transaction would be confirmed as if it were the whole.
TEST(SignDataXml, FailedArrangementShowsOnlyTheFallbackLine)
{
    SignLines vecLines;
    EXPECT_FALSE(CSignDataLayout::BuildLines(
        "<SignData><TradeType name=\"Transfer\"/></SignData>", nullptr, &FailingArrange,
        vecLines));
    EXPECT_EQ(SignLines{CSignDataLayout::kFallbackLine}, vecLines);
}

// Character references decode through the converter given (here a table
// with the GBK bytes of one character).
class ZhongConverter : public IXmlAnsiConverter {
public:
    int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const override
    {
        if (dwCodePoint != 0x4E2D)
            return 0;
        pOut[0] = '\xD6';
        pOut[1] = '\xD0';
        return 2;
    }
};

TEST(SignDataXml, ReferencesDecodeThroughTheConverter)
{
    ZhongConverter converter;
    SignLines vecLines;
    EXPECT_TRUE(CSignDataLayout::BuildLines(
        "<SignData><Fields><a name=\"&#x4E2D;:\">1</a></Fields></SignData>", &converter,
        &Arranged, vecLines));
    EXPECT_EQ(SignLines{Padded(kZhong + ":1")}, vecLines);
}

}  // namespace
