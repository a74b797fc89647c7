// Pavrel_Hash.cpp
#include "Pavrel_Hash.h"

#include <new>

#include "Pavrel_MSCSP.h"
#include "TraceWriter.h"

Pavrel_Hash::Pavrel_Hash(ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags)
    : m_hKey(hKey), m_hSoftHash(0), _algId(algId), m_dwFlags(dwFlags),
      m_bBytesForgotten(false), m_bUser(false)
{
}

Pavrel_Hash::~Pavrel_Hash()
{
    if (m_hSoftHash != 0)
        Pavrel_MSCSP::destroyHash(m_hSoftHash);
    forgetHashedBytes();
    if (m_bUser)
        Pavrel_MSCSP::releaseUser();
}

DWORD Pavrel_Hash::create(ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags, Pavrel_Hash **ppHash)
{
    if (ppHash == nullptr)
        return ERROR_INVALID_PARAMETER;
    *ppHash = nullptr;
    Pavrel_Hash *pHash = new (std::nothrow) Pavrel_Hash(algId, hKey, dwFlags);
    if (pHash == nullptr)
        return static_cast<DWORD>(NTE_NO_MEMORY);
    DWORD dwRet = Pavrel_MSCSP::addUser();
    if (dwRet == 0) {
        pHash->m_bUser = true;
        dwRet = Pavrel_MSCSP::createHash(Pavrel_MSCSP::getContext(), algId, hKey, dwFlags,
                                         &pHash->m_hSoftHash);
    }
    if (dwRet != 0) {
        // A hash without a software hash would only fail later, under a
        // handle the caller already trusts.
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
            "Pavrel_Hash::create createHash Failed,algId=[%d],dwFlags=[%d],GetLastError=[%d]",
            static_cast<int>(algId), static_cast<int>(dwFlags), static_cast<int>(dwRet));
        pHash->m_hSoftHash = 0;
        delete pHash;
        return dwRet;
    }
    *ppHash = pHash;
    return 0;
}

DWORD Pavrel_Hash::hashData(const BYTE *pbData, DWORD dwDataLen)
{
    DWORD dwRet = Pavrel_MSCSP::hashData(m_hSoftHash, pbData, dwDataLen, 0);
    if (dwRet != 0)
        return dwRet;
    if (!m_bBytesForgotten && dwDataLen > 0) {
        try {
            m_vecHashed.insert(m_vecHashed.end(), pbData, pbData + dwDataLen);
        } catch (...) {
            // Bytes that cannot all be kept cannot be shown truthfully.
            forgetHashedBytes();
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
    }
    return 0;
}

DWORD Pavrel_Hash::getHashValue(std::vector<BYTE> &vecValue)
{
    BYTE abValue[128] = {0};
    DWORD dwLen = sizeof(abValue);
    DWORD dwRet = Pavrel_MSCSP::getHashParam(m_hSoftHash, HP_HASHVAL, abValue, &dwLen, 0);
    if (dwRet != 0)
        return dwRet;
    vecValue.insert(vecValue.end(), abValue, abValue + dwLen);
    return 0;
}

DWORD Pavrel_Hash::getHashSize(DWORD *pdwSize) const
{
    switch (_algId) {
    case CALG_MD5: *pdwSize = 16; return 0;
    case CALG_SHA1: *pdwSize = 20; return 0;
    case CALG_SSL3_SHAMD5: *pdwSize = 36; return 0;
    default: return static_cast<DWORD>(NTE_BAD_ALGID);
    }
}

DWORD Pavrel_Hash::setHashValue(const BYTE *pbValue)
{
    DWORD dwRet = Pavrel_MSCSP::setHashParam(m_hSoftHash, HP_HASHVAL, pbValue, 0);
    if (dwRet == 0)
        forgetHashedBytes();
    return dwRet;
}

DWORD Pavrel_Hash::hashSessionKey(HCRYPTKEY hKey, DWORD dwFlags)
{
    DWORD dwRet = Pavrel_MSCSP::hashSessionKey(m_hSoftHash, hKey, dwFlags);
    if (dwRet == 0)
        forgetHashedBytes();
    return dwRet;
}

DWORD Pavrel_Hash::getHashedBytes(std::vector<BYTE> &vecBytes) const
{
    vecBytes = m_vecHashed;
    return m_vecHashed.empty() ? 1 : 0;
}

void Pavrel_Hash::forgetHashedBytes()
{
    // The bytes may be a transaction the user has not released: clear them
    // before the memory goes back.
    if (!m_vecHashed.empty())
        SecureZeroMemory(m_vecHashed.data(), m_vecHashed.size());
    m_vecHashed.clear();
    m_vecHashed.shrink_to_fit();
    m_bBytesForgotten = true;
}
