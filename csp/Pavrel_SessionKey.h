// Pavrel_SessionKey.h
//
// Pavrel_SessionKey: a symmetric key in the software provider. It neither
// signs nor verifies.
#pragma once

#include "Pavrel_Key.h"

class Pavrel_SessionKey : public Pavrel_Key {
public:
    Pavrel_SessionKey(ALG_ID algId, DWORD dwFlags);
    ~Pavrel_SessionKey() override;

    DWORD signHash(Pavrel_Hash *pHash, LPCSTR szDescription, DWORD dwFlags, BYTE *pbSignature,
                   DWORD *pdwSigLen) override;
    DWORD verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature, DWORD dwSigLen,
                          LPCSTR szDescription, DWORD dwFlags) override;
};
