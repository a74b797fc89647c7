// CorliskKeypadEmuTest.cpp
//
// Keypad entries through the emulator-bound library's card object, with the
// emulator's scripted holder typing: a password entered for an outside
// host's RSA key (imported with ImportRsaPubKey) comes back encrypted under
// that key and only so, and an entry that names no key gives the typed
// characters through the result record of slot 62.
#include <gtest/gtest.h>
#include <windows.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "CorliskOnEmulator.h"
#include "OutsideInterfaces.h"
#include "ResultCodes.h"
#include "RsaCheck.h"
#include "TestPaths.h"

namespace {

typedef std::vector<BYTE> Bytes;

const char kHostContainer[] = "PayHost-Terminal-07";

class CorliskKeypad : public CorliskOpenedToken {
protected:
    // Entry parameters: digits and Enter, up to 8 characters.
    static KEYINSTART_PARAM DigitsAndEnter(DWORD dwKeyKind, const char *pszContainer)
    {
        KEYINSTART_PARAM param = {};
        param.dwNumberMask = 0x3FF;
        param.dwSpecialMask = 0x02;  // key code 63, Enter
        param.dwMode = 3;
        param.pszContainer = pszContainer;
        param.dwKeyKind = dwKeyKind;
        param.dwReserved = 1;
        param.wMaxLen = 8;
        return param;
    }

    static const KEYINSTART_PARAM &DigitsAndEnterParam()
    {
        static const KEYINSTART_PARAM param = DigitsAndEnter(0, nullptr);
        return param;
    }

    // Starts the entry (its status word in *pnStartSw), has the holder type
    // the characters and Enter, and polls KeyIn until the Enter; the keys
    // the polls gave before it.
    std::string TypeEntry(const KEYINSTART_PARAM &param, const std::string &strChars,
                          int *pnStartSw = nullptr)
    {
        EXPECT_EQ(0u, m_pCard->KeyInStart(&param, pnStartSw));
        EXPECT_EQ("OK", m_env.m_emu.Control("user t1 type " + strChars));
        EXPECT_EQ("OK", m_env.m_emu.Control("user t1 press enter"));
        std::string strKeys;
        for (int i = 0; i < 100; ++i) {
            char cKey = 0;
            int nState = 0;
            EXPECT_EQ(0u, m_pCard->KeyIn(&cKey, &nState));
            EXPECT_EQ(0x9000, nState);
            if (cKey == '\r')
                return strKeys;
            if (cKey != 0)
                strKeys += cKey;
        }
        ADD_FAILURE() << "no Enter after " << strKeys;
        return strKeys;
    }
};

Bytes RsaDecrypt(EVP_PKEY *pKey, const BYTE *pbCipher, DWORD dwLen)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    size_t cbOut = 256;
    Bytes plain(cbOut);
    const bool bOk = pCtx != nullptr && EVP_PKEY_decrypt_init(pCtx) == 1 &&
                     EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) == 1 &&
                     EVP_PKEY_decrypt(pCtx, plain.data(), &cbOut, pbCipher, dwLen) == 1;
    EVP_PKEY_CTX_free(pCtx);
    EXPECT_TRUE(bOk);
    plain.resize(bOk ? cbOut : 0);
    return plain;
}

TEST_F(CorliskKeypad, PasswordForTheHostKeyComesBackEncryptedUnderIt)
{
    rsacheck::Pkey hostKey(EVP_RSA_gen(1024));
    ASSERT_TRUE(hostKey);
    BIGNUM *pN = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(hostKey.get(), OSSL_PKEY_PARAM_RSA_N, &pN));
    Bytes modulus(static_cast<size_t>(BN_num_bytes(pN)));
    BN_bn2bin(pN, modulus.data());
    BN_free(pN);
    ASSERT_EQ(128u, modulus.size());
    ASSERT_EQ(0u, m_pCard->ImportRsaPubKey(kHostContainer, 0x10001, modulus.data(),
                                           static_cast<DWORD>(modulus.size())));

    // The library finds the host key by its container name, whatever its case.
    const KEYINSTART_PARAM param = DigitsAndEnter(3, "payhost-TERMINAL-07");
    int nStartSw = 0;
    ASSERT_EQ("1234", TypeEntry(param, "1234", &nStartSw));
    EXPECT_EQ(0x9000, nStartSw);

    // The plain result is refused for an entry made for a key.
    KEYINEND_RESULT *pPlain = nullptr;
    EXPECT_NE(0u, m_pCard->KeyInEndResult(&pPlain, nullptr));
    EXPECT_EQ(nullptr, pPlain);

    BYTE abResult[2000] = {0};
    DWORD dwLen = sizeof(abResult);
    ASSERT_EQ(0u, m_pCard->KeyInEnd(3, abResult, &dwLen, nullptr));
    ASSERT_EQ(128u, dwLen);
    EXPECT_EQ((Bytes{'1', '2', '3', '4'}), RsaDecrypt(hostKey.get(), abResult, dwLen));

    // The emulator's log never shows what was typed.
    const std::string strLog = m_env.m_emu.Control("log");
    EXPECT_EQ(std::string::npos, strLog.find("31323334")) << strLog;
    EXPECT_NE(std::string::npos, strLog.find("t1 USER pressed *\n")) << strLog;
}

TEST_F(CorliskKeypad, EntryWithoutAKeyGivesTheCharactersThroughTheResultRecord)
{
    ASSERT_EQ("0815", TypeEntry(DigitsAndEnter(0, nullptr), "0815"));

    KEYINEND_RESULT *pResult = nullptr;
    ASSERT_EQ(0u, m_pCard->KeyInEndResult(&pResult, nullptr));
    ASSERT_NE(nullptr, pResult);
    ASSERT_EQ(4u, pResult->dwLen);
    EXPECT_EQ("0815", std::string(reinterpret_cast<const char *>(pResult->pbData), 4));
    // The record and its data go back through the library's memory library
    // (the one beside it) in one free.
    HMODULE hMemory = GetModuleHandleA(TestBinPath("emu\\KQUKeyMem.dll").c_str());
    ASSERT_NE(nullptr, hMemory);
    auto pfnFree = KQGetProcAddress<PFN_KQFreeBuffer>(hMemory, "KQFreeBuffer");
    ASSERT_NE(nullptr, pfnFree);
    EXPECT_EQ(0u, pfnFree(pResult));

    // The entry ended with its result.
    char cKey = 0;
    EXPECT_NE(0u, m_pCard->KeyIn(&cKey, nullptr));
}

// A press scripted "when" the screen shows a text waits for the token's own
// screen: not delivered while the logo shows, delivered once the text is
// drawn.
TEST_F(CorliskKeypad, PressWaitsUntilTheScreenShowsItsText)
{
    ASSERT_EQ(0u, m_pCard->KeyInStart(&DigitsAndEnterParam(), nullptr));
    ASSERT_EQ("OK", m_env.m_emu.Control("user t1 press enter when Pay 12.50?"));
    auto poll = [this]() {
        char cKey = 0;
        EXPECT_EQ(0u, m_pCard->KeyIn(&cKey, nullptr));
        return cKey;
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0, poll()) << "poll " << i;

    char szScreen[65];
    snprintf(szScreen, sizeof(szScreen), "%-16s%-16s%-16s%-16s", "Transfer", "Pay 12.50?", "", "");
    ASSERT_EQ(0u, m_pCard->SetDisplay(szScreen));
    EXPECT_EQ('\r', poll());
}

}  // namespace
