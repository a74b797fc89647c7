// Pavrel_CardAccess.h
//
// Pavrel_CardAccess: the CSP's one access to one token. The process keeps one
// per device name (compared without regard to case) in a list; the keysets
// open on the same token share it through a reference count changed under
// "MUTEX_CSP", and the last Release closes its connection and destroys its
// card object. Every card operation goes through a one-line wrapper here;
// readPublicKey alone has logic of its own (the certificate's key first).
//
// Traces never carry a PIN, private-key material or the data of an RSA
// operation: such buffers appear as their length only.
#pragma once

#include <windows.h>

#include <string>

#include "KQCardAccess.h"
#include "KQCardBase.h"

// The CSP's key-generation record, passed by value.
struct KEY_GEN_PARAM {
    DWORD algId;    // 1 exchange key, 2 signature key
    DWORD keySize;  // bits
};

// Size of the public-key record the card and readPublicKey give.
const DWORD PAVREL_PUBKEY_BLOB_LEN = 262;

class Pavrel_CardAccess {
public:
    // The connected access for the device name, made and opened when there
    // is none yet; null when it cannot be opened (a new access is then not
    // kept). The count is not changed: a caller that keeps it calls AddRef.
    static Pavrel_CardAccess *getCardInstance(const std::string &strDeviceName,
                                              BYTE bUnused = 0);

    void AddRef();
    // The last release removes the access from the list and destroys it;
    // its connection is closed after "MUTEX_CSP" is left.
    void Release();

    const std::string &getDeviceName() const { return m_strDeviceName; }
    LONG getRefCount() const { return _refCount; }

    DWORD openConnection(const char *pszName, BOOL bDefault = TRUE);
    DWORD reconnect();
    DWORD closeConnection();
    BOOL isConnected();
    BOOL GetDevicePath(char *pszDevicePath, DWORD dwLen);
    // The PIN always goes to reference 1; dwPinNum is only traced.
    DWORD verifyPin(DWORD dwPinNum, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbOut);
    DWORD verifyUserPin(const BYTE *pbPin, DWORD dwPinLen);
    DWORD deleteKeyset(const char *pszContainer);
    DWORD importKey(const char *pszContainer, BYTE byType, WORD uKeyUsage, const BYTE *pbBlob,
                    DWORD dwBlobLen);
    DWORD generateKeys(const char *pszContainer, KEY_GEN_PARAM kgp);
    // A PUBKEY_BLOB of the container's key of byType into a buffer of at
    // least 262 bytes: from the certificate when it holds an RSA key of 64
    // to 256 modulus bytes, else the card's own.
    DWORD readPublicKey(const char *pszContainer, BYTE *pbBlob, DWORD *pdwLen, BYTE byType);
    DWORD readKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount);
    DWORD writeKeysetId(int nIndex, const char *pszContainer);
    DWORD getKeysetIdObjectStatus(const char *pszContainer, BYTE byType, WORD *pwStatus,
                                  WORD *pwKeyBits);
    DWORD computeCrypt(const char *pszContainer, int nOp, BYTE byType, const BYTE *pbIn,
                       DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen);
    DWORD readCertificate(const char *pszContainer, BYTE byType, BYTE *pbCert, DWORD *pdwLen);
    DWORD writeCertificate(const char *pszContainer, BYTE byType, const BYTE *pbCert,
                           DWORD dwLen);
    DWORD clearScreen();
    DWORD setDisplay(const char *pScreen);
    DWORD delayDisplayLogo(int nMilliseconds);
    DWORD KeyInStart(const KEYINSTART_PARAM *pParam, void *pExtra);
    DWORD KeyIn(char *pKey, int *pState);

    // The RSA public key of a DER certificate: modulus least significant
    // byte first, and exponent. 1, or 0 when the certificate is unreadable,
    // holds no importable RSA key or the modulus does not fit.
    static BOOL PublicKeyFromCertificate(const BYTE *pbCert, DWORD dwCertLen, BYTE *pbModulus,
                                         DWORD *pdwModulusLen, DWORD *pdwExponent);

private:
    explicit Pavrel_CardAccess(const std::string &strDeviceName);
    ~Pavrel_CardAccess();
    Pavrel_CardAccess(const Pavrel_CardAccess &) = delete;
    Pavrel_CardAccess &operator=(const Pavrel_CardAccess &) = delete;

    KQCardBase *card() const { return m_cardAccess.card(); }

    std::string m_strDeviceName;
    LONG _refCount;
    CKQCardAccess m_cardAccess;
};
