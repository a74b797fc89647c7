// CardKeyTest.cpp
//
// The keys on the token against a fake card that does the RSA with an
// OpenSSL key: the PKCS #1 blocks the card is given, signatures checked by
// libcrypto, the sign confirmation's results and the caller's buffer, the
// refusals before any confirmation, the import blob the card receives,
// verification of the whole block, and encryption both ways.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CardKeyFixture.h"
#include "CaseName.h"
#include "TraceCapture.h"

namespace {

const DWORD kBadData = static_cast<DWORD>(NTE_BAD_DATA);
const DWORD kBadSignature = static_cast<DWORD>(NTE_BAD_SIGNATURE);
const BYTE kSentinel = 0xAB;

// The DigestInfo prefixes of PKCS #1 (RFC 8017, section 9.2, note 1).
const Bytes kMd5Prefix = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                          0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const Bytes kSha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                           0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

Bytes Text(const std::string &str) { return Bytes(str.begin(), str.end()); }

Bytes Reversed(Bytes bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

Bytes Concat(const Bytes &a, const Bytes &b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes Digest(const EVP_MD *pMd, const Bytes &message)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int uLen = 0;
    EVP_Digest(message.data(), message.size(), out.data(), &uLen, pMd, nullptr);
    out.resize(uLen);
    return out;
}

// 00 01, FF, 00, then the DigestInfo and hash, k bytes in all.
Bytes Type1Block(const Bytes &digestInfo, size_t k)
{
    Bytes block = {0x00, 0x01};
    block.resize(k - digestInfo.size() - 1, 0xFF);
    block.push_back(0x00);
    return Concat(block, digestInfo);
}

// A hash of the software provider over the message; SSL3 SHA-MD5 gets its
// value set (MD5 then SHA-1 of the message), as TLS code does.
std::unique_ptr<Pavrel_Hash> MakeHash(ALG_ID algId, const Bytes &message)
{
    Pavrel_Hash *pHash = nullptr;
    if (Pavrel_Hash::create(algId, 0, 0, &pHash) != 0)
        return nullptr;
    std::unique_ptr<Pavrel_Hash> hash(pHash);
    if (algId == CALG_SSL3_SHAMD5) {
        Bytes value = Concat(Digest(EVP_md5(), message), Digest(EVP_sha1(), message));
        EXPECT_EQ(0u, hash->setHashValue(value.data()));
    } else {
        EXPECT_EQ(0u, hash->hashData(message.data(), static_cast<DWORD>(message.size())));
    }
    return hash;
}

// libcrypto's PKCS #1 v1.5 verification of a big-endian signature: over the
// digest with pMd (libcrypto adds the DigestInfo), or over the raw bytes.
bool LibVerify(EVP_PKEY *pKey, const EVP_MD *pMd, const Bytes &tbs, const Bytes &signature)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    bool bOk =
        pCtx && EVP_PKEY_verify_init(pCtx) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0 &&
        (pMd == nullptr || EVP_PKEY_CTX_set_signature_md(pCtx, pMd) > 0) &&
        EVP_PKEY_verify(pCtx, signature.data(), signature.size(), tbs.data(), tbs.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    return bOk;
}

// libcrypto's PKCS #1 v1.5 encryption (bEncrypt) or decryption, big-endian.
Bytes LibPkcs1(EVP_PKEY *pKey, bool bEncrypt, const Bytes &in)
{
    Bytes out(EVP_PKEY_get_size(pKey));
    size_t nOut = out.size();
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    bool bOk = pCtx && (bEncrypt ? EVP_PKEY_encrypt_init(pCtx) : EVP_PKEY_decrypt_init(pCtx)) > 0 &&
               EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0 &&
               (bEncrypt ? EVP_PKEY_encrypt(pCtx, out.data(), &nOut, in.data(), in.size())
                         : EVP_PKEY_decrypt(pCtx, out.data(), &nOut, in.data(), in.size())) == 1;
    EVP_PKEY_CTX_free(pCtx);
    out.resize(bOk ? nOut : 0);
    return out;
}

// A key parameter big-endian in len bytes.
Bytes Param(EVP_PKEY *pKey, const char *pszName, size_t len)
{
    BIGNUM *pBn = nullptr;
    EVP_PKEY_get_bn_param(pKey, pszName, &pBn);
    Bytes out(len);
    BN_bn2binpad(pBn, out.data(), static_cast<int>(len));
    BN_free(pBn);
    return out;
}

const char *const kPrivateParts[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                                     OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                     OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

// The key as a complete PRIVATEKEYBLOB (private exponent included).
Bytes PrivateKeyBlob(EVP_PKEY *pKey, ALG_ID aiKeyAlg)
{
    const size_t n = EVP_PKEY_get_size(pKey), h = n / 2;
    BLOBHEADER head = {PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, aiKeyAlg};
    const Bytes e = Param(pKey, OSSL_PKEY_PARAM_RSA_E, 4);
    RSAPUBKEY rsa = {0x32415352, static_cast<DWORD>(n * 8),
                     (static_cast<DWORD>(e[0]) << 24) | (e[1] << 16) | (e[2] << 8) | e[3]};
    Bytes blob(sizeof(head) + sizeof(rsa));
    std::memcpy(blob.data(), &head, sizeof(head));
    std::memcpy(blob.data() + sizeof(head), &rsa, sizeof(rsa));
    blob = Concat(blob, Reversed(Param(pKey, OSSL_PKEY_PARAM_RSA_N, n)));
    for (const char *pszPart : kPrivateParts)
        blob = Concat(blob, Reversed(Param(pKey, pszPart, h)));
    return Concat(blob, Reversed(Param(pKey, OSSL_PKEY_PARAM_RSA_D, n)));
}

// --- The fake sign confirmation -------------------------------------------

int g_nConfirmResult = 0;
int g_nConfirmCalls = 0;
Pavrel_Hash *g_pConfirmHash = nullptr;
Pavrel_CardAccess *g_pConfirmAccess = nullptr;

int FakeConfirm(Pavrel_Hash *pHash, Pavrel_CardAccess *pAccess)
{
    ++g_nConfirmCalls;
    g_pConfirmHash = pHash;
    g_pConfirmAccess = pAccess;
    return g_nConfirmResult;
}

int ThrowingConfirm(Pavrel_Hash *pHash, Pavrel_CardAccess *pAccess)
{
    FakeConfirm(pHash, pAccess);
    throw std::runtime_error("screen gone");
}

class CardKeyTest : public CardKeyFixture {
protected:
    void SetUp() override
    {
        CardKeyFixture::SetUp();
        g_nConfirmResult = 0;
        g_nConfirmCalls = 0;
        g_pConfirmHash = nullptr;
        g_pConfirmAccess = nullptr;
        Pavrel_RSAKeyInCard::setSignConfirmation(&FakeConfirm);
    }
    void TearDown() override
    {
        Pavrel_RSAKeyInCard::setSignConfirmation(nullptr);
        Pavrel_RSAKeyInCard::setRandomSource(nullptr);
        CardKeyFixture::TearDown();
    }
};

// --- Signature blocks -------------------------------------------------------

struct BlockCase {
    const char *pszName;
    unsigned int uBits;
    DWORD dwKeySpec;
    ALG_ID algId;
    DWORD dwFlags;
    const EVP_MD *(*pfnMd)();  // null: libcrypto checks the raw bytes
    const Bytes *pPrefix;      // null: no DigestInfo prefix
    int nOp;                   // the card operation
};

class SignBlock : public CardKeyTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(SignBlock, CardSignsTheDigestInfoBlockAndLibcryptoVerifies)
{
    const BlockCase &c = GetParam();
    EVP_PKEY *pLibKey = TestKey(c.uBits);
    m_pCard->pKey = pLibKey;
    const DWORD k = c.uBits / 8;
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(c.dwKeySpec);
    ASSERT_TRUE(pKey);
    const Bytes message = Text("<SignData>pay 100</SignData>");
    std::unique_ptr<Pavrel_Hash> pHash = MakeHash(c.algId, message);
    ASSERT_TRUE(pHash);
    const Bytes hash = c.algId == CALG_MD5 ? Digest(EVP_md5(), message)
                       : c.algId == CALG_SHA1
                           ? Digest(EVP_sha1(), message)
                           : Concat(Digest(EVP_md5(), message), Digest(EVP_sha1(), message));
    const Bytes digestInfo = c.pPrefix ? Concat(*c.pPrefix, hash) : hash;

    DWORD dwLen = 0;
    ASSERT_EQ(0u, pKey->signHash(pHash.get(), nullptr, c.dwFlags, nullptr, &dwLen));
    EXPECT_EQ(k, dwLen);
    EXPECT_EQ(0, m_pCard->nCrypts) << "a length query signs nothing";
    Bytes signature(dwLen);
    ASSERT_EQ(0u, pKey->signHash(pHash.get(), nullptr, c.dwFlags, signature.data(), &dwLen));
    ASSERT_EQ(k, dwLen);

    EXPECT_EQ(c.nOp, m_pCard->nLastOp);
    EXPECT_EQ(Type1Block(digestInfo, k), m_pCard->vecLastIn);
    const Bytes signatureBigEndian = Reversed(signature);
    if (c.pfnMd)
        EXPECT_TRUE(LibVerify(pLibKey, c.pfnMd(), hash, signatureBigEndian));
    else
        EXPECT_TRUE(LibVerify(pLibKey, nullptr, digestInfo, signatureBigEndian));
    EXPECT_EQ(1, g_nConfirmCalls);
    EXPECT_EQ(0u, pKey->verifySignature(pHash.get(), signature.data(), k, nullptr, c.dwFlags));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, SignBlock,
    ::testing::Values(
        BlockCase{"Md5_1024", 1024, AT_SIGNATURE, CALG_MD5, 0, &EVP_md5, &kMd5Prefix, 1},
        BlockCase{"Sha1_1024", 1024, AT_SIGNATURE, CALG_SHA1, 0, &EVP_sha1, &kSha1Prefix, 1},
        BlockCase{"Ssl3ShaMd5_1024", 1024, AT_SIGNATURE, CALG_SSL3_SHAMD5, 0, nullptr, nullptr, 1},
        BlockCase{"NoOid_1024", 1024, AT_SIGNATURE, CALG_SHA1, CRYPT_NOHASHOID, nullptr, nullptr,
                  1},
        BlockCase{"Md5_2048", 2048, AT_SIGNATURE, CALG_MD5, 0, &EVP_md5, &kMd5Prefix, 1},
        BlockCase{"Sha1_2048", 2048, AT_SIGNATURE, CALG_SHA1, 0, &EVP_sha1, &kSha1Prefix, 1},
        BlockCase{"Ssl3ShaMd5_2048", 2048, AT_SIGNATURE, CALG_SSL3_SHAMD5, 0, nullptr, nullptr, 1},
        BlockCase{"NoOid_2048", 2048, AT_SIGNATURE, CALG_SHA1, CRYPT_NOHASHOID, nullptr, nullptr,
                  1},
        // The smallest modulus the record holds, and the exchange key's
        // private operation.
        BlockCase{"Sha1_512", 512, AT_SIGNATURE, CALG_SHA1, 0, &EVP_sha1, &kSha1Prefix, 1},
        BlockCase{"Sha1_1024_ExchangeKey", 1024, AT_KEYEXCHANGE, CALG_SHA1, 0, &EVP_sha1,
                  &kSha1Prefix, 3}),
    CaseName());

TEST_F(CardKeyTest, ShortSignatureBufferGetsTheLengthAndNoSignature)
{
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    std::unique_ptr<Pavrel_Hash> pHash = MakeHash(CALG_SHA1, Text("abc"));
    Bytes buffer(64, kSentinel);
    DWORD dwLen = 64;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
              pKey->signHash(pHash.get(), nullptr, 0, buffer.data(), &dwLen));
    EXPECT_EQ(128u, dwLen);
    EXPECT_EQ(Bytes(64, kSentinel), buffer);
    EXPECT_EQ(0, m_pCard->nCrypts);
    EXPECT_EQ(0, g_nConfirmCalls);
}

// --- The confirmation decides ------------------------------------------------

struct ConfirmCase {
    const char *pszName;
    int nResult;
    PFN_PAVREL_CONFIRM_SIGN pfnConfirm;
    DWORD dwExpected;
};

class SignConfirmation : public CardKeyTest, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(SignConfirmation, OnlyAConfirmedSignatureReachesTheCaller)
{
    const ConfirmCase &c = GetParam();
    Pavrel_RSAKeyInCard::setSignConfirmation(c.pfnConfirm);
    g_nConfirmResult = c.nResult;
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    std::unique_ptr<Pavrel_Hash> pHash = MakeHash(CALG_SHA1, Text("abc"));
    Bytes buffer(300, kSentinel);
    DWORD dwLen = 300;

    EXPECT_EQ(c.dwExpected, pKey->signHash(pHash.get(), nullptr, 0, buffer.data(), &dwLen));
    EXPECT_EQ(1, g_nConfirmCalls);
    EXPECT_EQ(pHash.get(), g_pConfirmHash);
    EXPECT_EQ(m_pAccess, g_pConfirmAccess);
    EXPECT_EQ(1, m_pCard->nCrypts) << "the card signs before the user is asked";
    if (c.dwExpected == 0) {
        ASSERT_EQ(128u, dwLen);
        Bytes expected = Reversed(m_pCard->RawPrivate(m_pCard->vecLastIn));
        expected.resize(300, kSentinel);
        EXPECT_EQ(expected, buffer);
    } else {
        EXPECT_EQ(300u, dwLen);
        EXPECT_EQ(Bytes(300, kSentinel), buffer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Results, SignConfirmation,
    ::testing::Values(
        ConfirmCase{"Confirmed", 0, &FakeConfirm, 0},
        ConfirmCase{"CancelledOrTimedOut", -4, &FakeConfirm, static_cast<DWORD>(SCARD_E_CANCELLED)},
        ConfirmCase{"ScreenOrKeypadFailed", -1, &FakeConfirm,
                    static_cast<DWORD>(SCARD_F_COMM_ERROR)},
        ConfirmCase{"Exception", -3, &FakeConfirm, static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR)},
        ConfirmCase{"OtherResult", 7, &FakeConfirm, static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR)},
        ConfirmCase{"Throws", 0, &ThrowingConfirm, static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR)}),
    CaseName());

// --- Refused before any confirmation ------------------------------------------

struct RefusalCase {
    const char *pszName;
    int nRecordBits;  // -1: the key's
    int nOutLen;      // -1: the key's
    DWORD dwCardResult;
    bool bCardAsked;
    DWORD dwExpected;
};

class SignRefusal : public CardKeyTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SignRefusal, NothingIsShownAndTheBufferStaysAsItWas)
{
    const RefusalCase &c = GetParam();
    m_pCard->nRecordBits = c.nRecordBits;
    m_pCard->nOutLen = c.nOutLen;
    m_pCard->dwCryptResult = c.dwCardResult;
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    std::unique_ptr<Pavrel_Hash> pHash = MakeHash(CALG_SHA1, Text("abc"));
    Bytes buffer(300, kSentinel);
    DWORD dwLen = 300;

    EXPECT_EQ(c.dwExpected, pKey->signHash(pHash.get(), nullptr, 0, buffer.data(), &dwLen));
    EXPECT_EQ(300u, dwLen);
    EXPECT_EQ(Bytes(300, kSentinel), buffer);
    EXPECT_EQ(0, g_nConfirmCalls);
    EXPECT_EQ(c.bCardAsked ? 1 : 0, m_pCard->nCrypts);
    if (c.bCardAsked) {
        EXPECT_GE(m_pCard->dwOutRoom, 256u) << "room for the largest key's output";
    } else {
        // A length query does not report a size the key cannot have.
        DWORD dwQuery = 77;
        EXPECT_EQ(c.dwExpected, pKey->signHash(pHash.get(), nullptr, 0, nullptr, &dwQuery));
        EXPECT_EQ(77u, dwQuery);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignRefusal,
    ::testing::Values(
        RefusalCase{"ModulusBelow64Bytes", 504, -1, 0, false, static_cast<DWORD>(NTE_BAD_KEY)},
        RefusalCase{"ModulusAbove256Bytes", 2056, -1, 0, false, static_cast<DWORD>(NTE_BAD_KEY)},
        RefusalCase{"NoModulus", 0, -1, 0, false, static_cast<DWORD>(NTE_BAD_KEY)},
        RefusalCase{"OutputOneShort", -1, 127, 0, true, static_cast<DWORD>(NTE_FAIL)},
        RefusalCase{"OutputOneLong", -1, 129, 0, true, static_cast<DWORD>(NTE_FAIL)},
        RefusalCase{"OutputOfTheLargestKey", -1, 256, 0, true, static_cast<DWORD>(NTE_FAIL)},
        RefusalCase{"CardRefuses", -1, -1, static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION), true,
                    static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION)}),
    CaseName());

// --- Verification -----------------------------------------------------------

struct VerifyCase {
    const char *pszName;
    void (*pfnAlter)(Bytes &block);
    bool bDropLastByte;  // a signature one byte short
    DWORD dwFlags;
    DWORD dwExpected;
};

void Unchanged(Bytes &) {}
void PaddingByteNotFF(Bytes &block) { block[5] = 0xFE; }
void BlockType2(Bytes &block) { block[1] = 0x02; }
void PaddingEndsEarly(Bytes &block) { block[10] = 0x00; }
void HashAltered(Bytes &block) { block.back() ^= 0x01; }

class VerifyBlock : public CardKeyTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyBlock, TheWholeBlockMustBeTheExpectedOne)
{
    const VerifyCase &c = GetParam();
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    const Bytes message = Text("abc");
    std::unique_ptr<Pavrel_Hash> pHash = MakeHash(CALG_SHA1, message);
    Bytes block = Type1Block(Concat(kSha1Prefix, Digest(EVP_sha1(), message)), 128);
    c.pfnAlter(block);
    Bytes signature = Reversed(m_pCard->RawPrivate(block));
    ASSERT_EQ(128u, signature.size());
    if (c.bDropLastByte)
        signature.pop_back();
    EXPECT_EQ(c.dwExpected,
              pKey->verifySignature(pHash.get(), signature.data(),
                                    static_cast<DWORD>(signature.size()), nullptr, c.dwFlags));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, VerifyBlock,
    ::testing::Values(VerifyCase{"Genuine", &Unchanged, false, 0, 0},
                      VerifyCase{"PaddingByteNotFF", &PaddingByteNotFF, false, 0, kBadSignature},
                      VerifyCase{"BlockType2", &BlockType2, false, 0, kBadSignature},
                      VerifyCase{"PaddingEndsEarly", &PaddingEndsEarly, false, 0, kBadSignature},
                      VerifyCase{"HashAltered", &HashAltered, false, 0, kBadSignature},
                      VerifyCase{"OneByteShort", &Unchanged, true, 0, kBadSignature},
                      VerifyCase{"PrefixedButNoOidAsked", &Unchanged, false, CRYPT_NOHASHOID,
                                 kBadSignature}),
    CaseName());

// --- Encryption ---------------------------------------------------------------

struct CryptCase {
    const char *pszName;
    DWORD dwKeySpec;
    DWORD dwLen;
};

class EncryptRoundTrip : public CardKeyTest, public ::testing::WithParamInterface<CryptCase> {};

TEST_P(EncryptRoundTrip, PublicOperationOnTheCardThenPrivate)
{
    const CryptCase &c = GetParam();
    const DWORD k = 128;
    const bool bExchange = c.dwKeySpec == AT_KEYEXCHANGE;
    std::string strPlain;
    while (strPlain.size() < c.dwLen)
        strPlain += "secret plaintext #" + std::to_string(strPlain.size()) + ";";
    strPlain.resize(c.dwLen);
    const Bytes plain = Text(strPlain);
    TraceCapture trace;
    if (plain.size() >= 16)
        trace.Forbid("plaintext", strPlain);
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(c.dwKeySpec);

    Bytes buffer(k, 0);
    std::copy(plain.begin(), plain.end(), buffer.begin());
    DWORD dwLen = c.dwLen;
    ASSERT_EQ(0u, pKey->encrypt(TRUE, 0, buffer.data(), &dwLen, k));
    ASSERT_EQ(k, dwLen);
    EXPECT_EQ(bExchange ? 2 : 0, m_pCard->nLastOp);
    // 00 02, non-zero padding, 00, the data.
    const Bytes &block = m_pCard->vecLastIn;
    ASSERT_EQ(k, block.size());
    EXPECT_EQ(0x00, block[0]);
    EXPECT_EQ(0x02, block[1]);
    const size_t nPad = k - c.dwLen - 3;
    EXPECT_TRUE(std::find(block.begin() + 2, block.begin() + 2 + nPad, 0x00) ==
                block.begin() + 2 + nPad);
    EXPECT_EQ(0x00, block[2 + nPad]);
    EXPECT_EQ(plain, Bytes(block.begin() + 3 + nPad, block.end()));
    if (nPad >= 8) {
        EXPECT_EQ(plain, LibPkcs1(m_pCard->pKey, false, Reversed(buffer)));
    }

    ASSERT_EQ(0u, pKey->decrypt(TRUE, 0, buffer.data(), &dwLen));
    EXPECT_EQ(bExchange ? 3 : 1, m_pCard->nLastOp);
    ASSERT_EQ(c.dwLen, dwLen);
    EXPECT_EQ(plain, Bytes(buffer.begin(), buffer.begin() + dwLen));
    EXPECT_NE(std::string::npos, trace.RawText().find("computeCrypt")) << "the trace was written";
}

INSTANTIATE_TEST_SUITE_P(Lengths, EncryptRoundTrip,
                         ::testing::Values(CryptCase{"Empty", AT_KEYEXCHANGE, 0},
                                           CryptCase{"OneByte", AT_KEYEXCHANGE, 1},
                                           CryptCase{"SessionKey", AT_KEYEXCHANGE, 24},
                                           CryptCase{"LongestWithFullPadding", AT_KEYEXCHANGE, 117},
                                           CryptCase{"NoPadding", AT_KEYEXCHANGE, 125},
                                           CryptCase{"SignatureKey", AT_SIGNATURE, 24}),
                         CaseName());

TEST_F(CardKeyTest, LibcryptoCiphertextDecryptsOnTheCard)
{
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(AT_KEYEXCHANGE);
    const Bytes plain = Text("a session key of 24 byte");
    Bytes buffer = Reversed(LibPkcs1(m_pCard->pKey, true, plain));
    ASSERT_EQ(128u, buffer.size());
    DWORD dwLen = 128;
    ASSERT_EQ(0u, pKey->decrypt(TRUE, 0, buffer.data(), &dwLen));
    EXPECT_EQ(plain, Bytes(buffer.begin(), buffer.begin() + dwLen));
}

struct DecryptRefusal {
    const char *pszName;
    Bytes block;  // what the card's private operation gives
};

class DecryptBadBlock : public CardKeyTest, public ::testing::WithParamInterface<DecryptRefusal> {};

TEST_P(DecryptBadBlock, IsNoPlaintext)
{
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(AT_KEYEXCHANGE);
    Bytes block = GetParam().block;
    block.insert(block.end(), 128 - block.size(), 0x33);
    Bytes buffer = Reversed(m_pCard->RawPublic(block));
    const Bytes sent = buffer;
    DWORD dwLen = 128;
    EXPECT_EQ(kBadData, pKey->decrypt(TRUE, 0, buffer.data(), &dwLen));
    EXPECT_EQ(128u, dwLen);
    EXPECT_EQ(sent, buffer);
}

INSTANTIATE_TEST_SUITE_P(Blocks, DecryptBadBlock,
                         ::testing::Values(DecryptRefusal{"Type1", {0x00, 0x01, 0xFF, 0x00}},
                                           DecryptRefusal{"NoZeroAfterPadding", {0x00, 0x02}},
                                           DecryptRefusal{"NoBlockType", {0x00, 0x00, 0x02}}),
                         CaseName());

struct EncryptRefusalCase {
    const char *pszName;
    DWORD dwFlags;
    DWORD dwLen;
    DWORD dwBufLen;
    DWORD dwExpected;
};

class EncryptRefusal : public CardKeyTest,
                       public ::testing::WithParamInterface<EncryptRefusalCase> {};

TEST_P(EncryptRefusal, CardIsNotAsked)
{
    const EncryptRefusalCase &c = GetParam();
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(AT_KEYEXCHANGE);
    Bytes buffer(200, kSentinel);
    DWORD dwLen = c.dwLen;
    EXPECT_EQ(c.dwExpected, pKey->encrypt(TRUE, c.dwFlags, buffer.data(), &dwLen, c.dwBufLen));
    EXPECT_EQ(c.dwLen, dwLen);
    EXPECT_EQ(Bytes(200, kSentinel), buffer);
    EXPECT_EQ(0, m_pCard->nCrypts);
}

INSTANTIATE_TEST_SUITE_P(Cases, EncryptRefusal,
                         ::testing::Values(EncryptRefusalCase{"DataAboveKMinus3", 0, 126, 128,
                                                              kBadData},
                                           EncryptRefusalCase{"BufferShorterThanK", 0, 20, 127,
                                                              static_cast<DWORD>(NTE_BAD_LEN)},
                                           EncryptRefusalCase{"Flags", CRYPT_OAEP, 20, 128,
                                                              static_cast<DWORD>(NTE_BAD_FLAGS)}),
                         CaseName());

// --- Random padding -----------------------------------------------------------

int g_nDraws = 0;
const DWORD kRandomFailure = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);

DWORD AlwaysZero(DWORD dwLen, BYTE *pb)
{
    ++g_nDraws;
    std::memset(pb, 0, dwLen);
    return 0;
}

DWORD FailsOnThirdDraw(DWORD dwLen, BYTE *pb)
{
    std::memset(pb, 0x11, dwLen);
    return ++g_nDraws == 3 ? kRandomFailure : 0;
}

DWORD ZeroEveryOtherDraw(DWORD dwLen, BYTE *pb)
{
    std::memset(pb, (++g_nDraws % 2) ? 0x00 : 0x11, dwLen);
    return 0;
}

struct RandomCase {
    const char *pszName;
    PFN_PAVREL_GEN_RANDOM pfnRandom;
    DWORD dwExpected;
};

class EncryptRandom : public CardKeyTest, public ::testing::WithParamInterface<RandomCase> {};

TEST_P(EncryptRandom, EveryDrawIsCheckedAndZerosAreDrawnAgainBoundedly)
{
    const RandomCase &c = GetParam();
    Pavrel_RSAKeyInCard::setRandomSource(c.pfnRandom);
    g_nDraws = 0;
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(AT_KEYEXCHANGE);
    Bytes buffer(128, 0x42);
    DWORD dwLen = 20;
    EXPECT_EQ(c.dwExpected, pKey->encrypt(TRUE, 0, buffer.data(), &dwLen, 128));
    if (c.dwExpected != 0) {
        EXPECT_EQ(0, m_pCard->nCrypts);
        return;
    }
    // 105 padding bytes, each after one zero draw.
    EXPECT_EQ(210, g_nDraws);
    EXPECT_EQ(Bytes(105, 0x11),
              Bytes(m_pCard->vecLastIn.begin() + 2, m_pCard->vecLastIn.begin() + 107));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, EncryptRandom,
    ::testing::Values(RandomCase{"AlwaysZero", &AlwaysZero, static_cast<DWORD>(NTE_FAIL)},
                      RandomCase{"FailsOnThirdDraw", &FailsOnThirdDraw, kRandomFailure},
                      RandomCase{"ZeroEveryOtherDraw", &ZeroEveryOtherDraw, 0}),
    CaseName());

// --- Import -------------------------------------------------------------------

enum Cut { FULL, TO_COEFFICIENT, COEFFICIENT_CUT, HEADER_ONLY, HEADER_CUT, EMPTY };

struct ImportCase {
    const char *pszName;
    unsigned int uBits;
    ALG_ID aiKeyAlg;
    Cut cut;
    DWORD dwBitlen;  // 0: the key's; else written into the blob
    DWORD dwMagic;
    DWORD dwExpected;
};

class ImportBlob : public CardKeyTest, public ::testing::WithParamInterface<ImportCase> {};

TEST_P(ImportBlob, OnlyTheBlobsOwnBytesAreRead)
{
    const ImportCase &c = GetParam();
    EVP_PKEY *pLibKey = TestKey(c.uBits);
    const size_t n = c.uBits / 8, h = n / 2;
    Bytes blob = PrivateKeyBlob(pLibKey, c.aiKeyAlg);
    std::memcpy(blob.data() + 8, &c.dwMagic, 4);
    if (c.dwBitlen)
        std::memcpy(blob.data() + 12, &c.dwBitlen, 4);
    const size_t aLengths[] = {blob.size(), 20 + n + 5 * h, 20 + n + 5 * h - 1, 20, 19, 0};
    blob.resize(aLengths[c.cut]);
    const Bytes prime1 = Param(pLibKey, OSSL_PKEY_PARAM_RSA_FACTOR1, h);
    TraceCapture trace;
    trace.Forbid("prime1", std::string(prime1.begin(), prime1.end()));

    Pavrel_Key *pRaw = nullptr;
    EXPECT_EQ(c.dwExpected,
              Pavrel_Key::importKey(blob.empty() ? nullptr : blob.data(),
                                    static_cast<DWORD>(blob.size()), m_pAccess, "ctr", &pRaw));
    std::unique_ptr<Pavrel_Key> pKey(pRaw);
    if (c.dwExpected != 0) {
        EXPECT_EQ(nullptr, pRaw);
        EXPECT_EQ(0, m_pCard->nImports);
        return;
    }
    ASSERT_NE(nullptr, pRaw);
    EXPECT_EQ(c.aiKeyAlg, pKey->getAlgId());
    EXPECT_EQ(c.aiKeyAlg == CALG_RSA_SIGN ? 0u : 1u, m_pCard->dwImportSpec);
    EXPECT_EQ(c.aiKeyAlg == CALG_RSA_SIGN ? 2u : 1u, m_pCard->dwImportUsage);
    // Lengths, exponent and modulus, then the five private parts, big-endian.
    Bytes expected = {0, 0, static_cast<BYTE>((n + 4) >> 8), static_cast<BYTE>(n + 4)};
    expected = Concat(expected, Param(pLibKey, OSSL_PKEY_PARAM_RSA_E, 4));
    expected = Concat(expected, Param(pLibKey, OSSL_PKEY_PARAM_RSA_N, n));
    expected =
        Concat(expected, Bytes{0, 0, static_cast<BYTE>((5 * h) >> 8), static_cast<BYTE>(5 * h)});
    for (const char *pszPart : kPrivateParts)
        expected = Concat(expected, Param(pLibKey, pszPart, h));
    EXPECT_EQ(expected, m_pCard->vecImported);
    EXPECT_NE(std::string::npos, trace.RawText().find("lpbKeyBlob")) << "the trace was written";
}

const DWORD kRsa2 = 0x32415352;
const DWORD kExch = CALG_RSA_KEYX;

INSTANTIATE_TEST_SUITE_P(
    Blobs, ImportBlob,
    ::testing::Values(
        ImportCase{"Full1024", 1024, kExch, FULL, 0, kRsa2, 0},
        ImportCase{"UpToCoefficient", 1024, kExch, TO_COEFFICIENT, 0, kRsa2, 0},
        ImportCase{"CoefficientCut", 1024, kExch, COEFFICIENT_CUT, 0, kRsa2, kBadData},
        ImportCase{"HeaderOnly", 1024, kExch, HEADER_ONLY, 0, kRsa2, kBadData},
        ImportCase{"HeaderCut", 1024, kExch, HEADER_CUT, 0, kRsa2, kBadData},
        ImportCase{"Empty", 1024, kExch, EMPTY, 0, kRsa2, kBadData},
        ImportCase{"Full2048", 2048, kExch, FULL, 0, kRsa2, 0},
        ImportCase{"SignatureKey2048", 2048, CALG_RSA_SIGN, FULL, 0, kRsa2, 0},
        ImportCase{"ClaimsMoreBitsThanItHolds", 1024, kExch, FULL, 2048, kRsa2, kBadData},
        ImportCase{"Bits1536", 1024, kExch, FULL, 1536, kRsa2, kBadData},
        ImportCase{"Bits512", 512, kExch, FULL, 0, kRsa2, kBadData},
        ImportCase{"PublicKeyMagic", 1024, kExch, FULL, 0, 0x31415352, kBadData}),
    CaseName());

// --- Key size, export and the factories ----------------------------------------

class CardKeySize : public CardKeyTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(CardKeySize, ParametersAndExportShowTheTokensKey)
{
    const unsigned int uBits = GetParam();
    m_pCard->pKey = TestKey(uBits);
    std::unique_ptr<Pavrel_Key> pKey = OpenKey(AT_SIGNATURE);
    EXPECT_EQ(uBits, pKey->getKeyLen());
    EXPECT_EQ(uBits, pKey->getBlockLen());

    DWORD dwLen = 0;
    ASSERT_EQ(0u, pKey->exportKey(0, PUBLICKEYBLOB, 0, nullptr, &dwLen));
    ASSERT_EQ(20 + uBits / 8, dwLen);
    Bytes blob(dwLen);
    ASSERT_EQ(0u, pKey->exportKey(0, PUBLICKEYBLOB, 0, blob.data(), &dwLen));
    BLOBHEADER head;
    RSAPUBKEY rsa;
    std::memcpy(&head, blob.data(), sizeof(head));
    std::memcpy(&rsa, blob.data() + 8, sizeof(rsa));
    EXPECT_EQ(PUBLICKEYBLOB, head.bType);
    EXPECT_EQ(static_cast<ALG_ID>(CALG_RSA_KEYX), head.aiKeyAlg) << "for the signature key too";
    EXPECT_EQ(0x31415352u, rsa.magic);
    EXPECT_EQ(uBits, rsa.bitlen);
    EXPECT_EQ(65537u, rsa.pubexp);
    EXPECT_EQ(Reversed(Param(m_pCard->pKey, OSSL_PKEY_PARAM_RSA_N, uBits / 8)),
              Bytes(blob.begin() + 20, blob.end()));
}

INSTANTIATE_TEST_SUITE_P(Bits, CardKeySize, ::testing::Values(512u, 1024u, 2048u));

TEST_F(CardKeyTest, ExportPermissionsAndRefusals)
{
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    DWORD dwLen = 500;
    Bytes blob(500);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY),
              pKey->exportKey(7, PUBLICKEYBLOB, 0, blob.data(), &dwLen));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE),
              pKey->exportKey(0, PRIVATEKEYBLOB, 0, blob.data(), &dwLen));
    dwLen = 100;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
              pKey->exportKey(0, PUBLICKEYBLOB, 0, blob.data(), &dwLen));
    EXPECT_EQ(148u, dwLen);
    EXPECT_EQ(0x0Bu, pKey->getPermissions());
    BYTE abPermissions[4] = {0xFF, 0, 0, 0};
    EXPECT_EQ(static_cast<DWORD>(NTE_PERM), pKey->setPermissions(abPermissions));
}

struct GenerateCase {
    const char *pszName;
    ALG_ID algId;
    DWORD dwFlags;
    DWORD dwExpected;
    DWORD dwCardAlgorithm;
    DWORD dwCardBits;
    DWORD dwCardSpec;
};

class CardGenerate : public CardKeyTest, public ::testing::WithParamInterface<GenerateCase> {};

TEST_P(CardGenerate, SizeFromTheUpperFlagBits)
{
    const GenerateCase &c = GetParam();
    Pavrel_Key *pRaw = nullptr;
    EXPECT_EQ(c.dwExpected, Pavrel_Key::generate(c.algId, c.dwFlags, m_pAccess, "ctr", &pRaw));
    std::unique_ptr<Pavrel_Key> pKey(pRaw);
    if (c.dwExpected != 0) {
        EXPECT_EQ(nullptr, pRaw);
        EXPECT_EQ(0, m_pCard->nGenerates);
        return;
    }
    ASSERT_NE(nullptr, pRaw);
    EXPECT_EQ(c.algId, pKey->getAlgId());
    EXPECT_EQ(c.dwCardAlgorithm, m_pCard->lastGen.dwAlgorithm);
    EXPECT_EQ(c.dwCardBits, m_pCard->lastGen.dwKeyBits);
    EXPECT_EQ(c.dwCardSpec, m_pCard->dwGenSpec);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardGenerate,
    ::testing::Values(
        GenerateCase{"SignatureKey2048", CALG_RSA_SIGN, (2048u << 16) | CRYPT_EXPORTABLE, 0, 2,
                     2048, 0},
        GenerateCase{"ExchangeKeyDefault", CALG_RSA_KEYX, CRYPT_EXPORTABLE, 0, 1, 1024, 1},
        GenerateCase{"NoRsaAlgorithm", CALG_RC4, 0, static_cast<DWORD>(NTE_BAD_ALGID), 0, 0, 0}),
    CaseName());

struct UserKeyCase {
    const char *pszName;
    DWORD dwKeySpec;
    DWORD dwStatusResult;
    WORD wStatus;
    int nUsage;
    DWORD dwExpected;
};

class CardUserKey : public CardKeyTest, public ::testing::WithParamInterface<UserKeyCase> {};

TEST_P(CardUserKey, OnlyAPresentKeyOfTheSpec)
{
    const UserKeyCase &c = GetParam();
    m_pCard->dwStatusResult = c.dwStatusResult;
    m_pCard->wStatus = c.wStatus;
    m_pCard->nUsage = c.nUsage;
    Pavrel_Key *pRaw = nullptr;
    EXPECT_EQ(c.dwExpected, Pavrel_Key::getUserKey(c.dwKeySpec, m_pAccess, "ctr", &pRaw));
    std::unique_ptr<Pavrel_Key> pKey(pRaw);
    EXPECT_EQ(c.dwExpected == 0, pRaw != nullptr);
    if (pRaw) {
        EXPECT_EQ(
            static_cast<ALG_ID>(c.dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN),
            pKey->getAlgId());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardUserKey,
    ::testing::Values(
        UserKeyCase{"ExchangeKey", AT_KEYEXCHANGE, 0, 0x4800, 1, 0},
        UserKeyCase{"SignatureKey", AT_SIGNATURE, 0, 0x4800, 2, 0},
        UserKeyCase{"NoPublicKey", AT_SIGNATURE, 0, 0x0800, 2, static_cast<DWORD>(NTE_NO_KEY)},
        UserKeyCase{"OtherUsage", AT_SIGNATURE, 0, 0x4800, 1, static_cast<DWORD>(NTE_NO_KEY)},
        UserKeyCase{"NoContainer", AT_SIGNATURE, static_cast<DWORD>(SCARD_E_NO_KEY_CONTAINER),
                    0x4800, 2, static_cast<DWORD>(SCARD_E_NO_KEY_CONTAINER)}),
    CaseName());

TEST_F(CardKeyTest, CertificateIsReadOnlyWhenMarkedPresent)
{
    std::unique_ptr<Pavrel_Key> pKey = OpenKey();
    m_pCard->vecCertificate = Bytes{0x30, 0x03, 0x02, 0x01, 0x05};
    BYTE abCert[16] = {0};
    DWORD dwLen = sizeof(abCert);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), CardKey(pKey)->getCertificate(abCert, &dwLen, 0));
    m_pCard->wStatus = 0xC800;
    ASSERT_EQ(0u, CardKey(pKey)->getCertificate(abCert, &dwLen, 0));
    EXPECT_EQ(m_pCard->vecCertificate, Bytes(abCert, abCert + dwLen));
}

}  // namespace
