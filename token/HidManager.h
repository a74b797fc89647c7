// HidManager.h
//
// CHidManager: carries APDUs to the token and the answers back over HID
// feature reports (report id 3), one exchange at a time: the request is cut
// into reports and written, then the answer is polled until the token says
// it is complete (busy answers are polled again every 80 ms). It keeps the
// open devices of the process, opens and closes them, and marks this process
// as the owner of a device in the cross-process owner record.
//
// Devices are reached only through the HID port (HidPort.h). The device list
// is guarded by a process-local lock held only while the list is read or
// changed, never during an exchange: exchanges with one token are serialised
// by the card object's device mutex.
#pragma once

#include <windows.h>

#include "HidPort.h"

#include <string>
#include <vector>

// Exchange flags: what must not reach the trace in clear.
enum {
    HID_FLAG_NONE = 0,
    HID_FLAG_SECRET_REQUEST = 1,  // the request carries a PIN or key: dump its header only
    HID_FLAG_SECRET_ANSWER = 2,   // the answer carries secret data: dump its length only
};

// One open (or formerly open) device of this process.
struct HidDeviceEntry {
    std::string m_strDevicePath;
    HANDLE m_hDevice;
    DWORD m_dwDelay;  // one-shot wait before the first poll; 0 = 20 ms
    BYTE m_byAtr[32];
    DWORD m_dwAtrLen;
    HIDP_CAPS m_caps;
};

class CHidManager {
public:
    static CHidManager *GetInstance();
    virtual ~CHidManager();

    // Opens the device and makes this process its owner.
    BOOL Connect(const char *pszDevicePath);
    // Listed with a valid handle, still answering, and owned by this process
    // (or free).
    BOOL IsConnected(const char *pszDevicePath);
    // Releases the owner record and closes the device; the entry stays.
    BOOL DisConnect(const char *pszDevicePath);
    // The wait in ms before the first poll of the next exchange only.
    BOOL SetTimeOut(const char *pszDevicePath, int nTimeOut);
    // Copies the ATR (always empty) when *pdwLen is large enough.
    BOOL GetAtr(const char *pszDevicePath, BYTE *pbAtr, DWORD *pdwLen);

    // One exchange in feature reports. *pnAnswerLen is the answer buffer's
    // size on input and the number of answer bytes on output.
    BOOL Transmit(const char *pszDevicePath, const BYTE *pbRequest, int nRequestLen,
                  BYTE *pbAnswer, int *pnAnswerLen, BYTE bCommand,
                  DWORD dwFlags = HID_FLAG_NONE);

    // Wraps the APDU (at most 253 bytes), exchanges it and unwraps the
    // answer: the response data in a buffer from the memory library (null
    // when there is none; the caller frees it with CMemoryManager::Free) and
    // the status word. A failed exchange closes the device.
    BOOL SendRcvCmd(const char *pszDevicePath, const BYTE *pbApdu, DWORD dwApduLen,
                    BYTE **ppbData, DWORD *pdwDataLen, WORD *pwSw,
                    DWORD dwFlags = HID_FLAG_NONE);
    // The command layer's form: the answer vector gets the response data.
    BOOL SendRcvCmd(const char *pszDevicePath, const std::vector<BYTE> &apdu,
                    std::vector<BYTE> &answer, BYTE &bSw1, BYTE &bSw2,
                    DWORD dwFlags = HID_FLAG_NONE);

private:
    CHidManager();
    CHidManager(const CHidManager &) = delete;
    CHidManager &operator=(const CHidManager &) = delete;

    // Index of the entry for the path, or -1; caller holds m_lock.
    int FindEntry(const char *pszDevicePath, bool bIgnoreCase) const;

    CRITICAL_SECTION m_lock;
    std::vector<HidDeviceEntry> m_devices;
};
