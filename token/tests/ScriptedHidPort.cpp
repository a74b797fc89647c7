// ScriptedHidPort.cpp
#include "ScriptedHidPort.h"

#include <algorithm>
#include <cstring>

ScriptedHidPort::Device &ScriptedHidPort::AddDevice(const std::string &strPath,
                                                    USHORT usReportLength)
{
    Device &device = m_devices[strPath];
    device = Device();
    device.usReportLength = usReportLength;
    return device;
}

void ScriptedHidPort::QueueAnswer(const std::string &strPath, const std::vector<BYTE> &body,
                                  int nBusy)
{
    Device &device = m_devices[strPath];
    const std::size_t nReport = device.usReportLength, nChunk = nReport - 9;
    for (int i = 0; i < nBusy; ++i) {
        std::vector<BYTE> busy(nReport, 0);
        busy[2] = 0xFF;
        device.answers.push_back(busy);
    }
    std::size_t nSent = 0;
    do {
        const std::size_t nCount = std::min(nChunk, body.size() - nSent);
        std::vector<BYTE> report(nReport, 0);
        report[0] = nSent + nCount < body.size() ? 1 : 0;
        report[1] = static_cast<BYTE>(nCount);
        std::copy(body.begin() + nSent, body.begin() + nSent + nCount, report.begin() + 8);
        device.answers.push_back(report);
        nSent += nCount;
    } while (nSent < body.size());
}

ScriptedHidPort::Device *ScriptedHidPort::ForHandle(HANDLE hDevice)
{
    auto it = m_open.find(hDevice);
    if (it == m_open.end())
        return nullptr;
    Device &device = m_devices[it->second];
    return device.bPresent ? &device : nullptr;
}

void ScriptedHidPort::GetHidGuid(GUID *pGuid) { std::memset(pGuid, 0, sizeof(*pGuid)); }

HDEVINFO ScriptedHidPort::GetClassDevs(const GUID *, DWORD)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
}

BOOL ScriptedHidPort::EnumDeviceInterfaces(HDEVINFO, const GUID *, DWORD,
                                           SP_DEVICE_INTERFACE_DATA *)
{
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL ScriptedHidPort::GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA *,
                                               SP_DEVICE_INTERFACE_DETAIL_DATA_A *, DWORD,
                                               DWORD *)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL ScriptedHidPort::DestroyDeviceInfoList(HDEVINFO) { return TRUE; }

HANDLE ScriptedHidPort::OpenDevice(const char *pszPath, DWORD, DWORD, DWORD, DWORD)
{
    auto it = m_devices.find(pszPath);
    if (it == m_devices.end() || !it->second.bPresent) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hDevice = reinterpret_cast<HANDLE>(m_nextHandle++);
    m_open[hDevice] = pszPath;
    return hDevice;
}

BOOL ScriptedHidPort::CloseDevice(HANDLE hDevice)
{
    if (m_open.erase(hDevice) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    m_closed.push_back(hDevice);
    return TRUE;
}

BOOLEAN ScriptedHidPort::GetPreparsedData(HANDLE hDevice, PHIDP_PREPARSED_DATA *ppData)
{
    if (ForHandle(hDevice) == nullptr) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    *ppData = reinterpret_cast<PHIDP_PREPARSED_DATA>(hDevice);
    return TRUE;
}

NTSTATUS ScriptedHidPort::GetCaps(PHIDP_PREPARSED_DATA pData, PHIDP_CAPS pCaps)
{
    Device *pDevice = ForHandle(reinterpret_cast<HANDLE>(pData));
    if (pDevice == nullptr || pDevice->bCapsFail)
        return static_cast<NTSTATUS>(0xC0110001);
    std::memset(pCaps, 0, sizeof(*pCaps));
    pCaps->FeatureReportByteLength = pDevice->usReportLength;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN ScriptedHidPort::FreePreparsedData(PHIDP_PREPARSED_DATA) { return TRUE; }

BOOLEAN ScriptedHidPort::SetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength)
{
    Device *pDevice = ForHandle(hDevice);
    if (pDevice == nullptr ||
        pDevice->nFailSetAt == static_cast<int>(pDevice->written.size())) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const BYTE *pb = static_cast<const BYTE *>(pBuffer);
    pDevice->written.emplace_back(pb, pb + ulLength);
    return TRUE;
}

BOOLEAN ScriptedHidPort::GetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength)
{
    Device *pDevice = ForHandle(hDevice);
    BYTE *pb = static_cast<BYTE *>(pBuffer);
    // The host asks for report 3 in a zeroed buffer; anything else is refused
    // as a real device would.
    if (pDevice == nullptr || pDevice->answers.empty() || pb[0] != 3 ||
        ulLength != pDevice->usReportLength) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const std::vector<BYTE> &report = pDevice->answers.front();
    std::memcpy(pb, report.data(), std::min<std::size_t>(ulLength, report.size()));
    pDevice->answers.pop_front();
    return TRUE;
}

BOOLEAN ScriptedHidPort::GetProductString(HANDLE, PVOID, ULONG)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
