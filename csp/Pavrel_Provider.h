// Pavrel_Provider.h
//
// Pavrel_Provider: the object behind one HCRYPTPROV. It owns the key and hash
// objects made through it, holds a reference to its token's card access
// (none for a verification context), answers and sets the provider
// parameters, and routes every key, hash and data operation to the key and
// hash classes or the software provider. Every operation answers 0 or an
// error code; a key or hash handle is looked up in this provider's own maps
// only (NTE_BAD_KEY, NTE_BAD_HASH when it is not there).
//
// Variable-length outputs follow one rule: no buffer, the needed length and
// success; a short buffer, the needed length and ERROR_MORE_DATA; else the
// data and its length.
//
// Pavrel_Provider.cpp holds the object, its keys and hashes and the data
// operations; Pavrel_ProviderParams.cpp the provider parameters.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <deque>
#include <map>
#include <string>

#include "Pavrel_Handle.h"

class Pavrel_CardAccess;
class Pavrel_Hash;
class Pavrel_Key;
class Pavrel_Keyset;

// The provider's registered name.
extern const char PAVREL_PROVIDER_NAME[];

class Pavrel_Provider : public Pavrel_Handle {
public:
    // Adds a reference to the card access (null: a verification context);
    // the keyset that holds the provider, or null.
    Pavrel_Provider(Pavrel_CardAccess *pCardAccess, Pavrel_Keyset *pKeyset);
    // Deletes every hash, then every key, then releases the card access.
    ~Pavrel_Provider() override;

    Pavrel_CardAccess *getCardAccess() const { return m_pCardAccess; }
    Pavrel_Keyset *getKeyset() const { return m_pKeyset; }
    Pavrel_Key *getKey(HCRYPTKEY hKey) const;
    Pavrel_Hash *getHash(HCRYPTHASH hHash) const;
    size_t getKeyCount() const { return m_mapKeys.size(); }
    size_t getHashCount() const { return m_mapHashes.size(); }

    // Keys.
    DWORD genKey(ALG_ID algId, DWORD dwFlags, HCRYPTKEY *phKey);
    DWORD getUserKey(DWORD dwKeySpec, HCRYPTKEY *phKey);
    DWORD importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY *phKey);
    DWORD exportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE *pbData, DWORD *pdwDataLen);
    DWORD deriveKey(ALG_ID algId, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY *phKey);
    DWORD destroyKey(HCRYPTKEY hKey);
    DWORD setKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
    DWORD getKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                      DWORD dwFlags);

    // Hashes.
    DWORD createHash(ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash);
    DWORD hashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags);
    DWORD hashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
    DWORD setHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags);
    DWORD getHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                       DWORD dwFlags);
    DWORD destroyHash(HCRYPTHASH hHash);

    // Data.
    DWORD encrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE *pbData,
                  DWORD *pdwDataLen, DWORD dwBufLen);
    DWORD decrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags, BYTE *pbData,
                  DWORD *pdwDataLen);
    DWORD signHash(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                   BYTE *pbSignature, DWORD *pdwSigLen);
    DWORD verifySignature(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                          HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags);
    DWORD genRandom(DWORD dwLen, BYTE *pbBuffer);

    // Provider parameters (Pavrel_ProviderParams.cpp).
    DWORD getProvParam(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
    DWORD setProvParam(DWORD dwParam, const BYTE *pbData, DWORD dwFlags);

    // The output rule for bytes of a known length.
    static DWORD putOutput(const void *pvData, DWORD dwLen, BYTE *pbData, DWORD *pdwDataLen);

private:
    Pavrel_Provider(const Pavrel_Provider &) = delete;
    Pavrel_Provider &operator=(const Pavrel_Provider &) = delete;

    bool isTokenKeyset() const;
    // Registers a new key or hash and gives its handle; the object is
    // deleted when it cannot be registered.
    DWORD addKey(Pavrel_Key *pKey, HCRYPTKEY *phKey);
    DWORD addHash(Pavrel_Hash *pHash, HCRYPTHASH *phHash);
    // The key object of a key spec (card or software), not registered.
    DWORD makeUserKey(DWORD dwKeySpec, Pavrel_Key **ppKey);
    DWORD importSimpleBlob(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, Pavrel_Key **ppKey);
    DWORD importPrivateKeyBlob(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                               DWORD dwFlags, Pavrel_Key **ppKey);
    DWORD exportMixed(Pavrel_Key *pKey, Pavrel_Key *pExpKey, DWORD dwBlobType, DWORD dwFlags,
                      BYTE *pbData, DWORD *pdwDataLen);
    DWORD enumAlgorithms(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
    DWORD enumContainers(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
    DWORD fillContainerList();
    DWORD getSecurityDescriptor(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags);
    DWORD setSecurityDescriptor(const BYTE *pbData, DWORD dwFlags);
    DWORD verifyExchangePin(const BYTE *pbData);

    std::map<HCRYPTHASH, Pavrel_Hash *> m_mapHashes;
    std::map<HCRYPTKEY, Pavrel_Key *> m_mapKeys;
    Pavrel_CardAccess *m_pCardAccess;
    Pavrel_Keyset *m_pKeyset;
    // The container names of this provider's enumeration still to hand out.
    std::deque<std::string> m_dequeContainers;
};
