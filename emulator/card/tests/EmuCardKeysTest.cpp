// EmuCardKeysTest.cpp
//
// Key generation, export, chained import and the raw RSA operations, checked
// against libcrypto with the exported public key.
#include "EmuCardOs.h"
#include "EmuCardTestSupport.h"

#include "CaseName.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
typedef std::unique_ptr<EVP_PKEY, PkeyFree> PkeyPtr;

// An RSA public key for libcrypto from an export record [e (4)][modulus].
PkeyPtr PublicKeyFromExport(const Bytes &vbRecord)
{
    if (vbRecord.size() < 8)
        return PkeyPtr();
    BIGNUM *pE = BN_bin2bn(vbRecord.data(), 4, nullptr);
    BIGNUM *pN = BN_bin2bn(vbRecord.data() + 4, static_cast<int>(vbRecord.size() - 4), nullptr);
    OSSL_PARAM_BLD *pBld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(pBld, OSSL_PKEY_PARAM_RSA_N, pN);
    OSSL_PARAM_BLD_push_BN(pBld, OSSL_PKEY_PARAM_RSA_E, pE);
    OSSL_PARAM *pParams = OSSL_PARAM_BLD_to_param(pBld);
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pKey = nullptr;
    if (EVP_PKEY_fromdata_init(pCtx) != 1 ||
        EVP_PKEY_fromdata(pCtx, &pKey, EVP_PKEY_PUBLIC_KEY, pParams) != 1)
        pKey = nullptr;
    EVP_PKEY_CTX_free(pCtx);
    OSSL_PARAM_free(pParams);
    OSSL_PARAM_BLD_free(pBld);
    BN_free(pE);
    BN_free(pN);
    return PkeyPtr(pKey);
}

// Raw (unpadded) public operation with libcrypto.
Bytes RawPublic(EVP_PKEY *pKey, const Bytes &vbIn)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    Bytes vbOut(static_cast<size_t>(EVP_PKEY_get_size(pKey)));
    size_t cbOut = vbOut.size();
    const bool fOk = EVP_PKEY_encrypt_init(pCtx) == 1 &&
                     EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_NO_PADDING) == 1 &&
                     EVP_PKEY_encrypt(pCtx, vbOut.data(), &cbOut, vbIn.data(), vbIn.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    EXPECT_TRUE(fOk);
    vbOut.resize(fOk ? cbOut : 0);
    return vbOut;
}

// A PKCS #1 type 1 block as the host builds it for a signature.
Bytes SignatureBlock(size_t cbModulus)
{
    Bytes vb(cbModulus, 0xFF);
    vb[0] = 0x00;
    vb[1] = 0x01;
    const size_t cbHash = 20;
    vb[cbModulus - cbHash - 1] = 0x00;
    for (size_t i = 0; i < cbHash; ++i)
        vb[cbModulus - cbHash + i] = static_cast<uint8_t>(0xA0 + i);
    return vb;
}

class CardKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Authenticate(m_card);
        ASSERT_EQ(0x9000, VerifyPin(m_card, "123456"));
    }
    Bytes Export(const char *pszFid)
    {
        const SCardAnswer answer = Send(m_card, Hex((std::string("80D8") + pszFid + "00").c_str()));
        EXPECT_EQ(0x9000, answer.wSw);
        return answer.vbData;
    }
    CEmuCardOs m_card;
};

struct SGenCase {
    const char *pszName;
    uint8_t bSizeCode;
    size_t cbModulus;
};

class GenerateTest : public CardKeyTest, public ::testing::WithParamInterface<SGenCase> {};

TEST_P(GenerateTest, SignVerifiesWithExportedKey)
{
    Bytes vbGen = Hex("0046000005 5052 5062");
    vbGen.push_back(GetParam().bSizeCode);
    ASSERT_EQ(0x9000, Send(m_card, vbGen).wSw);
    const Bytes vbRecord = Export("5052");
    ASSERT_EQ(4 + GetParam().cbModulus, vbRecord.size());
    EXPECT_EQ(Hex("00010001"), Bytes(vbRecord.begin(), vbRecord.begin() + 4));
    PkeyPtr pKey = PublicKeyFromExport(vbRecord);
    ASSERT_TRUE(pKey);

    const Bytes vbBlock = SignatureBlock(GetParam().cbModulus);
    std::vector<SCardAnswer> vBlocks;
    const SCardAnswer sig = SendChained(m_card, Hex("802A9E9A"), Hex("5062"), vbBlock, &vBlocks);
    ASSERT_EQ(0x9000, sig.wSw);
    ASSERT_EQ(GetParam().cbModulus, sig.vbData.size());
    for (size_t i = 0; i + 1 < vBlocks.size(); ++i)
        EXPECT_TRUE(vBlocks[i].vbData.empty()) << "intermediate block " << i;
    EXPECT_EQ(vbBlock, RawPublic(pKey.get(), sig.vbData));

    // The card's own verification gives the block back as well.
    const SCardAnswer verify = SendChained(m_card, Hex("802A00A8"), Hex("5052"), sig.vbData);
    ASSERT_EQ(0x9000, verify.wSw);
    EXPECT_EQ(vbBlock, verify.vbData);

    // Public-key encryption then private-key decryption round-trips.
    Bytes vbPlain(GetParam().cbModulus, 0x11);
    vbPlain[0] = 0x00;
    const Bytes vbCipher = RawPublic(pKey.get(), vbPlain);
    EXPECT_EQ(vbCipher, SendChained(m_card, Hex("802A8680"), Hex("5052"), vbPlain).vbData);
    EXPECT_EQ(vbPlain, SendChained(m_card, Hex("802A8086"), Hex("5062"), vbCipher).vbData);
}

INSTANTIATE_TEST_SUITE_P(Card, GenerateTest,
                         ::testing::Values(SGenCase{"Rsa512", 1, 64}, SGenCase{"Rsa1024", 2, 128},
                                           SGenCase{"Rsa2048", 3, 256}),
                         CaseName());

TEST_F(CardKeyTest, GenerateRefusals)
{
    EXPECT_EQ(0x6A80, SendSw(m_card, "0046000005 5051 5061 04"));
    EXPECT_EQ(0x6981, SendSw(m_card, "0046000005 5061 5051 02"));
    EXPECT_EQ(0x6A82, SendSw(m_card, "0046000005 50F1 5061 02"));
    EXPECT_EQ(0x6700, SendSw(m_card, "0046000004 5051 5061"));
    EXPECT_EQ(0x6A88, SendSw(m_card, "80D8505100"));   // nothing generated yet
    EXPECT_EQ(0x6985, SendSw(m_card, "80D8506100"));   // private keys never leave
    EXPECT_EQ(0x6A88, SendSw(m_card, "802A9E9A05 5061 01 0102"));
}

TEST_F(CardKeyTest, RawOperationRefusals)
{
    ASSERT_EQ(0x9000, SendSw(m_card, "0046000005 5051 5061 01"));
    Bytes vbTooBig(64, 0xFF);
    EXPECT_EQ(0x6A80, SendChained(m_card, Hex("802A9E9A"), Hex("5061"), vbTooBig).wSw);
    EXPECT_EQ(0x6700, SendChained(m_card, Hex("802A9E9A"), Hex("5061"), Bytes(65, 0x01)).wSw);
    EXPECT_EQ(0x6981, SendChained(m_card, Hex("802A9E9A"), Hex("5051"), Bytes(64, 0x01)).wSw);
    EXPECT_EQ(0x6981, SendChained(m_card, Hex("802A00A8"), Hex("5061"), Bytes(64, 0x01)).wSw);
    EXPECT_EQ(0x6A86, SendSw(m_card, "802A9E9B04 5061 01 00"));
    EXPECT_EQ(0x6A80, SendSw(m_card, "802A9E9A04 5061 02 00"));
    EXPECT_EQ(0x6700, SendSw(m_card, "802A9E9A02 5061"));
    // Without the PIN (new directory selection) the private key is refused.
    ASSERT_EQ(0x9000, SendSw(m_card, "00A4000002 5000"));
    EXPECT_EQ(0x6982, SendChained(m_card, Hex("802A9E9A"), Hex("5061"), Bytes(64, 0x01)).wSw);
    EXPECT_EQ(0x9000, SendChained(m_card, Hex("802A00A8"), Hex("5051"), Bytes(64, 0x01)).wSw);
}

TEST_F(CardKeyTest, ChainBrokenByOtherCommand)
{
    ASSERT_EQ(0x9000, SendSw(m_card, "0046000005 5051 5061 01"));
    Bytes vbFirst = Hex("802A00A833 5051 00");
    vbFirst.resize(vbFirst.size() + 48, 0x01);
    ASSERT_EQ(0x9000, Send(m_card, vbFirst).wSw);
    ASSERT_EQ(0x9000, SendSw(m_card, "8021000100"));
    // The remaining 16 bytes alone are a short, valid input now.
    Bytes vbLast = Hex("802A00A813 5051 01");
    vbLast.resize(vbLast.size() + 16, 0x01);
    const SCardAnswer answer = Send(m_card, vbLast);
    EXPECT_EQ(0x9000, answer.wSw);
    EXPECT_EQ(64u, answer.vbData.size());
}

// The import blob for the public and the private key file, from libcrypto.
void BuildImportBlobs(EVP_PKEY *pKey, Bytes &vbPublic, Bytes &vbPrivate, Bytes &vbModulus)
{
    const char *apszNames[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                               OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                               OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    BIGNUM *pN = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &pN));
    const size_t cbN = static_cast<size_t>(BN_num_bytes(pN));
    vbModulus.resize(cbN);
    BN_bn2bin(pN, vbModulus.data());
    BN_free(pN);
    vbPublic = {0, 0, static_cast<uint8_t>((cbN + 4) >> 8), static_cast<uint8_t>(cbN + 4),
                0x00, 0x01, 0x00, 0x01};
    vbPublic.insert(vbPublic.end(), vbModulus.begin(), vbModulus.end());
    const size_t cbHalf = cbN / 2;
    vbPrivate = {0, 0, static_cast<uint8_t>((5 * cbHalf) >> 8), static_cast<uint8_t>(5 * cbHalf)};
    for (const char *pszName : apszNames) {
        BIGNUM *pBn = nullptr;
        ASSERT_EQ(1, EVP_PKEY_get_bn_param(pKey, pszName, &pBn));
        const size_t iPos = vbPrivate.size();
        vbPrivate.resize(iPos + cbHalf);
        BN_bn2binpad(pBn, vbPrivate.data() + iPos, static_cast<int>(cbHalf));
        BN_clear_free(pBn);
    }
}

TEST_F(CardKeyTest, ChainedImportThenDecrypt)
{
    EVP_PKEY *pRaw = EVP_RSA_gen(1024);
    ASSERT_NE(nullptr, pRaw);
    PkeyPtr pKey(pRaw);
    Bytes vbPublic, vbPrivate, vbModulus;
    BuildImportBlobs(pKey.get(), vbPublic, vbPrivate, vbModulus);

    std::vector<SCardAnswer> vBlocks;
    ASSERT_EQ(0x9000, SendChained(m_card, Hex("00D25053"), Bytes(), vbPublic).wSw);
    ASSERT_EQ(0x9000, SendChained(m_card, Hex("00D25063"), Bytes(), vbPrivate, &vBlocks).wSw);
    EXPECT_EQ(3u, vBlocks.size());  // 324 bytes: 128, 128 and 68

    const Bytes vbRecord = Export("5053");
    EXPECT_EQ(vbModulus, Bytes(vbRecord.begin() + 4, vbRecord.end()));
    Bytes vbPlain(128, 0x5A);
    vbPlain[0] = 0x00;
    const Bytes vbCipher = RawPublic(pKey.get(), vbPlain);
    EXPECT_EQ(vbPlain, SendChained(m_card, Hex("802A8086"), Hex("5063"), vbCipher).vbData);
}

TEST_F(CardKeyTest, InconsistentImportRefused)
{
    EVP_PKEY *pRaw = EVP_RSA_gen(1024);
    ASSERT_NE(nullptr, pRaw);
    PkeyPtr pKey(pRaw);
    Bytes vbPublic, vbPrivate, vbModulus;
    BuildImportBlobs(pKey.get(), vbPublic, vbPrivate, vbModulus);
    Bytes vbBadCoefficient = vbPrivate;
    vbBadCoefficient.back() ^= 0x01;
    EXPECT_EQ(0x6A80, SendChained(m_card, Hex("00D25063"), Bytes(), vbBadCoefficient).wSw);
    Bytes vbShortPublic(vbPublic.begin(), vbPublic.end() - 1);
    EXPECT_EQ(0x6A80, SendChained(m_card, Hex("00D25053"), Bytes(), vbShortPublic).wSw);
    EXPECT_EQ(0x6A88, SendSw(m_card, "80D8505300"));
    EXPECT_EQ(0x6700, SendChained(m_card, Hex("00D25063"), Bytes(), Bytes(1100, 1)).wSw);
    // Without the PIN nothing is imported.
    ASSERT_EQ(0x9000, SendSw(m_card, "00A4000002 5000"));
    EXPECT_EQ(0x6982, SendChained(m_card, Hex("00D25053"), Bytes(), vbPublic).wSw);
}

}  // namespace
