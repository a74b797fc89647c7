// HidManager.cpp
#include "HidManager.h"

#include <algorithm>
#include <cstring>

#include "CardInfoManager.h"
#include "HidFraming.h"
#include "HidPort.h"
#include "MemoryManager.h"
#include "LocalLock.h"
#include "TraceWriter.h"

namespace {

const DWORD kFirstPollWait = 20;
const DWORD kBusyPollWait = 80;
// In a secret request only the body header and the APDU header are shown:
// 0xA1, the length, CLA INS P1 P2 and Lc.
const DWORD kVisibleSecretRequest = 8;

int LastError() { return static_cast<int>(GetLastError()); }

bool ValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }


// The report buffer of one exchange, from the memory library.
class CReportBuffer {
public:
    explicit CReportBuffer(DWORD dwSize)
        : m_pbBuffer(static_cast<BYTE *>(CMemoryManager::Alloc(dwSize)))
    {
    }
    ~CReportBuffer() { CMemoryManager::Free(m_pbBuffer); }
    BYTE *Get() const { return m_pbBuffer; }

private:
    BYTE *m_pbBuffer;
};

}  // namespace

CHidManager *CHidManager::GetInstance()
{
    static CHidManager *s_pInstance = new CHidManager();
    return s_pInstance;
}

CHidManager::CHidManager()
{
    InitializeCriticalSection(&m_lock);
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CHidManager", "CHidManager");
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CHidManager", "CHidManager");
}

CHidManager::~CHidManager()
{
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CHidManager", "~CHidManager");
    m_devices.clear();
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CHidManager", "~CHidManager");
    DeleteCriticalSection(&m_lock);
}

int CHidManager::FindEntry(const char *pszDevicePath, bool bIgnoreCase) const
{
    if (pszDevicePath == nullptr)
        return -1;
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        const char *pszEntry = m_devices[i].m_strDevicePath.c_str();
        if (bIgnoreCase ? lstrcmpiA(pszEntry, pszDevicePath) == 0
                        : std::strcmp(pszEntry, pszDevicePath) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

BOOL CHidManager::Connect(const char *pszDevicePath)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CHidPort *pPort = GetHidPort();
    pTrace->Enter(TRACE_MODULE_CARD, "CHidManager", "Connect");
    pTrace->Log(TRACE_LEVEL_ARGS, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CHidManager::Connect szDevicePath=[%s]", pszDevicePath ? pszDevicePath : "");
    if (pszDevicePath == nullptr || pPort == nullptr)
        return FALSE;

    HANDLE hDevice = pPort->OpenDevice(pszDevicePath, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (hDevice == INVALID_HANDLE_VALUE) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::Connect CreateFile[%s] Failed, GetLastError=[%d]",
                    pszDevicePath, LastError());
        return FALSE;
    }

    // A device whose capabilities cannot be read is closed again: a handle
    // left open here would never be closed.
    PHIDP_PREPARSED_DATA pData = nullptr;
    if (!pPort->GetPreparsedData(hDevice, &pData)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::Connect HidD_GetPreparsedData Failed, GetLastError=[%d]",
                    LastError());
        pPort->CloseDevice(hDevice);
        return FALSE;
    }
    HIDP_CAPS caps;
    std::memset(&caps, 0, sizeof(caps));
    if (pPort->GetCaps(pData, &caps) != HIDP_STATUS_SUCCESS) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::Connect HidP_GetCaps Failed, GetLastError=[%d]", LastError());
        pPort->FreePreparsedData(pData);
        pPort->CloseDevice(hDevice);
        return FALSE;
    }
    pPort->FreePreparsedData(pData);
    // A report must carry at least one data byte behind its 8-byte header.
    if (caps.FeatureReportByteLength < HID_MIN_REPORT_LENGTH) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::Connect FeatureReportByteLength Too Small, "
                    "FeatureReportByteLength=[%d]",
                    static_cast<int>(caps.FeatureReportByteLength));
        pPort->CloseDevice(hDevice);
        return FALSE;
    }

    {
        CLocalLock lock(&m_lock);
        int nOld = FindEntry(pszDevicePath, true);
        if (nOld >= 0) {
            if (ValidHandle(m_devices[nOld].m_hDevice))
                pPort->CloseDevice(m_devices[nOld].m_hDevice);
            m_devices.erase(m_devices.begin() + nOld);
        }
        HidDeviceEntry entry;
        entry.m_strDevicePath = pszDevicePath;
        entry.m_hDevice = hDevice;
        entry.m_dwDelay = 0;
        std::memset(entry.m_byAtr, 0, sizeof(entry.m_byAtr));
        entry.m_dwAtrLen = 0;
        entry.m_caps = caps;
        m_devices.push_back(entry);
        if (FindEntry(pszDevicePath, true) < 0) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidManager::Connect Can not Find Dest Device, GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
    }
    CCardInfoManager::GetInstance()->Connect(pszDevicePath);
    pTrace->Leave(TRACE_MODULE_CARD, "CHidManager", "Connect");
    return TRUE;
}

BOOL CHidManager::IsConnected(const char *pszDevicePath)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CHidPort *pPort = GetHidPort();
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    {
        CLocalLock lock(&m_lock);
        int nEntry = FindEntry(pszDevicePath, false);
        if (nEntry < 0) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidManager::IsConnected Can not Find Dest Device, GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        hDevice = m_devices[nEntry].m_hDevice;
    }
    if (!ValidHandle(hDevice)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::IsConnected Device Handle Is INVALID_HANDLE_VALUE, "
                    "GetLastError=[%d]",
                    LastError());
        return FALSE;
    }
    PHIDP_PREPARSED_DATA pData = nullptr;
    if (pPort == nullptr || !pPort->GetPreparsedData(hDevice, &pData)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::IsConnected HidD_GetPreparsedData Failed, GetLastError=[%d]",
                    LastError());
        return FALSE;
    }
    pPort->FreePreparsedData(pData);
    if (!CCardInfoManager::GetInstance()->IsAcquired(pszDevicePath)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::IsConnected IsAcquired Return False, GetLastError=[%d]",
                    LastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CHidManager::DisConnect(const char *pszDevicePath)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CHidPort *pPort = GetHidPort();
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    {
        CLocalLock lock(&m_lock);
        int nEntry = FindEntry(pszDevicePath, false);
        if (nEntry < 0) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidManager::DisConnect Can not Find Dest Device, GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        hDevice = m_devices[nEntry].m_hDevice;
        if (!ValidHandle(hDevice)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidManager::DisConnect Dest Device Handle Is INVALID_HANDLE_VALUE, "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        m_devices[nEntry].m_hDevice = INVALID_HANDLE_VALUE;
    }
    CCardInfoManager::GetInstance()->DisConnect(pszDevicePath);
    if (pPort == nullptr || !pPort->CloseDevice(hDevice)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidManager::DisConnect CloseHandle Failed,GetLastError=[%d]", LastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CHidManager::SetTimeOut(const char *pszDevicePath, int nTimeOut)
{
    CLocalLock lock(&m_lock);
    int nEntry = FindEntry(pszDevicePath, false);
    if (nEntry < 0) {
        CTraceWriter::GetInstance()->Log(
            TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
            "[SetTimeOut] Can Not Find Dest Device, GetLastError=[%d]", LastError());
        return FALSE;
    }
    m_devices[nEntry].m_dwDelay = static_cast<DWORD>(nTimeOut);
    return TRUE;
}

BOOL CHidManager::GetAtr(const char *pszDevicePath, BYTE *pbAtr, DWORD *pdwLen)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CLocalLock lock(&m_lock);
    int nEntry = FindEntry(pszDevicePath, false);
    if (nEntry < 0) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[GetAtr] Can Not Find Dest Device , GetLastError=[%d]", LastError());
        return FALSE;
    }
    const HidDeviceEntry &entry = m_devices[nEntry];
    if (pdwLen == nullptr || *pdwLen < entry.m_dwAtrLen ||
        (entry.m_dwAtrLen > 0 && pbAtr == nullptr)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[GetAtr] dwLen < it->m_dwAtrLen, GetLastError=[%d]", LastError());
        return FALSE;
    }
    *pdwLen = entry.m_dwAtrLen;
    if (entry.m_dwAtrLen > 0)
        std::memcpy(pbAtr, entry.m_byAtr, entry.m_dwAtrLen);
    return TRUE;
}

BOOL CHidManager::Transmit(const char *pszDevicePath, const BYTE *pbRequest, int nRequestLen,
                           BYTE *pbAnswer, int *pnAnswerLen, BYTE bCommand, DWORD dwFlags)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CHidPort *pPort = GetHidPort();
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    DWORD dwReportLen = 0;
    DWORD dwFirstWait = kFirstPollWait;
    {
        CLocalLock lock(&m_lock);
        int nEntry = FindEntry(pszDevicePath, true);
        if (nEntry < 0 || pPort == nullptr) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "[Transmit] Can not Find Dest Device, GetLastError=[%d]", LastError());
            return FALSE;
        }
        HidDeviceEntry &entry = m_devices[nEntry];
        hDevice = entry.m_hDevice;
        dwReportLen = entry.m_caps.FeatureReportByteLength;
        if (entry.m_dwDelay != 0) {
            dwFirstWait = entry.m_dwDelay;
            entry.m_dwDelay = 0;
        }
    }
    if (nRequestLen <= 0 || nRequestLen > static_cast<int>(HID_MAX_REQUEST) ||
        pbRequest == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[Transmit] leftdataLen Is Not Validat, leftdataLen=[%d]", nRequestLen);
        return FALSE;
    }
    const DWORD dwAnswerRoom =
        pnAnswerLen && *pnAnswerLen > 0 ? std::min<DWORD>(*pnAnswerLen, HID_MAX_ANSWER) : 0;
    if (pbAnswer == nullptr || dwAnswerRoom == 0)
        return FALSE;

    std::vector<std::vector<BYTE>> reports;
    if (!BuildRequestReports(dwReportLen, pbRequest, nRequestLen, bCommand, reports))
        return FALSE;
    CReportBuffer buffer(dwReportLen + 4);
    BYTE *pbReport = buffer.Get();
    if (pbReport == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[Transmit] CMemoryManager::Alloc Failed, GetLastError=[%d]", LastError());
        return FALSE;
    }

    if (dwFlags & HID_FLAG_SECRET_REQUEST)
        pTrace->LogHexMasked(TRACE_MODULE_CARD, "CHidManager", "Transmit", "obuffer", pbRequest,
                             nRequestLen, kVisibleSecretRequest);
    else
        pTrace->LogHex(TRACE_MODULE_CARD, "CHidManager", "Transmit", "obuffer", pbRequest,
                       nRequestLen);

    for (const std::vector<BYTE> &report : reports) {
        std::memcpy(pbReport, report.data(), dwReportLen);
        if (!pPort->SetFeature(hDevice, pbReport, dwReportLen)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "[Transmit] HidD_SetFeature Failed, nRet=[%d], GetLastError=[%d]", 0,
                        LastError());
            return FALSE;
        }
    }

    pPort->Sleep(dwFirstWait);
    std::vector<BYTE> answer;
    for (;;) {
        std::memset(pbReport, 0, dwReportLen + 4);
        pbReport[0] = HID_REPORT_ID;
        if (!pPort->GetFeature(hDevice, pbReport, dwReportLen)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "[Transmit] HidD_GetFeature Failed, nRet=[%d], nActRecvLen=[%d], "
                        "GetLastError=[%d]",
                        0, static_cast<int>(dwReportLen), LastError());
            return FALSE;
        }
        HidAnswerReport eReport = TakeAnswerReport(pbReport, dwReportLen, answer);
        if (answer.size() > dwAnswerRoom) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "[Transmit] Answer Too Long, nRetLen=[%d], nMaxLen=[%d]",
                        static_cast<int>(answer.size()), static_cast<int>(dwAnswerRoom));
            return FALSE;
        }
        if (eReport == HID_ANSWER_BUSY)
            pPort->Sleep(kBusyPollWait);
        else if (eReport == HID_ANSWER_LAST)
            break;
    }

    std::copy(answer.begin(), answer.end(), pbAnswer);
    *pnAnswerLen = static_cast<int>(answer.size());
    if (dwFlags & HID_FLAG_SECRET_ANSWER)
        pTrace->LogHexMasked(TRACE_MODULE_CARD, "CHidManager", "Transmit", "ibuffer",
                             answer.data(), static_cast<DWORD>(answer.size()), 0);
    else
        pTrace->LogHex(TRACE_MODULE_CARD, "CHidManager", "Transmit", "ibuffer", answer.data(),
                       static_cast<DWORD>(answer.size()));
    return TRUE;
}

BOOL CHidManager::SendRcvCmd(const char *pszDevicePath, const BYTE *pbApdu, DWORD dwApduLen,
                             BYTE **ppbData, DWORD *pdwDataLen, WORD *pwSw, DWORD dwFlags)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    if (ppbData == nullptr || pdwDataLen == nullptr || pwSw == nullptr)
        return FALSE;
    *ppbData = nullptr;
    *pdwDataLen = 0;
    // Refused before anything is copied: the body would not fit a request.
    std::vector<BYTE> request;
    if (!WrapApdu(pbApdu, dwApduLen, request)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[Transmit] leftdataLen Is Not Validat, leftdataLen=[%d]",
                    static_cast<int>(dwApduLen + 3));
        return FALSE;
    }

    BYTE abAnswer[HID_MAX_ANSWER];
    std::memset(abAnswer, 0, sizeof(abAnswer));
    int nAnswerLen = sizeof(abAnswer);
    if (!Transmit(pszDevicePath, request.data(), static_cast<int>(request.size()), abAnswer,
                  &nAnswerLen, HID_COMMAND_APDU, dwFlags)) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[SendRcvCmd] Transmit Failed, GetLastError=[%d]", LastError());
        DisConnect(pszDevicePath);
        return FALSE;
    }

    WORD wSw = 0;
    KQDWORD dwOffset = 0, dwDataLen = 0;
    switch (UnwrapAnswer(abAnswer, nAnswerLen, &wSw, &dwOffset, &dwDataLen)) {
    case HID_UNWRAP_SHORT:
        pTrace->LogHex(TRACE_MODULE_CARD, "CHidManager", "SendRcvCmd", "byOutData", abAnswer,
                       nAnswerLen);
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[SendRcvCmd] nRetLen < 3, GetLastError=[%d]", LastError());
        return FALSE;
    case HID_UNWRAP_ZERO_LENGTH:
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[SendRcvCmd] dwDataLen == 0, GetLastError=[%d]", LastError());
        return FALSE;
    case HID_UNWRAP_BAD_LENGTH:
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[SendRcvCmd] dwDataLen Is Not Valid, dwDataLen=[%d], nRetLen=[%d]",
                    (abAnswer[1] << 8) | abAnswer[2], nAnswerLen);
        return FALSE;
    case HID_UNWRAP_OK:
        break;
    }

    *pwSw = wSw;
    if (dwDataLen == 0)
        return TRUE;
    BYTE *pbData = static_cast<BYTE *>(CMemoryManager::Alloc(dwDataLen));
    if (pbData == nullptr) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "[SendRcvCmd] CMemoryManager::Alloc dwDataLen=[%d] , GetLastError=[%d]",
                    static_cast<int>(dwDataLen), LastError());
        return FALSE;
    }
    std::memcpy(pbData, abAnswer + dwOffset, dwDataLen);
    *ppbData = pbData;
    *pdwDataLen = dwDataLen;
    return TRUE;
}

BOOL CHidManager::SendRcvCmd(const char *pszDevicePath, const std::vector<BYTE> &apdu,
                             std::vector<BYTE> &answer, BYTE &bSw1, BYTE &bSw2, DWORD dwFlags)
{
    if (apdu.empty())
        return FALSE;
    BYTE *pbData = nullptr;
    DWORD dwDataLen = 0;
    WORD wSw = 0;
    if (!SendRcvCmd(pszDevicePath, apdu.data(), static_cast<DWORD>(apdu.size()), &pbData,
                    &dwDataLen, &wSw, dwFlags)) {
        CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                                         "[SendRcvCmd] SendRcvCmd Failed, GetLastError=[%d]",
                                         LastError());
        return FALSE;
    }
    bSw1 = static_cast<BYTE>(wSw >> 8);
    bSw2 = static_cast<BYTE>(wSw);
    answer.assign(pbData, pbData + dwDataLen);
    CMemoryManager::Free(pbData);
    return TRUE;
}
