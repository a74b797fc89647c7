// HidPortWin32.cpp
//
// The production HID port: every method is the one SetupAPI, kernel32 or
// hid.dll call its name says, with the arguments passed through unchanged,
// so that the enumeration and the transport above it behave exactly as they
// would calling the platform themselves.
#include <windows.h>

#include <setupapi.h>

// hid.dll's headers declare no C linkage of their own; included here first,
// so that HidPort.h's include of them finds them already read.
extern "C" {
#include <hidsdi.h>
}

#include "HidPort.h"

namespace {

class CHidPortWin32 : public CHidPort {
public:
    void GetHidGuid(GUID *pGuid) override { HidD_GetHidGuid(pGuid); }

    HDEVINFO GetClassDevs(const GUID *pGuid, DWORD dwFlags) override
    {
        return SetupDiGetClassDevsA(pGuid, nullptr, nullptr, dwFlags);
    }

    BOOL EnumDeviceInterfaces(HDEVINFO hSet, const GUID *pGuid, DWORD dwIndex,
                              SP_DEVICE_INTERFACE_DATA *pData) override
    {
        return SetupDiEnumDeviceInterfaces(hSet, nullptr, pGuid, dwIndex, pData);
    }

    BOOL GetDeviceInterfaceDetail(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA *pData,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail, DWORD dwSize,
                                  DWORD *pdwRequired) override
    {
        return SetupDiGetDeviceInterfaceDetailA(hSet, pData, pDetail, dwSize, pdwRequired,
                                                nullptr);
    }

    BOOL DestroyDeviceInfoList(HDEVINFO hSet) override
    {
        return SetupDiDestroyDeviceInfoList(hSet);
    }

    HANDLE OpenDevice(const char *pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                      DWORD dwFlags) override
    {
        return CreateFileA(pszPath, dwAccess, dwShare, nullptr, dwDisposition, dwFlags, nullptr);
    }

    BOOL CloseDevice(HANDLE hDevice) override { return CloseHandle(hDevice); }

    BOOLEAN GetPreparsedData(HANDLE hDevice, PHIDP_PREPARSED_DATA *ppData) override
    {
        return HidD_GetPreparsedData(hDevice, ppData);
    }

    NTSTATUS GetCaps(PHIDP_PREPARSED_DATA pData, PHIDP_CAPS pCaps) override
    {
        return HidP_GetCaps(pData, pCaps);
    }

    BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA pData) override
    {
        return HidD_FreePreparsedData(pData);
    }

    BOOLEAN SetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        return HidD_SetFeature(hDevice, pBuffer, ulLength);
    }

    BOOLEAN GetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        return HidD_GetFeature(hDevice, pBuffer, ulLength);
    }

    BOOLEAN GetProductString(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) override
    {
        return HidD_GetProductString(hDevice, pBuffer, ulLength);
    }

    void Sleep(DWORD dwMilliseconds) override { ::Sleep(dwMilliseconds); }
};

}  // namespace

CHidPort *GetHidPort()
{
    // Never deleted: the port may still be used while the module unloads.
    static CHidPort *s_pPort = new CHidPortWin32();
    return s_pPort;
}
