// UniqueDevicePath.h
//
// Token device paths for tests that no other test process uses: the owner
// record and the device lock are named after the path and shared by every
// process of the Wine prefix, so tests running side by side must not meet.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <string>

// A new path on every call; padded to nLength characters when that is longer.
inline std::string UniqueDevicePath(std::size_t nLength = 0)
{
    static int s_nCounter = 0;
    char szPath[200];
    std::snprintf(szPath, sizeof(szPath), "\\\\?\\hid#vid_0925&pid_1234#9&%08lx&0&%04d",
                  GetCurrentProcessId(), ++s_nCounter);
    std::string strPath = szPath;
    const std::string strClass = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    if (nLength > strPath.size() + strClass.size())
        strPath.append(nLength - strPath.size() - strClass.size(), 'x');
    return strPath + strClass;
}
