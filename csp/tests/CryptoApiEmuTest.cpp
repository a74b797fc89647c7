// CryptoApiEmuTest.cpp
//
// Containers, key pairs, signatures and decryption through advapi32 with the
// registered CSP on the emulated token. Signatures are checked outside the
// CSP: in the Microsoft provider with the exported public key, and with
// libcrypto.
#include "CryptoApiEmuFixture.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "CapiOpenSsl.h"
#include "MsProviderVerify.h"

namespace {

// A SHA-1 hash of this CSP over strData.
void HashOf(const CapiContext &ctx, const std::string &strData, CapiHash &hash)
{
    ASSERT_TRUE(CryptCreateHash(ctx.get(), CALG_SHA1, 0, 0, hash.out()));
    ASSERT_TRUE(CryptHashData(hash.get(), reinterpret_cast<const BYTE *>(strData.data()),
                              static_cast<DWORD>(strData.size()), 0));
}

TEST_F(CryptoApiEmu, ContainersAreCreatedOpenedAndDeleted)
{
    const char kName[] = "CapiLifecycle";
    CapiContext ctx;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Acquire(ctx, kName, 0));
    ASSERT_EQ(0u, Acquire(ctx, kName, CRYPT_NEWKEYSET));
    CapiContext second;
    EXPECT_EQ(static_cast<DWORD>(NTE_EXISTS), Acquire(second, kName, CRYPT_NEWKEYSET));
    ASSERT_EQ(0u, Acquire(second, kName, 0));

    // The container's name as the CSP reports it.
    char szName[300] = "";
    DWORD dwLen = sizeof(szName);
    ASSERT_TRUE(CryptGetProvParam(second.get(), PP_CONTAINER, reinterpret_cast<BYTE *>(szName),
                                  &dwLen, 0));
    EXPECT_STREQ(kName, szName);
    second.reset();
    ctx.reset();

    HCRYPTPROV hDeleted = 0;
    EXPECT_TRUE(CryptAcquireContextA(&hDeleted, kName, KAVRU_PROVIDER_A, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), Acquire(ctx, kName, 0));

    // A verification context needs no container.
    ASSERT_EQ(0u, Acquire(ctx, nullptr, CRYPT_VERIFYCONTEXT));
    char szProvider[200] = "";
    dwLen = sizeof(szProvider);
    ASSERT_TRUE(CryptGetProvParam(ctx.get(), PP_NAME, reinterpret_cast<BYTE *>(szProvider),
                                  &dwLen, 0));
    EXPECT_STREQ(KAVRU_PROVIDER_A, szProvider);
}

struct KeyCase {
    DWORD dwSpec;
    DWORD nBits;
};

class CryptoApiEmuKeys : public CryptoApiEmu, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(CryptoApiEmuKeys, GeneratedKeyIsTheContainersAndSignsAfterConfirmation)
{
    const KeyCase c = GetParam();
    CapiContext ctx;
    Bytes blob;
    NewKeyPair(ctx, "CapiKeys", c.dwSpec, c.nBits, &blob);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(c.nBits / 8 + 20, blob.size());

    // The container hands out the same key again.
    CapiKey user;
    ASSERT_TRUE(CryptGetUserKey(ctx.get(), c.dwSpec, user.out())) << std::hex << GetLastError();
    DWORD dwBits = 0, dwLen = sizeof(dwBits);
    ASSERT_TRUE(CryptGetKeyParam(user.get(), KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &dwLen,
                                 0));
    EXPECT_EQ(c.nBits, dwBits);

    const std::string strData = TransferXml("Transfer");
    CapiHash hash;
    HashOf(ctx, strData, hash);
    ASSERT_FALSE(HasFatalFailure());
    Script({"user t1 press enter when Transfer",
            std::string("user t1 press enter when ") + SIGN_SECOND_TEXT});
    Bytes sig(c.nBits / 8);
    DWORD dwSigLen = static_cast<DWORD>(sig.size());
    ASSERT_TRUE(CryptSignHashA(hash.get(), c.dwSpec, nullptr, 0, sig.data(), &dwSigLen))
        << std::hex << GetLastError();
    ASSERT_EQ(sig.size(), dwSigLen);
    EXPECT_TRUE(VerifiesInMicrosoftProvider(blob, strData, sig));
    EXPECT_TRUE(capissl::VerifiesSha1(blob, strData, sig));
}

INSTANTIATE_TEST_SUITE_P(SpecAndSize, CryptoApiEmuKeys,
                         ::testing::Values(KeyCase{AT_SIGNATURE, 1024},
                                           KeyCase{AT_KEYEXCHANGE, 1024},
                                           KeyCase{AT_SIGNATURE, 2048},
                                           KeyCase{AT_KEYEXCHANGE, 2048}));


TEST_F(CryptoApiEmu, UnconfirmedSignatureFailsAndLeavesTheBuffer)
{
    CapiContext ctx;
    Bytes blob;
    NewKeyPair(ctx, "CapiCancel", AT_SIGNATURE, 1024, &blob);
    ASSERT_FALSE(HasFatalFailure());
    const std::string kWhenSecond = std::string(" when ") + SIGN_SECOND_TEXT;
    struct Case {
        const char *pszName;
        std::vector<std::string> script;
        const char *pszFinalText;
    };
    const Case cases[] = {
        {"Esc on the first page", {"user t1 press esc when Transfer"}, SIGN_CANCELLED_TEXT},
        {"Esc at the second confirmation",
         {"user t1 press enter when Transfer", "user t1 press esc" + kWhenSecond},
         SIGN_CANCELLED_TEXT},
        // Nothing pressed: the confirmation times out (WaitTime).
        {"no key", {}, SIGN_TIMED_OUT_TEXT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        CapiHash hash;
        HashOf(ctx, TransferXml("Transfer"), hash);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ("OK", m_emu.Control("screen t1 history clear"));
        Script(c.script);
        Bytes sig(128, 0xA5);
        DWORD dwSigLen = static_cast<DWORD>(sig.size());
        EXPECT_FALSE(CryptSignHashA(hash.get(), AT_SIGNATURE, nullptr, 0, sig.data(), &dwSigLen));
        EXPECT_EQ(static_cast<DWORD>(SCARD_E_CANCELLED), GetLastError());
        EXPECT_EQ(Bytes(128, 0xA5), sig);
        EXPECT_EQ(128u, dwSigLen);
        // The token's last words before its logo came back.
        EXPECT_TRUE(LogoBack());
        const std::vector<std::string> rows = HistoryRows(m_emu.Control("screen t1 history"));
        ASSERT_GE(rows.size(), 2u);
        EXPECT_EQ(c.pszFinalText, rows[rows.size() - 2]);
        ASSERT_EQ("OK", m_emu.Control("user t1 clear"));
    }
}

TEST_F(CryptoApiEmu, ExchangeKeyDecryptsWhatItsPublicKeyEncrypted)
{
    CapiContext ctx;
    Bytes blob;
    NewKeyPair(ctx, "CapiDecrypt", AT_KEYEXCHANGE, 1024, &blob);
    ASSERT_FALSE(HasFatalFailure());
    CapiKey key;
    ASSERT_TRUE(CryptGetUserKey(ctx.get(), AT_KEYEXCHANGE, key.out()));
    const Bytes plain = {'P', 'a', 'y', 'e', 'e', ' ', '4', '2', 0x00, 0xFF, 0x10};

    // Encrypted once by the Microsoft provider, once by libcrypto.
    Bytes fromMs(128);
    {
        CapiContext ms;
        ASSERT_TRUE(CryptAcquireContextA(ms.out(), nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
        CapiKey pub;
        ASSERT_TRUE(CryptImportKey(ms.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                                   pub.out()));
        std::copy(plain.begin(), plain.end(), fromMs.begin());
        DWORD dwLen = static_cast<DWORD>(plain.size());
        ASSERT_TRUE(CryptEncrypt(pub.get(), 0, TRUE, 0, fromMs.data(), &dwLen,
                                 static_cast<DWORD>(fromMs.size())));
        fromMs.resize(dwLen);
    }
    const Bytes fromLibcrypto = capissl::EncryptForCapi(blob, plain);
    ASSERT_EQ(128u, fromLibcrypto.size());

    for (const Bytes &cipher : {fromMs, fromLibcrypto}) {
        Bytes buffer = cipher;
        DWORD dwLen = static_cast<DWORD>(buffer.size());
        ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, buffer.data(), &dwLen))
            << std::hex << GetLastError();
        buffer.resize(dwLen);
        EXPECT_EQ(plain, buffer);
    }
    // A damaged cipher text is refused.
    Bytes damaged = fromLibcrypto;
    damaged[0] ^= 0x01;
    DWORD dwLen = static_cast<DWORD>(damaged.size());
    EXPECT_FALSE(CryptDecrypt(key.get(), 0, TRUE, 0, damaged.data(), &dwLen));
}

TEST_F(CryptoApiEmu, SignedMessageWithTheCertificateInMyVerifiesInOpenSsl)
{
    const char kName[] = "CapiMessage";
    CapiContext ctx;
    Bytes blob;
    NewKeyPair(ctx, kName, AT_SIGNATURE, 1024, &blob);
    ASSERT_FALSE(HasFatalFailure());
    ctx.reset();

    capissl::IssuedCertificate issued = capissl::IssueFor(blob, "Kavru Demo Holder");
    ASSERT_FALSE(issued.der.empty());
    CapiMyCertificate cert(issued.der, kName, KAVRU_PROVIDER_A, AT_SIGNATURE);
    ASSERT_NE(nullptr, cert.get());

    const std::string strData = TransferXml("Transfer");
    CRYPT_SIGN_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = cert.get();
    para.HashAlgorithm.pszObjId = const_cast<char *>(szOID_OIWSEC_sha1);
    PCCERT_CONTEXT certs[] = {cert.get()};
    para.cMsgCert = 1;
    para.rgpMsgCert = certs;
    const BYTE *pbData = reinterpret_cast<const BYTE *>(strData.data());
    DWORD cbData = static_cast<DWORD>(strData.size());
    // crypt32 opens the container anew: the token asks for the PIN again.
    Script({"user t1 pin 123456", "user t1 press enter when Transfer",
            std::string("user t1 press enter when ") + SIGN_SECOND_TEXT});
    // One call with room enough: each call signs anew.
    Bytes message(8192);
    DWORD dwLen = static_cast<DWORD>(message.size());
    ASSERT_TRUE(CryptSignMessage(&para, FALSE, 1, &pbData, &cbData, message.data(), &dwLen))
        << std::hex << GetLastError();
    message.resize(dwLen);
    EXPECT_EQ(strData, capissl::VerifiedPkcs7Content(message, issued.caDer));
}

// Threads of one application open and close one container at the same
// time; each gets a working context of its own, and the container is still
// whole afterwards.
TEST_F(CryptoApiEmu, EightThreadsAcquireAndReleaseAtOnce)
{
    const char kName[] = "CapiThreads";
    CapiContext owner;
    ASSERT_EQ(0u, Acquire(owner, kName, CRYPT_NEWKEYSET));
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 10; ++n) {
                CapiContext ctx;
                char szName[300] = "";
                DWORD dwLen = sizeof(szName);
                if (Acquire(ctx, kName, 0) != 0 ||
                    !CryptGetProvParam(ctx.get(), PP_CONTAINER, reinterpret_cast<BYTE *>(szName),
                                       &dwLen, 0) ||
                    strcmp(szName, kName) != 0)
                    ++failures;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
    owner.reset();
    CapiContext again;
    EXPECT_EQ(0u, Acquire(again, kName, 0));
}

}  // namespace
