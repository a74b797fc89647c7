// MsProviderVerify.h
//
// A signature checked by Wine's Microsoft Enhanced provider: the public key
// imported from its PUBLICKEYBLOB, the data hashed with SHA-1 there.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "CapiHandles.h"

// True when the signature (little-endian, as CryptoAPI hands it out)
// verifies over the SHA-1 of strData with the PUBLICKEYBLOB.
inline bool VerifiesInMicrosoftProvider(const std::vector<BYTE> &publicBlob,
                                        const std::string &strData, const BYTE *pbSig,
                                        DWORD dwSigLen)
{
    CapiContext ctx;
    CapiKey key;
    CapiHash hash;
    return CryptAcquireContextA(ctx.out(), nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT) &&
           CryptImportKey(ctx.get(), publicBlob.data(), static_cast<DWORD>(publicBlob.size()), 0,
                          0, key.out()) &&
           CryptCreateHash(ctx.get(), CALG_SHA1, 0, 0, hash.out()) &&
           CryptHashData(hash.get(), reinterpret_cast<const BYTE *>(strData.data()),
                         static_cast<DWORD>(strData.size()), 0) &&
           CryptVerifySignatureA(hash.get(), pbSig, dwSigLen, key.get(), nullptr, 0);
}

inline bool VerifiesInMicrosoftProvider(const std::vector<BYTE> &publicBlob,
                                        const std::string &strData, const std::vector<BYTE> &sig)
{
    return VerifiesInMicrosoftProvider(publicBlob, strData, sig.data(),
                                       static_cast<DWORD>(sig.size()));
}
