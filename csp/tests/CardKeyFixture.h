// CardKeyFixture.h
//
// The card keys' tests share this fixture: a card access of its own per test
// whose card object is an RsaFakeCard holding an OpenSSL key (made once per
// size), and the card key opened on it. The trace stand-in is bound.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <map>
#include <memory>
#include <string>

#include "FakeCard.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_Hash.h"
#include "Pavrel_Key.h"
#include "Pavrel_RSAKeyInCard.h"
#include "RsaFakeCard.h"
#include "TestPaths.h"
#include "TraceWriter.h"

// An RSA key of the size, made once for the program.
inline EVP_PKEY *TestKey(unsigned int uBits)
{
    static std::map<unsigned int, EVP_PKEY *> keys;
    EVP_PKEY *&pKey = keys[uBits];
    if (pKey == nullptr)
        pKey = EVP_RSA_gen(uBits);
    return pKey;
}

class CardKeyFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(FakeCardFactory::Install(TestBinPath("Corlisk.dll")));
        FakeCardFactory::SetMaker([]() -> FakeCard * { return new RsaFakeCard(); });
        // Traced for real, so a test can look at what reached the trace.
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    }
    static void TearDownTestSuite()
    {
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        FakeCardFactory::SetMaker(nullptr);
    }

    void SetUp() override
    {
        static int nAccess = 0;
        m_pAccess = Pavrel_CardAccess::getCardInstance("cardkey" + std::to_string(++nAccess));
        ASSERT_NE(nullptr, m_pAccess);
        m_pAccess->AddRef();
        m_pCard = static_cast<RsaFakeCard *>(FakeCardFactory::Made().back());
        m_pCard->pKey = TestKey(1024);
    }
    void TearDown() override
    {
        if (m_pAccess)
            m_pAccess->Release();
    }

    // The container's key of the spec, opened through the factory.
    std::unique_ptr<Pavrel_Key> OpenKey(DWORD dwKeySpec = AT_SIGNATURE)
    {
        Pavrel_Key *pKey = nullptr;
        DWORD dwRet = Pavrel_Key::getUserKey(dwKeySpec, m_pAccess, "ctr", &pKey);
        EXPECT_EQ(0u, dwRet);
        return std::unique_ptr<Pavrel_Key>(pKey);
    }
    Pavrel_RSAKeyInCard *CardKey(const std::unique_ptr<Pavrel_Key> &pKey)
    {
        return static_cast<Pavrel_RSAKeyInCard *>(pKey.get());
    }

    Pavrel_CardAccess *m_pAccess = nullptr;
    RsaFakeCard *m_pCard = nullptr;
};
