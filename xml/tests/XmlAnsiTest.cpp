// XmlAnsiTest.cpp
//
// The 8-bit build's references through an ANSI converter: a character the
// code page lacks leaves the reference as typed. Under Wine, the production
// converter with the default code page 1252.
#include <gtest/gtest.h>

#include "XmlDocument.h"
#include "XmlTestText.h"
#ifdef _WIN32
#include <windows.h>

#include "XmlAnsiCodePage.h"
#endif

namespace {

// Two bytes for the euro sign, none for anything else beyond ASCII.
class CTwoByteEuro : public IXmlAnsiConverter {
public:
    int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const override
    {
        if (dwCodePoint < 0x80) {
            pOut[0] = static_cast<char>(dwCodePoint);
            return 1;
        }
        if (dwCodePoint != 0x20AC)
            return 0;
        pOut[0] = '\xA2';
        pOut[1] = '\xE3';
        return 2;
    }
};

TEST(XmlAnsi, ConverterDecidesWhatIsDecoded)
{
    const CTwoByteEuro euro;
    CXmlDocument doc(X("<a x='&euro;&eacute;&#65;'/>").c_str(), &euro);
    ASSERT_TRUE(doc.SeekElement(X("/a").c_str()));
    EXPECT_EQ("\\u00A2\\u00E3&eacute;A", Show(doc.QueryAttr(X("x").c_str())));
}

#ifdef _WIN32
TEST(XmlAnsi, SystemCodePage1252)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "ANSI code page is " << GetACP();
    const CXmlAnsiCodePage acp;
    CXmlDocument doc(X("<a>&eacute;&euro;&alpha;&#x1F600;</a>").c_str(), &acp);
    ASSERT_TRUE(doc.SeekElement(X("/a").c_str()));
    EXPECT_EQ("\\u00E9\\u0080&alpha;&#x1F600;", Show(doc.ReadContent()));
}
#endif

} // namespace
