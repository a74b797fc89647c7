// Pavrel_Key.h
//
// Pavrel_Key: the base of every key whose number the CSP hands out as an
// HCRYPTKEY. Symmetric keys and in-memory RSA keys live in the software
// provider (Pavrel_MSCSP) as the object's software key; card-resident keys
// do their private-key work on the token and keep no software key.
//
// The virtual operations are the per-kind behaviour the provider object
// routes each CP* call to; the default bodies here serve the software keys.
// The static factories make the software keys by algorithm or blob type.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "Pavrel_Handle.h"

class Pavrel_CardAccess;
class Pavrel_Hash;

class Pavrel_Key : public Pavrel_Handle {
public:
    ~Pavrel_Key() override;

    // KP_BLOCKLEN, KP_KEYLEN and KP_PERMISSIONS of the software key; 0 when
    // the provider fails.
    virtual DWORD getBlockLen();
    virtual DWORD getKeyLen();
    virtual DWORD getPermissions();
    virtual DWORD setPermissions(const BYTE *pbPermissions);
    virtual DWORD exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                            DWORD *pdwDataLen);
    virtual DWORD encrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen,
                          DWORD dwBufLen);
    virtual DWORD decrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen);
    virtual DWORD signHash(Pavrel_Hash *pHash, LPCSTR szDescription, DWORD dwFlags,
                           BYTE *pbSignature, DWORD *pdwSigLen) = 0;
    virtual DWORD verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature, DWORD dwSigLen,
                                  LPCSTR szDescription, DWORD dwFlags) = 0;
    // Only the legacy session key imports and generates itself; E_NOTIMPL.
    virtual DWORD importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                            DWORD dwFlags);
    virtual DWORD generateExportable();

    // Parameters of the software key.
    DWORD setIV(const BYTE *pbIV);
    DWORD setSalt(const BYTE *pbSalt);
    DWORD setPadding(const BYTE *pbPadding);
    DWORD setMode(const BYTE *pbMode);
    DWORD setModeBits(const BYTE *pbModeBits);
    DWORD setEffectiveKeyLen(const BYTE *pbKeyLen);
    DWORD getMode(DWORD *pdwMode);
    DWORD getModeBits(DWORD *pdwModeBits);
    DWORD getEffectiveKeyLen(DWORD *pdwKeyLen);
    // Append the value to the caller's bytes.
    DWORD getSalt(std::vector<BYTE> &vecSalt);
    DWORD getIV(std::vector<BYTE> &vecIV);
    DWORD getPadding(std::vector<BYTE> &vecPadding);
    // Any key but RSA.
    bool isSessionKey() const;
    // A block cipher (DES, 3DES, RC2).
    bool isBlockCipher() const;

    ALG_ID getAlgId() const { return _algId; }
    DWORD getFlags() const { return m_dwFlags; }
    HCRYPTKEY getSoftKey() const { return m_hSoftKey; }

    // Software keys: a new key of algId (RSA key specs and algorithms,
    // DES, RC2, 3DES, 3DES-112, RC4).
    static DWORD generate(ALG_ID algId, DWORD dwFlags, Pavrel_Key **ppKey);
    // The software provider's key pair of the key spec, generated when the
    // container has none.
    static DWORD getUserKey(DWORD dwKeySpec, Pavrel_Key **ppKey);
    // A key from a blob, by its type.
    static DWORD importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, Pavrel_Key **ppKey);
    // A session key from a software hash.
    static DWORD deriveKey(ALG_ID algId, HCRYPTHASH hHash, DWORD dwFlags, Pavrel_Key **ppKey);
    // Keys on the token (Pavrel_RSAKeyInCard): a pair generated in the
    // container, the container's existing pair, a PRIVATEKEYBLOB stored into it.
    static DWORD generate(ALG_ID algId, DWORD dwFlags, Pavrel_CardAccess *pCardAccess,
                          const char *pszKeysetName, Pavrel_Key **ppKey);
    static DWORD getUserKey(DWORD dwKeySpec, Pavrel_CardAccess *pCardAccess,
                            const char *pszKeysetName, Pavrel_Key **ppKey);
    static DWORD importKey(const BYTE *pbData, DWORD dwDataLen, Pavrel_CardAccess *pCardAccess,
                           const char *pszKeysetName, Pavrel_Key **ppKey);
    // Windows 2000 or older, where PLAINTEXTKEYBLOB keys are wrapped.
    static bool isLegacyWindows();
    // The symmetric algorithms the software provider makes session keys of.
    static bool isSessionAlgorithm(ALG_ID algId);

protected:
    // bSoftware: the key lives in the software provider, so the object counts
    // as a user of its context (see softwareStatus).
    Pavrel_Key(ALG_ID algId, DWORD dwFlags, bool bSoftware);
    // 0 when the software context could be had (or is not needed), else its
    // error; a factory discards an object whose status is not 0.
    DWORD softwareStatus() const { return m_dwSoftwareStatus; }
    // A 32-bit key parameter of the software key; 0 on failure.
    DWORD getDwordParam(DWORD dwParam);
    // The same into *pdwValue: 0 or the error.
    DWORD readDwordParam(DWORD dwParam, DWORD *pdwValue);
    // Sets a parameter of the software key.
    DWORD setSoftParam(DWORD dwParam, const BYTE *pbData);
    DWORD appendParam(DWORD dwParam, DWORD dwSize, std::vector<BYTE> &vecOut);

    ALG_ID _algId;
    DWORD m_dwFlags;
    ULONG64 m_ullReserved;
    HCRYPTKEY m_hSoftKey;

private:
    DWORD m_dwSoftwareStatus;
    bool m_bUser;
};
