// Pavrel_SimpleSessionKey.cpp
//
// The clear key bytes pass through buffers of this file only; each is
// cleared before it is freed, and none is traced.
#include "Pavrel_SimpleSessionKey.h"

#include <vector>

#include "Pavrel_MSCSP.h"
#include "SecretBytes.h"
#include "TraceWriter.h"

namespace {

const DWORD kBlobHeadLen = sizeof(BLOBHEADER) + sizeof(DWORD);

// The software context's exchange key, destroyed when it goes.
class ExchangeKey {
public:
    ExchangeKey() : m_hKey(0) {}
    ~ExchangeKey()
    {
        if (m_hKey)
            Pavrel_MSCSP::destroyKey(m_hKey);
    }
    DWORD open() { return Pavrel_MSCSP::getUserKey(Pavrel_MSCSP::getContext(), AT_KEYEXCHANGE, &m_hKey); }
    HCRYPTKEY get() const { return m_hKey; }

private:
    HCRYPTKEY m_hKey;
};

void TraceFailure(const char *pszText, DWORD dwRet)
{
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                                     "Pavrel_SimpleSessionKey::importKey %s,GetLastError=[%d]",
                                     pszText, static_cast<int>(dwRet));
}

DWORD KeyParamBits(HCRYPTKEY hKey, DWORD dwParam, DWORD *pdwBits)
{
    *pdwBits = 0;
    DWORD dwLen = sizeof(*pdwBits);
    return Pavrel_MSCSP::getKeyParam(hKey, dwParam, reinterpret_cast<BYTE *>(pdwBits), &dwLen, 0);
}

// True when the software provider lists algId.
bool ProviderHasAlgorithm(ALG_ID algId, DWORD *pdwErr)
{
    PROV_ENUMALGS_EX alg;
    DWORD dwFlag = CRYPT_FIRST;
    for (;;) {
        DWORD dwLen = sizeof(alg);
        *pdwErr = Pavrel_MSCSP::getProvParam(Pavrel_MSCSP::getContext(), PP_ENUMALGS_EX,
                                             reinterpret_cast<BYTE *>(&alg), &dwLen, dwFlag);
        if (*pdwErr != 0)
            return false;
        if (alg.aiAlgid == algId)
            return true;
        dwFlag = CRYPT_NEXT;
    }
}

}  // namespace

Pavrel_SimpleSessionKey::Pavrel_SimpleSessionKey(ALG_ID algId, DWORD dwFlags)
    : Pavrel_SessionKey(algId, dwFlags)
{
}

Pavrel_SimpleSessionKey::~Pavrel_SimpleSessionKey() {}

DWORD Pavrel_SimpleSessionKey::generateExportable()
{
    return Pavrel_MSCSP::genKey(Pavrel_MSCSP::getContext(), _algId, CRYPT_EXPORTABLE,
                                &m_hSoftKey);
}

DWORD Pavrel_SimpleSessionKey::importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                         DWORD dwFlags)
{
    if (pbData == nullptr || dwDataLen < sizeof(BLOBHEADER))
        return static_cast<DWORD>(NTE_BAD_DATA);
    HCRYPTPROV hProv = Pavrel_MSCSP::getContext();
    const BLOBHEADER *pHead = reinterpret_cast<const BLOBHEADER *>(pbData);
    if (pHead->bType != PLAINTEXTKEYBLOB) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ARGS, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_SimpleSessionKey::importKey bh.bType != PLAINTEXTKEYBLOB,GetLastError=[%d]",
            static_cast<int>(GetLastError()));
        return Pavrel_MSCSP::importKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, &m_hSoftKey);
    }
    // Head, key size, then exactly that many key bytes.
    if (dwDataLen < kBlobHeadLen)
        return static_cast<DWORD>(NTE_BAD_DATA);
    DWORD dwKeySize = 0;
    memcpy(&dwKeySize, pbData + sizeof(BLOBHEADER), sizeof(dwKeySize));
    if (dwKeySize == 0 || dwKeySize > dwDataLen - kBlobHeadLen)
        return static_cast<DWORD>(NTE_BAD_DATA);

    DWORD dwRet = 0;
    if (!ProviderHasAlgorithm(_algId, &dwRet)) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_SimpleSessionKey::importKey Can Not Find Algid,_algId=[%d],GetLastError=[%d]",
            static_cast<int>(_algId), static_cast<int>(dwRet));
        return static_cast<DWORD>(NTE_FAIL);
    }
    // The provider's own key length of the algorithm bounds the key bytes.
    HCRYPTKEY hProbe = 0;
    dwRet = Pavrel_MSCSP::genKey(hProv, _algId, CRYPT_EXPORTABLE, &hProbe);
    if (dwRet != 0) {
        TraceFailure("genKey Failed", dwRet);
        return dwRet;
    }
    DWORD dwProvSessionKeySize = 0;
    dwRet = KeyParamBits(hProbe, KP_KEYLEN, &dwProvSessionKeySize);
    Pavrel_MSCSP::destroyKey(hProbe);
    if (dwRet != 0) {
        TraceFailure("getKeyParam Failed", dwRet);
        return dwRet;
    }
    if (dwProvSessionKeySize < dwKeySize * 8) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_SimpleSessionKey::importKey (dwKeyLen*8) > dwProvSessionKeySize "
            "Failed,dwKeyLen=[%d],dwProvSessionKeySize=[%d],GetLastError=[%d]",
            static_cast<int>(dwKeySize), static_cast<int>(dwProvSessionKeySize),
            static_cast<int>(GetLastError()));
        return static_cast<DWORD>(NTE_FAIL);
    }

    ExchangeKey exchange;
    dwRet = exchange.open();
    if (dwRet != 0) {
        TraceFailure("getUserKey Failed", dwRet);
        return dwRet;
    }
    ALG_ID exchangeAlg = 0;
    DWORD dwLen = sizeof(exchangeAlg);
    dwRet = Pavrel_MSCSP::getKeyParam(exchange.get(), KP_ALGID,
                                      reinterpret_cast<BYTE *>(&exchangeAlg), &dwLen, 0);
    DWORD dwExchangeBits = 0;
    if (dwRet == 0)
        dwRet = KeyParamBits(exchange.get(), KP_KEYLEN, &dwExchangeBits);
    if (dwRet != 0) {
        TraceFailure("getKeyParam Failed", dwRet);
        return dwRet;
    }
    DWORD dwWrapped = dwExchangeBits / 8;
    if (dwWrapped < dwKeySize)
        return static_cast<DWORD>(NTE_FAIL);

    CSecretBytes blob(kBlobHeadLen + dwWrapped);
    BLOBHEADER head = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, _algId};
    memcpy(blob.data(), &head, sizeof(head));
    memcpy(blob.data() + sizeof(head), &exchangeAlg, sizeof(exchangeAlg));
    memcpy(blob.data() + kBlobHeadLen, pbData + kBlobHeadLen, dwKeySize);
    DWORD dwCipherLen = dwKeySize;
    dwRet = Pavrel_MSCSP::encrypt(exchange.get(), 0, TRUE, 0, blob.data() + kBlobHeadLen,
                                  &dwCipherLen, dwWrapped);
    if (dwRet != 0) {
        TraceFailure("encrypt Failed", dwRet);
        return dwRet;
    }
    dwRet = Pavrel_MSCSP::importKey(hProv, blob.data(), kBlobHeadLen + dwCipherLen,
                                    exchange.get(), CRYPT_EXPORTABLE, &m_hSoftKey);
    if (dwRet != 0)
        TraceFailure("importKey Failed", dwRet);
    return dwRet;
}

DWORD Pavrel_SimpleSessionKey::exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                         BYTE *pbData, DWORD *pdwDataLen)
{
    if (dwBlobType != PLAINTEXTKEYBLOB)
        return Pavrel_MSCSP::exportKey(m_hSoftKey, hExpKey, dwBlobType, dwFlags, pbData,
                                       pdwDataLen);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    ExchangeKey exchange;
    DWORD dwRet = exchange.open();
    if (dwRet != 0)
        return dwRet;
    DWORD dwWrappedLen = 0;
    dwRet = Pavrel_MSCSP::exportKey(m_hSoftKey, exchange.get(), SIMPLEBLOB, 0, nullptr,
                                    &dwWrappedLen);
    if (dwRet != 0)
        return dwRet;
    if (dwWrappedLen <= kBlobHeadLen)
        return static_cast<DWORD>(NTE_FAIL);
    CSecretBytes wrapped(dwWrappedLen);
    dwRet = Pavrel_MSCSP::exportKey(m_hSoftKey, exchange.get(), SIMPLEBLOB, 0, wrapped.data(),
                                    &dwWrappedLen);
    if (dwRet != 0)
        return dwRet;
    DWORD dwClearLen = dwWrappedLen - kBlobHeadLen;
    dwRet = Pavrel_MSCSP::decrypt(exchange.get(), 0, TRUE, 0, wrapped.data() + kBlobHeadLen,
                                  &dwClearLen);
    if (dwRet != 0)
        return dwRet;

    DWORD dwKeyBits = 0, dwBlockBits = 0;
    KeyParamBits(m_hSoftKey, KP_KEYLEN, &dwKeyBits);
    KeyParamBits(m_hSoftKey, KP_BLOCKLEN, &dwBlockBits);
    DWORD dwKeyLen = dwKeyBits / 8;
    DWORD dwBlockLen = dwBlockBits / 8;
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                "[Pavrel_SimpleSessionKey] [exportKey] getKeyParam KP_KEYLEN ,dwDataLen=[%d]",
                static_cast<int>(dwKeyLen));
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                "[Pavrel_SimpleSessionKey] [exportKey] getKeyParam KP_BLOCKLEN ,dwBlockLen=[%d]",
                static_cast<int>(dwBlockLen));
    if (dwKeyLen == 0 || dwKeyLen > dwClearLen)
        return static_cast<DWORD>(NTE_FAIL);
    DWORD dwRequired = dwKeyLen + kBlobHeadLen;
    if (pbData == nullptr) {
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "[Pavrel_SimpleSessionKey] [exportKey] getKeyParam KP_KEYLEN "
                    ",sizeof(BLOBHEADER)=[%d],sizeof(DWORD)=[%d], dwRequired=[%d]",
                    8, 4, static_cast<int>(dwRequired));
        *pdwDataLen = dwRequired;
        return 0;
    }
    if (*pdwDataLen < dwRequired) {
        *pdwDataLen = dwRequired;
        return ERROR_MORE_DATA;
    }
    BLOBHEADER head = {PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, _algId};
    memcpy(pbData, &head, sizeof(head));
    memcpy(pbData + sizeof(head), &dwKeyLen, sizeof(dwKeyLen));
    memcpy(pbData + kBlobHeadLen, wrapped.data() + kBlobHeadLen, dwKeyLen);
    *pdwDataLen = dwRequired;
    return 0;
}
