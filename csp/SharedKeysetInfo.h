// SharedKeysetInfo.h
//
// CSharedKeysetInfo: the acquisition count of one token keyset, by keyset
// path and device name. The process keeps one list of these records; the
// list and every count change only while the caller holds "MUTEX_CSP"
// (CCspMutex), and the static operations below assume it does. Paths and
// device names compare without regard to case (Pavrel_ContainerText's rule
// for paths). Verification contexts have no record.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CSharedKeysetInfo {
public:
    CSharedKeysetInfo(const std::string &strPath, const std::string &strKeysetName,
                      const std::string &strDeviceName);
    virtual ~CSharedKeysetInfo();

    // The first record of the path on the device, or null.
    static CSharedKeysetInfo *find(const std::string &strPath, const std::string &strDeviceName);
    // Appends a record with the count 1; null when it cannot be made.
    static CSharedKeysetInfo *append(const std::string &strPath, const std::string &strKeysetName,
                                     const std::string &strDeviceName);
    // Removes and deletes the record (it must be one of the list's).
    static void remove(CSharedKeysetInfo *pInfo);
    // Removes and deletes every record of the path on the device.
    static void removeAll(const std::string &strPath, const std::string &strDeviceName);
    // The records now kept, in order (for the clean-up at unload).
    static std::vector<CSharedKeysetInfo *> records();

    std::string _keysetPath;
    std::string _keysetName;
    std::string _deviceName;
    LONG _refCount;

private:
    CSharedKeysetInfo(const CSharedKeysetInfo &) = delete;
    CSharedKeysetInfo &operator=(const CSharedKeysetInfo &) = delete;
};
