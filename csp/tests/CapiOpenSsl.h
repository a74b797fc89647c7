// CapiOpenSsl.h
//
// libcrypto's view of what CryptoAPI hands out: a public key from its
// PUBLICKEYBLOB (little-endian modulus), a SHA-1 signature check on a
// CryptoAPI signature (little-endian too) and PKCS #1 v1.5 encryption whose
// result a CryptoAPI decryption takes (bytes reversed again).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RsaCheck.h"

namespace capissl {

typedef std::vector<BYTE> Bytes;

// The libcrypto key of a PUBLICKEYBLOB (BLOBHEADER, RSAPUBKEY, modulus), or
// none when the blob is not one.
inline rsacheck::Pkey PublicKeyOf(const Bytes &blob)
{
    const size_t kHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (blob.size() < kHeader || blob[0] != PUBLICKEYBLOB)
        return rsacheck::Pkey();
    RSAPUBKEY rsa;
    memcpy(&rsa, blob.data() + sizeof(BLOBHEADER), sizeof(rsa));
    if (rsa.magic != 0x31415352 || blob.size() < kHeader + rsa.bitlen / 8)
        return rsacheck::Pkey();
    // The export record libcrypto's helper takes: e then n, big-endian.
    Bytes record = {static_cast<BYTE>(rsa.pubexp >> 24), static_cast<BYTE>(rsa.pubexp >> 16),
                    static_cast<BYTE>(rsa.pubexp >> 8), static_cast<BYTE>(rsa.pubexp)};
    record.insert(record.end(), blob.begin() + kHeader, blob.begin() + kHeader + rsa.bitlen / 8);
    std::reverse(record.begin() + 4, record.end());
    return rsacheck::PublicKeyFromExport(record);
}

inline Bytes Reversed(Bytes bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// True when the CryptoAPI signature verifies over SHA-1(strData).
inline bool VerifiesSha1(const Bytes &blob, const std::string &strData, const Bytes &signature)
{
    rsacheck::Pkey key = PublicKeyOf(blob);
    if (!key)
        return false;
    EVP_MD_CTX *pCtx = EVP_MD_CTX_new();
    const Bytes big = Reversed(signature);
    const bool bOk = pCtx && EVP_DigestVerifyInit(pCtx, nullptr, EVP_sha1(), nullptr, key.get()) == 1 &&
                     EVP_DigestVerify(pCtx, big.data(), big.size(),
                                      reinterpret_cast<const unsigned char *>(strData.data()),
                                      strData.size()) == 1;
    EVP_MD_CTX_free(pCtx);
    return bOk;
}

// PKCS #1 v1.5 encryption of plain with the blob's key, little-endian as
// CryptDecrypt takes it; empty on failure.
inline Bytes EncryptForCapi(const Bytes &blob, const Bytes &plain)
{
    rsacheck::Pkey key = PublicKeyOf(blob);
    if (!key)
        return Bytes();
    return Reversed(rsacheck::EncryptWithLibcrypto(key.get(), plain));
}

// A certificate for a CryptoAPI public key and the throwaway authority that
// issued it, both DER.
struct IssuedCertificate {
    Bytes der;
    Bytes caDer;
};

inline Bytes DerOf(X509 *pCert)
{
    const int nLen = i2d_X509(pCert, nullptr);
    if (nLen <= 0)
        return Bytes();
    Bytes der(static_cast<size_t>(nLen));
    unsigned char *p = der.data();
    i2d_X509(pCert, &p);
    return der;
}

inline bool AddExtension(X509 *pCert, X509 *pIssuer, int nNid, const char *pszValue)
{
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    X509_EXTENSION *pExt = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, pszValue);
    const bool bOk = pExt != nullptr && X509_add_ext(pCert, pExt, -1) == 1;
    X509_EXTENSION_free(pExt);
    return bOk;
}

inline X509 *NewCertificate(const char *pszSubject, const char *pszIssuer, long nSerial)
{
    X509 *pCert = X509_new();
    X509_set_version(pCert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pCert), nSerial);
    X509_gmtime_adj(X509_getm_notBefore(pCert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(pCert), 3600L * 24 * 30);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(pCert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(pszSubject), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(pCert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(pszIssuer), -1, -1, 0);
    return pCert;
}

// A certificate for the PUBLICKEYBLOB's key, issued by a fresh authority;
// empty DERs on failure.
inline IssuedCertificate IssueFor(const Bytes &blob, const char *pszSubject)
{
    IssuedCertificate issued;
    rsacheck::Pkey subjectKey = PublicKeyOf(blob);
    rsacheck::Pkey caKey(EVP_RSA_gen(2048));
    if (!subjectKey || !caKey)
        return issued;
    const char kCa[] = "Kavru Test Authority";
    X509 *pCa = NewCertificate(kCa, kCa, 1);
    X509 *pCert = NewCertificate(pszSubject, kCa, 2);
    const bool bOk = X509_set_pubkey(pCa, caKey.get()) == 1 &&
                     AddExtension(pCa, pCa, NID_basic_constraints, "critical,CA:TRUE") &&
                     X509_sign(pCa, caKey.get(), EVP_sha256()) > 0 &&
                     X509_set_pubkey(pCert, subjectKey.get()) == 1 &&
                     AddExtension(pCert, pCa, NID_key_usage, "critical,digitalSignature") &&
                     X509_sign(pCert, caKey.get(), EVP_sha256()) > 0;
    if (bOk) {
        issued.der = DerOf(pCert);
        issued.caDer = DerOf(pCa);
    }
    X509_free(pCert);
    X509_free(pCa);
    return issued;
}

// The content of a PKCS #7 signed message (DER) when its signature verifies
// and its signer's certificate chains to the authority; "" otherwise.
inline std::string VerifiedPkcs7Content(const Bytes &message, const Bytes &caDer)
{
    const unsigned char *p = message.data();
    PKCS7 *pMessage = d2i_PKCS7(nullptr, &p, static_cast<long>(message.size()));
    p = caDer.data();
    X509 *pCa = d2i_X509(nullptr, &p, static_cast<long>(caDer.size()));
    X509_STORE *pStore = X509_STORE_new();
    BIO *pOut = BIO_new(BIO_s_mem());
    std::string strContent;
    if (pMessage && pCa && pStore && pOut && X509_STORE_add_cert(pStore, pCa) == 1 &&
        PKCS7_verify(pMessage, nullptr, pStore, nullptr, pOut, PKCS7_BINARY) == 1) {
        char *pData = nullptr;
        const long nLen = BIO_get_mem_data(pOut, &pData);
        strContent.assign(pData, static_cast<size_t>(nLen));
    }
    BIO_free(pOut);
    X509_STORE_free(pStore);
    X509_free(pCa);
    PKCS7_free(pMessage);
    return strContent;
}

}  // namespace capissl
