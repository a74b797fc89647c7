// XmlEditTest.cpp
//
// Attribute and element edits, and copying. After every edit the index is
// checked against its invariants and against a fresh parse of the new text.
#include <gtest/gtest.h>

#include <string>

#include "XmlDocument.h"
#include "XmlTestText.h"
#include "XmlTreeCheck.h"

namespace {

const std::string CRLF = "\\u000D\\u000A"; // as Show() prints it

struct StoreCase {
    const char *pszText;
    const char *pszPath;
    const char *pszName;
    const char *pszValue;
    std::uint32_t dwFlags;
    const char *pszExpected;
};

class XmlStoreAttr : public ::testing::TestWithParam<StoreCase> {};

TEST_P(XmlStoreAttr, EditsTheStartTag)
{
    const StoreCase &c = GetParam();
    CXmlDocument doc(X(c.pszText).c_str());
    ASSERT_TRUE(doc.SeekElement(X(c.pszPath).c_str()));
    ASSERT_TRUE(doc.StoreAttr(X(c.pszName).c_str(), X(c.pszValue).c_str(), c.dwFlags));
    EXPECT_EQ(c.pszExpected, Show(doc.GetText()));
    EXPECT_EQ("", CheckXmlTree(doc));
    EXPECT_EQ("", CompareWithReparse(doc));
    if (!(c.dwFlags & XMLESC_KEEP_REFS)) {
        EXPECT_EQ(c.pszValue, Show(doc.QueryAttr(X(c.pszName).c_str())));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlStoreAttr,
    ::testing::Values(
        StoreCase{"<r><a x='1'/><b/></r>", "/r/a", "x", "2", 0, "<r><a x=\"2\"/><b/></r>"},
        StoreCase{"<r><a x=1 y=2/></r>", "/r/a", "x", "10", 0, "<r><a x=\"10\" y=2/></r>"},
        StoreCase{"<r><a /><b/></r>", "/r/a", "x", "1", 0, "<r><a x=\"1\" /><b/></r>"},
        StoreCase{"<r><a>t</a><b/></r>", "/r/a", "x", "q\"", 0,
                  "<r><a x=\"q&quot;\">t</a><b/></r>"},
        StoreCase{"<r x='1'><a/></r>", "/r", "y", "<&>", 0, "<r x='1' y=\"&lt;&amp;&gt;\"><a/></r>"},
        StoreCase{"<r><a checked/></r>", "/r/a", "checked", "yes", 0,
                  "<r><a checked=\"yes\"/></r>"},
        // The value of another attribute is not taken for the name.
        StoreCase{"<r><a x=\"y\"/></r>", "/r/a", "y", "1", 0, "<r><a x=\"y\" y=\"1\"/></r>"},
        StoreCase{"<r><a/></r>", "/r/a", "x", "&amp;", XMLESC_KEEP_REFS,
                  "<r><a x=\"&amp;\"/></r>"}));

TEST(XmlStoreAttr, IntegerAndRefusals)
{
    CXmlDocument doc(X("<r><a/></r>").c_str());
    EXPECT_FALSE(doc.StoreAttr(X("x").c_str(), 1)); // no current element
    ASSERT_TRUE(doc.SeekElement(X("/r/a").c_str()));
    ASSERT_TRUE(doc.StoreAttr(X("n").c_str(), -42));
    EXPECT_EQ("<r><a n=\"-42\"/></r>", Show(doc.GetText()));
    doc.SetFlags(XMLDOC_READING);
    EXPECT_FALSE(doc.StoreAttr(X("n").c_str(), 1));
    EXPECT_FALSE(doc.InsertElementAfter(X("z").c_str(), nullptr));
    EXPECT_EQ("<r><a n=\"-42\"/></r>", Show(doc.GetText()));
}

struct InsertCase {
    const char *pszName;
    const char *pszText;
    const char *pszPath; // null: stay at the document level
    bool bDescend;
    const char *pszValue;
    std::uint32_t dwFlags;
    std::string strExpected;
};

class XmlInsert : public ::testing::TestWithParam<InsertCase> {};

TEST_P(XmlInsert, PlacesTheElement)
{
    const InsertCase &c = GetParam();
    CXmlDocument doc(X(c.pszText).c_str());
    if (c.pszPath) {
        ASSERT_TRUE(doc.SeekElement(X(c.pszPath).c_str()));
    }
    if (c.bDescend) {
        ASSERT_TRUE(doc.DescendLevel());
    }
    ASSERT_TRUE(doc.InsertElementAfter(X("n").c_str(), c.pszValue ? X(c.pszValue).c_str() : nullptr,
                                       c.dwFlags));
    EXPECT_EQ(c.strExpected, Show(doc.GetText()));
    EXPECT_EQ("", CheckXmlTree(doc));
    EXPECT_EQ("", CompareWithReparse(doc));
    // The new element is current (with XMLINS_CHILD, the remembered child).
    if (c.dwFlags & XMLINS_CHILD) {
        ASSERT_TRUE(doc.DescendLevel());
    }
    EXPECT_EQ("n", Show(doc.TagNameAt(doc.CurrentPosition())));
    if (c.pszValue) {
        EXPECT_EQ(c.pszValue, Show(doc.ReadContent()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, XmlInsert,
    ::testing::Values(
        InsertCase{"IntoLinedParent", "<root>\r\n</root>", "/root", true, nullptr, 0,
                   "<root>" + CRLF + "<n/>" + CRLF + "</root>"},
        InsertCase{"IntoEmptyParent", "<p></p>", "/p", true, nullptr, 0,
                   "<p>" + CRLF + "<n/>" + CRLF + "</p>"},
        InsertCase{"OpensEmptyElement", "<r><p/></r>", "/r/p", true, nullptr, 0,
                   "<r><p>" + CRLF + "<n/>" + CRLF + "</p></r>"},
        InsertCase{"OpensEmptyElementSpaced", "<r><p x='1' /></r>", "/r/p", true, "v",
                   XMLINS_NO_BREAKS, "<r><p x='1' ><n>v</n></p></r>"},
        InsertCase{"OpensStartOnly", "<p><q/>", "/p", true, nullptr, XMLINS_NO_BREAKS,
                   "<p><n/></p><q/>"},
        InsertCase{"AfterCurrent", "<r>\r\n<a/>\r\n<b/>\r\n</r>", "/r/a", false, "1<2", 0,
                   "<r>" + CRLF + "<a/>" + CRLF + "<n>1&lt;2</n>" + CRLF + "<b/>" + CRLF +
                       "</r>"},
        InsertCase{"BeforeCurrent", "<r><a/><b/></r>", "/r/b", false, nullptr,
                   XMLINS_BEFORE | XMLINS_SPACE_EMPTY, "<r><a/><n />" + CRLF + "<b/></r>"},
        InsertCase{"BeforeFirst", "<r><a/></r>", "/r/a", false, nullptr,
                   XMLINS_BEFORE | XMLINS_NO_BREAKS, "<r><n/><a/></r>"},
        InsertCase{"FirstInParent", "<r>\r\n<a/></r>", "/r", true, nullptr, XMLINS_BEFORE,
                   "<r>" + CRLF + "<n/>" + CRLF + "<a/></r>"},
        InsertCase{"AsChild", "<r><a>t</a></r>", "/r", false, nullptr,
                   XMLINS_CHILD | XMLINS_NO_BREAKS, "<r><a>t</a><n/></r>"},
        InsertCase{"StartOnly", "<r></r>", "/r", true, nullptr,
                   XMLINS_START_ONLY | XMLINS_NO_BREAKS, "<r><n></r>"},
        InsertCase{"Cdata", "<r/>", "/r", true, "a]]>b]]>", XMLINS_CDATA | XMLINS_NO_BREAKS,
                   "<r><n><![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>]]></n></r>"},
        InsertCase{"DocumentStart", "<r/>", nullptr, false, nullptr, XMLINS_BEFORE,
                   "<n/>" + CRLF + "<r/>"},
        InsertCase{"NestedAncestorsGrow", "<r><s><t></t></s><u/></r>", "/r/s/t", true, "x",
                   XMLINS_NO_BREAKS, "<r><s><t><n>x</n></t></s><u/></r>"}),
    [](const ::testing::TestParamInfo<InsertCase> &info) {
        return std::string(info.param.pszName);
    });

TEST(XmlInsert, RefusesBadArguments)
{
    CXmlDocument doc(X("<r/>").c_str());
    EXPECT_FALSE(doc.InsertElementAfter(X("n").c_str(), nullptr, XMLINS_CHILD)); // no current
    ASSERT_TRUE(doc.SeekElement(X("/r").c_str()));
    EXPECT_FALSE(doc.InsertElementAfter(X("n").c_str(), X("v").c_str(), XMLINS_START_ONLY));
    EXPECT_FALSE(doc.InsertElementAfter(X("a b").c_str(), nullptr));
    EXPECT_FALSE(doc.InsertElementAfter(X("1a").c_str(), nullptr));
    EXPECT_FALSE(doc.InsertElementAfter(X("").c_str(), nullptr));
    EXPECT_EQ("<r/>", Show(doc.GetText()));
}

TEST(XmlInsert, ManyEditsKeepTheIndex)
{
    CXmlDocument doc(X("<root>\r\n</root>").c_str());
    ASSERT_TRUE(doc.SeekElement(X("/root").c_str()));
    ASSERT_TRUE(doc.DescendLevel());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(doc.InsertElementAfter(X("Device").c_str(), nullptr));
        ASSERT_TRUE(doc.StoreAttr(X("n").c_str(), i));
        if (i % 3 == 0) {
            ASSERT_TRUE(doc.InsertElementAfter(X("Path").c_str(), X("p").c_str(), XMLINS_CHILD));
        }
    }
    EXPECT_EQ("", CheckXmlTree(doc));
    EXPECT_EQ("", CompareWithReparse(doc));
    EXPECT_TRUE(doc.IsWellFormed());
}

TEST(XmlCopy, CopiesTextIndexAndPositions)
{
    CXmlDocument from(X("<r><a x='1'/><b/></r>").c_str());
    ASSERT_TRUE(from.SeekElement(X("/r/a").c_str()));
    CXmlDocument to(X("<other/>").c_str());
    to.CopyFrom(from);
    EXPECT_EQ("<r><a x='1'/><b/></r>", Show(to.GetText()));
    EXPECT_EQ("1", Show(to.QueryAttr(X("x").c_str())));
    EXPECT_TRUE(to.SeekElement(X("b").c_str()));
    EXPECT_EQ("", CheckXmlTree(to));
}

TEST(XmlCopy, OntoItselfChangesNothing)
{
    CXmlDocument doc(X("<r><a x='1'/></r>").c_str());
    ASSERT_TRUE(doc.SeekElement(X("/r/a").c_str()));
    doc.CopyFrom(doc);
    EXPECT_EQ("<r><a x='1'/></r>", Show(doc.GetText()));
    EXPECT_EQ(3u, doc.PositionCount());
    EXPECT_EQ("1", Show(doc.QueryAttr(X("x").c_str())));
    EXPECT_EQ("", CheckXmlTree(doc));
}

TEST(XmlCopy, NothingDuringAFileOperation)
{
    CXmlDocument from(X("<r/>").c_str());
    CXmlDocument to(X("<t/>").c_str());
    from.SetFlags(XMLDOC_WRITING);
    to.CopyFrom(from);
    EXPECT_EQ("<t/>", Show(to.GetText()));
    from.SetFlags(0);
    to.SetFlags(XMLDOC_READING);
    to.CopyFrom(from);
    EXPECT_EQ("<t/>", Show(to.GetText()));
}

} // namespace
