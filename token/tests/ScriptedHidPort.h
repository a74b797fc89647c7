// ScriptedHidPort.h
//
// A fake HID port for the transport's unit tests: devices by path with a
// script of answer reports, a record of every report written, every handle
// closed and every sleep asked for, and switches for the failures a real
// device shows (pulled, SetFeature or GetFeature failing, bad capabilities).
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "HidPort.h"

class ScriptedHidPort : public CHidPort {
public:
    struct Device {
        USHORT usReportLength = 65;
        bool bPresent = true;      // false: pulled (preparsed data and reports fail)
        bool bCapsFail = false;    // HidP_GetCaps fails
        int nFailSetAt = -1;       // index of the SetFeature call that fails
        std::deque<std::vector<BYTE>> answers;  // reports GetFeature hands out
        std::vector<std::vector<BYTE>> written;  // reports SetFeature received
    };

    // Adds (or replaces) a device.
    Device &AddDevice(const std::string &strPath, USHORT usReportLength = 65);
    Device &Dev(const std::string &strPath) { return m_devices[strPath]; }

    // Queues the answer body as the device would send it: nBusy busy reports,
    // then the body in chunks of R - 9 bytes.
    void QueueAnswer(const std::string &strPath, const std::vector<BYTE> &body, int nBusy = 0);

    std::vector<HANDLE> m_closed;
    std::vector<DWORD> m_sleeps;

    void GetHidGuid(GUID *pGuid) override;
    HDEVINFO GetClassDevs(const GUID *pGuid, DWORD dwFlags) override;
    BOOL EnumDeviceInterfaces(HDEVINFO, const GUID *, DWORD, SP_DEVICE_INTERFACE_DATA *) override;
    BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA *,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A *, DWORD, DWORD *) override;
    BOOL DestroyDeviceInfoList(HDEVINFO) override;
    HANDLE OpenDevice(const char *pszPath, DWORD, DWORD, DWORD, DWORD) override;
    BOOL CloseDevice(HANDLE hDevice) override;
    BOOLEAN GetPreparsedData(HANDLE hDevice, PHIDP_PREPARSED_DATA *ppData) override;
    NTSTATUS GetCaps(PHIDP_PREPARSED_DATA pData, PHIDP_CAPS pCaps) override;
    BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA pData) override;
    BOOLEAN SetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override;
    BOOLEAN GetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override;
    BOOLEAN GetProductString(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override;
    void Sleep(DWORD dwMilliseconds) override { m_sleeps.push_back(dwMilliseconds); }

private:
    Device *ForHandle(HANDLE hDevice);

    std::map<std::string, Device> m_devices;
    std::map<HANDLE, std::string> m_open;
    INT_PTR m_nextHandle = 0x100;
};
