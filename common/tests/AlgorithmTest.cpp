// AlgorithmTest.cpp
//
// CAlgorithm through the crypto stand-in. The vectors were computed with the
// openssl command line (des-ede-ecb / des-ede-cbc, -nopad), not with the code
// under test.
#include <gtest/gtest.h>

#include <cstring>

#include "Algorithm.h"
#include "CaseName.h"
#include "TestPaths.h"

namespace {

const BYTE kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                       0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
const BYTE kIv[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const BYTE kPlain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                         0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const BYTE kEcb[16] = {0x31, 0xA7, 0x36, 0x4C, 0xAC, 0x91, 0xCA, 0x39,
                       0xC0, 0x48, 0x9F, 0x69, 0xBE, 0xC5, 0x4F, 0xA2};
const BYTE kCbc[16] = {0x9E, 0x59, 0x07, 0x59, 0x9A, 0x42, 0xC0, 0xB1,
                       0x2F, 0x4F, 0xBE, 0x76, 0x4E, 0xF9, 0xBC, 0x22};

TEST(AlgorithmPath, NullPathIsRefused) { EXPECT_FALSE(CAlgorithm::LoadDLL(nullptr)); }

class AlgorithmWithPlugin : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("KQCrypt.dll").c_str()));
    }
};

TEST_F(AlgorithmWithPlugin, EcbEncryptsAndDecryptsInPlace)
{
    CAlgorithm algorithm;
    ASSERT_TRUE(algorithm.IsUsable());
    BYTE abData[16];
    std::memcpy(abData, kPlain, 16);
    DWORD dwOut = 0;
    EXPECT_TRUE(algorithm.DES_ECB3_ENCRYPT(1, abData, &dwOut, 16, kKey, 16));
    EXPECT_EQ(0, std::memcmp(kEcb, abData, 16));
    EXPECT_EQ(16u, dwOut);
    EXPECT_TRUE(algorithm.DES_ECB3_ENCRYPT(0, abData, &dwOut, 16, kKey, 16));
    EXPECT_EQ(0, std::memcmp(kPlain, abData, 16));
}

TEST_F(AlgorithmWithPlugin, CbcEncryptsWithTheVector)
{
    CAlgorithm algorithm;
    BYTE abData[16];
    std::memcpy(abData, kPlain, 16);
    DWORD dwOut = 0;
    EXPECT_TRUE(algorithm.DES_EDE3_CBC_ENCRYPT(abData, &dwOut, 16, kKey, 16, kIv, 8));
    EXPECT_EQ(0, std::memcmp(kCbc, abData, 16));
}

TEST_F(AlgorithmWithPlugin, EachObjectLoadsAndFreesThePlugin)
{
    std::string strPath = TestBinPath("KQCrypt.dll");
    {
        CAlgorithm algorithm;
        EXPECT_NE(nullptr, GetModuleHandleA(strPath.c_str()));
    }
    EXPECT_EQ(nullptr, GetModuleHandleA(strPath.c_str()));
}

// Without a crypto object the operations must fail and leave the data as it
// was: secure messaging must not go on with clear data.
struct MissingPluginCase {
    const char *pszName;
    const char *pszLibrary;
};

class AlgorithmWithoutObject : public ::testing::TestWithParam<MissingPluginCase> {};

TEST_P(AlgorithmWithoutObject, OperationsFailAndLeaveTheData)
{
    ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath(GetParam().pszLibrary).c_str()));
    CAlgorithm algorithm;
    EXPECT_FALSE(algorithm.IsUsable());
    BYTE abData[16];
    std::memcpy(abData, kPlain, 16);
    DWORD dwOut = 0;
    EXPECT_FALSE(algorithm.DES_ECB3_ENCRYPT(1, abData, &dwOut, 16, kKey, 16));
    EXPECT_FALSE(algorithm.DES_EDE3_CBC_ENCRYPT(abData, &dwOut, 16, kKey, 16, kIv, 8));
    EXPECT_EQ(0, std::memcmp(kPlain, abData, 16));
}

INSTANTIATE_TEST_SUITE_P(Plugins, AlgorithmWithoutObject,
                         ::testing::Values(MissingPluginCase{"MissingLibrary", "NoSuchCrypt.dll"},
                                           MissingPluginCase{"NoFactoryPair", "KQUKeyLog.dll"}),
                         CaseName());

}  // namespace
