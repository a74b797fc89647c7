// HidPortEmulator.cpp
//
// The emulator binding of CHidPort: the library's HID calls become requests
// on the token emulator's data pipe (EmuPipeProtocol.h), so the library
// built with this binding finds, opens and talks to the emulator's virtual
// tokens exactly as the production binding does with real ones.
//
// - Enumeration: GetClassDevs lists the bus over a fresh connection and
//   keeps a snapshot of the paths; the set, its interfaces and their detail
//   data follow SetupAPI's rules (cbSize checks, ERROR_NO_MORE_ITEMS,
//   ERROR_INSUFFICIENT_BUFFER with the required size).
// - A device handle is a session object of this binding with its own pipe
//   connection; the preparsed data is an object holding R. Every object is
//   kept in a registry: a handle or pointer the binding did not make, or
//   made and already freed, is refused (ERROR_INVALID_HANDLE, or
//   HIDP_STATUS_INVALID_PREPARSED_DATA) and never dereferenced.
// - Each session serialises its request/answer pairs with a critical
//   section, so threads may share one device handle; a handle closed while
//   another thread uses it stays alive until that use ends.
// - Failures set the last error: the error the emulator answered
//   (ERROR_DEVICE_NOT_CONNECTED once unplugged, ...), ERROR_FILE_NOT_FOUND
//   when no emulator runs, ERROR_DEVICE_NOT_CONNECTED when the emulator
//   went away under an open device.
// The pipe base is read from KQTOKENEMU_PIPE at each connection.
#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "EmuPipeIo.h"
#include "EmuPipeProtocol.h"
#include "HidPort.h"

namespace {

const DWORD kConnectTimeoutMs = 10000;
// A feature report must fit one data message with its op byte.
const ULONG kMaxReport = emu::kMaxDataMessage - 1;

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

typedef std::vector<std::uint8_t> Bytes;

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Sets the last error and returns the failure value given.
template <typename T> T Fail(DWORD dwError, T failure)
{
    SetLastError(dwError);
    return failure;
}

// Parses an answer: true with its payload for status 0, false with the
// error it carries (ERROR_GEN_FAILURE for an answer of no known shape).
bool ParseAnswer(const Bytes &answer, Bytes &payload, DWORD *pdwError)
{
    if (!answer.empty() && answer[0] == emu::STATUS_OK) {
        payload.assign(answer.begin() + 1, answer.end());
        return true;
    }
    if (answer.size() == 5 && answer[0] == emu::STATUS_FAILED) {
        *pdwError = static_cast<DWORD>(answer[1]) | (static_cast<DWORD>(answer[2]) << 8) |
                    (static_cast<DWORD>(answer[3]) << 16) | (static_cast<DWORD>(answer[4]) << 24);
        if (*pdwError == 0)
            *pdwError = ERROR_GEN_FAILURE;
        return false;
    }
    *pdwError = ERROR_GEN_FAILURE;
    return false;
}

// One request/answer on a pipe; pipe failures reported as they come.
bool PipeTransact(HANDLE hPipe, std::uint8_t bOp, const void *pvPayload, std::size_t nPayload,
                  Bytes &payload, DWORD *pdwError, bool *pbPipeBroken)
{
    Bytes request(1 + nPayload);
    request[0] = bOp;
    if (nPayload != 0)
        std::memcpy(request.data() + 1, pvPayload, nPayload);
    Bytes answer;
    if (!emu::WritePipeMessage(hPipe, request.data(), request.size(), pdwError) ||
        !emu::ReadPipeMessage(hPipe, answer, emu::kMaxDataMessage, pdwError)) {
        *pbPipeBroken = true;
        return false;
    }
    *pbPipeBroken = false;
    return ParseAnswer(answer, payload, pdwError);
}

// The snapshot one GetClassDevs took.
struct DeviceInfoSet {
    std::vector<std::string> paths;
};

// One opened device: its own connection to the emulator.
class CEmuSession {
public:
    explicit CEmuSession(HANDLE hPipe) : m_hPipe(hPipe), m_bClosed(false)
    {
        InitializeCriticalSection(&m_cs);
    }
    ~CEmuSession()
    {
        if (m_hPipe != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPipe);
        DeleteCriticalSection(&m_cs);
    }
    CEmuSession(const CEmuSession &) = delete;
    CEmuSession &operator=(const CEmuSession &) = delete;

    // One exchange under the session's lock. A broken pipe means the
    // emulator is gone: the device is not connected any more.
    bool Transact(std::uint8_t bOp, const void *pvPayload, std::size_t nPayload, Bytes &payload,
                  DWORD *pdwError)
    {
        EnterCriticalSection(&m_cs);
        bool bOk = false;
        if (m_bClosed) {
            *pdwError = ERROR_INVALID_HANDLE;
        } else {
            bool bBroken = false;
            bOk = PipeTransact(m_hPipe, bOp, pvPayload, nPayload, payload, pdwError, &bBroken);
            if (bBroken)
                *pdwError = ERROR_DEVICE_NOT_CONNECTED;
        }
        LeaveCriticalSection(&m_cs);
        return bOk;
    }

    // Sends CLOSE and closes the connection; later calls fail.
    void Close()
    {
        EnterCriticalSection(&m_cs);
        if (!m_bClosed) {
            Bytes payload;
            DWORD dwError = 0;
            bool bBroken = false;
            PipeTransact(m_hPipe, emu::OP_CLOSE, nullptr, 0, payload, &dwError, &bBroken);
            CloseHandle(m_hPipe);
            m_hPipe = INVALID_HANDLE_VALUE;
            m_bClosed = true;
        }
        LeaveCriticalSection(&m_cs);
    }

private:
    HANDLE m_hPipe;
    bool m_bClosed;
    CRITICAL_SECTION m_cs;  // one request/answer pair at a time
};

struct PreparsedData {
    USHORT usFeatureReportLength;
};

class CHidPortEmulator : public CHidPort {
public:
    CHidPortEmulator() { InitializeCriticalSection(&m_cs); }
    // Never destroyed (see GetHidPort).
    ~CHidPortEmulator() override { DeleteCriticalSection(&m_cs); }

    void GetHidGuid(GUID *pGuid) override
    {
        if (pGuid != nullptr)
            *pGuid = kHidGuid;
    }

    HDEVINFO GetClassDevs(const GUID *pGuid, DWORD dwFlags) override
    {
        if (pGuid == nullptr && !(dwFlags & DIGCF_ALLCLASSES))
            return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        DWORD dwError = 0;
        HANDLE hPipe = emu::ConnectPipe(emu::DataPipeName(emu::PipeBaseFromEnvironment()),
                                        kConnectTimeoutMs, &dwError);
        if (hPipe == INVALID_HANDLE_VALUE)
            return Fail(dwError, INVALID_HANDLE_VALUE);
        Bytes payload;
        bool bBroken = false;
        bool bOk = PipeTransact(hPipe, emu::OP_LIST, nullptr, 0, payload, &dwError, &bBroken);
        CloseHandle(hPipe);
        if (!bOk)
            return Fail(dwError, INVALID_HANDLE_VALUE);

        std::shared_ptr<DeviceInfoSet> pSet = std::make_shared<DeviceInfoSet>();
        if (!ParseList(payload, pSet->paths))
            return Fail(ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
        // Another class than HID has no interfaces here.
        if (pGuid != nullptr && !SameGuid(*pGuid, kHidGuid) && !(dwFlags & DIGCF_ALLCLASSES))
            pSet->paths.clear();
        EnterCriticalSection(&m_cs);
        m_sets[pSet.get()] = pSet;
        LeaveCriticalSection(&m_cs);
        return static_cast<HDEVINFO>(pSet.get());
    }

    BOOL EnumDeviceInterfaces(HDEVINFO hSet, const GUID *pGuid, DWORD dwIndex,
                              SP_DEVICE_INTERFACE_DATA *pData) override
    {
        std::shared_ptr<DeviceInfoSet> pSet = FindSet(hSet);
        if (!pSet)
            return Fail(ERROR_INVALID_HANDLE, FALSE);
        if (pGuid == nullptr || pData == nullptr || pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
            return Fail(ERROR_INVALID_PARAMETER, FALSE);
        if (!SameGuid(*pGuid, kHidGuid) || dwIndex >= pSet->paths.size())
            return Fail(ERROR_NO_MORE_ITEMS, FALSE);
        pData->InterfaceClassGuid = kHidGuid;
        pData->Flags = SPINT_ACTIVE;
        // The interface's index in its set, plus one (0 marks "none").
        pData->Reserved = static_cast<ULONG_PTR>(dwIndex) + 1;
        return TRUE;
    }

    BOOL GetDeviceInterfaceDetail(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA *pData,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail, DWORD dwSize,
                                  DWORD *pdwRequired) override
    {
        std::shared_ptr<DeviceInfoSet> pSet = FindSet(hSet);
        if (!pSet)
            return Fail(ERROR_INVALID_HANDLE, FALSE);
        if (pData == nullptr || pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
            pData->Reserved == 0 || pData->Reserved > pSet->paths.size())
            return Fail(ERROR_INVALID_PARAMETER, FALSE);
        if (pDetail != nullptr && pDetail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
        if (pDetail == nullptr && dwSize != 0)
            return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
        const std::string &strPath = pSet->paths[pData->Reserved - 1];
        const DWORD dwRequired = static_cast<DWORD>(
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strPath.size() + 1);
        if (pdwRequired != nullptr)
            *pdwRequired = dwRequired;
        if (dwSize < dwRequired)
            return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
        std::memcpy(pDetail->DevicePath, strPath.c_str(), strPath.size() + 1);
        return TRUE;
    }

    BOOL DestroyDeviceInfoList(HDEVINFO hSet) override
    {
        EnterCriticalSection(&m_cs);
        const bool bFound = m_sets.erase(hSet) != 0;
        LeaveCriticalSection(&m_cs);
        return bFound ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
    }

    HANDLE OpenDevice(const char *pszPath, DWORD /*dwAccess*/, DWORD /*dwShare*/,
                      DWORD /*dwDisposition*/, DWORD /*dwFlags*/) override
    {
        if (pszPath == nullptr)
            return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        const std::size_t nPath = std::strlen(pszPath);
        if (nPath == 0 || nPath >= emu::kMaxDataMessage - 1)
            return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        DWORD dwError = 0;
        HANDLE hPipe = emu::ConnectPipe(emu::DataPipeName(emu::PipeBaseFromEnvironment()),
                                        kConnectTimeoutMs, &dwError);
        if (hPipe == INVALID_HANDLE_VALUE)
            return Fail(dwError, INVALID_HANDLE_VALUE);
        std::shared_ptr<CEmuSession> pSession = std::make_shared<CEmuSession>(hPipe);
        Bytes payload;
        if (!pSession->Transact(emu::OP_OPEN, pszPath, nPath, payload, &dwError))
            return Fail(dwError, INVALID_HANDLE_VALUE);  // the session closes its pipe
        EnterCriticalSection(&m_cs);
        m_sessions[pSession.get()] = pSession;
        LeaveCriticalSection(&m_cs);
        return static_cast<HANDLE>(pSession.get());
    }

    BOOL CloseDevice(HANDLE hDevice) override
    {
        std::shared_ptr<CEmuSession> pSession;
        EnterCriticalSection(&m_cs);
        std::map<void *, std::shared_ptr<CEmuSession>>::iterator it = m_sessions.find(hDevice);
        if (it != m_sessions.end()) {
            pSession = it->second;
            m_sessions.erase(it);
        }
        LeaveCriticalSection(&m_cs);
        if (!pSession)
            return Fail(ERROR_INVALID_HANDLE, FALSE);
        pSession->Close();
        return TRUE;
    }

    BOOLEAN GetPreparsedData(HANDLE hDevice, PHIDP_PREPARSED_DATA *ppData) override
    {
        if (ppData == nullptr)
            return Fail(ERROR_INVALID_PARAMETER, static_cast<BOOLEAN>(FALSE));
        std::shared_ptr<CEmuSession> pSession = FindSession(hDevice);
        if (!pSession)
            return Fail(ERROR_INVALID_HANDLE, static_cast<BOOLEAN>(FALSE));
        Bytes payload;
        DWORD dwError = 0;
        if (!pSession->Transact(emu::OP_CAPS, nullptr, 0, payload, &dwError))
            return Fail(dwError, static_cast<BOOLEAN>(FALSE));
        if (payload.size() != 2)
            return Fail(ERROR_GEN_FAILURE, static_cast<BOOLEAN>(FALSE));
        std::unique_ptr<PreparsedData> pData(new PreparsedData);
        pData->usFeatureReportLength = static_cast<USHORT>(payload[0] | (payload[1] << 8));
        PHIDP_PREPARSED_DATA pHandle = reinterpret_cast<PHIDP_PREPARSED_DATA>(pData.get());
        EnterCriticalSection(&m_cs);
        m_preparsed[pHandle] = std::move(pData);
        LeaveCriticalSection(&m_cs);
        *ppData = pHandle;
        return TRUE;
    }

    NTSTATUS GetCaps(PHIDP_PREPARSED_DATA pData, PHIDP_CAPS pCaps) override
    {
        EnterCriticalSection(&m_cs);
        std::map<void *, std::unique_ptr<PreparsedData>>::iterator it = m_preparsed.find(pData);
        const bool bFound = it != m_preparsed.end();
        const USHORT usLength = bFound ? it->second->usFeatureReportLength : 0;
        LeaveCriticalSection(&m_cs);
        if (!bFound || pCaps == nullptr)
            return HIDP_STATUS_INVALID_PREPARSED_DATA;
        std::memset(pCaps, 0, sizeof(*pCaps));
        pCaps->FeatureReportByteLength = usLength;
        return HIDP_STATUS_SUCCESS;
    }

    BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA pData) override
    {
        EnterCriticalSection(&m_cs);
        const bool bFound = m_preparsed.erase(pData) != 0;
        LeaveCriticalSection(&m_cs);
        return bFound ? static_cast<BOOLEAN>(TRUE)
                      : Fail(ERROR_INVALID_PARAMETER, static_cast<BOOLEAN>(FALSE));
    }

    // One feature report to or from the device of hDevice, with the checks
    // both directions share; the answer's payload in payload.
    BOOLEAN FeatureReport(HANDLE hDevice, std::uint8_t bOp, PVOID pBuffer, ULONG ulLength,
                          Bytes &payload)
    {
        std::shared_ptr<CEmuSession> pSession = FindSession(hDevice);
        if (!pSession)
            return Fail(ERROR_INVALID_HANDLE, static_cast<BOOLEAN>(FALSE));
        if (pBuffer == nullptr || ulLength == 0 || ulLength > kMaxReport)
            return Fail(ERROR_INVALID_PARAMETER, static_cast<BOOLEAN>(FALSE));
        DWORD dwError = 0;
        if (!pSession->Transact(bOp, pBuffer, ulLength, payload, &dwError))
            return Fail(dwError, static_cast<BOOLEAN>(FALSE));
        return TRUE;
    }

    BOOLEAN SetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        Bytes payload;
        return FeatureReport(hDevice, emu::OP_SET_FEATURE, pBuffer, ulLength, payload);
    }

    BOOLEAN GetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        Bytes payload;
        if (!FeatureReport(hDevice, emu::OP_GET_FEATURE, pBuffer, ulLength, payload))
            return FALSE;
        if (payload.size() != ulLength)
            return Fail(ERROR_GEN_FAILURE, static_cast<BOOLEAN>(FALSE));
        std::memcpy(pBuffer, payload.data(), payload.size());
        return TRUE;
    }

    BOOLEAN GetProductString(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        std::shared_ptr<CEmuSession> pSession = FindSession(hDevice);
        if (!pSession)
            return Fail(ERROR_INVALID_HANDLE, static_cast<BOOLEAN>(FALSE));
        if (pBuffer == nullptr && ulLength != 0)
            return Fail(ERROR_INVALID_PARAMETER, static_cast<BOOLEAN>(FALSE));
        const std::uint8_t abLength[4] = {
            static_cast<std::uint8_t>(ulLength), static_cast<std::uint8_t>(ulLength >> 8),
            static_cast<std::uint8_t>(ulLength >> 16), static_cast<std::uint8_t>(ulLength >> 24)};
        Bytes payload;
        DWORD dwError = 0;
        if (!pSession->Transact(emu::OP_PRODUCT, abLength, sizeof(abLength), payload, &dwError))
            return Fail(dwError, static_cast<BOOLEAN>(FALSE));
        // Whole characters that fit, then a terminator when there is room.
        const std::size_t nBytes = std::min<std::size_t>(payload.size() & ~std::size_t(1),
                                                         ulLength & ~ULONG(1));
        if (nBytes != 0)
            std::memcpy(pBuffer, payload.data(), nBytes);
        if (nBytes + 2 <= ulLength) {
            static_cast<std::uint8_t *>(pBuffer)[nBytes] = 0;
            static_cast<std::uint8_t *>(pBuffer)[nBytes + 1] = 0;
        }
        return TRUE;
    }

    void Sleep(DWORD dwMilliseconds) override { ::Sleep(dwMilliseconds); }

private:
    static bool ParseList(const Bytes &payload, std::vector<std::string> &paths)
    {
        if (payload.size() < 2)
            return false;
        const std::size_t nCount = payload[0] | (payload[1] << 8);
        std::size_t i = 2;
        for (std::size_t k = 0; k < nCount; ++k) {
            if (payload.size() - i < 2)
                return false;
            const std::size_t nLength = payload[i] | (payload[i + 1] << 8);
            i += 2;
            if (payload.size() - i < nLength)
                return false;
            paths.emplace_back(payload.begin() + i, payload.begin() + i + nLength);
            i += nLength;
        }
        return i == payload.size();
    }

    std::shared_ptr<DeviceInfoSet> FindSet(HDEVINFO hSet)
    {
        std::shared_ptr<DeviceInfoSet> pSet;
        EnterCriticalSection(&m_cs);
        std::map<void *, std::shared_ptr<DeviceInfoSet>>::iterator it = m_sets.find(hSet);
        if (it != m_sets.end())
            pSet = it->second;
        LeaveCriticalSection(&m_cs);
        return pSet;
    }

    std::shared_ptr<CEmuSession> FindSession(HANDLE hDevice)
    {
        std::shared_ptr<CEmuSession> pSession;
        EnterCriticalSection(&m_cs);
        std::map<void *, std::shared_ptr<CEmuSession>>::iterator it = m_sessions.find(hDevice);
        if (it != m_sessions.end())
            pSession = it->second;
        LeaveCriticalSection(&m_cs);
        return pSession;
    }

    CRITICAL_SECTION m_cs;  // guards the three registries
    std::map<void *, std::shared_ptr<DeviceInfoSet>> m_sets;
    std::map<void *, std::shared_ptr<CEmuSession>> m_sessions;
    std::map<void *, std::unique_ptr<PreparsedData>> m_preparsed;
};

}  // namespace

// One port per process, made on first use and never destroyed, so that
// threads still running at process exit never meet a destroyed registry.
CHidPort *GetHidPort()
{
    static CHidPortEmulator *s_pPort = new CHidPortEmulator;
    return s_pPort;
}
