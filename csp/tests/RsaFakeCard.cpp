// RsaFakeCard.cpp
#include "RsaFakeCard.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

namespace {

// One raw (unpadded) RSA operation on k bytes; empty on failure.
Bytes RawOperation(EVP_PKEY *pKey, bool bPrivate, Bytes in)
{
    const size_t k = static_cast<size_t>(EVP_PKEY_get_size(pKey));
    if (in.size() > k)
        return Bytes();
    in.insert(in.begin(), k - in.size(), 0x00);
    Bytes out(k);
    size_t nOut = out.size();
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    bool bOk = pCtx != nullptr;
    if (bOk && bPrivate)
        bOk = EVP_PKEY_decrypt_init(pCtx) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_NO_PADDING) > 0 &&
              EVP_PKEY_decrypt(pCtx, out.data(), &nOut, in.data(), in.size()) == 1;
    else if (bOk)
        bOk = EVP_PKEY_encrypt_init(pCtx) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_NO_PADDING) > 0 &&
              EVP_PKEY_encrypt(pCtx, out.data(), &nOut, in.data(), in.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    if (!bOk)
        return Bytes();
    out.resize(nOut);
    return out;
}

}  // namespace

DWORD RsaFakeCard::ModulusLen() const { return static_cast<DWORD>(EVP_PKEY_get_size(pKey)); }

Bytes RsaFakeCard::RawPublic(const Bytes &in) const { return RawOperation(pKey, false, in); }
Bytes RsaFakeCard::RawPrivate(const Bytes &in) const { return RawOperation(pKey, true, in); }

DWORD RsaFakeCard::ComputeCrypt(const char *, int nOp, DWORD, const BYTE *pbIn, DWORD dwInLen,
                                BYTE *pbOut, DWORD *pdwOutLen)
{
    ++nCrypts;
    nLastOp = nOp;
    vecLastIn.assign(pbIn, pbIn + dwInLen);
    dwOutRoom = *pdwOutLen;
    if (dwCryptResult != 0)
        return dwCryptResult;
    Bytes out = (nOp == 1 || nOp == 3) ? RawPrivate(vecLastIn) : RawPublic(vecLastIn);
    if (out.empty())
        return SCARD_E_INVALID_PARAMETER;
    if (nOutLen >= 0)
        out.resize(static_cast<size_t>(nOutLen), 0x5C);
    // A card writes no more than it was offered.
    if (out.size() > *pdwOutLen)
        return ERROR_MORE_DATA;
    std::memcpy(pbOut, out.data(), out.size());
    *pdwOutLen = static_cast<DWORD>(out.size());
    return 0;
}

DWORD RsaFakeCard::ReadPublicKey(const char *, DWORD, BYTE *pbBlob, DWORD *pdwLen)
{
    ++nReadPublicKey;
    BYTE abRecord[262] = {0};
    const DWORD k = ModulusLen();
    const DWORD dwBits = nRecordBits >= 0 ? static_cast<DWORD>(nRecordBits) : k * 8;
    abRecord[0] = static_cast<BYTE>(dwBits >> 8);
    abRecord[1] = static_cast<BYTE>(dwBits);
    BIGNUM *pN = nullptr, *pE = nullptr;
    EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &pN);
    EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_E, &pE);
    Bytes modulus(k);
    BN_bn2binpad(pN, modulus.data(), static_cast<int>(k));
    std::reverse(modulus.begin(), modulus.end());
    // Least significant byte first, each pair swapped.
    for (DWORD j = 0; j < k; ++j)
        abRecord[2 + (j ^ 1)] = modulus[j];
    BN_bn2binpad(pE, abRecord + 258, 4);
    BN_free(pN);
    BN_free(pE);
    std::memcpy(pbBlob, abRecord, sizeof(abRecord));
    *pdwLen = sizeof(abRecord);
    return 0;
}

DWORD RsaFakeCard::GetKeysetIdObjectStatus(const char *, DWORD dwKeySpec, WORD *pwStatus,
                                           WORD *pwKeyBits)
{
    if (dwStatusResult != 0)
        return dwStatusResult;
    *pwStatus = wStatus;
    *pwKeyBits = static_cast<WORD>(nUsage >= 0 ? nUsage : (dwKeySpec ? 1 : 2));
    return 0;
}

DWORD RsaFakeCard::GenerateKeys(const char *, KEYGEN_PARAM param, DWORD dwKeySpec)
{
    ++nGenerates;
    lastGen = param;
    dwGenSpec = dwKeySpec;
    return 0;
}

DWORD RsaFakeCard::ImportKey(const char *, DWORD dwKeySpec, DWORD dwUsage, const BYTE *pbBlob,
                             DWORD dwLen)
{
    ++nImports;
    dwImportSpec = dwKeySpec;
    dwImportUsage = dwUsage;
    vecImported.assign(pbBlob, pbBlob + dwLen);
    return 0;
}

DWORD RsaFakeCard::ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    if (vecContainers.size() > *pdwCount)
        return SCARD_E_INSUFFICIENT_BUFFER;
    for (size_t i = 0; i < vecContainers.size(); ++i) {
        pItems[i].wStatus = 0x0800;
        // As the token stores it: a name as long as the field has no NUL.
        std::memset(pItems[i].szName, 0, sizeof(pItems[i].szName));
        std::memcpy(pItems[i].szName, vecContainers[i].data(),
                    std::min(vecContainers[i].size(), sizeof(pItems[i].szName)));
    }
    *pdwCount = static_cast<DWORD>(vecContainers.size());
    return 0;
}

DWORD RsaFakeCard::DeleteKeySet(const char *pszContainer)
{
    vecDeleted.push_back(pszContainer);
    return 0;
}

DWORD RsaFakeCard::WriteCertificate(const char *, DWORD, const BYTE *pbCert, DWORD dwLen)
{
    ++nCertWrites;
    vecCertificate.assign(pbCert, pbCert + dwLen);
    return 0;
}

BOOL RsaFakeCard::GetDevicePath(char *pszPath, DWORD dwLen)
{
    if (strDevicePath.size() + 1 > dwLen)
        return FALSE;
    std::memcpy(pszPath, strDevicePath.c_str(), strDevicePath.size() + 1);
    return TRUE;
}
