// XmlNavigateTest.cpp
//
// Finding elements, entering and leaving them, attributes and contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "XmlDocument.h"
#include "XmlTestText.h"
#include "XmlTreeCheck.h"

namespace {

std::string Id(const CXmlDocument &doc)
{
    return Show(doc.QueryAttr(X("id").c_str()));
}

bool Seek(CXmlDocument &doc, const char *pszPath)
{
    if (!pszPath)
        return doc.SeekElement(nullptr);
    return doc.SeekElement(X(pszPath).c_str());
}

const char kSiblings[] = "<root><a id='1'/><b id='2'/><a id='3'/></root>";

TEST(XmlSeek, RepeatedNameVisitsTheMatchingSiblings)
{
    CXmlDocument doc(X(kSiblings).c_str());
    ASSERT_TRUE(Seek(doc, "/root"));
    ASSERT_TRUE(doc.DescendLevel());
    ASSERT_TRUE(Seek(doc, "a"));
    EXPECT_EQ("1", Id(doc));
    ASSERT_TRUE(Seek(doc, "a"));
    EXPECT_EQ("3", Id(doc));
    EXPECT_FALSE(Seek(doc, "a"));
    EXPECT_EQ("3", Id(doc));
}

// The find-next loop of the sign-data reader: it must end at the last child.
TEST(XmlSeek, NextElementLoopEndsAtTheLastSibling)
{
    CXmlDocument doc(X(kSiblings).c_str());
    ASSERT_TRUE(Seek(doc, "/root"));
    ASSERT_TRUE(doc.DescendLevel());
    std::vector<std::string> ids;
    for (int i = 0; i < 10 && Seek(doc, nullptr); ++i)
        ids.push_back(Id(doc));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), ids);
}

TEST(XmlSeek, NameLoopEndsWhenTheLastSiblingMatches)
{
    CXmlDocument doc(X("<r><a/><a/></r>").c_str());
    ASSERT_TRUE(Seek(doc, "/r"));
    ASSERT_TRUE(doc.DescendLevel());
    int n = 0;
    while (n < 10 && Seek(doc, "a"))
        ++n;
    EXPECT_EQ(2, n);
}

TEST(XmlSeek, AscendAndDescendReturnToTheSameChild)
{
    CXmlDocument doc(X("<r><a id='1'><x id='x1'/><x id='x2'/></a><a id='2'/></r>").c_str());
    ASSERT_TRUE(Seek(doc, "/r/a/x"));
    ASSERT_TRUE(Seek(doc, "x"));
    EXPECT_EQ("x2", Id(doc));
    ASSERT_TRUE(doc.AscendLevel());
    EXPECT_EQ("1", Id(doc));
    ASSERT_TRUE(doc.DescendLevel());
    EXPECT_EQ("x2", Id(doc));
    ASSERT_TRUE(doc.AscendLevel());
    ASSERT_TRUE(Seek(doc, "a"));
    EXPECT_EQ("2", Id(doc));
    ASSERT_TRUE(doc.AscendLevel());
    ASSERT_TRUE(doc.AscendLevel() == false);
    EXPECT_EQ(0u, doc.ParentPosition());
    EXPECT_EQ("r", Show(doc.TagNameAt(doc.CurrentPosition())));
}

TEST(XmlSeek, FailedAbsolutePathLeavesTheDocumentLevel)
{
    CXmlDocument doc(X("<r><a id='1'/></r>").c_str());
    ASSERT_TRUE(Seek(doc, "/r/a"));
    EXPECT_FALSE(Seek(doc, "/r/nosuch"));
    EXPECT_EQ(0u, doc.ParentPosition());
    EXPECT_EQ(0u, doc.CurrentPosition());
    ASSERT_TRUE(doc.InsertElementAfter(X("n").c_str(), nullptr));
    EXPECT_EQ("<r><a id='1'/></r><n/>\\u000D\\u000A", Show(doc.GetText()));
    EXPECT_EQ("", CheckXmlTree(doc));
}

TEST(XmlSeek, FailedRelativeSearchChangesNothing)
{
    CXmlDocument doc(X("<r><a id='1'/><b/></r>").c_str());
    ASSERT_TRUE(Seek(doc, "/r/a"));
    const std::uint32_t dwParent = doc.ParentPosition(), dwCurrent = doc.CurrentPosition();
    EXPECT_FALSE(Seek(doc, "c"));
    EXPECT_FALSE(Seek(doc, "b/x"));
    EXPECT_EQ(dwParent, doc.ParentPosition());
    EXPECT_EQ(dwCurrent, doc.CurrentPosition());
}

TEST(XmlSeek, IgnoresCaseWithTheFlag)
{
    CXmlDocument doc;
    doc.SetFlags(XMLDOC_IGNORE_CASE);
    doc.TakeText(X("<Root><Item/></Root>"));
    EXPECT_TRUE(Seek(doc, "/ROOT/item"));
    CXmlDocument exact(X("<Root><Item/></Root>").c_str());
    EXPECT_FALSE(Seek(exact, "/ROOT/item"));
    EXPECT_FALSE(Seek(exact, "/Roo"));
    EXPECT_TRUE(Seek(exact, "/Root/Item"));
}

struct PathCase {
    const char *pszPath;
    bool bFound;
    const char *pszId;
};

class XmlSeekPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(XmlSeekPath, FromTheDocumentLevel)
{
    const PathCase &c = GetParam();
    CXmlDocument doc(X("<r id='r'><a id='a'><b id='b' x='1'/></a></r>").c_str());
    EXPECT_EQ(c.bFound, Seek(doc, c.pszPath)) << c.pszPath;
    if (c.bFound) {
        EXPECT_EQ(c.pszId, Id(doc));
    }
    EXPECT_EQ("", CheckXmlTree(doc));
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlSeekPath,
    ::testing::Values(PathCase{"/r", true, "r"}, PathCase{"/r/a/b", true, "b"},
                      PathCase{"r", true, "r"}, PathCase{"", true, "r"},
                      PathCase{"/r/a/b/@x", true, "b"}, PathCase{"//r", true, "r"},
                      // Syntax errors.
                      PathCase{"/r/", false, ""}, PathCase{"/r=", false, ""},
                      PathCase{"/r/a=1", false, ""}, PathCase{"//r/a", false, ""},
                      PathCase{"/r/@x/y", false, ""}, PathCase{"/r[", false, ""},
                      PathCase{"/", false, ""}, PathCase{"/r]", false, ""},
                      // Accepted, but predicates are not evaluated: nothing found.
                      PathCase{"/r[1]", false, ""}, PathCase{"/r[@id='r']/a", false, ""},
                      PathCase{"/r/x", false, ""}));

struct AttrCase {
    const char *pszTag;
    const char *pszName;
    const char *pszValue;
};

class XmlQueryAttr : public ::testing::TestWithParam<AttrCase> {};

TEST_P(XmlQueryAttr, OfTheCurrentElement)
{
    const AttrCase &c = GetParam();
    CXmlDocument doc(X(c.pszTag).c_str());
    ASSERT_TRUE(Seek(doc, nullptr));
    EXPECT_EQ(c.pszValue, Show(doc.QueryAttr(X(c.pszName).c_str()))) << c.pszTag;
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlQueryAttr,
    ::testing::Values(AttrCase{"<a x=1/>", "x", "1/"}, AttrCase{"<a x=1 />", "x", "1"},
                      AttrCase{"<a checked/>", "checked", "checked"},
                      AttrCase{"<a checked y='2'/>", "y", "2"},
                      AttrCase{"<a x='1'/>", "y", ""},
                      AttrCase{"<a x=\"&lt;b&amp;\"/>", "x", "<b&"},
                      AttrCase{"<a x = 'sp' />", "x", "sp"},
                      AttrCase{"<a x='>'/>", "x", ">"},
                      // A value is never taken for a name.
                      AttrCase{"<a x=\"y\" y=\"2\"/>", "y", "2"},
                      AttrCase{"<a x=y y=2/>", "y", "2/"}, AttrCase{"<a x=\"y\"/>", "y", ""},
                      AttrCase{"<a x='y z' z='3'/>", "z", "3"},
                      AttrCase{"<a 'y' y='4'/>", "y", "4"},
                      AttrCase{"<a x='1' / y='2'/>", "y", ""}, AttrCase{"<a/>", "a", ""}));

TEST(XmlQueryAttr, NoCurrentElement)
{
    CXmlDocument doc(X("<a x='1'/>").c_str());
    EXPECT_EQ("", Show(doc.QueryAttr(X("x").c_str())));
}

struct ContentCase {
    const char *pszText;
    const char *pszContent;
};

class XmlReadContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(XmlReadContent, OfTheRoot)
{
    const ContentCase &c = GetParam();
    CXmlDocument doc(X(c.pszText).c_str());
    ASSERT_TRUE(Seek(doc, nullptr));
    EXPECT_EQ(c.pszContent, Show(doc.ReadContent())) << c.pszText;
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlReadContent,
    ::testing::Values(ContentCase{"<a>x &amp; y</a>", "x & y"}, ContentCase{"<a/>", ""},
                      ContentCase{"<a></a>", ""}, ContentCase{"<a>t<b/>u</a>", ""},
                      ContentCase{"<a>1<![CDATA[<&amp;>]]>2&lt;</a>", "1<&amp;>2<"},
                      ContentCase{"<a>x<!-- c -->y<?p i?>z</a>", "xyz"},
                      ContentCase{"<a><![CDATA[a]]]]><![CDATA[>b]]></a>", "a]]>b"},
                      ContentCase{"<a>x", ""}));

// The sign-data reader's pattern: two absolute lookups, then the fields.
TEST(XmlSignData, TradeTypeAndFields)
{
    CXmlDocument doc(X("<?xml version=\"1.0\"?>\r\n<SignData>\r\n"
                       "<TradeType name=\"Transfer\"/>\r\n<Fields>\r\n"
                       "<Field name=\"Payee\">Alice</Field>\r\n"
                       "<Field name=\"\">skipped</Field>\r\n"
                       "<Field name=\"Amount\">1&lt;2</Field>\r\n"
                       "</Fields>\r\n</SignData>")
                         .c_str());
    ASSERT_TRUE(doc.IsWellFormed());
    ASSERT_TRUE(Seek(doc, "/SignData/TradeType"));
    EXPECT_EQ("Transfer", Show(doc.QueryAttr(X("name").c_str())));
    ASSERT_TRUE(Seek(doc, "/SignData/Fields"));
    ASSERT_TRUE(doc.DescendLevel());
    std::vector<std::string> lines;
    for (int i = 0; i < 10 && Seek(doc, nullptr); ++i) {
        const std::string strName = Show(doc.QueryAttr(X("name").c_str()));
        const std::string strValue = Show(doc.ReadContent());
        if (!strName.empty() && !strValue.empty())
            lines.push_back(strName + strValue);
    }
    EXPECT_TRUE(doc.AscendLevel());
    EXPECT_EQ((std::vector<std::string>{"PayeeAlice", "Amount1<2"}), lines);
}

TEST(XmlTagName, FirstTokenOfTheStartTag)
{
    CXmlDocument doc(X("<ns:a x='1'><b/></ns:a>").c_str());
    EXPECT_EQ("", Show(doc.TagNameAt(0)));
    EXPECT_EQ("ns:a", Show(doc.TagNameAt(1)));
    EXPECT_EQ("b", Show(doc.TagNameAt(2)));
}

TEST(XmlSeek, RefusedWhileWriting)
{
    CXmlDocument doc(X("<a/>").c_str());
    doc.SetFlags(XMLDOC_WRITING);
    EXPECT_FALSE(Seek(doc, "/a"));
    EXPECT_FALSE(Seek(doc, nullptr));
}

} // namespace
