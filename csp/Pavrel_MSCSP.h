// Pavrel_MSCSP.h
//
// Pavrel_MSCSP: the CSP's door to the Microsoft software provider, which does
// everything the token does not (hashes, session keys, in-memory RSA keys,
// random numbers). It holds the one software context of the process, opened
// on the container "Keyset in MSCSP used by Pavrel", and turns each CryptoAPI
// call into a return code: 0, or the platform's last error.
//
// The context is counted: each object that holds software keys or hashes is
// one user (addUser / releaseUser). The first user opens the context, once
// even when threads race; a failed opening is tried again by the next user;
// the last user to go releases it. Nothing is released at unload, so no
// CryptoAPI call runs inside DllMain.
#pragma once

#include <windows.h>
#include <wincrypt.h>

class Pavrel_MSCSP {
public:
    // One more user; opens the context when none is open. 0 or the error of
    // the opening (the user is then not counted).
    static DWORD addUser();
    // One user fewer; the last one releases the context.
    static void releaseUser();
    // The open context, or 0 while no user holds one.
    static HCRYPTPROV getContext();
    // Random bytes from the context, counted as one user for the draw alone
    // (for callers that hold no software object).
    static DWORD genRandomAsUser(DWORD dwLen, BYTE *pbBuffer);
    // Number of users now counted.
    static LONG getUserCount();

    // One wrapper per CryptoAPI function: the function's own arguments, 0 on
    // success, the platform's error otherwise.
    static DWORD genRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer);
    static DWORD createHash(HCRYPTPROV hProv, ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH *phHash);
    static DWORD destroyHash(HCRYPTHASH hHash);
    static DWORD hashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags);
    static DWORD setHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
    static DWORD getHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags);
    static DWORD genKey(HCRYPTPROV hProv, ALG_ID algId, DWORD dwFlags, HCRYPTKEY *phKey);
    static DWORD getKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                             DWORD dwFlags);
    static DWORD setKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
    static DWORD getUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phKey);
    static DWORD importKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen,
                           HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY *phKey);
    static DWORD exportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE *pbData, DWORD *pdwDataLen);
    static DWORD destroyKey(HCRYPTKEY hKey);
    static DWORD signHash(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                          DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen);
    static DWORD verifySignature(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                 HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);
    static DWORD encrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                         BYTE *pbData, DWORD *pdwDataLen, DWORD dwBufLen);
    static DWORD decrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                         BYTE *pbData, DWORD *pdwDataLen);
    static DWORD deriveKey(HCRYPTPROV hProv, ALG_ID algId, HCRYPTHASH hBaseData, DWORD dwFlags,
                           HCRYPTKEY *phKey);
    static DWORD hashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
    static DWORD getProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags);

private:
    Pavrel_MSCSP() = delete;
};
