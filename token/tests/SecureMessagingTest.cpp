// SecureMessagingTest.cpp
//
// The secure-messaging wrapping and unwrapping without Windows, against the
// independent libcrypto computation, and with answers a broken or hostile
// token could send.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "CaseName.h"
#include "SecureMessaging.h"
#include "SmReference.h"

namespace {

const KQBYTE kKey[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                         0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
const smref::Bytes kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const smref::Bytes kHeader = {0x84, 0xD6, 0x00, 0x80};

// libcrypto under the test key, with a switch that makes it refuse.
class EvpCipher : public CSmCipher {
public:
    bool Ecb(bool fEncrypt, KQBYTE *pbData, KQDWORD dwLen) override
    {
        ++m_nCalls;
        if (m_bFail || dwLen % 8 != 0)
            return false;
        const smref::Bytes out = smref::Tdes(fEncrypt, kKey, nullptr, smref::Bytes(pbData, pbData + dwLen));
        std::memcpy(pbData, out.data(), dwLen);
        return true;
    }
    bool Cbc(KQBYTE *pbData, KQDWORD dwLen, const KQBYTE *pbIv) override
    {
        ++m_nCalls;
        if (m_bFail || dwLen % 8 != 0)
            return false;
        const smref::Bytes out = smref::Tdes(true, kKey, pbIv, smref::Bytes(pbData, pbData + dwLen));
        std::memcpy(pbData, out.data(), dwLen);
        return true;
    }
    bool m_bFail = false;
    int m_nCalls = 0;
};

smref::Bytes Data(std::size_t n)
{
    smref::Bytes data(n);
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<KQBYTE>(0x30 + i * 7);
    return data;
}

struct PlainBlockCase {
    const char *pszName;
    KQDWORD dwLen;
    std::size_t nBlock;
    int nPadAt;  // index of the 80 byte, -1 when none
};

class PlainBlock : public ::testing::TestWithParam<PlainBlockCase> {};

TEST_P(PlainBlock, HasTheLengthByteDataAndPadding)
{
    const PlainBlockCase &c = GetParam();
    const smref::Bytes data = Data(c.dwLen);
    std::vector<KQBYTE> block;
    ASSERT_TRUE(SmBuildPlainBlock(data.data(), c.dwLen, block));
    ASSERT_EQ(c.nBlock, block.size());
    EXPECT_EQ(c.dwLen, block[0]);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin() + 1));
    for (std::size_t i = 1 + c.dwLen; i < block.size(); ++i)
        EXPECT_EQ(static_cast<int>(i) == c.nPadAt ? 0x80 : 0x00, block[i]) << "byte " << i;
    if (c.nPadAt < 0) {
        EXPECT_EQ(1 + c.dwLen, block.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PlainBlock,
    ::testing::Values(PlainBlockCase{"Empty", 0, 8, 1}, PlainBlockCase{"Six", 6, 8, 7},
                      PlainBlockCase{"SevenFillsOneBlockUnpadded", 7, 8, -1},
                      PlainBlockCase{"EightNeedsASecondBlock", 8, 16, 9},
                      PlainBlockCase{"FifteenFillsTwoBlocks", 15, 16, -1},
                      PlainBlockCase{"Max", 255, 256, -1}),
    CaseName());

TEST(SecureMessagingWrap, BodyOfSixteenBytesGetsAWholeMacBlock)
{
    const smref::Bytes body(16, 0x42);
    const std::vector<KQBYTE> input = SmMacInput(body);
    ASSERT_EQ(24u, input.size());
    EXPECT_EQ((smref::Bytes{0x80, 0, 0, 0, 0, 0, 0, 0}), smref::Bytes(input.begin() + 16, input.end()));
    // 21 bytes: body, 80, two zeros.
    EXPECT_EQ(24u, SmMacInput(smref::Bytes(21, 1)).size());
    EXPECT_EQ(0x80, SmMacInput(smref::Bytes(21, 1))[21]);
}

struct WrapCase {
    const char *pszName;
    KQDWORD dwLen;
    std::size_t nWrapped;
};

class WrapKnownAnswer : public ::testing::TestWithParam<WrapCase> {};

TEST_P(WrapKnownAnswer, MatchesTheIndependentComputation)
{
    const WrapCase &c = GetParam();
    const smref::Bytes data = Data(c.dwLen);
    EvpCipher cipher;
    std::vector<KQBYTE> wrapped;
    ASSERT_EQ(SM_WRAP_OK, SmWrapCommand(cipher, kHeader.data(), 4, data.data(), c.dwLen,
                                        kChallenge.data(), 8, wrapped));
    EXPECT_EQ(c.nWrapped, wrapped.size());
    EXPECT_EQ(c.nWrapped, SmWrappedLength(4, c.dwLen));
    EXPECT_EQ(smref::Wrap(kKey, kHeader, data, kChallenge), wrapped);
    EXPECT_EQ(wrapped.size() - 5, wrapped[4]);  // Lc: block and MAC
}

INSTANTIATE_TEST_SUITE_P(Lengths, WrapKnownAnswer,
                         ::testing::Values(WrapCase{"Empty", 0, 17}, WrapCase{"Six", 6, 17},
                                           WrapCase{"Seven", 7, 17}, WrapCase{"Eight", 8, 25},
                                           WrapCase{"Fifteen", 15, 25},
                                           WrapCase{"Chunk", 128, 145},
                                           WrapCase{"Longest", 239, 249}),
                         CaseName());

TEST(SecureMessagingWrap, RefusesBadChallengeLongDataAndAFailingCipher)
{
    const smref::Bytes data = Data(16);
    EvpCipher cipher;
    std::vector<KQBYTE> wrapped = {1, 2, 3};
    EXPECT_EQ(SM_WRAP_BAD_CHALLENGE,
              SmWrapCommand(cipher, kHeader.data(), 4, data.data(), 16, kChallenge.data(), 7, wrapped));
    EXPECT_TRUE(wrapped.empty());
    EXPECT_EQ(0, cipher.m_nCalls);

    // 256 data bytes cannot be stated in the length byte.
    const smref::Bytes big = Data(256);
    EXPECT_EQ(SM_WRAP_BAD_LENGTH, SmWrapCommand(cipher, kHeader.data(), 4, big.data(), 256,
                                                kChallenge.data(), 8, wrapped));
    // A 252-byte block would need Lc 256.
    EXPECT_EQ(SM_WRAP_BAD_LENGTH, SmWrapCommand(cipher, kHeader.data(), 4, big.data(), 252,
                                                kChallenge.data(), 8, wrapped));

    cipher.m_bFail = true;
    EXPECT_EQ(SM_WRAP_CIPHER_FAILED, SmWrapCommand(cipher, kHeader.data(), 4, data.data(), 16,
                                                   kChallenge.data(), 8, wrapped));
    EXPECT_TRUE(wrapped.empty());
}

struct UnwrapCase {
    const char *pszName;
    smref::Bytes rawBlock;  // enciphered by the test, then 4 MAC bytes added
    int nCut;               // bytes removed from the end of the answer
    SmUnwrapResult eResult;
    smref::Bytes plain;
};

class Unwrap : public ::testing::TestWithParam<UnwrapCase> {};

TEST_P(Unwrap, TakesOnlyWhatTheBlockHolds)
{
    const UnwrapCase &c = GetParam();
    smref::Bytes answer = smref::EncipherAnswer(kKey, c.rawBlock);
    answer.resize(answer.size() - static_cast<std::size_t>(c.nCut));
    EvpCipher cipher;
    std::vector<KQBYTE> plain = {9, 9};
    EXPECT_EQ(c.eResult, SmUnwrapAnswer(cipher, answer.data(), static_cast<KQDWORD>(answer.size()), plain));
    EXPECT_EQ(c.plain, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Unwrap,
    ::testing::Values(
        UnwrapCase{"SixBytes", {6, 1, 2, 3, 4, 5, 6, 0x80}, 0, SM_UNWRAP_OK, {1, 2, 3, 4, 5, 6}},
        UnwrapCase{"LengthZeroGivesNoData", {0, 0x80, 0, 0, 0, 0, 0, 0}, 0, SM_UNWRAP_OK, {}},
        UnwrapCase{"FullBlock", {7, 1, 2, 3, 4, 5, 6, 7}, 0, SM_UNWRAP_OK, {1, 2, 3, 4, 5, 6, 7}},
        UnwrapCase{"LengthPastTheBlock", {8, 1, 2, 3, 4, 5, 6, 7}, 0, SM_UNWRAP_BAD_CONTENT, {}},
        UnwrapCase{"LengthFarPastTheBlock", {0xFF, 1, 2, 3, 4, 5, 6, 7}, 0, SM_UNWRAP_BAD_CONTENT, {}},
        UnwrapCase{"MacOnly", {7, 1, 2, 3, 4, 5, 6, 7}, 8, SM_UNWRAP_BAD_LENGTH, {}},
        UnwrapCase{"PartBlock", {7, 1, 2, 3, 4, 5, 6, 7}, 3, SM_UNWRAP_BAD_LENGTH, {}},
        UnwrapCase{"NoMac", {7, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0, 0, 0, 0}, 4,
                   SM_UNWRAP_BAD_LENGTH, {}}),
    CaseName());

TEST(SecureMessagingUnwrap, FailingCipherGivesNothing)
{
    const smref::Bytes answer = smref::EncipherAnswer(kKey, {3, 1, 2, 3, 0x80, 0, 0, 0});
    EvpCipher cipher;
    cipher.m_bFail = true;
    std::vector<KQBYTE> plain;
    EXPECT_EQ(SM_UNWRAP_CIPHER_FAILED, SmUnwrapAnswer(cipher, answer.data(), 12, plain));
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(SM_UNWRAP_BAD_LENGTH, SmUnwrapAnswer(cipher, nullptr, 12, plain));
}

}  // namespace
