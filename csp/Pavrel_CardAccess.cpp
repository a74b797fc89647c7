// Pavrel_CardAccess.cpp
#include "Pavrel_CardAccess.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <new>
#include <vector>

#include "CspMutex.h"
#include "CspTraceScope.h"
#include "TraceWriter.h"

namespace {

const char kClass[] = "Pavrel_CardAccess";

// The process's accesses in order of creation. The list is walked and
// changed only under this process-local lock; "MUTEX_CSP" guards the counts.
SRWLOCK g_listLock = SRWLOCK_INIT;
std::list<Pavrel_CardAccess *> *g_pCardAccessList = nullptr;

std::list<Pavrel_CardAccess *> &CardAccessList()
{
    if (g_pCardAccessList == nullptr)
        g_pCardAccessList = new std::list<Pavrel_CardAccess *>();
    return *g_pCardAccessList;
}

class ListLock {
public:
    ListLock() { AcquireSRWLockExclusive(&g_listLock); }
    ~ListLock() { ReleaseSRWLockExclusive(&g_listLock); }
};

#define TRACE_INFO(...) \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)

void TraceHex(const char *pszMethod, const char *pszName, const BYTE *pbData, DWORD dwLen)
{
    CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CSP, kClass, pszMethod, pszName, pbData,
                                        dwLen);
}

// A secret shown as its length only.
void TraceSecret(const char *pszMethod, const char *pszName, const BYTE *pbData, DWORD dwLen)
{
    CTraceWriter::GetInstance()->LogHexMasked(TRACE_MODULE_CSP, kClass, pszMethod, pszName,
                                              pbData, dwLen, 0);
}

const char *Text(const char *psz) { return psz ? psz : ""; }

// Same length and equal without regard to case.
bool SameDeviceName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    if (a.empty())
        return true;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

// Owners of the CryptoAPI objects of one certificate import.
struct CertImport {
    PCCERT_CONTEXT pCert = nullptr;
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    ~CertImport()
    {
        if (hKey)
            CryptDestroyKey(hKey);
        if (hProv)
            CryptReleaseContext(hProv, 0);
        if (pCert)
            CertFreeCertificateContext(pCert);
    }
};

const DWORD kCertBufferLen = 2000;
const DWORD kMinModulusLen = 64;
const DWORD kMaxModulusLen = 256;

}  // namespace

Pavrel_CardAccess::Pavrel_CardAccess(const std::string &strDeviceName)
    : m_strDeviceName(strDeviceName), _refCount(0)
{
}

Pavrel_CardAccess::~Pavrel_CardAccess() {}

Pavrel_CardAccess *Pavrel_CardAccess::getCardInstance(const std::string &strDeviceName, BYTE)
{
    // The lookup, creation and first opening happen under the list lock, so
    // two threads asking for one token get one access.
    ListLock lock;
    std::list<Pavrel_CardAccess *> &list = CardAccessList();
    for (Pavrel_CardAccess *pAccess : list) {
        if (!SameDeviceName(pAccess->m_strDeviceName, strDeviceName))
            continue;
        if (pAccess->isConnected())
            return pAccess;
        return pAccess->reconnect() == 0 ? pAccess : nullptr;
    }
    Pavrel_CardAccess *pAccess = new (std::nothrow) Pavrel_CardAccess(strDeviceName);
    if (pAccess == nullptr)
        return nullptr;
    DWORD dwOpen = 0;
    try {
        dwOpen = pAccess->openConnection(strDeviceName.c_str(), TRUE);
    } catch (...) {
        // Not in the list yet: nobody else would hand its card object back.
        delete pAccess;
        throw;
    }
    if (dwOpen != 0) {
        delete pAccess;
        return nullptr;
    }
    try {
        list.push_back(pAccess);
    } catch (...) {
        pAccess->closeConnection();
        delete pAccess;
        return nullptr;
    }
    return pAccess;
}

void Pavrel_CardAccess::AddRef()
{
    CCspMutex guard;
    ++_refCount;
}

void Pavrel_CardAccess::Release()
{
    CCspTraceScope scope(kClass, "Release");
    bool bLast = false;
    {
        CCspMutex guard;
        if (--_refCount <= 0) {
            TRACE_INFO("Pavrel_CardAccess::Release _refCount <= 0,delete this");
            ListLock lock;
            CardAccessList().remove(this);
            bLast = true;
        }
    }
    // Out of the list, so no other thread can reach it; the card is talked
    // to only now that other processes may take "MUTEX_CSP" again.
    // Release runs inside destructors and the clean-up after an exception,
    // so a card that throws while closing must not take the process down;
    // the card object is handed back all the same.
    if (bLast) {
        try {
            closeConnection();
        } catch (...) {
            TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_CardAccess::Release");
        }
        delete this;
    }
}

DWORD Pavrel_CardAccess::openConnection(const char *pszName, BOOL bDefault)
{
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    return bDefault ? card()->OpenConnByContainerDefault(pszName)
                    : card()->OpenConnByContainer(pszName, KQCARD_CONN_ON_DEMAND);
}

DWORD Pavrel_CardAccess::reconnect()
{
    return card() ? card()->OpenConnByContainerDefault(m_strDeviceName.c_str())
                  : PAVREL_E_NO_CARD_OBJECT;
}

DWORD Pavrel_CardAccess::closeConnection()
{
    return card() ? card()->CloseConnection() : PAVREL_E_NO_CARD_OBJECT;
}

BOOL Pavrel_CardAccess::isConnected() { return card() ? card()->IsConnected() : FALSE; }

BOOL Pavrel_CardAccess::GetDevicePath(char *pszDevicePath, DWORD dwLen)
{
    try {
        return card() ? card()->GetDevicePath(pszDevicePath, dwLen) : FALSE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_CardAccess::GetDevicePath");
        return FALSE;
    }
}

DWORD Pavrel_CardAccess::verifyPin(DWORD dwPinNum, const BYTE *pbPin, DWORD dwPinLen,
                                   BYTE *pbOut)
{
    CCspTraceScope scope(kClass, "verifyPin");
    TRACE_INFO("Pavrel_CardAccess::verifyPin dwPinNum=[%d]", static_cast<int>(dwPinNum));
    TraceSecret("verifyPin", "lpbPin", pbPin, dwPinLen);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->VerifyPin(1, pbPin, dwPinLen, pbOut);
    TRACE_INFO("Pavrel_CardAccess::verifyPin len=[%d],lpbOutPwd=[%d],fOK=[%d]",
               static_cast<int>(dwPinLen), pbOut ? pbOut[0] : 0, static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::verifyUserPin(const BYTE *pbPin, DWORD dwPinLen)
{
    BYTE abScratch[256] = {0};
    return verifyPin(1, pbPin, dwPinLen, abScratch);
}

DWORD Pavrel_CardAccess::deleteKeyset(const char *pszContainer)
{
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CSP, kClass, "deleteKeyset");
    TRACE_INFO("Pavrel_CardAccess::deleteKeyset keysetId=[%s]", Text(pszContainer));
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->DeleteKeySet(pszContainer);
    if (dwRet == 0) {
        TRACE_INFO("Pavrel_CardAccess::deleteKeyset fOK=[%d]", static_cast<int>(dwRet));
        CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CSP, kClass, "deleteKeyset");
    }
    return dwRet;
}

DWORD Pavrel_CardAccess::importKey(const char *pszContainer, BYTE byType, WORD uKeyUsage,
                                   const BYTE *pbBlob, DWORD dwBlobLen)
{
    CCspTraceScope scope(kClass, "importKey");
    TRACE_INFO("Pavrel_CardAccess::importKey  keysetId=[%s],uKeyUsage=[%d],byType=[%d]",
               Text(pszContainer), uKeyUsage, byType);
    TraceSecret("importKey", "lpbKeyBlob", pbBlob, dwBlobLen);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->ImportKey(pszContainer, byType ? 1 : 0, uKeyUsage, pbBlob, dwBlobLen);
    TRACE_INFO("Pavrel_CardAccess::importKey fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::generateKeys(const char *pszContainer, KEY_GEN_PARAM kgp)
{
    CCspTraceScope scope(kClass, "generateKeys");
    TRACE_INFO("Pavrel_CardAccess::generateKeys  keysetId=[%s], kgp.algId=[0x%x] ,kgp.keySize=[0x%x]",
               Text(pszContainer), static_cast<unsigned>(kgp.algId),
               static_cast<unsigned>(kgp.keySize));
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    KEYGEN_PARAM param = {kgp.algId, kgp.keySize};
    DWORD dwRet = card()->GenerateKeys(pszContainer, param, kgp.algId != 2 ? 1 : 0);
    TRACE_INFO("Pavrel_CardAccess::generateKeys fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::readPublicKey(const char *pszContainer, BYTE *pbBlob, DWORD *pdwLen,
                                       BYTE byType)
{
    CCspTraceScope scope(kClass, "readPublicKey");
    TRACE_INFO("Pavrel_CardAccess::readPublicKey keysetId=[%s],byType=[%d]", Text(pszContainer),
               byType);
    if (pbBlob == nullptr || pdwLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    // Both sources write a whole record: a shorter buffer is refused first.
    if (*pdwLen < PAVREL_PUBKEY_BLOB_LEN) {
        *pdwLen = PAVREL_PUBKEY_BLOB_LEN;
        return ERROR_MORE_DATA;
    }
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;

    std::vector<BYTE> vecCert(kCertBufferLen, 0);
    DWORD dwCertLen = kCertBufferLen;
    BYTE abModulus[500] = {0};
    DWORD dwModulusLen = sizeof(abModulus);
    DWORD dwExponent = 0;
    if (card()->ReadCertificate(pszContainer, byType ? 1 : 0, vecCert.data(), &dwCertLen) == 0 &&
        dwCertLen <= kCertBufferLen &&
        PublicKeyFromCertificate(vecCert.data(), dwCertLen, abModulus, &dwModulusLen,
                                 &dwExponent) &&
        dwModulusLen >= kMinModulusLen && dwModulusLen <= kMaxModulusLen) {
        TraceHex("readPublicKey", "bytePubKey", abModulus, dwModulusLen);
        BYTE abBlob[PAVREL_PUBKEY_BLOB_LEN] = {0};
        DWORD dwBits = dwModulusLen * 8;
        abBlob[0] = static_cast<BYTE>(dwBits >> 8);
        abBlob[1] = static_cast<BYTE>(dwBits);
        // The card's layout: little-endian modulus with each byte pair swapped.
        for (DWORD k = 0; 2 * k < dwModulusLen; ++k) {
            abBlob[2 + 2 * k] = abModulus[2 * k + 1];
            abBlob[3 + 2 * k] = abModulus[2 * k];
        }
        abBlob[258] = static_cast<BYTE>(dwExponent >> 24);
        abBlob[259] = static_cast<BYTE>(dwExponent >> 16);
        abBlob[260] = static_cast<BYTE>(dwExponent >> 8);
        abBlob[261] = static_cast<BYTE>(dwExponent);
        std::memcpy(pbBlob, abBlob, sizeof(abBlob));
        *pdwLen = PAVREL_PUBKEY_BLOB_LEN;
        TraceHex("readPublicKey", "byteTmpBlob", abBlob, sizeof(abBlob));
        return 0;
    }
    CTraceWriter::GetInstance()->Log(
        TRACE_LEVEL_WARNING, TRACE_KIND_LINE, TRACE_MODULE_CSP,
        "Pavrel_CardAccess::readPublicKey try to read pubkey from cert failed");
    DWORD dwRet = card()->ReadPublicKey(pszContainer, byType ? 1 : 0, pbBlob, pdwLen);
    if (dwRet == 0)
        TraceHex("readPublicKey", "lpbBlob", pbBlob, *pdwLen);
    TRACE_INFO("Pavrel_CardAccess::readPublicKey fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::readKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    CCspTraceScope scope(kClass, "readKeysetIds");
    TRACE_INFO("Pavrel_CardAccess::readKeysetIds pccKeysets=[%d]",
               pdwCount ? static_cast<int>(*pdwCount) : 0);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->ReadKeysetIds(pItems, pdwCount);
    if (pItems != nullptr && pdwCount != nullptr && *pdwCount >= 4) {
        // A name fills its field without a NUL when it is that long: each is
        // printed only as far as its field goes.
        const int n = static_cast<int>(sizeof(pItems[0].szName));
        TRACE_INFO("Pavrel_CardAccess::readKeysetIds pCKAS[0].keysetId=[%.*s],pCKAS[0].state=[0x%04x],"
                   "pCKAS[1].keysetId=[%.*s],pCKAS[1].state=[0x%04x],"
                   "pCKAS[2].keysetId=[%.*s],pCKAS[2].state=[0x%04x],"
                   "pCKAS[3].keysetId=[%.*s],pCKAS[3].state=[0x%04x],fOK=[%d]",
                   n, pItems[0].szName, pItems[0].wStatus, n, pItems[1].szName, pItems[1].wStatus,
                   n, pItems[2].szName, pItems[2].wStatus, n, pItems[3].szName, pItems[3].wStatus,
                   static_cast<int>(dwRet));
    } else {
        TRACE_INFO("Pavrel_CardAccess::readKeysetIds fOK=[%d]", static_cast<int>(dwRet));
    }
    return dwRet;
}

DWORD Pavrel_CardAccess::writeKeysetId(int nIndex, const char *pszContainer)
{
    CCspTraceScope scope(kClass, "writeKeysetId");
    TRACE_INFO("Pavrel_CardAccess::writeKeysetId dwIndex=[%d],keysetId=[%s]", nIndex,
               Text(pszContainer));
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->WriteKeysetId(nIndex, pszContainer);
    TRACE_INFO("Pavrel_CardAccess::writeKeysetId fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::getKeysetIdObjectStatus(const char *pszContainer, BYTE byType,
                                                 WORD *pwStatus, WORD *pwKeyBits)
{
    CCspTraceScope scope(kClass, "getKeysetIdObjectStatus");
    TRACE_INFO("Pavrel_CardAccess::getKeysetIdObjectStatus keysetId=[%s],byType=[%d]",
               Text(pszContainer), byType);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->GetKeysetIdObjectStatus(pszContainer, byType ? 1 : 0, pwStatus,
                                                  pwKeyBits);
    TRACE_INFO("Pavrel_CardAccess::getKeysetIdObjectStatus fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::computeCrypt(const char *pszContainer, int nOp, BYTE byType,
                                      const BYTE *pbIn, DWORD dwInLen, BYTE *pbOut,
                                      DWORD *pdwOutLen)
{
    CCspTraceScope scope(kClass, "computeCrypt");
    TRACE_INFO("Pavrel_CardAccess::computeCrypt  keysetId=[%s],direction=[%d],bSign=[%d]",
               Text(pszContainer), nOp, byType);
    // Either side may be a clear session key or decrypted data.
    TraceSecret("computeCrypt", "lpbIn", pbIn, dwInLen);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet =
        card()->ComputeCrypt(pszContainer, nOp, byType ? 1 : 0, pbIn, dwInLen, pbOut, pdwOutLen);
    if (dwRet == 0 && pdwOutLen != nullptr)
        TraceSecret("computeCrypt", "lpbOut", pbOut, *pdwOutLen);
    TRACE_INFO("Pavrel_CardAccess::computeCrypt fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::readCertificate(const char *pszContainer, BYTE byType, BYTE *pbCert,
                                         DWORD *pdwLen)
{
    CCspTraceScope scope(kClass, "readCertificate");
    TRACE_INFO("Pavrel_CardAccess::readCertificate keysetId=[%s],byType=[%d]",
               Text(pszContainer), byType);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->ReadCertificate(pszContainer, byType ? 1 : 0, pbCert, pdwLen);
    if (dwRet == 0 && pdwLen != nullptr)
        TraceHex("readCertificate", "lpbCert", pbCert, *pdwLen);
    TRACE_INFO("Pavrel_CardAccess::writeCertificate fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::writeCertificate(const char *pszContainer, BYTE byType,
                                          const BYTE *pbCert, DWORD dwLen)
{
    CCspTraceScope scope(kClass, "writeCertificate");
    TRACE_INFO("Pavrel_CardAccess::writeCertificate keysetId=[%s],byType=[%d]",
               Text(pszContainer), byType);
    TraceHex("writeCertificate", "lpbCert", pbCert, dwLen);
    if (card() == nullptr)
        return PAVREL_E_NO_CARD_OBJECT;
    DWORD dwRet = card()->WriteCertificate(pszContainer, byType ? 1 : 0, pbCert, dwLen);
    TRACE_INFO("Pavrel_CardAccess::writeCertificate fOK=[%d]", static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_CardAccess::clearScreen()
{
    return card() ? card()->ClearScreen() : PAVREL_E_NO_CARD_OBJECT;
}

DWORD Pavrel_CardAccess::setDisplay(const char *pScreen)
{
    return card() ? card()->SetDisplay(pScreen) : PAVREL_E_NO_CARD_OBJECT;
}

DWORD Pavrel_CardAccess::delayDisplayLogo(int nMilliseconds)
{
    return card() ? card()->DelayDisplayLogo(nMilliseconds) : PAVREL_E_NO_CARD_OBJECT;
}

DWORD Pavrel_CardAccess::KeyInStart(const KEYINSTART_PARAM *pParam, void *pExtra)
{
    CCspTraceScope scope(kClass, "KeyInStart");
    try {
        return card() ? card()->KeyInStart(pParam, pExtra) : PAVREL_E_NO_CARD_OBJECT;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_CardAccess::KeyInStart");
        return static_cast<DWORD>(SCARD_E_UNEXPECTED);
    }
}

DWORD Pavrel_CardAccess::KeyIn(char *pKey, int *pState)
{
    try {
        return card() ? card()->KeyIn(pKey, pState) : PAVREL_E_NO_CARD_OBJECT;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_CardAccess::KeyIn");
        return static_cast<DWORD>(SCARD_E_UNEXPECTED);
    }
}

BOOL Pavrel_CardAccess::PublicKeyFromCertificate(const BYTE *pbCert, DWORD dwCertLen,
                                                 BYTE *pbModulus, DWORD *pdwModulusLen,
                                                 DWORD *pdwExponent)
{
    if (pbCert == nullptr || dwCertLen == 0 || pbModulus == nullptr || pdwModulusLen == nullptr ||
        pdwExponent == nullptr)
        return FALSE;
    // Every object made here is freed on every way out.
    CertImport import;
    import.pCert = CertCreateCertificateContext(X509_ASN_ENCODING, pbCert, dwCertLen);
    if (import.pCert == nullptr)
        return FALSE;
    // Only a public key is imported: a verification context needs no
    // container, so nothing is left behind.
    if (!CryptAcquireContextA(&import.hProv, nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        import.hProv = 0;
        return FALSE;
    }
    if (!CryptImportPublicKeyInfo(import.hProv, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                  &import.pCert->pCertInfo->SubjectPublicKeyInfo,
                                  &import.hKey)) {
        import.hKey = 0;
        return FALSE;
    }
    DWORD dwBlobLen = 0;
    if (!CryptExportKey(import.hKey, 0, PUBLICKEYBLOB, 0, nullptr, &dwBlobLen))
        return FALSE;
    const DWORD dwHead = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (dwBlobLen < dwHead)
        return FALSE;
    std::vector<BYTE> vecBlob(dwBlobLen, 0);
    if (!CryptExportKey(import.hKey, 0, PUBLICKEYBLOB, 0, vecBlob.data(), &dwBlobLen) ||
        dwBlobLen < dwHead)
        return FALSE;
    RSAPUBKEY rsa;
    std::memcpy(&rsa, vecBlob.data() + sizeof(BLOBHEADER), sizeof(rsa));
    DWORD dwModulusLen = rsa.bitlen / 8;
    if (rsa.magic != 0x31415352 || dwModulusLen == 0 || dwModulusLen > dwBlobLen - dwHead ||
        dwModulusLen > *pdwModulusLen)
        return FALSE;
    *pdwModulusLen = dwModulusLen;
    *pdwExponent = rsa.pubexp;
    std::memcpy(pbModulus, vecBlob.data() + dwHead, dwModulusLen);
    return TRUE;
}
