// CardKeysTest.cpp
#include <gtest/gtest.h>

#include <cstring>

#include "CardKeys.h"
#include "CaseName.h"

namespace {

struct KeyRoutineCase {
    const char *pszName;
    bool (*pfnRoutine)(KQBYTE *, KQDWORD *);
};

class CardKeyRoutine : public ::testing::TestWithParam<KeyRoutineCase> {};

TEST_P(CardKeyRoutine, RefusesShortBufferAndLeavesItUntouched)
{
    KQBYTE abBuffer[32];
    std::memset(abBuffer, 0xEE, sizeof(abBuffer));
    KQDWORD dwLen = 15;
    EXPECT_FALSE(GetParam().pfnRoutine(abBuffer, &dwLen));
    EXPECT_EQ(15u, dwLen);
    for (KQBYTE b : abBuffer)
        EXPECT_EQ(0xEE, b);
    dwLen = 32;
    EXPECT_FALSE(GetParam().pfnRoutine(nullptr, &dwLen));
    EXPECT_FALSE(GetParam().pfnRoutine(abBuffer, nullptr));
}

TEST_P(CardKeyRoutine, WritesSixteenBytesIntoLargerBuffer)
{
    KQBYTE abBuffer[32];
    std::memset(abBuffer, 0xEE, sizeof(abBuffer));
    KQDWORD dwLen = 32;
    ASSERT_TRUE(GetParam().pfnRoutine(abBuffer, &dwLen));
    EXPECT_EQ(16u, dwLen);
    for (int i = 16; i < 32; ++i)
        EXPECT_EQ(0xEE, abBuffer[i]) << "byte " << i << " written past the key";
    // A key is not an untouched or all-zero buffer.
    KQBYTE abZero[16] = {0};
    EXPECT_NE(0, std::memcmp(abBuffer, abZero, 16));
}

INSTANTIATE_TEST_SUITE_P(Both, CardKeyRoutine,
                         ::testing::Values(KeyRoutineCase{"SmKey", &GetSmKey},
                                           KeyRoutineCase{"ExtAuthKey", &GetExtAuthKey}),
                         CaseName());

TEST(CardKeys, SecureMessagingAndExternalAuthenticationKeysDiffer)
{
    KQBYTE abSm[16], abExt[16];
    KQDWORD dwSm = 16, dwExt = 16;
    ASSERT_TRUE(GetSmKey(abSm, &dwSm));
    ASSERT_TRUE(GetExtAuthKey(abExt, &dwExt));
    EXPECT_NE(0, std::memcmp(abSm, abExt, 16));
}

}  // namespace
