// HidFramingTest.cpp
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "CaseName.h"
#include "HidFraming.h"

namespace {

std::vector<KQBYTE> Sequence(KQDWORD dwLength)
{
    std::vector<KQBYTE> data(dwLength);
    for (KQDWORD i = 0; i < dwLength; ++i)
        data[i] = static_cast<KQBYTE>(i * 7 + 1);
    return data;
}

struct RequestCase {
    const char *pszName;
    KQDWORD dwReportLength;
    KQDWORD dwRequestLength;
    std::size_t nReports;  // 0: refused
};

class RequestReports : public ::testing::TestWithParam<RequestCase> {};

// Every report has the layout of the wire format, the data slices add up to
// the request in order, and only the last report says no more follow.
TEST_P(RequestReports, CarryTheRequestInChunks)
{
    const RequestCase &c = GetParam();
    std::vector<KQBYTE> request = Sequence(c.dwRequestLength);
    std::vector<std::vector<KQBYTE>> reports;
    bool bBuilt = BuildRequestReports(c.dwReportLength, request.data(), c.dwRequestLength,
                                      HID_COMMAND_APDU, reports);
    if (c.nReports == 0) {
        EXPECT_FALSE(bBuilt);
        EXPECT_TRUE(reports.empty());
        return;
    }
    ASSERT_TRUE(bBuilt);
    ASSERT_EQ(c.nReports, reports.size());
    const KQDWORD dwChunk = c.dwReportLength - 9;
    std::vector<KQBYTE> carried;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const std::vector<KQBYTE> &r = reports[i];
        ASSERT_EQ(c.dwReportLength, r.size());
        const bool bLast = i + 1 == reports.size();
        const KQDWORD dwRemaining = c.dwRequestLength - static_cast<KQDWORD>(carried.size());
        const KQDWORD dwCount = (r[5] << 8) | r[6];
        EXPECT_EQ(3, r[0]);
        EXPECT_EQ(bLast ? 0 : 1, r[1]);
        EXPECT_EQ(0x0C, r[2]);
        EXPECT_EQ(dwRemaining, static_cast<KQDWORD>((r[3] << 8) | r[4]));
        EXPECT_EQ(0, r[7]);
        EXPECT_EQ(bLast ? dwRemaining : dwChunk, dwCount);
        carried.insert(carried.end(), r.begin() + 8, r.begin() + 8 + dwCount);
        for (std::size_t j = 8 + dwCount; j < r.size(); ++j)
            EXPECT_EQ(0, r[j]) << "report " << i << " byte " << j << " not zero-filled";
    }
    EXPECT_EQ(request, carried);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RequestReports,
    ::testing::Values(RequestCase{"R65_One", 65, 1, 1}, RequestCase{"R65_Chunk", 65, 56, 1},
                      RequestCase{"R65_ChunkPlusOne", 65, 57, 2},
                      RequestCase{"R65_TwoChunks", 65, 112, 2},
                      RequestCase{"R65_LargestApdu", 65, 256, 5},
                      RequestCase{"R65_TooLong", 65, 257, 0},
                      RequestCase{"R65_Empty", 65, 0, 0}, RequestCase{"R33_One", 33, 1, 1},
                      RequestCase{"R33_Chunk", 33, 24, 1},
                      RequestCase{"R33_ChunkPlusOne", 33, 25, 2},
                      RequestCase{"R33_TwoChunks", 33, 48, 2},
                      RequestCase{"R33_LargestApdu", 33, 256, 11},
                      RequestCase{"R33_TooLong", 33, 257, 0}, RequestCase{"R10_One", 10, 1, 1},
                      RequestCase{"R10_ChunkPlusOne", 10, 2, 2},
                      RequestCase{"R10_LargestApdu", 10, 256, 256},
                      RequestCase{"R9_NoRoomForData", 9, 1, 0}),
    CaseName());

// The two reports of a 57-byte request with R = 65, byte for byte.
TEST(RequestReportBytes, FiftySevenBytesInTwoReports)
{
    std::vector<KQBYTE> request = Sequence(57);
    std::vector<std::vector<KQBYTE>> reports;
    ASSERT_TRUE(BuildRequestReports(65, request.data(), 57, 0x0C, reports));
    ASSERT_EQ(2u, reports.size());
    const KQBYTE abHead1[] = {3, 1, 0x0C, 0x00, 0x39, 0x00, 0x38, 0};
    const KQBYTE abHead2[] = {3, 0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0};
    EXPECT_TRUE(std::equal(abHead1, abHead1 + 8, reports[0].begin()));
    EXPECT_TRUE(std::equal(abHead2, abHead2 + 8, reports[1].begin()));
    EXPECT_EQ(request[56], reports[1][8]);
}

std::vector<KQBYTE> AnswerReport(KQDWORD dwReportLength, KQBYTE bMore, KQBYTE bCount,
                                 KQBYTE bBusy, KQBYTE bFill)
{
    std::vector<KQBYTE> report(dwReportLength, 0);
    report[0] = bMore;
    report[1] = bCount;
    report[2] = bBusy;
    for (KQDWORD i = 8; i < dwReportLength; ++i)
        report[i] = bFill;
    return report;
}

TEST(AnswerReports, BusyReportAddsNothingEvenWithACount)
{
    std::vector<KQBYTE> answer;
    std::vector<KQBYTE> report = AnswerReport(65, 0, 20, 0xFF, 0xAB);
    EXPECT_EQ(HID_ANSWER_BUSY, TakeAnswerReport(report.data(), 65, answer));
    EXPECT_TRUE(answer.empty());
}

TEST(AnswerReports, CountAboveTheChunkContributesOneChunk)
{
    std::vector<KQBYTE> answer;
    std::vector<KQBYTE> report = AnswerReport(33, 1, 200, 0, 0x5C);
    EXPECT_EQ(HID_ANSWER_MORE, TakeAnswerReport(report.data(), 33, answer));
    EXPECT_EQ(std::vector<KQBYTE>(24, 0x5C), answer);
    report = AnswerReport(33, 0, 3, 0, 0x11);
    EXPECT_EQ(HID_ANSWER_LAST, TakeAnswerReport(report.data(), 33, answer));
    EXPECT_EQ(27u, answer.size());
}

TEST(ApduBody, WrapsUpTo253Bytes)
{
    std::vector<KQBYTE> apdu = Sequence(253), body;
    ASSERT_TRUE(WrapApdu(apdu.data(), 253, body));
    ASSERT_EQ(256u, body.size());
    EXPECT_EQ(0xA1, body[0]);
    EXPECT_EQ(0x00, body[1]);
    EXPECT_EQ(0xFD, body[2]);
    EXPECT_TRUE(std::equal(apdu.begin(), apdu.end(), body.begin() + 3));
    apdu.push_back(0);
    EXPECT_FALSE(WrapApdu(apdu.data(), 254, body));
    EXPECT_TRUE(body.empty());
    EXPECT_FALSE(WrapApdu(apdu.data(), 0, body));
}

struct UnwrapCase {
    const char *pszName;
    std::vector<KQBYTE> answer;
    HidUnwrapResult eResult;
    KQWORD wSw;
    KQDWORD dwDataLength;
};

class AnswerBody : public ::testing::TestWithParam<UnwrapCase> {};

TEST_P(AnswerBody, IsUnwrappedOrRefused)
{
    const UnwrapCase &c = GetParam();
    KQWORD wSw = 0;
    KQDWORD dwOffset = 0, dwDataLength = 0xFFFF;
    HidUnwrapResult eResult = UnwrapAnswer(c.answer.data(), static_cast<KQDWORD>(c.answer.size()),
                                           &wSw, &dwOffset, &dwDataLength);
    ASSERT_EQ(c.eResult, eResult);
    if (eResult != HID_UNWRAP_OK)
        return;
    EXPECT_EQ(c.wSw, wSw);
    EXPECT_EQ(3u, dwOffset);
    EXPECT_EQ(c.dwDataLength, dwDataLength);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, AnswerBody,
    ::testing::Values(
        UnwrapCase{"DataAndStatus", {0xA1, 0x00, 0x05, 0x3F, 0x00, 0x90, 0x00, 0x00},
                   HID_UNWRAP_OK, 0x9000, 2},
        UnwrapCase{"StatusOnly", {0xA1, 0x00, 0x03, 0x6A, 0x82, 0x00}, HID_UNWRAP_OK, 0x6A82, 0},
        // The status word comes from the end, wherever D points.
        UnwrapCase{"StatusFromTheEnd", {0x00, 0x00, 0x03, 0xEE, 0xEE, 0x63, 0xC2, 0x77},
                   HID_UNWRAP_OK, 0x63C2, 0},
        UnwrapCase{"Nothing", {}, HID_UNWRAP_SHORT, 0, 0},
        UnwrapCase{"TwoBytes", {0xA1, 0x00}, HID_UNWRAP_SHORT, 0, 0},
        UnwrapCase{"LengthZero", {0xA1, 0x00, 0x00, 0x90, 0x00, 0x00}, HID_UNWRAP_ZERO_LENGTH,
                   0, 0},
        UnwrapCase{"LengthOne", {0xA1, 0x00, 0x01, 0x90, 0x00, 0x00}, HID_UNWRAP_BAD_LENGTH, 0,
                   0},
        UnwrapCase{"LengthTwo", {0xA1, 0x00, 0x02, 0x90, 0x00, 0x00}, HID_UNWRAP_BAD_LENGTH, 0,
                   0},
        UnwrapCase{"LengthBeyondReceived", {0xA1, 0x01, 0x00, 0x90, 0x00, 0x00},
                   HID_UNWRAP_BAD_LENGTH, 0, 0}),
    CaseName());

}  // namespace
