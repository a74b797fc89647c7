// ContainerTextTest.cpp
//
// The container text taken apart into reader, keyset name and path, the
// case rule keyset paths are registered and counted by, and names read
// from a fixed field that need not hold a NUL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CaseName.h"
#include "Pavrel_ContainerText.h"

namespace {

struct TextCase {
    const char *pszName;
    const char *pszText;  // null: no container given
    const char *pszReader;
    const char *pszKeyset;
    const char *pszPath;
};

class ContainerText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ContainerText, SplitsIntoReaderKeysetAndPath)
{
    const TextCase &c = GetParam();
    Pavrel_ContainerText text(c.pszText);
    EXPECT_EQ(c.pszReader, text.getReaderName());
    EXPECT_EQ(c.pszKeyset, text.getKeysetName());
    EXPECT_EQ(c.pszPath, text.getKeysetPath());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ContainerText,
    ::testing::Values(
        TextCase{"ReaderAndName", "\\\\.\\Reader\\Name", "Reader", "Name", "Reader\\Name"},
        TextCase{"ReaderOnly", "\\\\.\\Reader", "Reader", "", "Reader"},
        TextCase{"ReaderWithBackslash", "\\\\.\\A\\B\\C", "A\\B", "C", "A\\B\\C"},
        TextCase{"NameOnly", "Name", "", "Name", "Name"},
        TextCase{"Null", nullptr, "", "", ""},
        TextCase{"Empty", "", "", "", ""},
        TextCase{"PrefixAlone", "\\\\.\\", "", "", ""},
        TextCase{"TrailingBackslash", "\\\\.\\Reader\\", "Reader", "", "Reader\\"},
        // Not the prefix: a name that merely holds backslashes.
        TextCase{"ShortPrefix", "\\\\Reader\\Name", "", "\\\\Reader\\Name", "\\\\Reader\\Name"},
        TextCase{"PrefixNotAtStart", "x\\\\.\\Reader", "", "x\\\\.\\Reader", "x\\\\.\\Reader"}),
    CaseName());

struct PathCase {
    const char *pszName;
    const char *pszA;
    const char *pszB;
    bool bSame;
};

class PathRule : public ::testing::TestWithParam<PathCase> {};

// The registry key and the record comparison must agree, or one keyset
// gets two counts.
TEST_P(PathRule, KeyAndComparisonAgree)
{
    const PathCase &c = GetParam();
    EXPECT_EQ(c.bSame, Pavrel_ContainerText::samePath(c.pszA, c.pszB));
    EXPECT_EQ(c.bSame, Pavrel_ContainerText::pathKey(c.pszA) == Pavrel_ContainerText::pathKey(c.pszB));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathRule,
    ::testing::Values(PathCase{"Equal", "abc", "abc", true},
                      PathCase{"CaseOnly", "Reader\\ABC", "reader\\abc", true},
                      PathCase{"Prefix", "abc", "abcd", false},
                      PathCase{"Different", "abc", "abd", false},
                      // Bytes above 0x7F are compared as they are.
                      PathCase{"HighBytes", "\xC4", "\xE4", false},
                      PathCase{"BracketNotLetter", "[", "{", false}),
    CaseName());

TEST(BoundedName, StopsAtTheNulOrTheFieldEnd)
{
    char field[8];
    std::memset(field, 'x', sizeof(field));
    EXPECT_EQ(std::string(8, 'x'), Pavrel_ContainerText::boundedName(field, sizeof(field)));
    std::memcpy(field, "ab\0cd", 5);
    EXPECT_EQ("ab", Pavrel_ContainerText::boundedName(field, sizeof(field)));
    field[0] = '\0';
    EXPECT_EQ("", Pavrel_ContainerText::boundedName(field, sizeof(field)));
}

}  // namespace
