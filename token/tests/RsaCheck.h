// RsaCheck.h
//
// libcrypto's side of the RSA tests: a public key made from the token's
// export record alone, the PKCS #1 v1.5 signature block a host builds for a
// SHA-256 digest, and the verification and encryption made with that key.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <windows.h>

#include <memory>
#include <vector>

namespace rsacheck {

typedef std::vector<BYTE> Bytes;

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
typedef std::unique_ptr<EVP_PKEY, PkeyFree> Pkey;

// The export record [e (4 bytes, big-endian)][modulus] as a libcrypto key.
inline Pkey PublicKeyFromExport(const Bytes &record)
{
    if (record.size() < 4 + 64)
        return Pkey();
    BIGNUM *pN = BN_bin2bn(record.data() + 4, static_cast<int>(record.size() - 4), nullptr);
    BIGNUM *pE = BN_bin2bn(record.data(), 4, nullptr);
    OSSL_PARAM_BLD *pBuild = OSSL_PARAM_BLD_new();
    OSSL_PARAM *pParams = nullptr;
    EVP_PKEY *pKey = nullptr;
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    if (pN && pE && pBuild && pCtx && OSSL_PARAM_BLD_push_BN(pBuild, OSSL_PKEY_PARAM_RSA_N, pN) &&
        OSSL_PARAM_BLD_push_BN(pBuild, OSSL_PKEY_PARAM_RSA_E, pE) &&
        (pParams = OSSL_PARAM_BLD_to_param(pBuild)) != nullptr &&
        EVP_PKEY_fromdata_init(pCtx) > 0)
        EVP_PKEY_fromdata(pCtx, &pKey, EVP_PKEY_PUBLIC_KEY, pParams);
    EVP_PKEY_CTX_free(pCtx);
    OSSL_PARAM_free(pParams);
    OSSL_PARAM_BLD_free(pBuild);
    BN_free(pE);
    BN_free(pN);
    return Pkey(pKey);
}

inline Bytes Sha256(const Bytes &message)
{
    Bytes digest(32);
    unsigned int uLen = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &uLen, EVP_sha256(), nullptr);
    return digest;
}

// The PKCS #1 v1.5 signature block of k bytes for a SHA-256 digest, as the
// host builds it before the card's raw private operation.
inline Bytes SignatureBlock(const Bytes &digest, std::size_t k)
{
    static const Bytes kSha256DigestInfo = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60,
                                            0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                            0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes block = {0x00, 0x01};
    block.resize(k - kSha256DigestInfo.size() - digest.size() - 1, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), kSha256DigestInfo.begin(), kSha256DigestInfo.end());
    block.insert(block.end(), digest.begin(), digest.end());
    return block;
}

inline bool VerifiesWithLibcrypto(EVP_PKEY *pKey, const Bytes &digest, const Bytes &signature)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    bool bOk = pCtx && EVP_PKEY_verify_init(pCtx) > 0 &&
               EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0 &&
               EVP_PKEY_CTX_set_signature_md(pCtx, EVP_sha256()) > 0 &&
               EVP_PKEY_verify(pCtx, signature.data(), signature.size(), digest.data(),
                               digest.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    return bOk;
}

inline Bytes EncryptWithLibcrypto(EVP_PKEY *pKey, const Bytes &plain)
{
    Bytes out(EVP_PKEY_get_size(pKey));
    size_t nOut = out.size();
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    bool bOk = pCtx && EVP_PKEY_encrypt_init(pCtx) > 0 &&
               EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0 &&
               EVP_PKEY_encrypt(pCtx, out.data(), &nOut, plain.data(), plain.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    out.resize(bOk ? nOut : 0);
    return out;
}

}  // namespace rsacheck
