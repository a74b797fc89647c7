// ProviderTest.cpp
//
// The provider object on a token keyset (fake card) and on a verification
// context, with Wine's software provider behind it: parameter output
// lengths, the algorithm and container enumerations, malformed key blobs,
// the objects signHash and importKey make for themselves, encryption with a
// hash, the certificate's length, the exchange PIN and the key-length rules.
#include <gtest/gtest.h>
#include <windows.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CaseName.h"
#include "KeysetFixture.h"
#include "Pavrel_Hash.h"

namespace {

int g_nConfirms = 0;

int ConfirmingFake(Pavrel_Hash *, Pavrel_CardAccess *)
{
    ++g_nConfirms;
    return 0;
}

class ProviderTest : public KeysetFixture {
protected:
    void SetUp() override
    {
        KeysetFixture::SetUp();
        KeysetCards::Template().SetEntry(0, "A");
        KeysetCards::Template().SetEntry(2, "B");
        g_nConfirms = 0;
        Pavrel_RSAKeyInCard::setSignConfirmation(&ConfirmingFake);
    }
    void TearDown() override
    {
        Pavrel_RSAKeyInCard::setSignConfirmation(nullptr);
        KeysetFixture::TearDown();
    }
    // A provider of the token keyset "A", or of a verification context.
    Pavrel_Provider *Open(bool bVerify, const std::string &strName = "A")
    {
        ULONG64 hProv = 0;
        EXPECT_EQ(0u, Acquire(Text(strName), bVerify ? CRYPT_VERIFYCONTEXT : 0, &hProv));
        return Pavrel_Keyset::FindProvider(hProv);
    }
};

// --- getProvParam output lengths -----------------------------------------------

struct ParamCase {
    const char *pszName;
    DWORD dwParam;
    DWORD dwLen;      // 0: the container path and its NUL
    DWORD dwValue;    // for 4-byte values
};

class ProvParamLength : public ProviderTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(ProvParamLength, SizeQueryShortBufferAndExactBuffer)
{
    const ParamCase &c = GetParam();
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    const DWORD dwLen = c.dwLen ? c.dwLen : static_cast<DWORD>(Path("A").size() + 1);
    DWORD dwGot = 12345;
    EXPECT_EQ(0u, pProv->getProvParam(c.dwParam, nullptr, &dwGot, 0));
    EXPECT_EQ(dwLen, dwGot);
    std::vector<BYTE> vec(dwLen + 8, 0xEE);
    dwGot = dwLen - 1;
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, pProv->getProvParam(c.dwParam, vec.data(), &dwGot, 0));
    EXPECT_EQ(dwLen, dwGot);
    EXPECT_EQ(0xEE, vec[0]);
    dwGot = dwLen;
    ASSERT_EQ(0u, pProv->getProvParam(c.dwParam, vec.data(), &dwGot, c.dwParam == PP_ENUMALGS ||
                                                                         c.dwParam == PP_ENUMALGS_EX
                                                                     ? CRYPT_FIRST
                                                                     : 0));
    EXPECT_EQ(dwLen, dwGot);
    EXPECT_EQ(0xEE, vec[dwLen]);
    if (dwLen == 4) {
        DWORD dwValue = 0;
        std::memcpy(&dwValue, vec.data(), 4);
        EXPECT_EQ(c.dwValue, dwValue);
    }
    if (c.dwParam == PP_NAME) {
        EXPECT_STREQ(PAVREL_PROVIDER_NAME, reinterpret_cast<char *>(vec.data()));
    }
    if (c.dwParam == PP_CONTAINER || c.dwParam == PP_UNIQUE_CONTAINER) {
        EXPECT_EQ(Path("A"), reinterpret_cast<char *>(vec.data()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Params, ProvParamLength,
    ::testing::Values(ParamCase{"ImpType", PP_IMPTYPE, 4, 0x0B},
                      ParamCase{"Version", PP_VERSION, 4, 0x100},
                      ParamCase{"ProvType", PP_PROVTYPE, 4, 1},
                      ParamCase{"SigKeySizeInc", PP_SIG_KEYSIZE_INC, 4, 1024},
                      ParamCase{"KeyxKeySizeInc", PP_KEYX_KEYSIZE_INC, 4, 1024},
                      ParamCase{"KeySpec", PP_KEYSPEC, 4, 3},
                      ParamCase{"Name", PP_NAME, sizeof("Kavru USB KEY Cryptographic Service Provider 0.0.1.0"), 0},
                      ParamCase{"Container", PP_CONTAINER, 0, 0},
                      ParamCase{"UniqueContainer", PP_UNIQUE_CONTAINER, 0, 0},
                      ParamCase{"EnumAlgs", PP_ENUMALGS, 32, 0},
                      ParamCase{"EnumAlgsEx", PP_ENUMALGS_EX, 88, 0}),
    CaseName());

TEST_F(ProviderTest, ProvParamRefusals)
{
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    BYTE ab[8];
    DWORD dwLen = sizeof(ab);
    EXPECT_EQ((DWORD)NTE_BAD_FLAGS, pProv->getProvParam(PP_IMPTYPE, ab, &dwLen, 3));
    EXPECT_EQ((DWORD)NTE_BAD_TYPE, pProv->getProvParam(7, ab, &dwLen, 0));
    EXPECT_EQ((DWORD)NTE_BAD_TYPE, pProv->setProvParam(PP_NAME, ab, 0));
}

// --- Enumerations ---------------------------------------------------------------

ALG_ID NextAlg(Pavrel_Provider *pProv, DWORD dwFlags, DWORD *pdwRet)
{
    PROV_ENUMALGS alg = {};
    DWORD dwLen = sizeof(alg);
    *pdwRet = pProv->getProvParam(PP_ENUMALGS, reinterpret_cast<BYTE *>(&alg), &dwLen, dwFlags);
    return alg.aiAlgid;
}

TEST_F(ProviderTest, AlgorithmRowsInOrderThenNoMoreThenAgain)
{
    Pavrel_Provider *pProv = Open(true);
    ASSERT_NE(nullptr, pProv);
    const ALG_ID expected[] = {CALG_SHA1, CALG_MD5,  CALG_SSL3_SHAMD5, CALG_RC2,      CALG_RC4,
                               CALG_DES,  CALG_3DES, CALG_3DES_112,    CALG_RSA_SIGN, CALG_RSA_KEYX};
    DWORD dwRet = 0;
    EXPECT_EQ(expected[0], NextAlg(pProv, CRYPT_FIRST, &dwRet));
    for (int i = 1; i < 10; ++i) {
        // A size query between the rows moves nothing.
        DWORD dwLen = 0;
        EXPECT_EQ(0u, pProv->getProvParam(PP_ENUMALGS, nullptr, &dwLen, 0));
        EXPECT_EQ(expected[i], NextAlg(pProv, 0, &dwRet)) << i;
        EXPECT_EQ(0u, dwRet);
    }
    NextAlg(pProv, 0, &dwRet);
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, dwRet);
    EXPECT_EQ((ALG_ID)CALG_MD5, NextAlg(pProv, 0, &dwRet));

    PROV_ENUMALGS_EX row = {};
    DWORD dwLen = sizeof(row);
    for (DWORD f = CRYPT_FIRST; row.aiAlgid != CALG_RSA_SIGN; f = 0)
        ASSERT_EQ(0u, pProv->getProvParam(PP_ENUMALGS_EX, reinterpret_cast<BYTE *>(&row), &dwLen, f));
    EXPECT_EQ(1024u, row.dwMinLen);
    EXPECT_EQ(2048u, row.dwMaxLen);
    EXPECT_EQ(20u, row.dwNameLen);
    EXPECT_EQ(40u, row.dwLongNameLen);
    EXPECT_STREQ("RSA Signature", row.szLongName);
}

std::string NextContainer(Pavrel_Provider *pProv, DWORD dwFlags, DWORD *pdwRet)
{
    char sz[300] = {0};
    DWORD dwLen = sizeof(sz);
    *pdwRet = pProv->getProvParam(PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(sz), &dwLen, dwFlags);
    return sz;
}

TEST_F(ProviderTest, ContainerNamesOneAtATime)
{
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    DWORD dwRet = 0;
    EXPECT_EQ("A", NextContainer(pProv, CRYPT_FIRST, &dwRet));
    DWORD dwLen = 0;
    EXPECT_EQ(0u, pProv->getProvParam(PP_ENUMCONTAINERS, nullptr, &dwLen, 0));
    EXPECT_EQ(2u, dwLen);
    char c = 0;
    dwLen = 1;
    EXPECT_EQ((DWORD)ERROR_MORE_DATA,
              pProv->getProvParam(PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(&c), &dwLen, 0));
    EXPECT_EQ("B", NextContainer(pProv, 0, &dwRet));
    NextContainer(pProv, 0, &dwRet);
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, dwRet);
}

// Each provider enumerates for itself, and CRYPT_FIRST starts again from
// the token's list as it is now.
TEST_F(ProviderTest, ContainerEnumerationPerProviderAndRestartedByFirst)
{
    Pavrel_Provider *p1 = Open(false);
    Pavrel_Provider *p2 = Open(false, "B");
    ASSERT_NE(nullptr, p1);
    ASSERT_NE(nullptr, p2);
    DWORD dwRet = 0;
    EXPECT_EQ("A", NextContainer(p1, CRYPT_FIRST, &dwRet));
    EXPECT_EQ("A", NextContainer(p2, CRYPT_FIRST, &dwRet));
    EXPECT_EQ("B", NextContainer(p1, 0, &dwRet));
    EXPECT_EQ("B", NextContainer(p2, 0, &dwRet));

    KeysetCards::Last()->SetEntry(1, "C");
    EXPECT_EQ("A", NextContainer(p1, CRYPT_FIRST, &dwRet));
    EXPECT_EQ("C", NextContainer(p1, 0, &dwRet));
    // "B" is still to come, yet CRYPT_FIRST starts over.
    EXPECT_EQ("A", NextContainer(p1, CRYPT_FIRST, &dwRet));
    // The other provider's enumeration is its own.
    EXPECT_EQ("A", NextContainer(p2, CRYPT_FIRST, &dwRet));
    EXPECT_EQ("C", NextContainer(p1, 0, &dwRet));
    EXPECT_EQ("B", NextContainer(p1, 0, &dwRet));
    NextContainer(p1, 0, &dwRet);
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, dwRet);
}

TEST_F(ProviderTest, ContainerEnumerationFailsWithTheCard)
{
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    KeysetCards::Last()->dwReadResult = SCARD_E_UNEXPECTED;
    DWORD dwRet = 0;
    NextContainer(pProv, CRYPT_FIRST, &dwRet);
    EXPECT_EQ((DWORD)SCARD_E_UNEXPECTED, dwRet);
}

// --- importKey ------------------------------------------------------------------

std::vector<BYTE> Blob(BYTE bType, BYTE bVersion, ALG_ID algId, DWORD dwLen)
{
    std::vector<BYTE> vec(dwLen < 8 ? 8 : dwLen, 0x11);
    BLOBHEADER head = {bType, bVersion, 0, algId};
    std::memcpy(vec.data(), &head, sizeof(head));
    vec.resize(dwLen);
    return vec;
}

std::vector<BYTE> PrivateBlob(DWORD dwBits, DWORD dwLen)
{
    std::vector<BYTE> vec = Blob(PRIVATEKEYBLOB, 2, CALG_RSA_KEYX, dwLen < 20 ? 20 : dwLen);
    RSAPUBKEY rsa = {0x32415352, dwBits, 65537};
    std::memcpy(vec.data() + 8, &rsa, sizeof(rsa));
    vec.resize(dwLen);
    return vec;
}

struct BlobCase {
    const char *pszName;
    bool bVerify;
    std::vector<BYTE> vecBlob;
    bool bUnknownPubKey;  // pass a key handle that is not the provider's
    DWORD dwExpected;
};

class MalformedBlob : public ProviderTest, public ::testing::WithParamInterface<BlobCase> {};

TEST_P(MalformedBlob, IsRefusedWithoutAKeyAndWithoutReadingPastIt)
{
    const BlobCase &c = GetParam();
    Pavrel_Provider *pProv = Open(c.bVerify);
    ASSERT_NE(nullptr, pProv);
    // Exactly the blob's bytes, so a read past them is a heap overflow.
    std::unique_ptr<BYTE[]> pbBlob(new BYTE[c.vecBlob.size() + 1]);
    std::copy(c.vecBlob.begin(), c.vecBlob.end(), pbBlob.get());
    HCRYPTKEY hKey = 0;
    EXPECT_EQ(c.dwExpected,
              pProv->importKey(c.vecBlob.empty() ? nullptr : pbBlob.get(),
                               static_cast<DWORD>(c.vecBlob.size()),
                               c.bUnknownPubKey ? 0x7FFFFFFF : 0, 0, &hKey));
    EXPECT_EQ(0u, pProv->getKeyCount());
    EXPECT_TRUE(std::equal(c.vecBlob.begin(), c.vecBlob.end(), pbBlob.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Blobs, MalformedBlob,
    ::testing::Values(
        BlobCase{"Empty", false, {}, false, (DWORD)NTE_BAD_DATA},
        BlobCase{"ShorterThanTheHeader", false, Blob(SIMPLEBLOB, 2, CALG_RC4, 7), false,
                 (DWORD)NTE_BAD_DATA},
        BlobCase{"UnknownType", false, Blob(5, 2, CALG_RC4, 40), false, (DWORD)NTE_BAD_TYPE},
        BlobCase{"WrongVersion", false, Blob(SIMPLEBLOB, 3, CALG_RC4, 40), false,
                 (DWORD)NTE_BAD_VER},
        BlobCase{"NoAlgorithm", false, Blob(SIMPLEBLOB, 2, 0, 40), false, (DWORD)NTE_BAD_TYPE},
        BlobCase{"SimpleHeaderOnly", false, Blob(SIMPLEBLOB, 2, CALG_RC4, 12), false,
                 (DWORD)NTE_BAD_DATA},
        BlobCase{"SimpleBeyondTheWorkBuffer", false, Blob(SIMPLEBLOB, 2, CALG_RC4, 2049), false,
                 (DWORD)NTE_BAD_DATA},
        BlobCase{"SimpleOnVerifyWithoutKey", true, Blob(SIMPLEBLOB, 2, CALG_RC4, 140), false,
                 (DWORD)NTE_NO_KEY},
        BlobCase{"SimpleWithForeignKey", true, Blob(SIMPLEBLOB, 2, CALG_RC4, 140), true,
                 (DWORD)ERROR_INVALID_PARAMETER},
        BlobCase{"PrivateWithoutBitLength", false, PrivateBlob(1024, 16), false,
                 (DWORD)NTE_BAD_DATA},
        BlobCase{"PrivateIntoVerifyContext", true, PrivateBlob(1024, 20 + 128 * 9 / 2), false,
                 (DWORD)NTE_PERM},
        BlobCase{"PrivateWithForeignKey", false, PrivateBlob(1024, 20 + 128 * 9 / 2), true,
                 (DWORD)NTE_BAD_KEY},
        BlobCase{"PublicWithKey", false, Blob(PUBLICKEYBLOB, 2, CALG_RSA_KEYX, 148), true,
                 (DWORD)ERROR_INVALID_PARAMETER},
        BlobCase{"PublicWithoutBitLength", false, Blob(PUBLICKEYBLOB, 2, CALG_RSA_KEYX, 10),
                 false, (DWORD)NTE_BAD_DATA},
        BlobCase{"PlainTextWithoutKeySize", false, Blob(PLAINTEXTKEYBLOB, 2, CALG_RC4, 9), false,
                 (DWORD)NTE_BAD_DATA},
        BlobCase{"SymmetricWrapWithoutKey", false, Blob(SYMMETRICWRAPKEYBLOB, 2, CALG_RC4, 40),
                 false, (DWORD)NTE_NO_KEY}),
    CaseName());

// A SIMPLEBLOB wrapped under the token's exchange key: unwrapped by a key
// made for this import alone, in a copy of the caller's blob.
TEST_F(ProviderTest, SimpleBlobUnwrappedOnTheTokenLeavesOnlyTheSessionKey)
{
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    const BYTE abSession[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EVP_PKEY *pKey = TestKey(1024);
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    ASSERT_TRUE(EVP_PKEY_encrypt_init(pCtx) > 0);
    ASSERT_TRUE(EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0);
    std::vector<BYTE> vecEnc(128);
    size_t nEnc = vecEnc.size();
    ASSERT_EQ(1, EVP_PKEY_encrypt(pCtx, vecEnc.data(), &nEnc, abSession, sizeof(abSession)));
    EVP_PKEY_CTX_free(pCtx);
    std::reverse(vecEnc.begin(), vecEnc.end());
    std::vector<BYTE> vecBlob = Blob(SIMPLEBLOB, 2, CALG_RC4, 12);
    const ALG_ID encAlg = CALG_RSA_KEYX;
    std::memcpy(vecBlob.data() + 8, &encAlg, 4);
    vecBlob.insert(vecBlob.end(), vecEnc.begin(), vecEnc.end());
    const std::vector<BYTE> vecCopy = vecBlob;

    HCRYPTKEY hKey = 0;
    ASSERT_EQ(0u, pProv->importKey(vecBlob.data(), static_cast<DWORD>(vecBlob.size()), 0,
                                   CRYPT_EXPORTABLE, &hKey));
    EXPECT_EQ(vecCopy, vecBlob);
    EXPECT_EQ(1u, pProv->getKeyCount());
    ALG_ID algId = 0;
    DWORD dwLen = sizeof(algId);
    EXPECT_EQ(0u, pProv->getKeyParam(hKey, KP_ALGID, reinterpret_cast<BYTE *>(&algId), &dwLen, 0));
    EXPECT_EQ((ALG_ID)CALG_RC4, algId);
    // The key is the one that was wrapped.
    BYTE abPlain[40] = {0};
    dwLen = sizeof(abPlain);
    ASSERT_EQ(0u, pProv->exportKey(hKey, 0, PLAINTEXTKEYBLOB, 0, abPlain, &dwLen));
    ASSERT_EQ(12u + sizeof(abSession), dwLen);
    EXPECT_EQ(0, std::memcmp(abPlain + 12, abSession, sizeof(abSession)));
}

// --- Objects made for one call ------------------------------------------------

TEST_F(ProviderTest, SignHashLeavesNoKeyBehind)
{
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    HCRYPTHASH hHash = 0;
    ASSERT_EQ(0u, pProv->createHash(CALG_SHA1, 0, 0, &hHash));
    const BYTE abData[] = "pay 10 to Bob";
    ASSERT_EQ(0u, pProv->hashData(hHash, abData, sizeof(abData), 0));
    BYTE abSig[256] = {0};
    DWORD dwLen = sizeof(abSig);
    ASSERT_EQ(0u, pProv->signHash(hHash, AT_SIGNATURE, nullptr, 0, abSig, &dwLen));
    EXPECT_EQ(128u, dwLen);
    EXPECT_EQ(1, g_nConfirms);
    EXPECT_EQ(0u, pProv->getKeyCount());
    EXPECT_EQ(1u, pProv->getHashCount());
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER,
              pProv->signHash(hHash, AT_SIGNATURE, "text", 0, abSig, &dwLen));
    EXPECT_EQ((DWORD)NTE_BAD_FLAGS, pProv->signHash(hHash, AT_SIGNATURE, nullptr, 2, abSig, &dwLen));
    EXPECT_EQ((DWORD)NTE_BAD_HASH, pProv->signHash(hHash + 1, AT_SIGNATURE, nullptr, 0, abSig, &dwLen));
}

// --- Encryption with a hash -----------------------------------------------------

// The plaintext is hashed once: not on the size query, not on the call that
// asked for room, and once on the call that encrypted.
TEST_F(ProviderTest, EncryptHashesThePlaintextOnce)
{
    Pavrel_Provider *pProv = Open(true);
    ASSERT_NE(nullptr, pProv);
    HCRYPTKEY hKey = 0;
    ASSERT_EQ(0u, pProv->genKey(CALG_DES, 0, &hKey));
    HCRYPTHASH hHash = 0;
    ASSERT_EQ(0u, pProv->createHash(CALG_MD5, 0, 0, &hHash));
    const BYTE abPlain[8] = {'p', 'l', 'a', 'i', 'n', 't', 'x', 't'};
    BYTE abData[16] = {0};
    std::memcpy(abData, abPlain, sizeof(abPlain));
    DWORD dwLen = sizeof(abPlain);
    EXPECT_EQ(0u, pProv->encrypt(hKey, hHash, TRUE, 0, nullptr, &dwLen, 0));
    EXPECT_EQ(16u, dwLen);
    dwLen = sizeof(abPlain);
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, pProv->encrypt(hKey, hHash, TRUE, 0, abData, &dwLen, 8));
    dwLen = sizeof(abPlain);
    ASSERT_EQ(0u, pProv->encrypt(hKey, hHash, TRUE, 0, abData, &dwLen, sizeof(abData)));
    EXPECT_EQ(16u, dwLen);

    BYTE abValue[16] = {0};
    DWORD dwValueLen = sizeof(abValue);
    ASSERT_EQ(0u, pProv->getHashParam(hHash, HP_HASHVAL, abValue, &dwValueLen, 0));
    BYTE abExpected[16] = {0};
    unsigned int uLen = 0;
    EVP_Digest(abPlain, sizeof(abPlain), abExpected, &uLen, EVP_md5(), nullptr);
    EXPECT_EQ(0, std::memcmp(abExpected, abValue, 16));
}

// --- Key parameters -------------------------------------------------------------

struct CertCase {
    const char *pszName;
    std::vector<BYTE> vecHead;
    DWORD dwExpected;
    DWORD dwWritten;  // bytes that reached the card
};

class CertificateLength : public ProviderTest, public ::testing::WithParamInterface<CertCase> {};

TEST_P(CertificateLength, FromTheDerHeaderAndBounded)
{
    const CertCase &c = GetParam();
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    HCRYPTKEY hKey = 0;
    ASSERT_EQ(0u, pProv->getUserKey(AT_SIGNATURE, &hKey));
    std::vector<BYTE> vecCert(c.vecHead);
    vecCert.resize(4000, 0x5A);
    EXPECT_EQ(c.dwExpected, pProv->setKeyParam(hKey, KP_CERTIFICATE, vecCert.data(), 0));
    EXPECT_EQ(c.dwWritten, KeysetCards::Last()->vecCertificate.size());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CertificateLength,
    ::testing::Values(CertCase{"ShortForm", {0x30, 0x05}, 0, 7},
                      CertCase{"OneLengthByte", {0x30, 0x81, 0x80}, 0, 0x83},
                      CertCase{"TwoLengthBytes", {0x30, 0x82, 0x01, 0x00}, 0, 0x104},
                      CertCase{"LargestSlot", {0x30, 0x82, 0x0B, 0xB4}, 0, 3000},
                      CertCase{"BeyondTheSlot", {0x30, 0x82, 0x0B, 0xB5}, (DWORD)NTE_BAD_DATA, 0},
                      CertCase{"ThreeLengthBytes", {0x30, 0x83, 0x00, 0x01, 0x00},
                               (DWORD)NTE_BAD_DATA, 0},
                      CertCase{"NotASequence", {0x31, 0x05}, (DWORD)NTE_BAD_DATA, 0}),
    CaseName());

TEST_F(ProviderTest, CertificateOnlyOnCardKeys)
{
    Pavrel_Provider *pProv = Open(true);
    ASSERT_NE(nullptr, pProv);
    HCRYPTKEY hKey = 0;
    ASSERT_EQ(0u, pProv->genKey(CALG_RC4, 0, &hKey));
    const BYTE abCert[8] = {0x30, 0x02, 0, 0};
    EXPECT_EQ((DWORD)NTE_BAD_KEY, pProv->setKeyParam(hKey, KP_CERTIFICATE, abCert, 0));
    EXPECT_EQ((DWORD)NTE_BAD_KEY, pProv->setKeyParam(hKey, KP_IV, abCert, 0));
    EXPECT_EQ((DWORD)NTE_BAD_TYPE, pProv->setKeyParam(hKey, 99, abCert, 0));
}

// --- Key lengths and hash algorithms ---------------------------------------------

struct GenCase {
    const char *pszName;
    ALG_ID algId;
    DWORD dwBits;
    DWORD dwExpected;
};

class GenKeyLength : public ProviderTest, public ::testing::WithParamInterface<GenCase> {};

TEST_P(GenKeyLength, WithinTheTableInWholeSteps)
{
    const GenCase &c = GetParam();
    Pavrel_Provider *pProv = Open(false);
    ASSERT_NE(nullptr, pProv);
    HCRYPTKEY hKey = 0;
    EXPECT_EQ(c.dwExpected, pProv->genKey(c.algId, c.dwBits << 16, &hKey));
    EXPECT_EQ(c.dwExpected == 0 ? 1 : 0, KeysetCards::Last()->nGenerates);
    if (c.dwExpected == 0) {
        EXPECT_EQ(c.dwBits ? c.dwBits : 1024, KeysetCards::Last()->lastGen.dwKeyBits);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, GenKeyLength,
    ::testing::Values(GenCase{"Default", AT_SIGNATURE, 0, 0},
                      GenCase{"Bits2048", AT_SIGNATURE, 2048, 0},
                      GenCase{"Bits1536", AT_SIGNATURE, 1536, (DWORD)NTE_BAD_FLAGS},
                      GenCase{"Bits4096", AT_KEYEXCHANGE, 4096, (DWORD)NTE_BAD_FLAGS},
                      GenCase{"Bits512", CALG_RSA_KEYX, 512, (DWORD)NTE_BAD_FLAGS},
                      GenCase{"NotAKey", CALG_SHA1, 0, (DWORD)NTE_BAD_ALGID}),
    CaseName());

TEST_F(ProviderTest, HashAlgorithmsOfTheTableOnly)
{
    Pavrel_Provider *pProv = Open(true);
    ASSERT_NE(nullptr, pProv);
    HCRYPTHASH hHash = 0;
    EXPECT_EQ((DWORD)NTE_BAD_ALGID, pProv->createHash(CALG_MD2, 0, 0, &hHash));
    EXPECT_EQ((DWORD)NTE_BAD_KEY, pProv->createHash(CALG_HMAC, 0, 0, &hHash));
    EXPECT_EQ((DWORD)NTE_BAD_ALGID, pProv->createHash(CALG_RC4, 0, 0, &hHash));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, pProv->createHash(CALG_SHA1, 0, 0, nullptr));
    EXPECT_EQ(0u, pProv->getHashCount());
    ASSERT_EQ(0u, pProv->createHash(CALG_SHA1, 0, 0, &hHash));
    DWORD dwLen = 0;
    EXPECT_EQ(0u, pProv->getHashParam(hHash, HP_HASHVAL, nullptr, &dwLen, 0));
    EXPECT_EQ(20u, dwLen);
    // The size query did not finish the hash.
    EXPECT_EQ(0u, pProv->hashData(hHash, reinterpret_cast<const BYTE *>("x"), 1, 0));
    EXPECT_EQ((DWORD)NTE_BAD_LEN, pProv->hashData(hHash, reinterpret_cast<const BYTE *>("x"), 1,
                                                  CRYPT_USERDATA));
}

TEST_F(ProviderTest, ObjectsAreDestroyedOnceAndOnlyByTheirProvider)
{
    Pavrel_Provider *p1 = Open(true);
    Pavrel_Provider *p2 = Open(true);
    ASSERT_NE(nullptr, p1);
    ASSERT_NE(nullptr, p2);
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_EQ(0u, p1->genKey(CALG_RC4, 0, &hKey));
    ASSERT_EQ(0u, p1->createHash(CALG_MD5, 0, 0, &hHash));
    EXPECT_EQ((DWORD)NTE_BAD_KEY, p2->destroyKey(hKey));
    EXPECT_EQ((DWORD)NTE_BAD_HASH, p2->destroyHash(hHash));
    EXPECT_EQ(0u, p1->destroyKey(hKey));
    EXPECT_EQ(0u, p1->destroyHash(hHash));
    EXPECT_EQ((DWORD)NTE_BAD_KEY, p1->destroyKey(hKey));
    EXPECT_EQ((DWORD)NTE_BAD_HASH, p1->destroyHash(hHash));
    EXPECT_EQ(0u, p1->getKeyCount());
    EXPECT_EQ(0u, p1->getHashCount());
}

// --- Provider parameters that are set ---------------------------------------------

struct PinCase {
    const char *pszName;
    bool bVerify;
    std::string strPin;  // given without its NUL when longer than 32
    DWORD dwExpected;
    bool bReachesCard;
};

class ExchangePin : public ProviderTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(ExchangePin, BoundedAndOnlyOnAToken)
{
    const PinCase &c = GetParam();
    KeysetCards::Template().vecPinSent.clear();
    Pavrel_Provider *pProv = Open(c.bVerify);
    ASSERT_NE(nullptr, pProv);
    // Exactly the PIN's bytes (and its NUL when it has one within bounds).
    const bool bTerminated = c.strPin.size() <= 32;
    std::unique_ptr<BYTE[]> pbPin(new BYTE[c.strPin.size() + 1]);
    std::memcpy(pbPin.get(), c.strPin.data(), c.strPin.size());
    pbPin[c.strPin.size()] = bTerminated ? 0 : 'z';
    EXPECT_EQ(c.dwExpected, pProv->setProvParam(PP_KEYEXCHANGE_PIN, pbPin.get(), 0));
    if (!c.bVerify) {
        const std::vector<BYTE> &sent = KeysetCards::Last()->vecPinSent;
        EXPECT_EQ(c.bReachesCard, !sent.empty());
        if (c.bReachesCard) {
            EXPECT_EQ(c.strPin, std::string(sent.begin(), sent.end()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pins, ExchangePin,
    ::testing::Values(PinCase{"Token", false, "1234", 0, true},
                      PinCase{"Longest", false, std::string(32, '7'), 0, true},
                      PinCase{"TooLong", false, std::string(33, '7'), (DWORD)NTE_BAD_DATA, false},
                      PinCase{"VerifyContext", true, "1234", (DWORD)NTE_PERM, false}),
    CaseName());

const char kProviderKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\"
                            "Kavru USB KEY Cryptographic Service Provider 0.0.1.0";

// Without the provider's key there is no descriptor to read: a failure, not
// an empty success. With it, the descriptor follows the output rule.
TEST_F(ProviderTest, SecurityDescriptorOfTheProvidersKey)
{
    Pavrel_Provider *pProv = Open(true);
    ASSERT_NE(nullptr, pProv);
    HKEY hKey = nullptr;
    bool bMade = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        RegCloseKey(hKey);
    } else {
        DWORD dwLen = 77;
        EXPECT_EQ((DWORD)NTE_FAIL,
                  pProv->getProvParam(PP_KEYSET_SEC_DESCR, nullptr, &dwLen, OWNER_SECURITY_INFORMATION));
        EXPECT_EQ(77u, dwLen);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
        RegCloseKey(hKey);
        bMade = true;
    }
    DWORD dwLen = 0;
    EXPECT_EQ(0u, pProv->getProvParam(PP_KEYSET_SEC_DESCR, nullptr, &dwLen, OWNER_SECURITY_INFORMATION));
    EXPECT_GT(dwLen, 0u);
    std::vector<BYTE> vec(dwLen);
    DWORD dwShort = dwLen - 1;
    EXPECT_EQ((DWORD)ERROR_MORE_DATA,
              pProv->getProvParam(PP_KEYSET_SEC_DESCR, vec.data(), &dwShort, OWNER_SECURITY_INFORMATION));
    EXPECT_EQ(dwLen, dwShort);
    EXPECT_EQ(0u, pProv->getProvParam(PP_KEYSET_SEC_DESCR, vec.data(), &dwLen, OWNER_SECURITY_INFORMATION));
    EXPECT_TRUE(IsValidSecurityDescriptor(vec.data()));
    const BYTE abBad[8] = {0};
    EXPECT_EQ((DWORD)NTE_BAD_DATA, pProv->setProvParam(PP_KEYSET_SEC_DESCR, abBad, 1));
    if (bMade)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProviderKey);
}

}  // namespace
