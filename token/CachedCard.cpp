// CachedCard.cpp
//
// The card file cache: selection cache, one-shot security flags,
// transparent-file, record and public-key caches, and the preload run at
// creation.
#include "CachedCard.h"

#include <algorithm>
#include <cstring>

#include "BaseCmdInternal.h"
#include "CardKeys.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

namespace {

const char kClass[] = "CCachedCard";

// Most bytes one read asks for (Le is one byte), as in CBaseCmd.
const DWORD kMaxRead = 255;

// Enter on construction, leave on every way out, with class "CCachedCard".
class CCacheTraceScope {
public:
    explicit CCacheTraceScope(const char *pszMethod) : m_pszMethod(pszMethod)
    {
        CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, kClass, m_pszMethod);
    }
    ~CCacheTraceScope() { CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, kClass, m_pszMethod); }

private:
    CCacheTraceScope(const CCacheTraceScope &) = delete;
    CCacheTraceScope &operator=(const CCacheTraceScope &) = delete;

    const char *m_pszMethod;
};

#define CACHE_LOG(...) \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ARGS, TRACE_KIND_LINE, TRACE_MODULE_CARD, __VA_ARGS__)

// The catch-all report of a cache operation.
#define CACHE_CATCH(text)                                                                   \
    CTraceWriter::GetInstance()->LogException(__FILE__, __LINE__, TRACE_MODULE_CARD,       \
                                              text " Catch An Exception, GetLastError=[%d]", \
                                              static_cast<int>(GetLastError()))

bool SameFid(const BYTE *pbA, const BYTE *pbB) { return pbA[0] == pbB[0] && pbA[1] == pbB[1]; }

}  // namespace

// ---------------------------------------------------------------------------
// Cached files

bool CCachedCard::CISO7816BinFile::Holds(DWORD dwOffset, DWORD dwLen) const
{
    const DWORD dwEnd = dwOffset + dwLen;
    if (m_vFileData.empty() || m_vFileData.size() < dwEnd)
        return false;
    for (const auto &gap : m_vGaps)
        if (gap.first < dwEnd && dwOffset < gap.first + gap.second)
            return false;
    return true;
}

bool CCachedCard::CISO7816BinFile::UpdateVector(DWORD dwOffset, const BYTE *pbData, DWORD dwLen)
{
    try {
        const DWORD dwOldEnd = static_cast<DWORD>(m_vFileData.size());
        const DWORD dwEnd = dwOffset + dwLen;
        if (dwEnd > dwOldEnd)
            m_vFileData.resize(dwEnd, 0);
        if (dwOffset > dwOldEnd)
            m_vGaps.emplace_back(dwOldEnd, dwOffset - dwOldEnd);
        if (dwLen > 0)
            std::memcpy(m_vFileData.data() + dwOffset, pbData, dwLen);
        // No gap may cover a stored byte: keep what lies before and after
        // the stored range.
        std::vector<std::pair<DWORD, DWORD>> vGaps;
        for (const auto &gap : m_vGaps) {
            const DWORD dwGapEnd = gap.first + gap.second;
            if (gap.first < std::min(dwGapEnd, dwOffset))
                vGaps.emplace_back(gap.first, std::min(dwGapEnd, dwOffset) - gap.first);
            if (std::max(gap.first, dwEnd) < dwGapEnd)
                vGaps.emplace_back(std::max(gap.first, dwEnd), dwGapEnd - std::max(gap.first, dwEnd));
        }
        m_vGaps.swap(vGaps);
        CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CARD, "CCachedCard::CISO7816BinFile",
                                            "UpdateVector", "vFileData", m_vFileData.data(),
                                            static_cast<DWORD>(m_vFileData.size()));
        return true;
    } catch (...) {
        CACHE_CATCH("CCachedCard::UpdateVector");
        return false;
    }
}

const std::vector<BYTE> *CCachedCard::CISO7816RecordFile::Find(BYTE bRecordNo) const
{
    for (const auto &record : m_records)
        if (record.first == bRecordNo)
            return &record.second;
    return nullptr;
}

bool CCachedCard::CISO7816RecordFile::UpdateIso7816Record(BYTE bRecordNo, const BYTE *pbData,
                                                         DWORD dwLen)
{
    try {
        CACHE_LOG("CCachedCard::UpdateBinaryInCipherMac Update Cache, recordNo=%d",
                  static_cast<int>(bRecordNo));
        for (auto &record : m_records) {
            if (record.first == bRecordNo) {
                record.second.assign(pbData, pbData + dwLen);
                CTraceWriter::GetInstance()->LogHex(
                    TRACE_MODULE_CARD, "CCachedCard::CISO7816RecordFile", "UpdateIso7816Record",
                    "locNode->cRecData", record.second.data(),
                    static_cast<DWORD>(record.second.size()));
                return true;
            }
        }
        m_records.emplace_back(bRecordNo, std::vector<BYTE>(pbData, pbData + dwLen));
        const std::vector<BYTE> &rec = m_records.back().second;
        CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CARD, "CCachedCard::CISO7816RecordFile",
                                            "UpdateIso7816Record", "pRec->cRecData", rec.data(),
                                            static_cast<DWORD>(rec.size()));
        return true;
    } catch (...) {
        CACHE_CATCH("CISO7816Record::UpdateIso7816Record");
        return false;
    }
}

bool CCachedCard::CISO7816RecordFile::DeleteRecord(BYTE bRecordNo)
{
    try {
        m_records.remove_if([bRecordNo](const std::pair<BYTE, std::vector<BYTE>> &record) {
            return record.first == bRecordNo;
        });
        return true;
    } catch (...) {
        CACHE_CATCH("CCachedCard::CISO7816Record::DeleteRecord");
        return false;
    }
}

// ---------------------------------------------------------------------------
// Life

CCachedCard::CCachedCard(const char *pszDevicePath, bool bPreload)
    : CBaseCmd(pszDevicePath), m_bExtAuthDone(0), m_bPinVerified(0), m_bSpare(0)
{
    CCacheTraceScope scope("CCachedCard");
    m_abDirId[0] = 0x50;
    m_abDirId[1] = 0x00;
    m_abWorkingDf[0] = 0;
    m_abWorkingDf[1] = 0;
    if (bPreload) {
        try {
            // The connection works without the preload, only slower.
            Preload();
        } catch (...) {
            CACHE_CATCH("CCachedCard::CCachedCard");
        }
    }
}

CCachedCard::~CCachedCard()
{
    CCacheTraceScope scope("~CCachedCard");
}

void *CCachedCard::DeleteObject(unsigned int uFlags)
{
    this->~CCachedCard();
    if (uFlags & CARD_DELETE_MEMORY)
        ::operator delete(static_cast<void *>(this));
    return this;
}

void CCachedCard::ResetSecurity()
{
    m_bExtAuthDone = 0;
    m_bPinVerified = 0;
    m_abWorkingDf[0] = 0;
    m_abWorkingDf[1] = 0;
    m_bSpare = 0;
}

std::list<std::unique_ptr<CCachedCard::CISO7816CachedFile>>::iterator CCachedCard::FindFile(
    BYTE bKind)
{
    for (auto it = m_files.begin(); it != m_files.end(); ++it)
        if (SameFid((*it)->m_abFid, m_requested.abFid) && (bKind == 0 || (*it)->m_bKind == bKind))
            return it;
    return m_files.end();
}

std::list<CCachedCard::CRsaKeyInfo>::iterator CCachedCard::FindKey(BYTE bFidHigh, BYTE bFidLow)
{
    const BYTE abFid[2] = {bFidHigh, bFidLow};
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it)
        if (SameFid(it->m_abFid, abFid))
            return it;
    return m_keys.end();
}

// ---------------------------------------------------------------------------
// Selection

DWORD CCachedCard::SelectFile(BYTE bP1, BYTE bFidHigh, BYTE bFidLow)
{
    CCacheTraceScope scope("SelectFile");
    try {
        const BYTE abFid[2] = {bFidHigh, bFidLow};
        if (SameFid(abFid, m_abWorkingDf)) {
            m_requested.abFid[0] = bFidHigh;
            m_requested.abFid[1] = bFidLow;
            CACHE_LOG("CCachedCard::SelectFile Equal Working DF");
            return KQ_SCARD_S_SUCCESS;
        }
        if (SameFid(abFid, m_selected.abFid)) {
            m_requested.abFid[0] = bFidHigh;
            m_requested.abFid[1] = bFidLow;
            CACHE_LOG("CCachedCard::SelectFile Equal Selected File");
            return KQ_SCARD_S_SUCCESS;
        }
        // Files hi xx lie in directory hi 00: the SELECT waits for the next
        // access of the file.
        if (m_abWorkingDf[0] == bFidHigh && m_abWorkingDf[1] == 0x00) {
            m_requested.bType = bP1;
            m_requested.abFid[0] = bFidHigh;
            m_requested.abFid[1] = bFidLow;
            return KQ_SCARD_S_SUCCESS;
        }
        CACHE_LOG("CCachedCard::SelectFile Real SelectFile");
        const DWORD dwRet = CBaseCmd::SelectFile(bP1, bFidHigh, bFidLow);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        // The card's security state holds per directory selection.
        ResetSecurity();
        m_abWorkingDf[0] = bFidHigh;
        m_abWorkingDf[1] = bFidLow;
        m_selected.bType = bP1;
        m_selected.abFid[0] = bFidHigh;
        m_selected.abFid[1] = bFidLow;
        m_requested = m_selected;
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        CACHE_CATCH("CCachedCard::SelectFile");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::DoInnerSelect()
{
    if (SameFid(m_selected.abFid, m_requested.abFid))
        return KQ_SCARD_S_SUCCESS;
    CACHE_LOG("CCachedCard::DoInnerSelect Real SelectFile");
    const DWORD dwRet =
        CBaseCmd::SelectFile(m_requested.bType, m_requested.abFid[0], m_requested.abFid[1]);
    if (dwRet == KQ_SCARD_S_SUCCESS)
        m_selected = m_requested;
    return dwRet;
}

// ---------------------------------------------------------------------------
// Security

DWORD CCachedCard::changepin_baseXin(int *pnTriesLeft)
{
    CCacheTraceScope scope("changepin_baseXin");
    try {
        return CBaseCmd::changepin_baseXin(pnTriesLeft);
    } catch (...) {
        CACHE_CATCH("CCachedCard::changepin_baseXin");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTriesLeft)
{
    CCacheTraceScope scope("VerifyPin");
    try {
        if (m_bPinVerified)
            return KQ_SCARD_S_SUCCESS;
        const DWORD dwRet = CBaseCmd::VerifyPin(bPinRef, pbPin, dwPinLen, pbTriesLeft);
        if (dwRet == KQ_SCARD_S_SUCCESS)
            m_bPinVerified = 1;
        return dwRet;
    } catch (...) {
        CACHE_CATCH("CCachedCard::VerifyPin");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::ExternalAuthentication(const BYTE *pbKey, DWORD dwKeyLen)
{
    CCacheTraceScope scope("ExternalAuthentication");
    try {
        if (m_bExtAuthDone)
            return KQ_SCARD_S_SUCCESS;
        const DWORD dwRet = CBaseCmd::ExternalAuthentication(pbKey, dwKeyLen);
        if (dwRet == KQ_SCARD_S_SUCCESS)
            m_bExtAuthDone = 1;
        return dwRet;
    } catch (...) {
        CACHE_CATCH("CCachedCard::ExternalAuthentication");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Records

DWORD CCachedCard::ReadRecord(BYTE bRecordNo, BYTE *pbBuf, DWORD dwLen)
{
    CCacheTraceScope scope("ReadRecord");
    try {
        auto it = FindFile(CISO7816RecordFile::KIND);
        if (it != m_files.end() && pbBuf != nullptr) {
            const std::vector<BYTE> *pRec =
                static_cast<CISO7816RecordFile *>(it->get())->Find(bRecordNo);
            // Only a record cached with exactly this length is served, so
            // the copy never exceeds the caller's buffer.
            if (pRec != nullptr && !pRec->empty() && pRec->size() == dwLen) {
                std::memcpy(pbBuf, pRec->data(), dwLen);
                CACHE_LOG("CCachedCard::ReadRecord Get From Cache");
                CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CARD, kClass, "ReadRecord",
                                                    "bOut", pbBuf, dwLen);
                return KQ_SCARD_S_SUCCESS;
            }
        }
        DWORD dwRet = DoInnerSelect();
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        dwRet = CBaseCmd::ReadRecord(bRecordNo, pbBuf, dwLen);
        it = FindFile(CISO7816RecordFile::KIND);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            if (it != m_files.end())
                m_files.erase(it);
            return dwRet;
        }
        if (it == m_files.end()) {
            m_files.emplace_back(new CISO7816RecordFile(m_requested.abFid));
            it = std::prev(m_files.end());
        }
        static_cast<CISO7816RecordFile *>(it->get())->UpdateIso7816Record(bRecordNo, pbBuf, dwLen);
        CACHE_LOG("CCachedCard::ReadRecord Update Cache, Fid1=%02x, Fid2=%02x, recordNo=%d, "
                  "bOutLen=%d",
                  m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(bRecordNo),
                  static_cast<int>(dwLen));
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        CACHE_CATCH("CCachedCard::ReadRecord");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::UpdateRecord(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen)
{
    CCacheTraceScope scope("UpdateRecord");
    try {
        DWORD dwRet = DoInnerSelect();
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        dwRet = CBaseCmd::UpdateRecord(bRecordNo, pbData, dwLen);
        auto it = FindFile(CISO7816RecordFile::KIND);
        if (it == m_files.end()) {
            if (dwRet == KQ_SCARD_S_SUCCESS && dwLen > 0) {
                m_files.emplace_back(new CISO7816RecordFile(m_requested.abFid));
                static_cast<CISO7816RecordFile *>(m_files.back().get())
                    ->UpdateIso7816Record(bRecordNo, pbData, dwLen);
                CACHE_LOG("CCachedCard::UpdateRecord Update Cache, Fid1=%02x, Fid2=%02x, "
                          "recordNo=%d, inLen=%d",
                          m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(bRecordNo),
                          static_cast<int>(dwLen));
            }
            return dwRet;
        }
        CISO7816RecordFile *pFile = static_cast<CISO7816RecordFile *>(it->get());
        if (dwRet != KQ_SCARD_S_SUCCESS || dwLen == 0)
            pFile->DeleteRecord(bRecordNo);
        else
            pFile->UpdateIso7816Record(bRecordNo, pbData, dwLen);
        return dwRet;
    } catch (...) {
        CACHE_CATCH("CCachedCard::UpdateRecord");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Transparent files

DWORD CCachedCard::CachedReadBinary(bool bSecure, WORD wOffset, BYTE *pbBuf, DWORD dwLen)
{
    const char *pszMethod = bSecure ? "ReadBinaryInCipherMac" : "ReadBinary";
    auto it = FindFile(CISO7816BinFile::KIND);
    // A request the uncached read refuses (a length Le cannot carry, no
    // buffer) gets that refusal and leaves the cache as it was.
    if (pbBuf == nullptr || dwLen == 0 || dwLen > kMaxRead)
        return bSecure ? CBaseCmd::ReadBinaryInCipherMac(wOffset, pbBuf, dwLen)
                       : CBaseCmd::ReadBinary(wOffset, pbBuf, dwLen);
    if (it != m_files.end()) {
        const CISO7816BinFile *pFile = static_cast<CISO7816BinFile *>(it->get());
        if (pFile->Holds(wOffset, dwLen)) {
            std::memcpy(pbBuf, pFile->m_vFileData.data() + wOffset, dwLen);
            CACHE_LOG("CCachedCard::%s Get From Cache", pszMethod);
            CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CARD, kClass, pszMethod, "bOut",
                                                pbBuf, dwLen);
            return KQ_SCARD_S_SUCCESS;
        }
    }
    DWORD dwRet = DoInnerSelect();
    if (dwRet != KQ_SCARD_S_SUCCESS)
        return dwRet;
    dwRet = bSecure ? CBaseCmd::ReadBinaryInCipherMac(wOffset, pbBuf, dwLen)
                    : CBaseCmd::ReadBinary(wOffset, pbBuf, dwLen);
    it = FindFile(CISO7816BinFile::KIND);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        if (it != m_files.end())
            m_files.erase(it);
        return dwRet;
    }
    if (it == m_files.end()) {
        m_files.emplace_back(new CISO7816BinFile(m_requested.abFid));
        it = std::prev(m_files.end());
    }
    static_cast<CISO7816BinFile *>(it->get())->UpdateVector(wOffset, pbBuf, dwLen);
    CACHE_LOG("CCachedCard::%s Update Cache, Fid1=%02x, Fid2=%02x, offset=%d, inLen=%d",
              pszMethod, m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(wOffset),
              static_cast<int>(dwLen));
    return KQ_SCARD_S_SUCCESS;
}

DWORD CCachedCard::ReadBinary(WORD wOffset, BYTE *pbBuf, DWORD dwLen)
{
    CCacheTraceScope scope("ReadBinary");
    try {
        return CachedReadBinary(false, wOffset, pbBuf, dwLen);
    } catch (...) {
        CACHE_CATCH("CCachedCard::ReadBinary");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::ReadBinaryInCipherMac(WORD wOffset, BYTE *pbBuf, DWORD dwLen)
{
    CCacheTraceScope scope("ReadBinaryInCipherMac");
    try {
        return CachedReadBinary(true, wOffset, pbBuf, dwLen);
    } catch (...) {
        CACHE_CATCH("CCachedCard::ReadBinaryInCipherMac");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::CachedUpdateBinary(bool bSecure, WORD wOffset, const BYTE *pbData, DWORD dwLen)
{
    DWORD dwRet = DoInnerSelect();
    if (dwRet != KQ_SCARD_S_SUCCESS)
        return dwRet;
    dwRet = bSecure ? CBaseCmd::UpdateBinaryInCipherMac(wOffset, pbData, dwLen)
                    : CBaseCmd::UpdateBinary(wOffset, pbData, dwLen);
    auto it = FindFile(0);
    // A record file of this id is now written as a transparent one: what it
    // cached no longer describes the file.
    if (it != m_files.end() && (*it)->m_bKind != CISO7816BinFile::KIND) {
        m_files.erase(it);
        it = m_files.end();
    }
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        if (it != m_files.end())
            m_files.erase(it);
        return dwRet;
    }
    if (dwLen == 0)
        return dwRet;
    if (it != m_files.end()) {
        static_cast<CISO7816BinFile *>(it->get())->UpdateVector(wOffset, pbData, dwLen);
        if (bSecure)
            CACHE_LOG("CCachedCard::UpdateBinaryInCipherMac Update Cache, Fid1=%02x, "
                      "Fid2=%02x, offset=%d, inLen=%d",
                      m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(wOffset),
                      static_cast<int>(dwLen));
        else
            CACHE_LOG("CCachedCard::UpdateBinary Update Cache, Fid1=%02x, Fid2=%02x, "
                      "offset=%d, inLen=%d",
                      m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(wOffset),
                      static_cast<int>(dwLen));
        return dwRet;
    }
    m_files.emplace_back(new CISO7816BinFile(m_requested.abFid));
    static_cast<CISO7816BinFile *>(m_files.back().get())->UpdateVector(wOffset, pbData, dwLen);
    if (bSecure)
        CACHE_LOG("CCachedCard::UpdateBinaryInCipherMac Update Cache, Fid1=%02x, Fid2=%02x, "
                  "offset=%d, inLen=%d",
                  m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(wOffset),
                  static_cast<int>(dwLen));
    else
        CACHE_LOG("CCachedCard::UpdateBinary Add Cache, Fid1=%02x, Fid2=%02x, inLen=%d",
                  m_requested.abFid[0], m_requested.abFid[1], static_cast<int>(dwLen));
    return dwRet;
}

DWORD CCachedCard::UpdateBinary(WORD wOffset, const BYTE *pbData, DWORD dwLen)
{
    CCacheTraceScope scope("UpdateBinary");
    try {
        return CachedUpdateBinary(false, wOffset, pbData, dwLen);
    } catch (...) {
        CACHE_CATCH("CCachedCard::UpdateBinary");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::UpdateBinaryInCipherMac(WORD wOffset, const BYTE *pbData, DWORD dwLen)
{
    CCacheTraceScope scope("UpdateBinaryInCipherMac");
    try {
        return CachedUpdateBinary(true, wOffset, pbData, dwLen);
    } catch (...) {
        CACHE_CATCH("CCachedCard::UpdateBinaryInCipherMac");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Keys

DWORD CCachedCard::GenerateRsaKey(BYTE b1, BYTE b2, BYTE b3, BYTE b4, BYTE bSizeCode)
{
    CCacheTraceScope scope("GenerateRsaKey");
    try {
        const DWORD dwRet = CBaseCmd::GenerateRsaKey(b1, b2, b3, b4, bSizeCode);
        // Even a failed generation may have replaced the key on the card:
        // every export cached for either file goes.
        const BYTE abPub[2] = {b1, b2};
        const BYTE abPrv[2] = {b3, b4};
        m_keys.remove_if([&](const CRsaKeyInfo &key) {
            return SameFid(key.m_abFid, abPub) || SameFid(key.m_abFid, abPrv);
        });
        return dwRet;
    } catch (...) {
        CACHE_CATCH("CCachedCard::GenerateRsaKey");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::ImportKey(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbData, DWORD dwLen)
{
    CCacheTraceScope scope("ImportKey");
    try {
        const DWORD dwRet = CBaseCmd::ImportKey(bFidHigh, bFidLow, pbData, dwLen);
        // The blob sent is the import format (and may carry the private
        // key), not what an export returns; a failed chain may have written
        // part of it. The next export asks the card.
        const BYTE abFid[2] = {bFidHigh, bFidLow};
        for (CRsaKeyInfo &key : m_keys) {
            if (SameFid(key.m_abFid, abFid)) {
                key.m_bStale = true;
                key.m_vKey.clear();
            }
        }
        return dwRet;
    } catch (...) {
        CACHE_CATCH("CCachedCard::ImportKey");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CCachedCard::RsaPublicKeyExport(BYTE bFidHigh, BYTE bFidLow, BYTE *pbOut, DWORD *pdwOutLen)
{
    CCacheTraceScope scope("RsaPublicKeyExport");
    try {
        if (pbOut == nullptr || pdwOutLen == nullptr)
            return KQ_SCARD_E_UNEXPECTED;
        auto it = FindKey(bFidHigh, bFidLow);
        if (it != m_keys.end() && it->Usable()) {
            // *pdwOutLen brings the capacity of pbOut, as for the card.
            if (it->m_vKey.size() > *pdwOutLen) {
                CMD_FAIL("[RsaPublicKeyExport] dwOutLen too small, dwOutLen=[%d], "
                         "recvApdu.size()=[%d]",
                         static_cast<int>(*pdwOutLen), static_cast<int>(it->m_vKey.size()));
                return KQ_SCARD_E_UNEXPECTED;
            }
            std::memcpy(pbOut, it->m_vKey.data(), it->m_vKey.size());
            *pdwOutLen = static_cast<DWORD>(it->m_vKey.size());
            CACHE_LOG("CCachedCard::RsaPublicKeyExport Get From Cache");
            CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CARD, kClass, "RsaPublicKeyExport",
                                                "bOut", pbOut, *pdwOutLen);
            return KQ_SCARD_S_SUCCESS;
        }
        DWORD dwRet = DoInnerSelect();
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        dwRet = CBaseCmd::RsaPublicKeyExport(bFidHigh, bFidLow, pbOut, pdwOutLen);
        it = FindKey(bFidHigh, bFidLow);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            if (it != m_keys.end())
                m_keys.erase(it);
            return dwRet;
        }
        if (it == m_keys.end()) {
            m_keys.emplace_back();
            it = std::prev(m_keys.end());
            it->m_abFid[0] = bFidHigh;
            it->m_abFid[1] = bFidLow;
        }
        it->m_vKey.assign(pbOut, pbOut + *pdwOutLen);
        it->m_bStale = false;
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        CACHE_CATCH("CCachedCard::RsaPublicKeyExport");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Preload

DWORD CCachedCard::Preload()
{
    if (SelectFile(0x00, 0x3F, 0x00) != KQ_SCARD_S_SUCCESS ||
        SelectFile(0x00, 0x50, 0x00) != KQ_SCARD_S_SUCCESS)
        return KQ_SCARD_E_UNEXPECTED;
    BYTE abKey[CARD_KEY_LENGTH];
    KQDWORD dwKeyLen = sizeof(abKey);
    if (!GetExtAuthKey(abKey, &dwKeyLen))
        return KQ_SCARD_E_UNEXPECTED;
    DWORD dwRet = ExternalAuthentication(abKey, dwKeyLen);
    volatile BYTE *pbKey = abKey;
    for (DWORD i = 0; i < sizeof(abKey); ++i)
        pbKey[i] = 0;
    if (dwRet != KQ_SCARD_S_SUCCESS)
        return dwRet;

    // The key-set directory: the record file's id and the record count.
    BYTE abDir[3] = {0, 0, 0};
    if ((dwRet = SelectFile(0x02, 0x50, 0x31)) != KQ_SCARD_S_SUCCESS ||
        (dwRet = ReadBinary(0, abDir, sizeof(abDir))) != KQ_SCARD_S_SUCCESS)
        return dwRet;
    if ((dwRet = SelectFile(0x02, abDir[0], abDir[1])) != KQ_SCARD_S_SUCCESS)
        return dwRet;
    for (BYTE bNo = 1; bNo <= abDir[2] && bNo != 0; ++bNo) {
        BYTE abRecord[12] = {0};
        if ((dwRet = SelectFile(0x02, abDir[0], abDir[1])) != KQ_SCARD_S_SUCCESS ||
            (dwRet = ReadRecord(bNo, abRecord, sizeof(abRecord))) != KQ_SCARD_S_SUCCESS)
            return dwRet;
        // The container-name file of the key set, 255 bytes in two reads.
        BYTE abName[255];
        if ((dwRet = SelectFile(0x02, abRecord[4], abRecord[5])) != KQ_SCARD_S_SUCCESS ||
            (dwRet = ReadBinary(0, abName, 128)) != KQ_SCARD_S_SUCCESS ||
            (dwRet = ReadBinary(128, abName + 128, 127)) != KQ_SCARD_S_SUCCESS)
            return dwRet;
    }
    return KQ_SCARD_S_SUCCESS;
}
