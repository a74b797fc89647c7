// Pavrel_Hash.h
//
// Pavrel_Hash: a hash of the CSP, carried out by the software provider. It
// also keeps every byte it hashed, because the sign confirmation shows those
// bytes on the token as the transaction being signed.
//
// The kept bytes must always be what the hash value was computed from. Once
// the value is set directly (HP_HASHVAL) or a session key is hashed, no kept
// bytes can describe the value any more: the hash forgets them for good and
// later data is not kept either, so the token is never shown one transaction
// while another value is signed.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "Pavrel_Handle.h"

class Pavrel_Hash : public Pavrel_Handle {
public:
    // Makes a hash of algId in the software provider (hKey for keyed hashes,
    // 0 otherwise). 0 and the object, or the provider's error and no object.
    static DWORD create(ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags, Pavrel_Hash **ppHash);
    ~Pavrel_Hash() override;

    // Hashes the bytes and keeps them; nothing is kept when the provider fails.
    DWORD hashData(const BYTE *pbData, DWORD dwDataLen);
    // Appends the hash value to vecValue.
    DWORD getHashValue(std::vector<BYTE> &vecValue);
    // The value's size by algorithm: MD5 16, SHA-1 20, SSL3 SHA-MD5 36.
    DWORD getHashSize(DWORD *pdwSize) const;
    // Sets the value (HP_HASHVAL); the kept bytes are forgotten.
    DWORD setHashValue(const BYTE *pbValue);
    // Hashes a software session key; the kept bytes are forgotten.
    DWORD hashSessionKey(HCRYPTKEY hKey, DWORD dwFlags);
    // Replaces vecBytes by the kept bytes; 1 when there are none, else 0.
    DWORD getHashedBytes(std::vector<BYTE> &vecBytes) const;

    HCRYPTHASH getSoftHash() const { return m_hSoftHash; }
    ALG_ID getAlgId() const { return _algId; }
    DWORD getFlags() const { return m_dwFlags; }
    HCRYPTKEY getKey() const { return m_hKey; }

private:
    Pavrel_Hash(ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags);
    void forgetHashedBytes();

    HCRYPTKEY m_hKey;
    HCRYPTHASH m_hSoftHash;
    ALG_ID _algId;
    DWORD m_dwFlags;
    std::vector<BYTE> m_vecHashed;
    // True once the value no longer follows from hashed data alone.
    bool m_bBytesForgotten;
    // True while this object counts as a user of the software context.
    bool m_bUser;
};
