// StatusWordTest.cpp
#include <gtest/gtest.h>

#include <cstdio>

#include "ResultCodes.h"
#include "StatusWord.h"

namespace {

struct StatusWordCase {
    KQBYTE bSw1;
    KQBYTE bSw2;
    KQDWORD dwExpected;
};

class StatusWordMapping : public ::testing::TestWithParam<StatusWordCase> {};

// "SW6A86" and the like.
std::string StatusWordName(const ::testing::TestParamInfo<StatusWordCase> &info)
{
    char szName[8];
    std::snprintf(szName, sizeof(szName), "SW%02X%02X", info.param.bSw1, info.param.bSw2);
    return szName;
}

TEST_P(StatusWordMapping, GivesTheTableResult)
{
    const StatusWordCase &c = GetParam();
    EXPECT_EQ(c.dwExpected, StatusWordToResult(c.bSw1, c.bSw2))
        << std::hex << "SW " << int(c.bSw1) << " " << int(c.bSw2);
}

INSTANTIATE_TEST_SUITE_P(
    Mapped, StatusWordMapping,
    ::testing::Values(StatusWordCase{0x90, 0x00, 0x00000000},
                      StatusWordCase{0x67, 0x00, 0x80100011},
                      StatusWordCase{0x69, 0x82, 0x8010006A},
                      StatusWordCase{0x69, 0x84, 0x8010006E},
                      StatusWordCase{0x69, 0x85, 0x80100027},
                      StatusWordCase{0x69, 0x86, 0x80100010},
                      StatusWordCase{0x6A, 0x81, 0x80100022},
                      StatusWordCase{0x6A, 0x82, 0x80100024},
                      StatusWordCase{0x6A, 0x86, 0x80100004}),
    StatusWordName);

// Words next to mapped ones, and the families the transport might pass on,
// are all the generic failure: the table matches exactly.
INSTANTIATE_TEST_SUITE_P(
    Unmapped, StatusWordMapping,
    ::testing::Values(StatusWordCase{0x61, 0x10, 0x8010001F},
                      StatusWordCase{0x6C, 0x08, 0x8010001F},
                      StatusWordCase{0x6A, 0x88, 0x8010001F},
                      StatusWordCase{0x62, 0x82, 0x8010001F},
                      StatusWordCase{0x6A, 0x80, 0x8010001F},
                      StatusWordCase{0x6A, 0x83, 0x8010001F},
                      StatusWordCase{0x6A, 0x84, 0x8010001F},
                      StatusWordCase{0x6D, 0x00, 0x8010001F},
                      StatusWordCase{0x6E, 0x00, 0x8010001F},
                      StatusWordCase{0x90, 0x01, 0x8010001F},
                      StatusWordCase{0x63, 0xC2, 0x8010001F},
                      StatusWordCase{0x00, 0x00, 0x8010001F}),
    StatusWordName);

}  // namespace
