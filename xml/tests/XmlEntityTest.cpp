// XmlEntityTest.cpp
//
// Character references and escaping, in both character builds. The 8-bit
// build decodes through a Latin-1 converter here, so characters beyond 255
// show what happens when the code page lacks a character.
#include <gtest/gtest.h>

#include <string>

#include "XmlDocument.h"
#include "XmlTestText.h"

namespace {

#ifdef KQ_XML_CHAR8
class CLatin1 : public IXmlAnsiConverter {
public:
    int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const override
    {
        if (dwCodePoint > 0xFF)
            return 0;
        pOut[0] = static_cast<char>(dwCodePoint);
        return 1;
    }
};
const CLatin1 kLatin1;
#endif

XmlString Decode(const std::string &strText, std::uint32_t dwFlags = 0)
{
#ifdef KQ_XML_CHAR8
    CXmlDocument doc(nullptr, &kLatin1);
#else
    CXmlDocument doc;
#endif
    doc.SetFlags(dwFlags);
    const XmlString str = X(strText);
    return doc.DecodeText(str.data(), str.size());
}

struct DecodeCase {
    const char *pszText;
    const char *pszWide;  // 16-bit build
    const char *pszBytes; // 8-bit build, when it differs
};

class XmlDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(XmlDecode, References)
{
    const DecodeCase &c = GetParam();
#ifdef KQ_XML_CHAR8
    EXPECT_EQ(c.pszBytes ? c.pszBytes : c.pszWide, Show(Decode(c.pszText))) << c.pszText;
#else
    EXPECT_EQ(c.pszWide, Show(Decode(c.pszText))) << c.pszText;
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlDecode,
    ::testing::Values(
        DecodeCase{"&#x41;&#65;&AMP;&#X41;", "AA&A", nullptr},
        DecodeCase{"&lt;&gt;&quot;&apos;&amp;lt;", "<>\"'&lt;", nullptr},
        DecodeCase{"&nosuch; &; &#0; &#x0;", "&nosuch; &; &#0; &#x0;", nullptr},
        DecodeCase{"&#; &#x; &#12a; &#xg;", "&#; &#x; &#12a; &#xg;", nullptr},
        DecodeCase{"a&b &amp", "a&b &amp", nullptr},
        // Longer than nine characters between "&" and ";".
        DecodeCase{"&#00000065;&#000000065;", "A&#000000065;", nullptr},
        DecodeCase{"&eacute;&Eacute;&EACUTE;&nbsp;", "\\u00E9\\u00C9\\u00C9\\u00A0", nullptr},
        DecodeCase{"&euro;&alpha;&hearts;", "\\u20AC\\u03B1\\u2665", "&euro;&alpha;&hearts;"},
        DecodeCase{"&#x10FFFF;&#x1F600;", "\\uDBFF\\uDFFF\\uD83D\\uDE00",
                   "&#x10FFFF;&#x1F600;"},
        // Beyond Unicode and lone surrogate halves are no characters.
        DecodeCase{"&#x110000;&#1114112;&#xD800;&#xDFFF;&#55296;",
                   "&#x110000;&#1114112;&#xD800;&#xDFFF;&#55296;", nullptr},
        DecodeCase{"&#xFFFFFFF;&#99999999;", "&#xFFFFFFF;&#99999999;", nullptr}));

TEST(XmlDecodeWhitespace, TrimAndCollapse)
{
    EXPECT_EQ("a \\u0009\\u000Ab", Show(Decode(" \r\na \t\nb\t ", XMLDOC_TRIM)));
    EXPECT_EQ("a b c", Show(Decode(" \r\na \t\nb  c\t ", XMLDOC_COLLAPSE)));
    EXPECT_EQ(" a  b ", Show(Decode(" a  b ", 0)));
    EXPECT_EQ("", Show(Decode(" \t ", XMLDOC_TRIM)));
}

#ifdef KQ_XML_CHAR8
TEST(XmlDecodeBytes, WithoutConverterOnlyAsciiIsDecoded)
{
    CXmlDocument doc;
    const XmlString str = X("&#65;&eacute;&#233;");
    EXPECT_EQ("A&eacute;&#233;", Show(doc.DecodeText(str.data(), str.size())));
}
#endif

struct EscapeCase {
    const char *pszText;
    bool bAttribute;
    std::uint32_t dwFlags;
    const char *pszExpected;
};

class XmlEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(XmlEscape, Text)
{
    const EscapeCase &c = GetParam();
    EXPECT_EQ(c.pszExpected, Show(CXmlDocument::EscapeText(X(c.pszText), c.bAttribute, c.dwFlags)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlEscape,
    ::testing::Values(EscapeCase{"a<b>&\"'", false, 0, "a&lt;b&gt;&amp;\"'"},
                      EscapeCase{"a<b>&\"'", true, 0, "a&lt;b&gt;&amp;&quot;&apos;"},
                      EscapeCase{"&amp; &#65; &x:y-z.1; & &; &a b;", true, XMLESC_KEEP_REFS,
                                 "&amp; &#65; &x:y-z.1; &amp; &amp;; &amp;a b;"},
                      EscapeCase{"&amp;", false, 0, "&amp;amp;"},
                      EscapeCase{"", true, 0, ""}));

// A text whose every character grows sixfold outgrows any first guess of
// the buffer.
TEST(XmlEscapeGrowth, ManyReferencesInALongText)
{
    const std::string strText(10000, '"');
    const XmlString strOut = CXmlDocument::EscapeText(X(strText), true, 0);
    ASSERT_EQ(60000u, strOut.size());
    EXPECT_EQ("&quot;", Show(strOut.substr(59994)));
}

#ifdef KQ_XML_CHAR8
TEST(XmlEscapeBytes, HighBytesStartAKeptReference)
{
    EXPECT_EQ("&\\u00C4\\u00FA;", Show(CXmlDocument::EscapeText(X("&\xC4\xFA;"), false,
                                                                 XMLESC_KEEP_REFS)));
}
#endif

} // namespace
