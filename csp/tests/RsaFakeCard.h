// RsaFakeCard.h
//
// A fake card whose key pair is an OpenSSL key: ComputeCrypt does the raw RSA
// operation the token would (public for operations 0 and 2, private for 1
// and 3, big-endian in and out), ReadPublicKey gives the token's record of
// that key, and the container, key and certificate slots answer from fields
// the test sets and record what they were asked.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "FakeCard.h"

typedef std::vector<BYTE> Bytes;

class RsaFakeCard : public FakeCard {
public:
    // The key pair (not owned).
    EVP_PKEY *pKey = nullptr;
    // What the card answers.
    int nRecordBits = -1;  // key bits written in the record; -1: the key's
    int nOutLen = -1;      // length of ComputeCrypt's output; -1: the key's
    DWORD dwCryptResult = 0;
    DWORD dwStatusResult = 0;
    WORD wStatus = 0x4800;  // public key present, in use
    int nUsage = -1;        // key usage; -1: 1 for the exchange key, 2 else
    std::vector<std::string> vecContainers;
    std::string strDevicePath = "\\\\?\\hid#vid_0925&pid_1234#fake";
    // What it was asked.
    int nCrypts = 0;
    int nLastOp = -1;
    Bytes vecLastIn;
    DWORD dwOutRoom = 0;  // room the caller offered for the output
    int nImports = 0;
    DWORD dwImportSpec = 0;
    DWORD dwImportUsage = 0;
    Bytes vecImported;
    int nGenerates = 0;
    KEYGEN_PARAM lastGen = {0, 0};
    DWORD dwGenSpec = 0;
    std::vector<std::string> vecDeleted;
    int nCertWrites = 0;

    DWORD ComputeCrypt(const char *, int nOp, DWORD, const BYTE *pbIn, DWORD dwInLen, BYTE *pbOut,
                       DWORD *pdwOutLen) override;
    DWORD ReadPublicKey(const char *, DWORD, BYTE *pbBlob, DWORD *pdwLen) override;
    DWORD GetKeysetIdObjectStatus(const char *, DWORD dwKeySpec, WORD *pwStatus,
                                  WORD *pwKeyBits) override;
    DWORD GenerateKeys(const char *, KEYGEN_PARAM param, DWORD dwKeySpec) override;
    DWORD ImportKey(const char *, DWORD dwKeySpec, DWORD dwUsage, const BYTE *pbBlob,
                    DWORD dwLen) override;
    DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) override;
    DWORD DeleteKeySet(const char *pszContainer) override;
    DWORD WriteCertificate(const char *, DWORD, const BYTE *pbCert, DWORD dwLen) override;
    BOOL GetDevicePath(char *pszPath, DWORD dwLen) override;

    // The raw RSA operation with the key on k big-endian bytes.
    Bytes RawPublic(const Bytes &in) const;
    Bytes RawPrivate(const Bytes &in) const;
    // Modulus length in bytes.
    DWORD ModulusLen() const;
};
