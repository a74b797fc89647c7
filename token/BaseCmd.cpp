// BaseCmd.cpp
//
// The plain commands of the command set, the PIN cache and the exchange path
// every command goes through. Secure messaging is in BaseCmdSecure.cpp, the
// chained RSA and key commands in BaseCmdRsa.cpp.
#include "BaseCmd.h"

#include <cstring>

#include "BaseCmdInternal.h"
#include "HidFraming.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "StatusWord.h"

namespace {

// First-poll waits in milliseconds (0: the transport's default).
const DWORD kWaitNone = 0;
const DWORD kWaitFile = 2;
const DWORD kWaitInfo = 5;

// Most data bytes one plain command carries: Lc is one byte, and the APDU
// (header, Lc, data) must fit the transport's limit.
const DWORD kMaxCommandData = HID_MAX_APDU - 5;
// Most bytes one read asks for (Le is one byte; 00 would mean 256).
const DWORD kMaxRead = 255;

// Copies a good answer into the caller's buffer when it is not empty and
// fits; false when it is longer than the buffer.
bool CopyAnswer(const std::vector<BYTE> &answer, BYTE *pbBuf, DWORD dwLen)
{
    if (answer.size() > dwLen)
        return false;
    if (!answer.empty())
        std::memcpy(pbBuf, answer.data(), answer.size());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// PIN cache

CBaseCmd::CPinCache::CPinCache() : m_bLen(0) { std::memset(m_abPin, 0, sizeof(m_abPin)); }

CBaseCmd::CPinCache::~CPinCache() { Wipe(); }

void CBaseCmd::CPinCache::Wipe()
{
    // Volatile stores: the compiler may not drop them as dead.
    volatile BYTE *pb = m_abPin;
    for (DWORD i = 0; i < MAX_PIN; ++i)
        pb[i] = 0;
    m_bLen = 0;
}

bool CBaseCmd::CPinCache::Set(const BYTE *pbPin, DWORD dwLen)
{
    if (dwLen > MAX_PIN || (pbPin == nullptr && dwLen > 0))
        return false;
    Wipe();
    if (dwLen > 0)
        std::memcpy(m_abPin, pbPin, dwLen);
    m_bLen = static_cast<BYTE>(dwLen);
    return true;
}

// ---------------------------------------------------------------------------
// Life and the exchange path

CBaseCmd::CBaseCmd(const char *pszDevicePath)
{
    CCmdTraceScope scope("CBaseCmd");
    if (pszDevicePath != nullptr)
        std::strncpy(m_szDevicePath, pszDevicePath, CARD_DEVICE_PATH_LENGTH - 1);
}

CBaseCmd::~CBaseCmd()
{
    CCmdTraceScope scope("~CBaseCmd");
    m_pinCache.Wipe();
}

void *CBaseCmd::DeleteObject(unsigned int uFlags)
{
    this->~CBaseCmd();
    if (uFlags & CARD_DELETE_MEMORY)
        ::operator delete(static_cast<void *>(this));
    return this;
}

BOOL CBaseCmd::Exchange(const std::vector<BYTE> &apdu, std::vector<BYTE> &answer, BYTE &bSw1,
                        BYTE &bSw2, DWORD dwWait, DWORD dwFlags)
{
    answer.clear();
    CHidManager *pHid = CHidManager::GetInstance();
    if (dwWait != kWaitNone && !pHid->SetTimeOut(m_szDevicePath, static_cast<int>(dwWait)))
        return FALSE;
    return pHid->SendRcvCmd(m_szDevicePath, apdu, answer, bSw1, bSw2, dwFlags);
}

BOOL CBaseCmd::GetChallenge(DWORD dwLen, std::vector<BYTE> &answer, BYTE &bSw1, BYTE &bSw2,
                            DWORD dwWait)
{
    const std::vector<BYTE> apdu = {0x80, 0x84, 0x00, 0x00, static_cast<BYTE>(dwLen)};
    return Exchange(apdu, answer, bSw1, bSw2, dwWait);
}

// ---------------------------------------------------------------------------
// File commands

DWORD CBaseCmd::SelectFile(BYTE bP1, BYTE bFidHigh, BYTE bFidLow)
{
    CCmdTraceScope scope("SelectFile");
    try {
        const std::vector<BYTE> apdu = {0x00, 0xA4, bP1, 0x00, 0x02, bFidHigh, bFidLow};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitFile)) {
            CMD_FAIL("[SelectFile] dwRet != 0");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[SelectFile] dwRet != 0");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[SelectFile]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ReadRecord(BYTE bRecordNo, BYTE *pbBuf, DWORD dwLen)
{
    CCmdTraceScope scope("ReadRecord");
    try {
        // Le is one byte: a longer request would silently read its low byte.
        if (pbBuf == nullptr || dwLen == 0 || dwLen > kMaxRead) {
            CMD_FAIL("[ReadRecord] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        const std::vector<BYTE> apdu = {0x00, 0xB2, bRecordNo, 0x00, static_cast<BYTE>(dwLen)};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitFile)) {
            CMD_FAIL("[ReadRecord] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[ReadRecord] dwRet != S_OK");
            return dwRet;
        }
        if (!CopyAnswer(answer, pbBuf, dwLen)) {
            CMD_FAIL("[ReadRecord] recvApdu.size() > dwLen, recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[read_recordXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::UpdateRecord(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen)
{
    CCmdTraceScope scope("UpdateRecord");
    try {
        if ((pbData == nullptr && dwLen > 0) || dwLen > kMaxCommandData) {
            CMD_FAIL("[update_recordXin] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x00, 0xDC, bRecordNo, 0x00, static_cast<BYTE>(dwLen)};
        apdu.insert(apdu.end(), pbData, pbData + dwLen);
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitFile)) {
            CMD_FAIL("[update_recordXin] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[update_recordXin] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[update_recordXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ReadBinary(WORD wOffset, BYTE *pbBuf, DWORD dwLen)
{
    CCmdTraceScope scope("ReadBinary");
    try {
        if (pbBuf == nullptr || dwLen == 0 || dwLen > kMaxRead) {
            CMD_FAIL("[ReadBinary] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x00, 0xB0, static_cast<BYTE>(wOffset >> 8),
                                  static_cast<BYTE>(wOffset), static_cast<BYTE>(dwLen)};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone)) {
            CMD_FAIL("[ReadBinary] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        // 6Cxx names the length the card can give: ask once more with it. A
        // second 6Cxx is mapped like any other word, so a card that keeps
        // answering 6C cannot hold the caller for ever.
        if (bSw1 == 0x6C) {
            apdu[4] = bSw2;
            if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone)) {
                CMD_FAIL("[ReadBinary] dwRet != SCARD_S_SUCCESS");
                return KQ_SCARD_E_UNEXPECTED;
            }
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[ReadBinary] dwRet != SCARD_S_SUCCESS");
            return dwRet;
        }
        if (!CopyAnswer(answer, pbBuf, dwLen)) {
            CMD_FAIL("[ReadBinary] recvApdu.size() > dwLen, recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[read_binaryXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::UpdateBinary(WORD wOffset, const BYTE *pbData, DWORD dwLen)
{
    CCmdTraceScope scope("UpdateBinary");
    try {
        if ((pbData == nullptr && dwLen > 0) || dwLen > kMaxCommandData) {
            CMD_FAIL("[update_binaryXin] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x00, 0xD6, static_cast<BYTE>(wOffset >> 8),
                                  static_cast<BYTE>(wOffset), static_cast<BYTE>(dwLen)};
        apdu.insert(apdu.end(), pbData, pbData + dwLen);
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone)) {
            CMD_FAIL("[update_binaryXin] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[update_binaryXin] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[update_binaryXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// PIN counters and configuration

DWORD CBaseCmd::GetPinVerifyTimes(BYTE bPinRef, BYTE *pbFirst, BYTE *pbSecond)
{
    CCmdTraceScope scope("GetPinVerifyTimes");
    try {
        if (pbFirst == nullptr || pbSecond == nullptr)
            return KQ_SCARD_E_UNEXPECTED;
        const std::vector<BYTE> apdu = {0x80, 0x21, 0x00, bPinRef, 0x00};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone)) {
            CMD_FAIL("CBaseCmd::GetPinVerifyTimes SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::GetPinVerifyTimes GetSW()!=S_OK");
            return dwRet;
        }
        if (answer.size() < 2) {
            CMD_FAIL("CBaseCmd::GetPinVerifyTimes recvApdu.size() <2");
            return KQ_SCARD_E_UNEXPECTED;
        }
        *pbFirst = answer[0];
        *pbSecond = answer[1];
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::GetPinVerifyTimes");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::SetConfig(BYTE bItem, const BYTE *pbData, DWORD dwLen)
{
    CCmdTraceScope scope("SetConfig");
    try {
        if ((pbData == nullptr && dwLen > 0) || dwLen > kMaxCommandData) {
            CMD_FAIL("CBaseCmd::SetConfig dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x80, 0x09, bItem, 0x00, static_cast<BYTE>(dwLen)};
        apdu.insert(apdu.end(), pbData, pbData + dwLen);
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone)) {
            CMD_FAIL("CBaseCmd::SetConfig SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("CBaseCmd::SetConfig dwRet[%d] != S_OK", static_cast<int>(dwRet));
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::SetConfig");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::CreateFileSystem(const BYTE *pbApdu, DWORD dwLen)
{
    CCmdTraceScope scope("CreateFileSystem", "verify_pinXin");
    try {
        if (pbApdu == nullptr || dwLen > kMaxCommandData) {
            CMD_FAIL("[CreateFileSystem] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        // The caller's fifth byte (its own Lc) is replaced by ours.
        std::vector<BYTE> apdu(pbApdu, pbApdu + 4);
        apdu.push_back(static_cast<BYTE>(dwLen));
        apdu.insert(apdu.end(), pbApdu + 5, pbApdu + 5 + dwLen);
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        // The reset script may carry PINs: never dumped in clear.
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone, HID_FLAG_SECRET_REQUEST)) {
            CMD_FAIL("[CreateFileSystem] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (bSw1 == 0x63) {
            if (bSw2 == 0) {
                CMD_FAIL("[CreateFileSystem] bSw2 == 0");
                return KQ_SCARD_W_CHV_BLOCKED;
            }
            CMD_FAIL("[CreateFileSystem] bSw1 == 0x63");
            return KQ_SCARD_E_INVALID_CHV;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[CreateFileSystem] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[CreateFileSystem]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// Device information

DWORD CBaseCmd::GetDeviceValue(BYTE bP2, const char *pszName, BYTE *pbBuf, DWORD *pdwLen)
{
    if (pbBuf == nullptr || pdwLen == nullptr)
        return KQ_SCARD_E_UNEXPECTED;
    const std::vector<BYTE> apdu = {0x80, 0xF6, 0x00, bP2, 0x00};
    std::vector<BYTE> answer;
    BYTE bSw1 = 0, bSw2 = 0;
    if (!Exchange(apdu, answer, bSw1, bSw2, kWaitInfo)) {
        CMD_FAIL("[%s] dwRet != SCARD_S_SUCCESS", pszName);
        return KQ_SCARD_E_UNEXPECTED;
    }
    const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        CMD_FAIL("[%s] dwRet != S_OK", pszName);
        return dwRet;
    }
    // An answer that does not fit leaves the caller's buffer alone and says
    // how long it is (success with nothing copied would read as an empty
    // value).
    if (answer.size() > *pdwLen) {
        CMD_FAIL("[%s] *pdwLen < recvApdu.size(), recvApdu.size() = %d", pszName,
                 static_cast<int>(answer.size()));
        *pdwLen = static_cast<DWORD>(answer.size());
        return KQ_SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!answer.empty())
        std::memcpy(pbBuf, answer.data(), answer.size());
    *pdwLen = static_cast<DWORD>(answer.size());
    return KQ_SCARD_S_SUCCESS;
}

// The catch-all of each information command, with its own name.
#define DEVICE_VALUE_COMMAND(method, p2, name)                                  \
    DWORD CBaseCmd::method(BYTE *pbBuf, DWORD *pdwLen)                          \
    {                                                                           \
        CCmdTraceScope scope(name);                                             \
        try {                                                                   \
            return GetDeviceValue(p2, name, pbBuf, pdwLen);                     \
        } catch (...) {                                                         \
            TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[" name "]");                   \
            return KQ_SCARD_E_UNEXPECTED;                                       \
        }                                                                       \
    }

DEVICE_VALUE_COMMAND(GetUsbId, 0x00, "GetUsbId")
DEVICE_VALUE_COMMAND(GetCosVersion, 0x01, "GetCosVersion")
DEVICE_VALUE_COMMAND(GetVendorInfo, 0x02, "GetVendorInfo")
DEVICE_VALUE_COMMAND(GetDeviceInfo, 0x03, "GetDeviceInfo")
DEVICE_VALUE_COMMAND(GetChipId, 0x80, "GetChipId")

DWORD CBaseCmd::GetCFCAId(BYTE *pbBuf, DWORD *pdwLen)
{
    // This command writes no trace lines at all; it still has its catch-all.
    try {
        if (pbBuf == nullptr || pdwLen == nullptr)
            return KQ_SCARD_E_UNEXPECTED;
        const std::vector<BYTE> apdu = {0x80, 0xF6, 0x00, 0x04};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitNone))
            return KQ_SCARD_E_UNEXPECTED;
        if (answer.size() > *pdwLen) {
            *pdwLen = static_cast<DWORD>(answer.size());
            return KQ_SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (!answer.empty())
            std::memcpy(pbBuf, answer.data(), answer.size());
        *pdwLen = static_cast<DWORD>(answer.size());
        return StatusWordToResult(bSw1, bSw2);
    } catch (...) {
        return KQ_SCARD_E_UNEXPECTED;
    }
}

// ---------------------------------------------------------------------------
// PIN cache and PIN commands

DWORD CBaseCmd::GetCachedPin(BYTE **ppbPin, int *pnLen)
{
    CCmdTraceScope scope("GetCachedPin");
    try {
        if (ppbPin == nullptr || pnLen == nullptr)
            return KQ_SCARD_E_UNEXPECTED;
        *ppbPin = nullptr;
        *pnLen = 0;
        const BYTE bLen = m_pinCache.Length();
        if (bLen == 0)
            return KQ_SCARD_S_SUCCESS;
        BYTE *pbCopy = static_cast<BYTE *>(CMemoryManager::Alloc(bLen));
        // Without a copy the PIN would be lost silently on reconnect.
        if (pbCopy == nullptr) {
            CMD_FAIL("CBaseCmd::GetCachedPin CMemoryManager::Alloc Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::memcpy(pbCopy, m_pinCache.Pin(), bLen);
        *ppbPin = pbCopy;
        *pnLen = bLen;
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::GetCachedPin");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::SetCachedPin(const BYTE *pbPin, DWORD dwLen)
{
    CCmdTraceScope scope("SetCachedPin");
    try {
        if (!m_pinCache.Set(pbPin, dwLen)) {
            CMD_FAIL("CBaseCmd::SetCachedPin dwLen > 32, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::SetCachedPin");
        return KQ_SCARD_E_UNEXPECTED;
    }
}
