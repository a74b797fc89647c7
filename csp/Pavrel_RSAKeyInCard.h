// Pavrel_RSAKeyInCard.h
//
// Pavrel_RSAKeyInCard: one RSA key pair in a container on the token, the
// signature key (CALG_RSA_SIGN) or the exchange key (CALG_RSA_KEYX). The
// private key never leaves the token: every RSA operation is one card
// computeCrypt through the keyset's Pavrel_CardAccess, and the PKCS #1 v1.5
// blocks are built and taken apart here. The object keeps no key material;
// each operation reads the public key again.
//
// A signature is handed to the caller only after the user confirmed it on
// the token (the sign confirmation, reached through PFN_PAVREL_CONFIRM_SIGN).
// On every other outcome the caller's buffer is left as it was.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "Pavrel_Key.h"

class Pavrel_CardAccess;

// The sign confirmation on the token's screen: shows the hash's hashed bytes
// and waits for the user. 0 confirmed, -4 cancelled or timed out, -1 screen
// or keypad failure, -3 (or anything else) an exception.
typedef int (*PFN_PAVREL_CONFIRM_SIGN)(Pavrel_Hash *pHash, Pavrel_CardAccess *pCardAccess);

// A source of random bytes for the encryption padding: 0 or the error.
typedef DWORD (*PFN_PAVREL_GEN_RANDOM)(DWORD dwLen, BYTE *pbBuffer);

// The window of a running key manager that hears about new certificates.
extern const char PAVREL_NOTICE_WINDOW[];
// How long a certificate write waits for that window to take the notice.
const UINT PAVREL_NOTICE_TIMEOUT_MS = 2000;

class Pavrel_RSAKeyInCard : public Pavrel_Key {
public:
    // A key of the container on the token reached through pCardAccess (not
    // owned); Pavrel_Key's card factories make them.
    Pavrel_RSAKeyInCard(ALG_ID algId, DWORD dwFlags, Pavrel_CardAccess *pCardAccess,
                        const std::string &strKeysetName);
    ~Pavrel_RSAKeyInCard() override;

    // The key's size in bits, read from the token; 0 when it cannot be read.
    DWORD getBlockLen() override;
    DWORD getKeyLen() override;
    // Always CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ; they cannot change.
    DWORD getPermissions() override;
    DWORD setPermissions(const BYTE *pbPermissions) override;
    // The public key as a PUBLICKEYBLOB (aiKeyAlg CALG_RSA_KEYX for both kinds).
    DWORD exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                    DWORD *pdwDataLen) override;
    // Raw PKCS #1 v1.5 type 2 with the public key; the result little-endian.
    DWORD encrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen,
                  DWORD dwBufLen) override;
    // The card's private operation on the little-endian ciphertext; the
    // plaintext replaces it.
    DWORD decrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen) override;
    // PKCS #1 v1.5 type 1 over the DigestInfo (none with CRYPT_NOHASHOID or
    // for SSL3 SHA-MD5), signed by the card, released after the confirmation.
    DWORD signHash(Pavrel_Hash *pHash, LPCSTR szDescription, DWORD dwFlags, BYTE *pbSignature,
                   DWORD *pdwSigLen) override;
    // The card's public operation, compared with the whole expected block.
    DWORD verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature, DWORD dwSigLen,
                          LPCSTR szDescription, DWORD dwFlags) override;

    // The certificate of the container's key of byType, when there is one.
    DWORD getCertificate(BYTE *pbCert, DWORD *pdwLen, BYTE byType);
    // Writes the certificate, leaves on the token only this container and the
    // default one, and tells a running key manager.
    DWORD setCertificate(const BYTE *pbCert, DWORD dwLen, BYTE byType);

    // 0 for the signature key, 1 for the exchange key.
    BYTE keyType() const { return _algId == CALG_RSA_SIGN ? 0 : 1; }
    const std::string &getKeysetName() const { return _keysetName; }

    // Bind the sign confirmation (the token's screen dialogue, or a test's
    // fake) or the random source; null restores the default (Pavrel_DisplaySign
    // on the token's screen; the software provider's random). Each returns the
    // one it replaces.
    static PFN_PAVREL_CONFIRM_SIGN setSignConfirmation(PFN_PAVREL_CONFIRM_SIGN pfnConfirm);
    static PFN_PAVREL_GEN_RANDOM setRandomSource(PFN_PAVREL_GEN_RANDOM pfnRandom);

private:
    // The public-key record and the modulus length k, which must lie
    // within 64 to 256 bytes (the record's modulus field).
    DWORD readPublicKey(BYTE *pbBlob, DWORD *pdwModulusLen);
    // The same when only the modulus length is wanted.
    DWORD readModulusLen(DWORD *pdwModulusLen);
    // The card's public (bPrivate false) or private operation, into a
    // buffer for the largest key.
    DWORD compute(bool bPrivate, const BYTE *pbIn, DWORD dwInLen, std::vector<BYTE> &vecOut);
    // Sends WM_COPYDATA with the device path to the key manager's window.
    void noticeKeyManager();

    Pavrel_CardAccess *m_pCardAccess;
    std::string _keysetName;
};
