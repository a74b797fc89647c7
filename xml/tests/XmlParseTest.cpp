// XmlParseTest.cpp
//
// The parser over the edge texts: records, well-formedness and tree shape,
// with the index invariants checked after every parse. Also the texts whose
// depth or tag lengths would overflow packed record fields, and the
// unsigned byte classes of the 8-bit build.
#include <gtest/gtest.h>

#include <string>

#include "XmlDocument.h"
#include "XmlTestText.h"
#include "XmlTreeCheck.h"

namespace {

struct ParseCase {
    const char *pszName;
    std::string strText;
    std::uint32_t dwFlags;
    bool bWellFormed;
    const char *pszResult; // the result string
    const char *pszShape;  // XmlShape of the tree
};

class XmlParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(XmlParse, RecordsAndTree)
{
    const ParseCase &c = GetParam();
    CXmlDocument doc;
    doc.SetFlags(c.dwFlags);
    EXPECT_EQ(c.bWellFormed, doc.TakeText(X(c.strText)));
    EXPECT_EQ(c.bWellFormed, doc.IsWellFormed());
    EXPECT_EQ(c.pszResult, Show(doc.GetResult()));
    EXPECT_EQ(c.pszShape, XmlShape(doc));
    EXPECT_EQ("", CheckXmlTree(doc));
    EXPECT_EQ(0u, doc.ParentPosition());
    EXPECT_EQ(0u, doc.CurrentPosition());
}

const ParseCase kParseCases[] = {
    {"Empty", "", 0, false, "", ""},
    {"NoTag", "just text", 0, false, "<no_root_element/>", ""},
    {"Simple", "<a><b/>text<c x='1'>y</c></a>", 0, true, "", "a{b c}"},
    {"Unended", "<a><b></a>", 0, false,
     "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"7\"/>", "a{b!}"},
    {"UnendedChildrenMoveOut", "<a><b><c/><d></d></a>", 0, false,
     "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"18\"/>", "a{b! c d}"},
    {"UnendedRunFlattens", "<r><a><x/><b><y/><c><z/></r>", 0, false,
     "<unended_start_tag tagname=\"c\" offset=\"17\" offset2=\"25\"/>"
     "<unended_start_tag tagname=\"b\" offset=\"10\" offset2=\"25\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"25\"/>",
     "r{a! x b! y c! z}"},
    {"UnendedKeepsEndedSubtree", "<r><a><b><c/></b></r>", 0, false,
     "<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"18\"/>", "r{a! b{c}}"},
    {"UnendedAtEnd", "<a><b><c/>", 0, false,
     "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"10\"/>"
     "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/><root_has_sibling/>",
     "a! b! c"},
    {"LoneEndTag", "</x><a/>", 0, false, "<lone_end_tag tagname=\"x\" offset=\"0\"/>", "a"},
    {"LoneEndTagInside", "<a></x></a>", 0, false, "<lone_end_tag tagname=\"x\" offset=\"3\"/>",
     "a"},
    {"RootHasSibling", "<a/><b/>", 0, false, "<root_has_sibling/>", "a b"},
    {"QuotedGreaterThan", "<a x='>'/>", 0, true, "", "a"},
    {"QuotedInEndTag", "<a></a x='>'>", 0, true, "", "a"},
    {"CaseFolded", "<A></a>", XMLDOC_IGNORE_CASE, true, "", "A"},
    {"CaseKept", "<A></a>", 0, false,
     "<lone_end_tag tagname=\"a\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"A\" offset=\"0\" offset2=\"7\"/>",
     "A!"},
    {"PrefixNameIsNoMatch", "<ab></a></ab>", 0, false, "<lone_end_tag tagname=\"a\" offset=\"4\"/>",
     "ab"},
    {"SlashEndsUnquotedValue", "<a x=1/><b/></a>", 0, true, "", "a{b}"},
    {"SlashAfterSpaceIsEmpty", "<r><a x=1 /><b/></r>", 0, true, "", "r{a b}"},
    {"SlashAfterQuoteIsEmpty", "<r><a x=1'/><b/></r>", 0, true, "", "r{a b}"},
    {"Prolog", "<?xml version=\"1.0\"?>\r\n<!DOCTYPE r [<!ELEMENT r ANY> <!-- c -->]>"
               "<!-- x --><r><![CDATA[<a>]]></r>",
     0, true, "", "r"},
    {"FirstTagSyntax", "<r><1></r>", 0, false, "<first_tag_syntax offset=\"3\"/>", "r"},
    {"ExclamationSyntax", "<r><!x></r>", 0, false, "<exclamation_tag_syntax offset=\"3\"/>", "r"},
    {"CommentSyntax", "<r><!-x></r>", 0, false, "<comment_tag_syntax offset=\"3\"/>", "r"},
    {"CdataSyntax", "<r><![x></r>", 0, false, "<cdata_section_syntax offset=\"3\"/>", "r"},
    {"DoctypeSyntax", "<!DOCTYPE r [<!X>]><r/>", 0, false, "<doctype_tag_syntax offset=\"0\"/>",
     "r"},
    {"UnterminatedStart", "<r><a x='1", 0, false,
     "<unterminated_tag_syntax type=\"start_tag\" offset=\"3\"/>"
     "<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"10\"/>",
     "r!"},
    {"UnterminatedComment", "<r/><!-- x", 0, false,
     "<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>", "r"},
    {"UnterminatedCdata", "<r/><![CDATA[x", 0, false,
     "<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>", "r"},
    {"UnterminatedPi", "<r/><?pi", 0, false,
     "<unterminated_tag_syntax type=\"processing_instruction\" offset=\"4\"/>", "r"},
    {"UnterminatedDoctype", "<r/><!DOCTYPE r [", 0, false,
     "<unterminated_tag_syntax type=\"document_type\" offset=\"4\"/>", "r"},
    {"LoneLessThan", "<r/><", 0, false, "<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>",
     "r"},
    {"NameWithQuoteIsEscaped", "<a\"b>", 0, false,
     "<unended_start_tag tagname=\"a&quot;b\" offset=\"0\" offset2=\"5\"/>", "a!"},
};

INSTANTIATE_TEST_SUITE_P(EdgeTexts, XmlParse, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase> &info) {
                             return std::string(info.param.pszName);
                         });

TEST(XmlParseErrors, MarkTheElementBeingFilledAndItsParentWhenUnended)
{
    CXmlDocument doc(X("<r><a><b><1></a></r>").c_str());
    EXPECT_EQ("", CheckXmlTree(doc));
    // The error met inside b moves to a when b is found unended.
    ASSERT_TRUE(doc.SeekElement(X("/r/a").c_str()));
    EXPECT_TRUE(doc.PositionAt(doc.CurrentPosition()).dwFlags & XMLPOS_INNER_ERROR);
    ASSERT_TRUE(doc.SeekElement(X("/r/a/b").c_str()));
    EXPECT_FALSE(doc.PositionAt(doc.CurrentPosition()).dwFlags & XMLPOS_INNER_ERROR);
    EXPECT_TRUE(doc.PositionAt(0).dwFlags & XMLPOS_ILL_FORMED);
}

TEST(XmlParseLimits, ResultStringStopsGrowingAtAboutAThousandCharacters)
{
    std::string strText = "<r>";
    for (int i = 0; i < 200; ++i)
        strText += "</x>";
    strText += "</r>";
    CXmlDocument doc(X(strText).c_str());
    EXPECT_GT(doc.GetResult().size(), 999u);
    EXPECT_LT(doc.GetResult().size(), 1100u);
    EXPECT_EQ("", CheckXmlTree(doc));
}

// Depths and tag lengths beyond what 16-bit levels, 22-bit start-tag and
// 10-bit end-tag fields could hold.
TEST(XmlParseLimits, DeepNestingKeepsEveryLevel)
{
    const int nDepth = 70000;
    std::string strText;
    for (int i = 0; i < nDepth; ++i)
        strText += "<a>";
    for (int i = 0; i < nDepth; ++i)
        strText += "</a>";
    CXmlDocument doc(X(strText).c_str());
    EXPECT_TRUE(doc.IsWellFormed());
    ASSERT_EQ(static_cast<std::uint32_t>(nDepth + 1), doc.PositionCount());
    EXPECT_EQ(static_cast<std::uint32_t>(nDepth - 1), doc.PositionAt(nDepth).dwLevel);
    EXPECT_EQ("", CheckXmlTree(doc));
}

TEST(XmlParseLimits, LongTagsKeepTheirLengths)
{
    const std::string strValue(5u << 20, 'v');
    const std::string strSpaces(3000, ' ');
    const std::string strText = "<a x='" + strValue + "'><b/></a" + strSpaces + ">";
    CXmlDocument doc(X(strText).c_str());
    EXPECT_TRUE(doc.IsWellFormed());
    const XmlPosition &a = doc.PositionAt(1);
    EXPECT_EQ(strValue.size() + 8, a.dwStartTagLen);
    EXPECT_EQ(strSpaces.size() + 4, a.dwEndTagLen);
    EXPECT_EQ(strText.size(), a.dwLength);
    EXPECT_EQ("", CheckXmlTree(doc));
    ASSERT_TRUE(doc.SeekElement(X("/a").c_str()));
    EXPECT_EQ(strValue.size(), doc.QueryAttr(X("x").c_str()).size());
}

// A megabyte of start tags: every element is found unended at the end of
// the text, in one run, and all of them end up at the document level.
TEST(XmlParseLimits, MegabyteOfUnendedStartTags)
{
    std::string strText;
    for (int i = 0; i < (1 << 20) / 3; ++i)
        strText += "<a>";
    CXmlDocument doc(X(strText).c_str());
    EXPECT_FALSE(doc.IsWellFormed());
    EXPECT_EQ(static_cast<std::uint32_t>(strText.size() / 3 + 1), doc.PositionCount());
    EXPECT_EQ("", CheckXmlTree(doc));
    const XmlPosition &last = doc.PositionAt(doc.PositionCount() - 1);
    EXPECT_EQ(0u, last.dwLevel);
    EXPECT_EQ(0u, last.dwParent);
}

// Positions 65535 and 65536 lie in different blocks; both stay readable.
TEST(XmlParseLimits, IndexAcrossTheFirstBlock)
{
    std::string strText = "<r>";
    for (int i = 0; i < 70000; ++i)
        strText += "<e/>";
    strText += "</r>";
    CXmlDocument doc(X(strText).c_str());
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_EQ(3u + 4u * 65533u, doc.PositionAt(65535).dwStart);
    EXPECT_EQ(3u + 4u * 65534u, doc.PositionAt(65536).dwStart);
    EXPECT_EQ("", CheckXmlTree(doc));
}

TEST(XmlParseText, NullTextEmptiesTheDocument)
{
    CXmlDocument doc(X("<a/>").c_str());
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_FALSE(doc.TakeText(nullptr));
    EXPECT_TRUE(doc.GetText().empty());
    EXPECT_EQ(1u, doc.PositionCount());
    EXPECT_EQ("", CheckXmlTree(doc));
}

TEST(XmlParseText, RefusedDuringAFileOperation)
{
    for (std::uint32_t dwFlag : {XMLDOC_READING, XMLDOC_WRITING}) {
        CXmlDocument doc(X("<a/>").c_str());
        doc.SetFlags(dwFlag);
        EXPECT_FALSE(doc.TakeText(X("<b/>").c_str()));
        EXPECT_EQ("<a/>", Show(doc.GetText()));
    }
}

#ifdef KQ_XML_CHAR8
// Bytes above 127 (GBK names) start a tag name like letters do.
TEST(XmlParseBytes, HighBytesAreNameCharacters)
{
    const std::string strName = "\xC4\xFA";
    CXmlDocument doc(X("<" + strName + ">x</" + strName + ">").c_str());
    EXPECT_TRUE(doc.IsWellFormed()) << Show(doc.GetResult());
    EXPECT_EQ("", CheckXmlTree(doc));
    EXPECT_TRUE(doc.SeekElement(X("/" + strName).c_str()));
}
#endif

} // namespace
