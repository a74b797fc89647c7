// Pavrel_Provider.cpp
//
// The provider object, its key and hash maps, and the key, hash and data
// operations it routes.
#include "Pavrel_Provider.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "Pavrel_AlgTable.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_Hash.h"
#include "Pavrel_Key.h"
#include "Pavrel_Keyset.h"
#include "Pavrel_MSCSP.h"
#include "Pavrel_RSAKeyInCard.h"
#include "SecretBytes.h"
#include "TraceWriter.h"

namespace {

#define TRACE_INFO(...) \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)

const DWORD kSimpleHeadLen = sizeof(BLOBHEADER) + sizeof(ALG_ID);
const DWORD kRsaHeadLen = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
const DWORD kSimpleWorkLen = 2048;
const DWORD kSimpleRewrapLen = kSimpleWorkLen - kSimpleHeadLen;
const DWORD kPlainKeyHeadLen = sizeof(BLOBHEADER) + sizeof(DWORD);
const DWORD kCertificateRoom = 3000;

DWORD Err(HRESULT hr) { return static_cast<DWORD>(hr); }

bool IsCardKey(Pavrel_Key *pKey) { return dynamic_cast<Pavrel_RSAKeyInCard *>(pKey) != nullptr; }

// The software context's exchange key for one scope, with the context
// counted as used while it is open.
class SoftExchangeKey {
public:
    SoftExchangeKey() : m_hKey(0), m_bUser(false) {}
    ~SoftExchangeKey()
    {
        if (m_hKey)
            Pavrel_MSCSP::destroyKey(m_hKey);
        if (m_bUser)
            Pavrel_MSCSP::releaseUser();
    }
    DWORD open()
    {
        DWORD dwRet = Pavrel_MSCSP::addUser();
        if (dwRet != 0)
            return dwRet;
        m_bUser = true;
        return Pavrel_MSCSP::getUserKey(Pavrel_MSCSP::getContext(), AT_KEYEXCHANGE, &m_hKey);
    }
    HCRYPTKEY get() const { return m_hKey; }

private:
    HCRYPTKEY m_hKey;
    bool m_bUser;
};

DWORD Put32(DWORD dwValue, BYTE *pbData, DWORD *pdwDataLen)
{
    return Pavrel_Provider::putOutput(&dwValue, sizeof(dwValue), pbData, pdwDataLen);
}

DWORD PutBytes(const std::vector<BYTE> &vec, BYTE *pbData, DWORD *pdwDataLen)
{
    return Pavrel_Provider::putOutput(vec.data(), static_cast<DWORD>(vec.size()), pbData,
                                      pdwDataLen);
}

// The length of a DER certificate from its header: a SEQUENCE with a short
// length, or a long one of one or two bytes; 0 when it is none of these or
// larger than a certificate slot of the token holds.
DWORD CertificateLength(const BYTE *pbCert)
{
    if (pbCert[0] != 0x30)
        return 0;
    DWORD dwLen = 0;
    if (pbCert[1] < 0x80)
        dwLen = 2 + pbCert[1];
    else if (pbCert[1] == 0x81)
        dwLen = 3 + pbCert[2];
    else if (pbCert[1] == 0x82)
        dwLen = 4 + (static_cast<DWORD>(pbCert[2]) << 8) + pbCert[3];
    return dwLen <= kCertificateRoom ? dwLen : 0;
}

// The object of a handle in one of the maps, or null.
template <typename T> T *Find(const std::map<ULONG64, T *> &map, ULONG64 handle)
{
    Pavrel_Keyset::Lock lock;
    auto it = map.find(handle);
    return it == map.end() ? nullptr : it->second;
}

// Registers a new object under its handle; it is deleted when that fails.
template <typename T> DWORD Register(std::map<ULONG64, T *> &map, T *pObject, ULONG64 *pHandle)
{
    Pavrel_Keyset::Lock lock;
    try {
        map[pObject->getHandle()] = pObject;
    } catch (...) {
        delete pObject;
        return Err(NTE_NO_MEMORY);
    }
    *pHandle = pObject->getHandle();
    return 0;
}

// Removes the object of the handle from the map and deletes it; false when
// the map has no such handle.
template <typename T> bool Unregister(std::map<ULONG64, T *> &map, ULONG64 handle)
{
    Pavrel_Keyset::Lock lock;
    auto it = map.find(handle);
    if (it == map.end())
        return false;
    T *pObject = it->second;
    map.erase(it);
    delete pObject;
    return true;
}

}  // namespace

Pavrel_Provider::Pavrel_Provider(Pavrel_CardAccess *pCardAccess, Pavrel_Keyset *pKeyset)
    : m_pCardAccess(pCardAccess), m_pKeyset(pKeyset)
{
    if (m_pCardAccess)
        m_pCardAccess->AddRef();
}

Pavrel_Provider::~Pavrel_Provider()
{
    Pavrel_Keyset::Lock lock;
    for (auto &item : m_mapHashes)
        delete item.second;
    m_mapHashes.clear();
    for (auto &item : m_mapKeys)
        delete item.second;
    m_mapKeys.clear();
    if (m_pCardAccess)
        m_pCardAccess->Release();
}

DWORD Pavrel_Provider::putOutput(const void *pvData, DWORD dwLen, BYTE *pbData, DWORD *pdwDataLen)
{
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (pbData == nullptr) {
        *pdwDataLen = dwLen;
        return 0;
    }
    if (*pdwDataLen < dwLen) {
        *pdwDataLen = dwLen;
        return ERROR_MORE_DATA;
    }
    if (dwLen)
        std::memcpy(pbData, pvData, dwLen);
    *pdwDataLen = dwLen;
    return 0;
}

bool Pavrel_Provider::isTokenKeyset() const
{
    return m_pKeyset != nullptr && m_pKeyset->isTokenKeyset() && m_pCardAccess != nullptr;
}

Pavrel_Key *Pavrel_Provider::getKey(HCRYPTKEY hKey) const { return Find(m_mapKeys, hKey); }

Pavrel_Hash *Pavrel_Provider::getHash(HCRYPTHASH hHash) const { return Find(m_mapHashes, hHash); }

DWORD Pavrel_Provider::addKey(Pavrel_Key *pKey, HCRYPTKEY *phKey)
{
    return Register(m_mapKeys, pKey, phKey);
}

DWORD Pavrel_Provider::addHash(Pavrel_Hash *pHash, HCRYPTHASH *phHash)
{
    return Register(m_mapHashes, pHash, phHash);
}

DWORD Pavrel_Provider::makeUserKey(DWORD dwKeySpec, Pavrel_Key **ppKey)
{
    if (isTokenKeyset())
        return Pavrel_Key::getUserKey(dwKeySpec, m_pCardAccess,
                                      m_pKeyset->getKeysetName().c_str(), ppKey);
    return Pavrel_Key::getUserKey(dwKeySpec, ppKey);
}

// --- Keys ---------------------------------------------------------------------

DWORD Pavrel_Provider::genKey(ALG_ID algId, DWORD dwFlags, HCRYPTKEY *phKey)
{
    if (phKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    const bool bKeySpec = algId == AT_KEYEXCHANGE || algId == AT_SIGNATURE;
    const ALG_ID rsaAlg = algId == AT_KEYEXCHANGE ? CALG_RSA_KEYX
                          : algId == AT_SIGNATURE ? CALG_RSA_SIGN
                                                  : algId;
    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = 0;
    if (rsaAlg == CALG_RSA_KEYX || rsaAlg == CALG_RSA_SIGN) {
        const DWORD dwBits = dwFlags >> 16;
        if (dwBits != 0 && !Pavrel_AlgTable::isValidKeyLen(rsaAlg, dwBits))
            return Err(NTE_BAD_FLAGS);
        if (isTokenKeyset() && (dwFlags & CRYPT_USER_PROTECTED) == 0) {
            if (bKeySpec)
                TRACE_INFO("Pavrel_Provider::genKey:AT_SIGNATURE Algid=[0x%x],dwFlags=[%d]",
                           static_cast<unsigned>(algId), static_cast<int>(dwFlags));
            else
                TRACE_INFO("Pavrel_Provider::genKey:CALG_RSA_SIGN Algid=[0x%x],dwFlags=[%d]",
                           static_cast<unsigned>(algId), static_cast<int>(dwFlags));
            dwRet = Pavrel_Key::generate(rsaAlg, dwFlags, m_pCardAccess,
                                         m_pKeyset->getKeysetName().c_str(), &pKey);
        } else {
            dwRet = Pavrel_Key::generate(algId, dwFlags, &pKey);
        }
    } else if (Pavrel_Key::isSessionAlgorithm(algId)) {
        dwRet = Pavrel_Key::generate(algId, dwFlags, &pKey);
    } else {
        return Err(NTE_BAD_ALGID);
    }
    if (dwRet != 0)
        return dwRet;
    return addKey(pKey, phKey);
}

DWORD Pavrel_Provider::getUserKey(DWORD dwKeySpec, HCRYPTKEY *phKey)
{
    if (phKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE)
        return Err(NTE_BAD_TYPE);
    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = makeUserKey(dwKeySpec, &pKey);
    if (dwRet != 0)
        return dwRet;
    return addKey(pKey, phKey);
}

DWORD Pavrel_Provider::importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                 DWORD dwFlags, HCRYPTKEY *phKey)
{
    if (phKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    // Nothing of the blob is read before its length says it is there.
    if (pbData == nullptr || dwDataLen < sizeof(BLOBHEADER))
        return Err(NTE_BAD_DATA);
    BLOBHEADER head;
    std::memcpy(&head, pbData, sizeof(head));
    if (head.bType != SIMPLEBLOB && head.bType != PUBLICKEYBLOB &&
        head.bType != PRIVATEKEYBLOB && head.bType != PLAINTEXTKEYBLOB &&
        head.bType != SYMMETRICWRAPKEYBLOB)
        return Err(NTE_BAD_TYPE);
    if (head.bVersion != CUR_BLOB_VERSION)
        return Err(NTE_BAD_VER);
    if (head.aiKeyAlg == 0)
        return Err(NTE_BAD_TYPE);

    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = 0;
    switch (head.bType) {
    case SIMPLEBLOB:
        dwRet = importSimpleBlob(pbData, dwDataLen, hPubKey, dwFlags, &pKey);
        break;
    case PUBLICKEYBLOB:
        if (hPubKey != 0)
            return ERROR_INVALID_PARAMETER;
        if (dwDataLen < kRsaHeadLen)
            return Err(NTE_BAD_DATA);
        dwRet = Pavrel_Key::importKey(pbData, dwDataLen, 0, dwFlags, &pKey);
        break;
    case PRIVATEKEYBLOB:
        dwRet = importPrivateKeyBlob(pbData, dwDataLen, hPubKey, dwFlags, &pKey);
        break;
    default: {
        // PLAINTEXTKEYBLOB and SYMMETRICWRAPKEYBLOB.
        if (dwDataLen < kPlainKeyHeadLen)
            return Err(NTE_BAD_DATA);
        HCRYPTKEY hSoftWrap = 0;
        if (head.bType == SYMMETRICWRAPKEYBLOB || hPubKey != 0) {
            Pavrel_Key *pWrap = getKey(hPubKey);
            if (pWrap == nullptr)
                return Err(NTE_NO_KEY);
            hSoftWrap = pWrap->getSoftKey();
        }
        dwRet = Pavrel_Key::importKey(pbData, dwDataLen, hSoftWrap, dwFlags, &pKey);
        break;
    }
    }
    if (dwRet != 0)
        return dwRet;
    return addKey(pKey, phKey);
}

DWORD Pavrel_Provider::importSimpleBlob(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                        DWORD dwFlags, Pavrel_Key **ppKey)
{
    if (dwDataLen <= kSimpleHeadLen || dwDataLen > kSimpleWorkLen)
        return Err(NTE_BAD_DATA);
    // The unwrapping key: the caller's, or the token's own of the blob's
    // encrypting algorithm; a verification context has none of its own.
    Pavrel_Key *pUnwrap = nullptr;
    std::unique_ptr<Pavrel_Key> pTemporary;
    if (hPubKey != 0) {
        pUnwrap = getKey(hPubKey);
        if (pUnwrap == nullptr)
            return ERROR_INVALID_PARAMETER;
    } else if (isTokenKeyset()) {
        ALG_ID encAlg = 0;
        std::memcpy(&encAlg, pbData + sizeof(BLOBHEADER), sizeof(encAlg));
        Pavrel_Key *pUserKey = nullptr;
        DWORD dwRet = makeUserKey(encAlg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE,
                                  &pUserKey);
        if (dwRet != 0)
            return dwRet;
        pTemporary.reset(pUserKey);
        pUnwrap = pUserKey;
    } else {
        return Err(NTE_NO_KEY);
    }

    // Decrypted in a copy: the caller's blob is never written.
    CSecretBytes work(pbData, dwDataLen);
    DWORD dwClearLen = dwDataLen - kSimpleHeadLen;
    DWORD dwRet = pUnwrap->decrypt(TRUE, 0, work.data() + kSimpleHeadLen, &dwClearLen);
    if (dwRet != 0)
        return dwRet;
    if (dwClearLen > kSimpleRewrapLen)
        return Err(NTE_BAD_DATA);

    SoftExchangeKey exchange;
    if ((dwRet = exchange.open()) != 0)
        return dwRet;
    CSecretBytes rewrap(kSimpleHeadLen + kSimpleRewrapLen);
    std::memcpy(rewrap.data(), work.data(), sizeof(BLOBHEADER));
    const ALG_ID exchangeAlg = CALG_RSA_KEYX;
    std::memcpy(rewrap.data() + sizeof(BLOBHEADER), &exchangeAlg, sizeof(exchangeAlg));
    std::memcpy(rewrap.data() + kSimpleHeadLen, work.data() + kSimpleHeadLen, dwClearLen);
    DWORD dwWrappedLen = dwClearLen;
    dwRet = Pavrel_MSCSP::encrypt(exchange.get(), 0, TRUE, 0, rewrap.data() + kSimpleHeadLen,
                                  &dwWrappedLen, kSimpleRewrapLen);
    if (dwRet != 0)
        return dwRet;
    return Pavrel_Key::importKey(rewrap.data(), kSimpleHeadLen + dwWrappedLen, exchange.get(),
                                 dwFlags, ppKey);
}

DWORD Pavrel_Provider::importPrivateKeyBlob(const BYTE *pbData, DWORD dwDataLen,
                                            HCRYPTKEY hPubKey, DWORD dwFlags, Pavrel_Key **ppKey)
{
    if (dwDataLen < kRsaHeadLen)
        return Err(NTE_BAD_DATA);
    BLOBHEADER head;
    RSAPUBKEY rsa;
    std::memcpy(&head, pbData, sizeof(head));
    std::memcpy(&rsa, pbData + sizeof(head), sizeof(rsa));
    Pavrel_Key *pWrap = hPubKey ? getKey(hPubKey) : nullptr;
    if (!Pavrel_AlgTable::isLenInRange(head.aiKeyAlg, rsa.bitlen)) {
        return Pavrel_Key::importKey(pbData, dwDataLen, pWrap ? pWrap->getSoftKey() : 0, dwFlags,
                                     ppKey);
    }
    if (!isTokenKeyset())
        return Err(NTE_PERM);
    if (hPubKey != 0 && pWrap == nullptr)
        return Err(NTE_BAD_KEY);
    CSecretBytes work(pbData, dwDataLen);
    DWORD dwLen = dwDataLen;
    if (pWrap != nullptr) {
        DWORD dwBodyLen = dwDataLen - kRsaHeadLen;
        DWORD dwRet = pWrap->decrypt(TRUE, 0, work.data() + kRsaHeadLen, &dwBodyLen);
        if (dwRet != 0)
            return dwRet;
        dwLen = kRsaHeadLen + dwBodyLen;
    }
    return Pavrel_Key::importKey(work.data(), dwLen, m_pCardAccess,
                                 m_pKeyset->getKeysetName().c_str(), ppKey);
}

DWORD Pavrel_Provider::exportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                 DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    if (m_pKeyset == nullptr)
        return Err(NTE_BAD_UID);
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_NO_KEY);
    if (dwFlags != 0)
        return Err(NTE_BAD_FLAGS);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (hExpKey == 0)
        return pKey->exportKey(0, dwBlobType, dwFlags, pbData, pdwDataLen);
    Pavrel_Key *pExpKey = getKey(hExpKey);
    if (pExpKey == nullptr)
        return Err(NTE_NO_KEY);
    const bool bCard = IsCardKey(pKey);
    const bool bCardExp = IsCardKey(pExpKey);
    if (!bCard && !bCardExp)
        return pKey->exportKey(pExpKey->getSoftKey(), dwBlobType, dwFlags, pbData, pdwDataLen);
    if (bCard && bCardExp)
        return pKey->exportKey(hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen);
    return exportMixed(pKey, pExpKey, dwBlobType, dwFlags, pbData, pdwDataLen);
}

DWORD Pavrel_Provider::exportMixed(Pavrel_Key *pKey, Pavrel_Key *pExpKey, DWORD dwBlobType,
                                   DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    const bool bCardExp = IsCardKey(pExpKey);
    const DWORD dwHead = dwBlobType == SIMPLEBLOB ? kSimpleHeadLen
                         : (dwBlobType == PUBLICKEYBLOB || dwBlobType == PRIVATEKEYBLOB)
                             ? kRsaHeadLen
                             : 0;
    // A card export key cannot wrap in software: the software exchange key
    // wraps first and the card key wraps the body again below.
    SoftExchangeKey exchange;
    HCRYPTKEY hWrap = pExpKey->getSoftKey();
    DWORD dwRet = 0;
    if (bCardExp) {
        if ((dwRet = exchange.open()) != 0)
            return dwRet;
        hWrap = exchange.get();
    }
    DWORD dwEncLen = 0;
    if ((dwRet = pExpKey->encrypt(TRUE, 0, nullptr, &dwEncLen, 0)) != 0)
        return dwRet;
    const DWORD dwNeeded = dwHead + dwEncLen;
    if (pbData == nullptr) {
        *pdwDataLen = dwNeeded;
        return 0;
    }
    if (*pdwDataLen < dwNeeded) {
        *pdwDataLen = dwNeeded;
        return Err(NTE_BAD_LEN);
    }
    const DWORD dwRoom = *pdwDataLen;
    DWORD dwBlobLen = dwRoom;
    if ((dwRet = pKey->exportKey(hWrap, dwBlobType, dwFlags, pbData, &dwBlobLen)) != 0)
        return dwRet;
    if (!bCardExp || dwBlobLen < dwHead) {
        *pdwDataLen = dwBlobLen;
        return 0;
    }
    DWORD dwBodyLen = dwBlobLen - dwHead;
    if ((dwRet = Pavrel_MSCSP::decrypt(hWrap, 0, TRUE, 0, pbData + dwHead, &dwBodyLen)) != 0)
        return dwRet;
    if ((dwRet = pExpKey->encrypt(TRUE, 0, pbData + dwHead, &dwBodyLen, dwRoom - dwHead)) != 0)
        return dwRet;
    *pdwDataLen = dwHead + dwBodyLen;
    return 0;
}

DWORD Pavrel_Provider::deriveKey(ALG_ID algId, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY *phKey)
{
    if (phKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    Pavrel_Hash *pHash = getHash(hHash);
    std::vector<BYTE> vecValue;
    if (pHash == nullptr || pHash->getHashValue(vecValue) != 0)
        return Err(NTE_BAD_UID);
    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = Pavrel_Key::deriveKey(algId, pHash->getSoftHash(), dwFlags, &pKey);
    if (dwRet != 0)
        return dwRet;
    return addKey(pKey, phKey);
}

DWORD Pavrel_Provider::destroyKey(HCRYPTKEY hKey)
{
    return Unregister(m_mapKeys, hKey) ? 0 : Err(NTE_BAD_KEY);
}

DWORD Pavrel_Provider::setKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD)
{
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    if (pbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    switch (dwParam) {
    case KP_IV:
    case KP_PADDING:
    case KP_MODE:
    case KP_MODE_BITS:
        if (!pKey->isBlockCipher())
            return Err(NTE_BAD_KEY);
        return dwParam == KP_IV        ? pKey->setIV(pbData)
               : dwParam == KP_PADDING ? pKey->setPadding(pbData)
               : dwParam == KP_MODE    ? pKey->setMode(pbData)
                                       : pKey->setModeBits(pbData);
    case KP_SALT:
        return pKey->isSessionKey() ? pKey->setSalt(pbData) : Err(NTE_BAD_KEY);
    case KP_SALT_EX:
        if (!pKey->isSessionKey())
            return Err(NTE_BAD_TYPE);
        return Pavrel_MSCSP::setKeyParam(pKey->getSoftKey(), KP_SALT_EX, pbData, 0);
    case KP_PERMISSIONS:
        return pKey->setPermissions(pbData);
    case KP_EFFECTIVE_KEYLEN:
        return pKey->getAlgId() == CALG_RC2 ? pKey->setEffectiveKeyLen(pbData) : Err(NTE_BAD_KEY);
    case KP_CERTIFICATE: {
        Pavrel_RSAKeyInCard *pCardKey = dynamic_cast<Pavrel_RSAKeyInCard *>(pKey);
        if (pCardKey == nullptr)
            return Err(NTE_BAD_KEY);
        const DWORD dwLen = CertificateLength(pbData);
        if (dwLen == 0)
            return Err(NTE_BAD_DATA);
        return pCardKey->setCertificate(pbData, dwLen, pKey->getAlgId() != CALG_RSA_SIGN ? 1 : 0);
    }
    default:
        return Err(NTE_BAD_TYPE);
    }
}

DWORD Pavrel_Provider::getKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData,
                                   DWORD *pdwDataLen, DWORD)
{
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> vecValue;
    DWORD dwValue = 0;
    DWORD dwRet = 0;
    switch (dwParam) {
    case KP_IV:
    case KP_PADDING:
        if (!pKey->isBlockCipher())
            return Err(NTE_BAD_KEY);
        dwRet = dwParam == KP_IV ? pKey->getIV(vecValue) : pKey->getPadding(vecValue);
        return dwRet ? dwRet : PutBytes(vecValue, pbData, pdwDataLen);
    case KP_MODE:
    case KP_MODE_BITS:
        if (!pKey->isBlockCipher())
            return Err(NTE_BAD_KEY);
        dwRet = dwParam == KP_MODE ? pKey->getMode(&dwValue) : pKey->getModeBits(&dwValue);
        return dwRet ? dwRet : Put32(dwValue, pbData, pdwDataLen);
    case KP_SALT:
        if (!pKey->isSessionKey())
            return Err(NTE_BAD_TYPE);
        dwRet = pKey->getSalt(vecValue);
        return dwRet ? dwRet : PutBytes(vecValue, pbData, pdwDataLen);
    case KP_PERMISSIONS:
        return Put32(pKey->getPermissions(), pbData, pdwDataLen);
    case KP_ALGID:
        return Put32(pKey->getAlgId(), pbData, pdwDataLen);
    case KP_BLOCKLEN:
        return Put32(pKey->getBlockLen(), pbData, pdwDataLen);
    case KP_KEYLEN:
        return Put32(pKey->getKeyLen(), pbData, pdwDataLen);
    case KP_EFFECTIVE_KEYLEN:
        if (pKey->getAlgId() != CALG_RC2)
            return Err(NTE_BAD_KEY);
        dwRet = pKey->getEffectiveKeyLen(&dwValue);
        return dwRet ? dwRet : Put32(dwValue, pbData, pdwDataLen);
    case KP_CERTIFICATE: {
        Pavrel_RSAKeyInCard *pCardKey = dynamic_cast<Pavrel_RSAKeyInCard *>(pKey);
        if (pCardKey == nullptr)
            return Err(NTE_BAD_KEY);
        vecValue.assign(kCertificateRoom, 0);
        DWORD dwLen = kCertificateRoom;
        dwRet = pCardKey->getCertificate(vecValue.data(), &dwLen, pCardKey->keyType());
        if (dwRet != 0)
            return dwRet;
        vecValue.resize(dwLen < kCertificateRoom ? dwLen : kCertificateRoom);
        return PutBytes(vecValue, pbData, pdwDataLen);
    }
    default:
        return Err(NTE_BAD_TYPE);
    }
}

// --- Hashes -------------------------------------------------------------------

DWORD Pavrel_Provider::createHash(ALG_ID algId, HCRYPTKEY, DWORD dwFlags, HCRYPTHASH *phHash)
{
    if (phHash == nullptr || phHash == reinterpret_cast<HCRYPTHASH *>(~static_cast<UINT_PTR>(0)))
        return ERROR_INVALID_PARAMETER;
    if (GET_ALG_CLASS(algId) != ALG_CLASS_HASH)
        return Err(NTE_BAD_ALGID);
    if (!Pavrel_AlgTable::isListed(algId))
        return (algId == CALG_MAC || algId == CALG_HMAC) ? Err(NTE_BAD_KEY) : Err(NTE_BAD_ALGID);
    Pavrel_Hash *pHash = nullptr;
    DWORD dwRet = Pavrel_Hash::create(algId, 0, dwFlags, &pHash);
    if (dwRet != 0)
        return dwRet;
    return addHash(pHash, phHash);
}

DWORD Pavrel_Provider::hashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen,
                                DWORD dwFlags)
{
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    if ((dwFlags & CRYPT_USERDATA) != 0 && dwDataLen != 0)
        return Err(NTE_BAD_LEN);
    return pHash->hashData(pbData, dwDataLen);
}

DWORD Pavrel_Provider::hashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    if (!pKey->isSessionKey())
        return Err(NTE_BAD_TYPE);
    return pHash->hashSessionKey(pKey->getSoftKey(), dwFlags);
}

DWORD Pavrel_Provider::setHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD)
{
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    if (dwParam != HP_HASHVAL)
        return Err(NTE_BAD_TYPE);
    if (pbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD dwSize = 0;
    DWORD dwRet = pHash->getHashSize(&dwSize);
    if (dwRet != 0)
        return dwRet;
    return pHash->setHashValue(pbData);
}

DWORD Pavrel_Provider::getHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData,
                                    DWORD *pdwDataLen, DWORD dwFlags)
{
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    if (dwFlags != 0)
        return Err(NTE_BAD_FLAGS);
    DWORD dwSize = 0;
    DWORD dwRet = 0;
    switch (dwParam) {
    case HP_ALGID:
        return Put32(pHash->getAlgId(), pbData, pdwDataLen);
    case HP_HASHSIZE:
        dwRet = pHash->getHashSize(&dwSize);
        return dwRet ? dwRet : Put32(dwSize, pbData, pdwDataLen);
    case HP_HASHVAL: {
        // A size query must not finish the hash.
        if (pbData == nullptr && pHash->getHashSize(&dwSize) == 0)
            return putOutput(nullptr, dwSize, nullptr, pdwDataLen);
        std::vector<BYTE> vecValue;
        dwRet = pHash->getHashValue(vecValue);
        return dwRet ? dwRet : PutBytes(vecValue, pbData, pdwDataLen);
    }
    default:
        return Err(NTE_BAD_TYPE);
    }
}

DWORD Pavrel_Provider::destroyHash(HCRYPTHASH hHash)
{
    return Unregister(m_mapHashes, hHash) ? 0 : Err(NTE_BAD_HASH);
}

// --- Data ---------------------------------------------------------------------

DWORD Pavrel_Provider::encrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                               BYTE *pbData, DWORD *pdwDataLen, DWORD dwBufLen)
{
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    Pavrel_Hash *pHash = nullptr;
    if (hHash != 0 && (pHash = getHash(hHash)) == nullptr)
        return Err(NTE_BAD_HASH);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    // A size query hashes nothing, and a call that asks for more room is
    // repeated by the caller: the plaintext is hashed once, when the
    // encryption has taken it.
    if (pHash == nullptr || pbData == nullptr)
        return pKey->encrypt(bFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
    CSecretBytes plain(pbData, *pdwDataLen);
    DWORD dwRet = pKey->encrypt(bFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
    if (dwRet != 0)
        return dwRet;
    return pHash->hashData(plain.data(), plain.size());
}

DWORD Pavrel_Provider::decrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                               BYTE *pbData, DWORD *pdwDataLen)
{
    Pavrel_Key *pKey = getKey(hKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    Pavrel_Hash *pHash = nullptr;
    if (hHash != 0 && (pHash = getHash(hHash)) == nullptr)
        return Err(NTE_BAD_HASH);
    DWORD dwRet = pKey->decrypt(bFinal, dwFlags, pbData, pdwDataLen);
    if (dwRet == 0 && pHash != nullptr)
        dwRet = pHash->hashData(pbData, *pdwDataLen);
    return dwRet;
}

DWORD Pavrel_Provider::signHash(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                                DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen)
{
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    if (m_pKeyset == nullptr)
        return Err(NTE_BAD_UID);
    if (szDescription != nullptr)
        return ERROR_INVALID_PARAMETER;
    if (dwFlags > 1)
        return Err(NTE_BAD_FLAGS);
    // The signing key is made for this call only.
    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = makeUserKey(dwKeySpec, &pKey);
    if (dwRet != 0)
        return dwRet;
    std::unique_ptr<Pavrel_Key> pTemporary(pKey);
    return pKey->signHash(pHash, nullptr, dwFlags, pbSignature, pdwSigLen);
}

DWORD Pavrel_Provider::verifySignature(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                       HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags)
{
    if (pbSignature == nullptr || dwSigLen == 0)
        return ERROR_INVALID_PARAMETER;
    if (m_pKeyset == nullptr)
        return Err(NTE_BAD_UID);
    Pavrel_Hash *pHash = getHash(hHash);
    if (pHash == nullptr)
        return Err(NTE_BAD_HASH);
    Pavrel_Key *pKey = getKey(hPubKey);
    if (pKey == nullptr)
        return Err(NTE_BAD_KEY);
    if (szDescription != nullptr)
        return ERROR_INVALID_PARAMETER;
    if (dwFlags > 1)
        return Err(NTE_BAD_FLAGS);
    return pKey->verifySignature(pHash, pbSignature, dwSigLen, nullptr, dwFlags);
}

DWORD Pavrel_Provider::genRandom(DWORD dwLen, BYTE *pbBuffer)
{
    if (pbBuffer == nullptr && dwLen != 0)
        return ERROR_INVALID_PARAMETER;
    return Pavrel_MSCSP::genRandomAsUser(dwLen, pbBuffer);
}
