// TraceFormatTest.cpp
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "CaseName.h"
#include "TraceFormat.h"

namespace {

std::string Format(const char *pszFormat, ...)
{
    char szText[TRACE_TEXT_AREA];
    va_list args;
    va_start(args, pszFormat);
    TraceFormatText(szText, pszFormat, args);
    va_end(args);
    return szText;
}

TEST(TraceFormatText, FormatsWithPrintfRules)
{
    EXPECT_EQ("CKQCard::ChangePin ReadBinary Faied,dwRet=[0x8010001F]",
              Format("CKQCard::ChangePin ReadBinary Faied,dwRet=[0x%08X]", 0x8010001Fu));
}

TEST(TraceFormatText, CutsLongTextAt4095Characters)
{
    std::string strLong(5000, 'x');
    strLong[4094] = 'A';
    strLong[4095] = 'B';
    std::string strOut = Format("%s", strLong.c_str());
    ASSERT_EQ(4095u, strOut.size());
    EXPECT_EQ('A', strOut.back());
}

struct HexHeadCase {
    const char *pszName;
    const char *pszClass;
    const char *pszMethod;
    const char *pszDataName;
    const char *pszExpected;
};

class HexHead : public ::testing::TestWithParam<HexHeadCase> {};

TEST_P(HexHead, HasTheShapeOfItsNames)
{
    const HexHeadCase &c = GetParam();
    char szHead[TRACE_HEX_HEAD_AREA];
    TraceFormatHexHead(szHead, c.pszClass, c.pszMethod, c.pszDataName);
    EXPECT_STREQ(c.pszExpected, szHead);
}

INSTANTIATE_TEST_SUITE_P(
    AllShapes, HexHead,
    ::testing::Values(HexHeadCase{"ClassAndData", "CHidManager", "Transmit", "obuffer",
                                  "CHidManager::Transmit obuffer="},
                      HexHeadCase{"ClassOnly", "CHidManager", "Transmit", nullptr, "CHidManager::Transmit "},
                      HexHeadCase{"DataOnly", nullptr, "Transmit", "ibuffer", "[Transmit] ibuffer="},
                      HexHeadCase{"Neither", nullptr, "Transmit", nullptr, "[Transmit] "}),
    CaseName());

TEST(HexHeadArea, LongNamesAreCutInsideTheArea)
{
    std::string strLong(2000, 'n');
    char szHead[TRACE_HEX_HEAD_AREA + 16];
    std::memset(szHead, 0x7F, sizeof(szHead));
    TraceFormatHexHead(szHead, strLong.c_str(), strLong.c_str(), strLong.c_str());
    EXPECT_EQ(TRACE_HEX_HEAD_AREA - 1, std::strlen(szHead));
    for (std::size_t i = TRACE_HEX_HEAD_AREA; i < sizeof(szHead); ++i)
        EXPECT_EQ(0x7F, static_cast<unsigned char>(szHead[i]));
}

TEST(HexDigits, AreUpperCaseWithoutSeparator)
{
    const KQBYTE abData[] = {0x00, 0x1F, 0xA0};
    std::string strLine("CHidManager::Transmit obuffer=");
    TraceAppendHex(strLine, abData, sizeof(abData));
    EXPECT_EQ("CHidManager::Transmit obuffer=001FA0", strLine);
}

TEST(MaskedHexLine, ShowsHeaderAndLengthButNoData)
{
    // VERIFY with PIN "123456": header 00 20 00 00 06, then the PIN.
    const KQBYTE abApdu[] = {0x00, 0x20, 0x00, 0x00, 0x06, '1', '2', '3', '4', '5', '6'};
    std::string strLine = TraceMaskedHexLine("[Transmit] apdu=", abApdu, sizeof(abApdu), 5);
    EXPECT_EQ("[Transmit] apdu=0020000006[6 bytes masked]", strLine);
    EXPECT_EQ(std::string::npos, strLine.find("313233"));
}

TEST(MaskedHexLine, VisiblePartLongerThanDataShowsAllWithoutMask)
{
    const KQBYTE abData[] = {0x84, 0xB0};
    EXPECT_EQ("h=84B0", TraceMaskedHexLine("h=", abData, sizeof(abData), 5));
}

struct SourcePathCase {
    const char *pszName;
    const char *pszPath;
    const char *pszExpected;  // null: nothing to write
};

class SourceFileName : public ::testing::TestWithParam<SourcePathCase> {};

TEST_P(SourceFileName, IsThePartAfterTheLastSeparator)
{
    const char *pszName = TraceSourceFileName(GetParam().pszPath);
    if (GetParam().pszExpected == nullptr)
        EXPECT_EQ(nullptr, pszName);
    else
        EXPECT_STREQ(GetParam().pszExpected, pszName);
}

INSTANTIATE_TEST_SUITE_P(
    Separators, SourceFileName,
    ::testing::Values(SourcePathCase{"Backslashes", "d:\\src\\token\\Corlisk.cpp", "Corlisk.cpp"},
                      SourcePathCase{"Slashes", "/work/main/token/Corlisk.cpp", "Corlisk.cpp"},
                      SourcePathCase{"Mixed", "C:\\mixed/dir\\BMPThread.cpp", "BMPThread.cpp"},
                      SourcePathCase{"NoSeparator", "Corlisk.cpp", nullptr},
                      SourcePathCase{"NullPath", nullptr, nullptr}),
    CaseName());

TEST(ExceptionReport, HasTheReportLayout)
{
    char szReport[TRACE_EXCEPTION_AREA];
    TraceFormatExceptionReport(szReport, "Corlisk.cpp", 412,
                               "CKQCard::ChangePin Catch an Exception,GetLastError=[5]");
    EXPECT_STREQ("File Corlisk.cpp Catch an Exception,line:412\r\nDetail=\r\n{\r\n\t"
                 "CKQCard::ChangePin Catch an Exception,GetLastError=[5]\r\n}",
                 szReport);
}

TEST(ExceptionReport, LongTextStaysInsideTheArea)
{
    std::string strText(TRACE_TEXT_AREA - 1, 't');
    std::string strFile(300, 'f');
    char szReport[TRACE_EXCEPTION_AREA];
    TraceFormatExceptionReport(szReport, strFile.c_str(), 1, strText.c_str());
    EXPECT_EQ(TRACE_EXCEPTION_AREA - 1, std::strlen(szReport));
}

}  // namespace
