// KQCryptObject.cpp
#include "KQCryptObject.h"

#include <openssl/evp.h>

#include <algorithm>
#include <vector>

namespace {

const unsigned long KQCRYPT_OK = 0;
const unsigned long KQCRYPT_BAD_ARGUMENT = 1;
const unsigned long KQCRYPT_FAILED = 2;

// Runs one cipher pass without padding; the result replaces the data only
// when the whole pass succeeded.
unsigned long RunCipher(const EVP_CIPHER *pCipher, bool bEncrypt, unsigned char *pbData,
                        unsigned long ulDataLen, const unsigned char *pbKey,
                        const unsigned char *pbIv)
{
    EVP_CIPHER_CTX *pCtx = EVP_CIPHER_CTX_new();
    if (pCtx == nullptr)
        return KQCRYPT_FAILED;
    std::vector<unsigned char> out(ulDataLen + 8);
    int nOut = 0, nFinal = 0;
    bool bOk = EVP_CipherInit_ex(pCtx, pCipher, nullptr, pbKey, pbIv, bEncrypt ? 1 : 0) == 1 &&
               EVP_CIPHER_CTX_set_padding(pCtx, 0) == 1 &&
               EVP_CipherUpdate(pCtx, out.data(), &nOut, pbData,
                                static_cast<int>(ulDataLen)) == 1 &&
               EVP_CipherFinal_ex(pCtx, out.data() + nOut, &nFinal) == 1 &&
               static_cast<unsigned long>(nOut + nFinal) == ulDataLen;
    EVP_CIPHER_CTX_free(pCtx);
    if (!bOk)
        return KQCRYPT_FAILED;
    std::copy(out.begin(), out.begin() + ulDataLen, pbData);
    return KQCRYPT_OK;
}

bool ValidBlockData(const unsigned char *pbData, unsigned long ulDataLen,
                    const unsigned char *pbKey, unsigned long ulKeyLen)
{
    return pbData != nullptr && ulDataLen > 0 && ulDataLen % 8 == 0 && pbKey != nullptr &&
           ulKeyLen == 16;
}

}  // namespace

unsigned long CKQCryptObject::DES_ECB3_ENCRYPT(unsigned long ulOperation, unsigned char *pbData,
                                               unsigned long *pulOutLen,
                                               unsigned long ulDataLen,
                                               const unsigned char *pbKey,
                                               unsigned long ulKeyLen)
{
    if (!ValidBlockData(pbData, ulDataLen, pbKey, ulKeyLen) || ulOperation > 1)
        return KQCRYPT_BAD_ARGUMENT;
    unsigned long ulResult =
        RunCipher(EVP_des_ede_ecb(), ulOperation == 1, pbData, ulDataLen, pbKey, nullptr);
    if (ulResult == KQCRYPT_OK && pulOutLen)
        *pulOutLen = ulDataLen;
    return ulResult;
}

unsigned long CKQCryptObject::DES_EDE3_CBC_ENCRYPT(unsigned char *pbData,
                                                   unsigned long *pulOutLen,
                                                   unsigned long ulDataLen,
                                                   const unsigned char *pbKey,
                                                   unsigned long ulKeyLen,
                                                   const unsigned char *pbIv,
                                                   unsigned long ulIvLen)
{
    if (!ValidBlockData(pbData, ulDataLen, pbKey, ulKeyLen) || pbIv == nullptr ||
        ulIvLen != 8)
        return KQCRYPT_BAD_ARGUMENT;
    unsigned long ulResult =
        RunCipher(EVP_des_ede_cbc(), true, pbData, ulDataLen, pbKey, pbIv);
    if (ulResult == KQCRYPT_OK && pulOutLen)
        *pulOutLen = ulDataLen;
    return ulResult;
}
