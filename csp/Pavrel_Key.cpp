// Pavrel_Key.cpp
//
// The software keys' shared behaviour and the factories that make them, the
// keys on the token included.
#include "Pavrel_Key.h"

#include <cstring>
#include <new>
#include <string>

#include "Pavrel_CardAccess.h"
#include "Pavrel_MSCSP.h"
#include "Pavrel_RSAKeyInCard.h"
#include "Pavrel_RSAKeyInMemory.h"
#include "Pavrel_SessionKey.h"
#include "Pavrel_SimpleSessionKey.h"
#include "TraceWriter.h"

namespace {

void TraceError(const char *pszFormat, int a, int b = 0, int c = 0, int d = 0)
{
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                                     pszFormat, a, b, c, d);
}

// A new key object that could not get the software context is no key.
template <typename K> DWORD NewSoftwareKey(ALG_ID algId, DWORD dwFlags, K **ppKey)
{
    *ppKey = new (std::nothrow) K(algId, dwFlags);
    return *ppKey ? 0 : static_cast<DWORD>(NTE_NO_MEMORY);
}

// The exchange key's sizes in the provider's algorithm list: the default,
// the bounds of an import and their step.
const DWORD kDefaultCardKeyBits = 1024;
const DWORD kMinImportBits = 1024;
const DWORD kMaxImportBits = 2048;
const DWORD kImportBitsStep = 1024;
const WORD kStatusPublicKey = 0x4000;

int Code(DWORD dwCode) { return static_cast<int>(dwCode); }

void AppendBigEndian32(std::vector<BYTE> &vec, DWORD dw)
{
    vec.push_back(static_cast<BYTE>(dw >> 24));
    vec.push_back(static_cast<BYTE>(dw >> 16));
    vec.push_back(static_cast<BYTE>(dw >> 8));
    vec.push_back(static_cast<BYTE>(dw));
}

// Appends dwLen little-endian bytes as a big-endian number.
void AppendReversed(std::vector<BYTE> &vec, const BYTE *pb, DWORD dwLen)
{
    for (DWORD i = dwLen; i > 0; --i)
        vec.push_back(pb[i - 1]);
}

// A card factory's arguments, and the out pointer cleared.
DWORD CheckCardArguments(Pavrel_CardAccess *pCardAccess, const char *pszKeysetName,
                         Pavrel_Key **ppKey)
{
    if (ppKey == nullptr || pCardAccess == nullptr || pszKeysetName == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppKey = nullptr;
    return 0;
}

// The container's status and key usage for the key of byType; a failure is
// traced with pszFailure (container name, code).
DWORD CardKeyStatus(Pavrel_CardAccess *pCardAccess, const char *pszKeysetName, BYTE byType,
                    WORD *pwStatus, WORD *pwUsage, const char *pszFailure)
{
    DWORD dwRet = pCardAccess->getKeysetIdObjectStatus(pszKeysetName, byType, pwStatus, pwUsage);
    if (dwRet != 0)
        CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                                         pszFailure, pszKeysetName, Code(dwRet));
    return dwRet;
}

DWORD NewCardKey(ALG_ID algId, DWORD dwFlags, Pavrel_CardAccess *pCardAccess,
                 const char *pszKeysetName, Pavrel_Key **ppKey)
{
    try {
        *ppKey = new Pavrel_RSAKeyInCard(algId, dwFlags, pCardAccess, pszKeysetName);
        return 0;
    } catch (...) {
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
}

}  // namespace

Pavrel_Key::Pavrel_Key(ALG_ID algId, DWORD dwFlags, bool bSoftware)
    : _algId(algId), m_dwFlags(dwFlags), m_ullReserved(0), m_hSoftKey(0),
      m_dwSoftwareStatus(0), m_bUser(false)
{
    if (bSoftware) {
        m_dwSoftwareStatus = Pavrel_MSCSP::addUser();
        m_bUser = m_dwSoftwareStatus == 0;
    }
}

Pavrel_Key::~Pavrel_Key()
{
    if (m_hSoftKey != 0)
        Pavrel_MSCSP::destroyKey(m_hSoftKey);
    if (m_bUser)
        Pavrel_MSCSP::releaseUser();
}

DWORD Pavrel_Key::getDwordParam(DWORD dwParam)
{
    DWORD dwValue = 0;
    return readDwordParam(dwParam, &dwValue) == 0 ? dwValue : 0;
}

DWORD Pavrel_Key::readDwordParam(DWORD dwParam, DWORD *pdwValue)
{
    DWORD dwLen = sizeof(*pdwValue);
    return Pavrel_MSCSP::getKeyParam(m_hSoftKey, dwParam, reinterpret_cast<BYTE *>(pdwValue),
                                     &dwLen, 0);
}

DWORD Pavrel_Key::setSoftParam(DWORD dwParam, const BYTE *pbData)
{
    return Pavrel_MSCSP::setKeyParam(m_hSoftKey, dwParam, pbData, 0);
}

DWORD Pavrel_Key::appendParam(DWORD dwParam, DWORD dwSize, std::vector<BYTE> &vecOut)
{
    BYTE abValue[64] = {0};
    DWORD dwLen = dwSize <= sizeof(abValue) ? dwSize : sizeof(abValue);
    DWORD dwRet = Pavrel_MSCSP::getKeyParam(m_hSoftKey, dwParam, abValue, &dwLen, 0);
    if (dwRet == 0)
        vecOut.insert(vecOut.end(), abValue, abValue + dwLen);
    return dwRet;
}

DWORD Pavrel_Key::getBlockLen() { return getDwordParam(KP_BLOCKLEN); }
DWORD Pavrel_Key::getKeyLen() { return getDwordParam(KP_KEYLEN); }
DWORD Pavrel_Key::getPermissions() { return getDwordParam(KP_PERMISSIONS); }

DWORD Pavrel_Key::setPermissions(const BYTE *pbPermissions)
{
    return setSoftParam(KP_PERMISSIONS, pbPermissions);
}

DWORD Pavrel_Key::exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                            DWORD *pdwDataLen)
{
    return Pavrel_MSCSP::exportKey(m_hSoftKey, hExpKey, dwBlobType, dwFlags, pbData,
                                   pdwDataLen);
}

DWORD Pavrel_Key::encrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen,
                          DWORD dwBufLen)
{
    return Pavrel_MSCSP::encrypt(m_hSoftKey, 0, bFinal, dwFlags, pbData, pdwDataLen, dwBufLen);
}

DWORD Pavrel_Key::decrypt(BOOL bFinal, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    return Pavrel_MSCSP::decrypt(m_hSoftKey, 0, bFinal, dwFlags, pbData, pdwDataLen);
}

DWORD Pavrel_Key::importKey(const BYTE *, DWORD, HCRYPTKEY, DWORD)
{
    return static_cast<DWORD>(E_NOTIMPL);
}

DWORD Pavrel_Key::generateExportable() { return static_cast<DWORD>(E_NOTIMPL); }

DWORD Pavrel_Key::setIV(const BYTE *pbIV) { return setSoftParam(KP_IV, pbIV); }
DWORD Pavrel_Key::setSalt(const BYTE *pbSalt) { return setSoftParam(KP_SALT, pbSalt); }
DWORD Pavrel_Key::setPadding(const BYTE *pbPadding) { return setSoftParam(KP_PADDING, pbPadding); }
DWORD Pavrel_Key::setMode(const BYTE *pbMode) { return setSoftParam(KP_MODE, pbMode); }
DWORD Pavrel_Key::setModeBits(const BYTE *pbModeBits)
{
    return setSoftParam(KP_MODE_BITS, pbModeBits);
}
DWORD Pavrel_Key::setEffectiveKeyLen(const BYTE *pbKeyLen)
{
    return setSoftParam(KP_EFFECTIVE_KEYLEN, pbKeyLen);
}

DWORD Pavrel_Key::getMode(DWORD *pdwMode) { return readDwordParam(KP_MODE, pdwMode); }
DWORD Pavrel_Key::getModeBits(DWORD *pdwModeBits)
{
    return readDwordParam(KP_MODE_BITS, pdwModeBits);
}
DWORD Pavrel_Key::getEffectiveKeyLen(DWORD *pdwKeyLen)
{
    return readDwordParam(KP_EFFECTIVE_KEYLEN, pdwKeyLen);
}

DWORD Pavrel_Key::getSalt(std::vector<BYTE> &vecSalt) { return appendParam(KP_SALT, 64, vecSalt); }
DWORD Pavrel_Key::getIV(std::vector<BYTE> &vecIV) { return appendParam(KP_IV, 64, vecIV); }
DWORD Pavrel_Key::getPadding(std::vector<BYTE> &vecPadding)
{
    return appendParam(KP_PADDING, 32, vecPadding);
}

bool Pavrel_Key::isSessionAlgorithm(ALG_ID algId)
{
    return algId == CALG_DES || algId == CALG_RC2 || algId == CALG_3DES ||
           algId == CALG_3DES_112 || algId == CALG_RC4;
}

bool Pavrel_Key::isSessionKey() const { return ((_algId >> 9) & 0xF) != 2; }
bool Pavrel_Key::isBlockCipher() const { return (_algId & 0x1E00) == ALG_TYPE_BLOCK; }

bool Pavrel_Key::isLegacyWindows()
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info))
        return false;
#pragma GCC diagnostic pop
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return false;
    return info.dwMajorVersion <= 4 || (info.dwMajorVersion == 5 && info.dwMinorVersion == 0);
}

DWORD Pavrel_Key::generate(ALG_ID algId, DWORD dwFlags, Pavrel_Key **ppKey)
{
    if (ppKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppKey = nullptr;
    Pavrel_Key *pKey = nullptr;
    DWORD dwRet = 0;
    if (algId == AT_KEYEXCHANGE || algId == AT_SIGNATURE || algId == CALG_RSA_SIGN ||
        algId == CALG_RSA_KEYX) {
        Pavrel_RSAKeyInMemory *pRsa = nullptr;
        if (NewSoftwareKey(algId, dwFlags, &pRsa) != 0) {
            TraceError("Pavrel_Key::generate new Pavrel_RSAKeyInMemory Failed,algId=[%d],"
                       "dwFlags=[%d],GetLastError=[%d]",
                       static_cast<int>(algId), static_cast<int>(dwFlags),
                       static_cast<int>(GetLastError()));
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
        pKey = pRsa;
    } else if (isSessionAlgorithm(algId) && isLegacyWindows()) {
        Pavrel_SimpleSessionKey *pSimple = nullptr;
        if (NewSoftwareKey(algId, dwFlags, &pSimple) != 0) {
            TraceError("Pavrel_Key::generate new Pavrel_SimpleSessionKey Failed,GetLastError=[%d]",
                       static_cast<int>(GetLastError()));
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
        dwRet = pSimple->softwareStatus();
        if (dwRet == 0)
            dwRet = pSimple->generateExportable();
        if (dwRet != 0) {
            delete pSimple;
            return dwRet;
        }
        *ppKey = pSimple;
        return 0;
    } else if (isSessionAlgorithm(algId)) {
        Pavrel_SessionKey *pSession = nullptr;
        if (NewSoftwareKey(algId, dwFlags, &pSession) != 0) {
            TraceError("Pavrel_Key::generate new Pavrel_SessionKey Failed,GetLastError=[%d]",
                       static_cast<int>(GetLastError()));
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
        pKey = pSession;
    } else {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    dwRet = pKey->softwareStatus();
    if (dwRet == 0)
        dwRet = Pavrel_MSCSP::genKey(Pavrel_MSCSP::getContext(), algId, dwFlags, &pKey->m_hSoftKey);
    if (dwRet != 0) {
        TraceError("Pavrel_Key::generate genKey Failed,algId=[%d],dwFlags=[%d],GetLastError=[%d]",
                   static_cast<int>(algId), static_cast<int>(dwFlags), static_cast<int>(dwRet));
        delete pKey;
        return dwRet;
    }
    *ppKey = pKey;
    return 0;
}

DWORD Pavrel_Key::getUserKey(DWORD dwKeySpec, Pavrel_Key **ppKey)
{
    if (ppKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppKey = nullptr;
    Pavrel_RSAKeyInMemory *pKey = nullptr;
    if (NewSoftwareKey(dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, 1, &pKey) !=
        0) {
        TraceError("Pavrel_Key::getUserKey new Pavrel_RSAKeyInMemory Failed,GetLastError=[%d]",
                   static_cast<int>(GetLastError()));
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    DWORD dwRet = pKey->softwareStatus();
    HCRYPTPROV hProv = Pavrel_MSCSP::getContext();
    if (dwRet == 0)
        dwRet = Pavrel_MSCSP::getUserKey(hProv, dwKeySpec, &pKey->m_hSoftKey);
    // A container without the pair answers NTE_NO_KEY (NTE_BAD_KEY on some
    // systems): the pair is made then, so the caller gets a working key.
    if (dwRet == static_cast<DWORD>(NTE_BAD_KEY) || dwRet == static_cast<DWORD>(NTE_NO_KEY))
        dwRet = Pavrel_MSCSP::genKey(hProv, dwKeySpec, 0x04000000 | CRYPT_EXPORTABLE,
                                     &pKey->m_hSoftKey);
    if (dwRet != 0) {
        TraceError("Pavrel_Key::getUserKey Failed,dwKeySpec=[%d],GetLastError=[%d]",
                   static_cast<int>(dwKeySpec), static_cast<int>(dwRet));
        delete pKey;
        return dwRet;
    }
    *ppKey = pKey;
    return 0;
}

DWORD Pavrel_Key::importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                            DWORD dwFlags, Pavrel_Key **ppKey)
{
    if (ppKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppKey = nullptr;
    // The head is read only when the blob holds one.
    if (pbData == nullptr || dwDataLen < sizeof(BLOBHEADER))
        return static_cast<DWORD>(NTE_BAD_DATA);
    BLOBHEADER head;
    memcpy(&head, pbData, sizeof(head));

    Pavrel_Key *pKey = nullptr;
    bool bLegacy = false;
    switch (head.bType) {
    case SIMPLEBLOB:
    case SYMMETRICWRAPKEYBLOB:
    case PLAINTEXTKEYBLOB:
        bLegacy = head.bType == PLAINTEXTKEYBLOB && isLegacyWindows();
        if (bLegacy) {
            Pavrel_SimpleSessionKey *pSimple = nullptr;
            if (NewSoftwareKey(head.aiKeyAlg, dwFlags, &pSimple) != 0) {
                TraceError("Pavrel_Key::importKey new Pavrel_SimpleSessionKey Failed,"
                           "GetLastError=[%d]",
                           static_cast<int>(GetLastError()));
                return static_cast<DWORD>(NTE_NO_MEMORY);
            }
            pKey = pSimple;
        } else {
            Pavrel_SessionKey *pSession = nullptr;
            if (NewSoftwareKey(head.aiKeyAlg, dwFlags, &pSession) != 0) {
                TraceError("Pavrel_Key::importKey new Pavrel_SessionKey Failed,bh.aiKeyAlg=[%d],"
                           "dwFlags=[%d],GetLastError=[%d]",
                           static_cast<int>(head.aiKeyAlg), static_cast<int>(dwFlags),
                           static_cast<int>(GetLastError()));
                return static_cast<DWORD>(NTE_NO_MEMORY);
            }
            pKey = pSession;
        }
        break;
    case PUBLICKEYBLOB:
    case PRIVATEKEYBLOB: {
        Pavrel_RSAKeyInMemory *pRsa = nullptr;
        if (NewSoftwareKey(head.aiKeyAlg, dwFlags, &pRsa) != 0) {
            TraceError("Pavrel_Key::importKey new Pavrel_RSAKeyInMemory Failed,bh.aiKeyAlg=[%d],"
                       "dwFlags=[%d],GetLastError=[%d]",
                       static_cast<int>(head.aiKeyAlg), static_cast<int>(dwFlags),
                       static_cast<int>(GetLastError()));
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
        pKey = pRsa;
        break;
    }
    default:
        return static_cast<DWORD>(NTE_BAD_VER);
    }

    DWORD dwRet = pKey->softwareStatus();
    if (dwRet == 0)
        dwRet = bLegacy ? pKey->importKey(pbData, dwDataLen, hPubKey, dwFlags)
                        : Pavrel_MSCSP::importKey(Pavrel_MSCSP::getContext(), pbData, dwDataLen,
                                                  hPubKey, dwFlags, &pKey->m_hSoftKey);
    if (dwRet != 0) {
        // The blob may carry a private or session key: only its type and
        // length are traced.
        if (bLegacy)
            TraceError("Pavrel_Key::importKey Pavrel_SimpleSessionKey importKey Failed,"
                       "hPubKey=[%d],GetLastError=[%d]",
                       static_cast<int>(hPubKey), static_cast<int>(dwRet));
        else
            TraceError("Pavrel_Key::importKey csp importKey Failed,hPubKey=[%d],dwFlags=[%d],"
                       "GetLastError=[%d]",
                       static_cast<int>(hPubKey), static_cast<int>(dwFlags),
                       static_cast<int>(dwRet));
        TraceError("Pavrel_Key::importKey bh.bType=[%d],dwDataLen=[%d]",
                   static_cast<int>(head.bType), static_cast<int>(dwDataLen));
        delete pKey;
        return dwRet;
    }
    *ppKey = pKey;
    return 0;
}

// --- Keys on the token ------------------------------------------------------

DWORD Pavrel_Key::generate(ALG_ID algId, DWORD dwFlags, Pavrel_CardAccess *pCardAccess,
                           const char *pszKeysetName, Pavrel_Key **ppKey)
{
    DWORD dwRet = CheckCardArguments(pCardAccess, pszKeysetName, ppKey);
    if (dwRet != 0)
        return dwRet;
    if (algId != CALG_RSA_SIGN && algId != CALG_RSA_KEYX)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    WORD wStatus = 0, wUsage = 0;
    if ((dwRet = CardKeyStatus(pCardAccess, pszKeysetName, algId == CALG_RSA_SIGN ? 0 : 1, &wStatus,
                               &wUsage,
                               "Pavrel_Key::generate getKeysetIdObjectStatus Failed,kn=[%s],"
                               "GetLastError=[%d]")) != 0)
        return dwRet;
    KEY_GEN_PARAM kgp;
    kgp.algId = algId == CALG_RSA_KEYX ? 1 : 2;
    kgp.keySize = dwFlags > 0xFFFF ? dwFlags >> 16 : kDefaultCardKeyBits;
    if ((dwRet = pCardAccess->generateKeys(pszKeysetName, kgp)) != 0)
        return dwRet;
    return NewCardKey(algId, dwFlags, pCardAccess, pszKeysetName, ppKey);
}

DWORD Pavrel_Key::getUserKey(DWORD dwKeySpec, Pavrel_CardAccess *pCardAccess,
                             const char *pszKeysetName, Pavrel_Key **ppKey)
{
    DWORD dwRet = CheckCardArguments(pCardAccess, pszKeysetName, ppKey);
    if (dwRet != 0)
        return dwRet;
    WORD wStatus = 0, wUsage = 0;
    if ((dwRet = CardKeyStatus(pCardAccess, pszKeysetName, dwKeySpec == AT_KEYEXCHANGE ? 1 : 0,
                               &wStatus, &wUsage,
                               "Pavrel_Key::getUserKey getKeysetIdObjectStatus Failed,,kn=[%s], "
                               "GetLastError=[%d]")) != 0)
        return dwRet;
    if ((wStatus & kStatusPublicKey) == 0) {
        TraceError("Pavrel_Key::getUserKey uObjectStatus NoKey Failed,GetLastError=[%d]",
                   Code(NTE_NO_KEY));
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    if (wUsage != dwKeySpec) {
        TraceError("Pavrel_Key::getUserKey uKeyUsage != dwKeySpec Failed,GetLastError=[%d]",
                   Code(NTE_NO_KEY));
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    dwRet = NewCardKey(dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, 0, pCardAccess,
                       pszKeysetName, ppKey);
    if (dwRet != 0)
        TraceError("Pavrel_Key::getUserKey new Pavrel_RSAKeyInCard Failed,GetLastError=[%d]",
                   Code(dwRet));
    return dwRet;
}

DWORD Pavrel_Key::importKey(const BYTE *pbData, DWORD dwDataLen, Pavrel_CardAccess *pCardAccess,
                            const char *pszKeysetName, Pavrel_Key **ppKey)
{
    DWORD dwRet = CheckCardArguments(pCardAccess, pszKeysetName, ppKey);
    if (dwRet != 0)
        return dwRet;
    const DWORD dwHead = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (pbData == nullptr || dwDataLen < dwHead) {
        TraceError("Pavrel_Key::importKey dwDataLen=[%d] Invalid,GetLastError=[%d]",
                   Code(dwDataLen), Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    BLOBHEADER head;
    RSAPUBKEY rsa;
    std::memcpy(&head, pbData, sizeof(head));
    std::memcpy(&rsa, pbData + sizeof(head), sizeof(rsa));
    if (rsa.magic != 0x32415352) {
        TraceError(
            "Pavrel_Key::importKey pRsaPubKey->magic != 0x32415352 Failed,"
            "GetLastError=[%d]",
            Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (rsa.bitlen < kMinImportBits || rsa.bitlen > kMaxImportBits) {
        TraceError(
            "Pavrel_Key::importKey Invalidat,pRsaPubKey->bitlen=[%d],dwMaxLen=[%d],"
            "dwMinLen=[%d],GetLastError=[%d]",
            Code(rsa.bitlen), Code(kMaxImportBits), Code(kMinImportBits), Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if ((rsa.bitlen - kMinImportBits) % kImportBitsStep != 0) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_Key::importKey (pRsaPubKey->bitlen - dwMinLen) %% dwKeySizeINC != 0,"
            "pRsaPubKey->bitlen=[%d],dwMaxLen=[%d],dwMinLen=[%d],dwKeySizeINC=[%d],"
            "GetLastError=[%d]",
            Code(rsa.bitlen), Code(kMaxImportBits), Code(kMinImportBits), Code(kImportBitsStep),
            Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    // Modulus, then p, q, d mod (p-1), d mod (q-1) and q^-1 mod p of half
    // its length; the private exponent after them is not needed.
    const DWORD n = rsa.bitlen / 8;
    const DWORD h = n / 2;
    if (dwDataLen - dwHead < n + 5 * h) {
        TraceError("Pavrel_Key::importKey dwDataLen=[%d] < [%d],GetLastError=[%d]", Code(dwDataLen),
                   Code(dwHead + n + 5 * h), Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    const BYTE *pbModulus = pbData + dwHead;
    const BYTE *pbPrivate = pbModulus + n;
    std::vector<BYTE> vecBlob;
    try {
        vecBlob.reserve(12 + n + 5 * h);
    } catch (...) {
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    // The reserved room holds everything: nothing below reallocates, so the
    // private parts are in this one block, wiped before it goes back.
    AppendBigEndian32(vecBlob, n + 4);
    AppendBigEndian32(vecBlob, rsa.pubexp);
    AppendReversed(vecBlob, pbModulus, n);
    AppendBigEndian32(vecBlob, 5 * h);
    for (DWORD i = 0; i < 5; ++i)
        AppendReversed(vecBlob, pbPrivate + i * h, h);
    const WORD wUsage = head.aiKeyAlg == CALG_RSA_KEYX ? 1 : 2;
    dwRet = pCardAccess->importKey(pszKeysetName, head.aiKeyAlg == CALG_RSA_SIGN ? 0 : 1, wUsage,
                                   vecBlob.data(), static_cast<DWORD>(vecBlob.size()));
    SecureZeroMemory(vecBlob.data(), vecBlob.size());
    if (dwRet != 0) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_Key::importKey importKey Failed,kn=[%s],dwKeySpec=[%d],GetLastError=[%d]",
            pszKeysetName, wUsage, Code(dwRet));
        return dwRet;
    }
    dwRet = NewCardKey(head.aiKeyAlg == CALG_RSA_SIGN ? CALG_RSA_SIGN : CALG_RSA_KEYX, 0,
                       pCardAccess, pszKeysetName, ppKey);
    if (dwRet != 0)
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_Key::importKey new Pavrel_RSAKeyInCard Failed,kn=[%s],GetLastError=[%d]",
            pszKeysetName, Code(dwRet));
    return dwRet;
}

// --- Derived keys -------------------------------------------------------------

DWORD Pavrel_Key::deriveKey(ALG_ID algId, HCRYPTHASH hHash, DWORD dwFlags, Pavrel_Key **ppKey)
{
    if (ppKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppKey = nullptr;
    bool bLegacy = isLegacyWindows();
    Pavrel_SessionKey *pKey = bLegacy ? new (std::nothrow) Pavrel_SimpleSessionKey(algId, dwFlags)
                                      : new (std::nothrow) Pavrel_SessionKey(algId, dwFlags);
    if (pKey == nullptr)
        return static_cast<DWORD>(NTE_NO_MEMORY);
    DWORD dwRet = 0;
    dwRet = pKey->softwareStatus();
    if (dwRet == 0)
        dwRet = Pavrel_MSCSP::deriveKey(Pavrel_MSCSP::getContext(), algId, hHash,
                                        bLegacy ? CRYPT_EXPORTABLE : dwFlags, &pKey->m_hSoftKey);
    if (dwRet != 0) {
        if (bLegacy)
            TraceError("Pavrel_Key::deriveKey csp deriveKey Failed,algId=[%d],hHash=[%d],"
                       "GetLastError=[%d]",
                       static_cast<int>(algId), static_cast<int>(hHash), static_cast<int>(dwRet));
        else
            TraceError("Pavrel_Key::deriveKey csp deriveKey Failed,algId=[%d],hHash=[%d],"
                       "dwFlags=[%d],GetLastError=[%d]",
                       static_cast<int>(algId), static_cast<int>(hHash),
                       static_cast<int>(dwFlags), static_cast<int>(dwRet));
        delete pKey;
        return dwRet;
    }
    *ppKey = pKey;
    return 0;
}
