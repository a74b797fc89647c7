// Pavrel_RSAKeyInMemory.h
//
// Pavrel_RSAKeyInMemory: an RSA key in the software provider: public keys
// that applications import, and the key pairs of keysets without a token.
#pragma once

#include "Pavrel_Key.h"

class Pavrel_RSAKeyInMemory : public Pavrel_Key {
public:
    Pavrel_RSAKeyInMemory(ALG_ID algId, DWORD dwFlags);
    ~Pavrel_RSAKeyInMemory() override;

    // Signs the hash's software hash with the software context's exchange
    // pair.
    DWORD signHash(Pavrel_Hash *pHash, LPCSTR szDescription, DWORD dwFlags, BYTE *pbSignature,
                   DWORD *pdwSigLen) override;
    // Verifies against this key.
    DWORD verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature, DWORD dwSigLen,
                          LPCSTR szDescription, DWORD dwFlags) override;
};
