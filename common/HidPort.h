// HidPort.h
//
// CHidPort: the edge between the token access library and the HID bus. The
// device enumeration and the HID transport reach devices only through it,
// one method per platform call they make (SetupAPI enumeration, CreateFile,
// hid.dll), with the platform's own argument lists and results, so the code
// above it reads as the platform calls it.
//
// The binding is chosen when a module is linked, never at run time:
//   HidPortWin32.cpp      SetupAPI and hid.dll (the production build)
//   HidPortEmulator.cpp   a client of the token emulator's named pipe
//   test bindings         fakes that a test installs
// Each binding defines GetHidPort().
#pragma once

#include <windows.h>

// mingw's HID headers declare hid.dll's functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

class CHidPort {
public:
    virtual ~CHidPort() {}

    // HidD_GetHidGuid.
    virtual void GetHidGuid(GUID *pGuid) = 0;
    // SetupDiGetClassDevsA(pGuid, NULL, NULL, dwFlags); INVALID_HANDLE_VALUE on
    // failure.
    virtual HDEVINFO GetClassDevs(const GUID *pGuid, DWORD dwFlags) = 0;
    // SetupDiEnumDeviceInterfaces(hSet, NULL, pGuid, dwIndex, pData); fails
    // with ERROR_NO_MORE_ITEMS after the last interface.
    virtual BOOL EnumDeviceInterfaces(HDEVINFO hSet, const GUID *pGuid, DWORD dwIndex,
                                      SP_DEVICE_INTERFACE_DATA *pData) = 0;
    // SetupDiGetDeviceInterfaceDetailA(hSet, pData, pDetail, dwSize, pdwRequired, NULL).
    virtual BOOL GetDeviceInterfaceDetail(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA *pData,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail,
                                          DWORD dwSize, DWORD *pdwRequired) = 0;
    // SetupDiDestroyDeviceInfoList.
    virtual BOOL DestroyDeviceInfoList(HDEVINFO hSet) = 0;

    // CreateFileA(pszPath, dwAccess, dwShare, NULL, dwDisposition, dwFlags, NULL).
    virtual HANDLE OpenDevice(const char *pszPath, DWORD dwAccess, DWORD dwShare,
                              DWORD dwDisposition, DWORD dwFlags) = 0;
    // CloseHandle of a handle from OpenDevice.
    virtual BOOL CloseDevice(HANDLE hDevice) = 0;
    // HidD_GetPreparsedData, HidP_GetCaps, HidD_FreePreparsedData.
    virtual BOOLEAN GetPreparsedData(HANDLE hDevice, PHIDP_PREPARSED_DATA *ppData) = 0;
    virtual NTSTATUS GetCaps(PHIDP_PREPARSED_DATA pData, PHIDP_CAPS pCaps) = 0;
    virtual BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA pData) = 0;
    // HidD_SetFeature, HidD_GetFeature, HidD_GetProductString.
    virtual BOOLEAN SetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) = 0;
    virtual BOOLEAN GetFeature(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) = 0;
    virtual BOOLEAN GetProductString(HANDLE hDevice, PVOID pBuffer, ULONG ulLength) = 0;

    // Sleep: the transport's fixed waits go through the port so that tests
    // can count them instead of waiting.
    virtual void Sleep(DWORD dwMilliseconds) = 0;
};

// The port of the binding linked into this module.
CHidPort *GetHidPort();

// HidP_GetCaps success status.
#ifndef HIDP_STATUS_SUCCESS
#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#endif
