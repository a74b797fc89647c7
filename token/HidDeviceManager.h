// HidDeviceManager.h
//
// CHidDeviceManager: finds the tokens that are plugged in. It walks the
// present HID device interfaces, keeps those whose USB vendor id is 0925 and
// product id is 1234, and hands out their device paths by index. It also takes
// a device path apart (vendor id, product id, device id, bus name, interface
// class) and builds a device path back from a device id. The device path is
// the name under which the rest of the library knows a token.
//
// The platform is reached only through the HID port (HidPort.h). One manager
// exists per process; it is created when the library is loaded and never
// destroyed. The device list is guarded by a process-local lock held only
// while the list is read or replaced, never during the walk itself, so a
// thread reading paths by index never sees a list half rebuilt by another
// thread's count.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The pieces of one device path, in this order.
struct UsbInfo {
    std::string m_strProductId;       // text after "PID_" (1234 for a token)
    std::string m_strVendorId;        // text after "VID_" (0925 for a token)
    std::string m_strDeviceId;        // HID\VID_0925&PID_1234\7&1A2B3C4D&0&0000
    std::string m_strBusName;         // the device id up to its first '\' (HID)
    std::string m_strInterfaceClass;  // text after the path's last '#' (braced GUID)
    std::string m_strDevicePath;      // the path as given
};

class CHidDeviceManager {
public:
    // The process's manager; never deleted.
    static CHidDeviceManager *GetInstance();

    virtual ~CHidDeviceManager();

    // Rebuilds the device list from a new walk and returns the number of
    // paths in it; 0 when the walk failed.
    int GetUKeyCount();
    // Copies the path at nIndex of the list that the last count built, with
    // its terminating zero, when dwSize is at least its length plus 1. Does
    // not walk again, so a token pulled since the count is still handed out.
    BOOL GetUKeyDevicePath(int nIndex, char *pszPath, DWORD dwSize);
    // Appends every present token's path to the device list; 1 when the
    // walk ran to its end (what was appended before a failure stays).
    BOOL GetUsbKeyList();
    // Takes the device path apart into usbInfo; 1 when every piece was found.
    BOOL GetUsbInfoFromDevicePath(const char *pszDevicePath, UsbInfo &usbInfo);
    // Parses the text after "VID_" and "PID_" out of an upper-case device id.
    BOOL GetPidVidFromDeivceId(const std::string &strDeviceId, std::string &strProductId,
                               std::string &strVendorId);
    // Builds the device path of a device id; always 1.
    BOOL DeviceIdToDevicePath(const std::string &strDeviceId, std::string &strDevicePath);

private:
    CHidDeviceManager();
    CHidDeviceManager(const CHidDeviceManager &) = delete;
    CHidDeviceManager &operator=(const CHidDeviceManager &) = delete;

    // The walk itself, into a list of the caller's: the shared list is
    // touched only afterwards, under the lock.
    BOOL WalkPresentTokens(std::vector<std::string> &found);

    CRITICAL_SECTION m_lock;
    std::vector<std::string> m_lstDevicePaths;  // in the order the system enumerated them
};
