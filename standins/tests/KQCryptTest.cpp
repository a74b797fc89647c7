// KQCryptTest.cpp
//
// The crypto stand-in's object through its own factory pair. Known answers
// were computed with the openssl command line.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "CaseName.h"
#include "OutsideInterfaces.h"
#include "TestPaths.h"

namespace {

class CryptObject : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hModule = LoadLibraryA(TestBinPath("KQCrypt.dll").c_str());
        ASSERT_NE(nullptr, m_hModule);
        m_pfnGet = KQGetProcAddress<PFN_CeiGetObject>(m_hModule, "CeiGetObject");
        m_pfnDestroy = KQGetProcAddress<PFN_CeiDestroyObject>(m_hModule, "CeiDestroyObject");
        ASSERT_TRUE(m_pfnGet && m_pfnDestroy);
        m_pObject = static_cast<IKQCryptObject *>(m_pfnGet(0));
        ASSERT_NE(nullptr, m_pObject);
    }
    void TearDown() override
    {
        if (m_pObject)
            m_pfnDestroy(m_pObject);
        FreeLibrary(m_hModule);
    }

    HMODULE m_hModule = nullptr;
    PFN_CeiGetObject m_pfnGet = nullptr;
    PFN_CeiDestroyObject m_pfnDestroy = nullptr;
    IKQCryptObject *m_pObject = nullptr;
};

const unsigned char kKey2[16] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                                 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F};

TEST_F(CryptObject, EcbKnownAnswerOfAPaddedBlock)
{
    unsigned char abData[8] = {0x80, 0, 0, 0, 0, 0, 0, 0};
    const unsigned char abExpected[8] = {0xD0, 0xF9, 0x22, 0xCD, 0xA8, 0x4C, 0x6A, 0x45};
    unsigned long ulOut = 0;
    EXPECT_EQ(0u, m_pObject->DES_ECB3_ENCRYPT(1, abData, &ulOut, 8, kKey2, 16));
    EXPECT_EQ(0, std::memcmp(abExpected, abData, 8));
    EXPECT_EQ(8u, ulOut);
}

TEST_F(CryptObject, OnlyTheArgumentOfTheGetterZeroMakesAnObject)
{
    EXPECT_EQ(nullptr, m_pfnGet(1));
}

struct BadArgumentCase {
    const char *pszName;
    unsigned long ulDataLen;
    unsigned long ulKeyLen;
    unsigned long ulIvLen;
};

class CryptBadArguments : public CryptObject,
                          public ::testing::WithParamInterface<BadArgumentCase> {};

TEST_P(CryptBadArguments, FailAndLeaveTheData)
{
    const BadArgumentCase &c = GetParam();
    unsigned char abKey[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char abIv[16] = {0};
    unsigned char abData[24];
    std::memset(abData, 0x5A, sizeof(abData));
    unsigned long ulOut = 0;
    EXPECT_NE(0u, m_pObject->DES_ECB3_ENCRYPT(1, abData, &ulOut, c.ulDataLen, abKey, c.ulKeyLen));
    EXPECT_NE(0u, m_pObject->DES_EDE3_CBC_ENCRYPT(abData, &ulOut, c.ulDataLen, abKey,
                                                  c.ulKeyLen, abIv, c.ulIvLen));
    for (unsigned char b : abData)
        EXPECT_EQ(0x5A, b);
}

INSTANTIATE_TEST_SUITE_P(Arguments, CryptBadArguments,
                         ::testing::Values(BadArgumentCase{"PartialBlock", 12, 16, 8},
                                           BadArgumentCase{"NoData", 0, 16, 8},
                                           BadArgumentCase{"ThreeKeyLongIv", 16, 24, 16},
                                           BadArgumentCase{"OneKeyShortIv", 16, 8, 4}),
                         CaseName());

}  // namespace
