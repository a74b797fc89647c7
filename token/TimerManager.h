// TimerManager.h
//
// CTimerManager: puts the token's logo back on its screen a while after an
// operation, on a one-shot thread, so that the caller does not wait. The
// thread takes the token's device lock by name before it sends the logo
// command, so the logo never cuts into another card operation on that token,
// in this process or another. The thread keeps this library loaded until it
// has finished: unloading the library during the delay cannot pull the code
// from under it.
#pragma once

#include <windows.h>

class CTimerManager {
public:
    // Starts the logo thread for the device and returns at once: 0, or 1
    // when it could not be started (path of 260 bytes or more, no memory, no
    // thread) or on a caught exception. A delay of 0 or less shows the logo
    // at once on the thread.
    static DWORD DelayDisplayLogo(const char *pszDevicePath, int nMilliseconds);

private:
    struct SStartRecord {
        char szDevicePath[260];
        int nMilliseconds;
    };
    static DWORD WINAPI DoWork(LPVOID pParam);
    // Under the device lock: the logo command, connecting first if needed.
    static void TimeArrive(HANDLE hMutex, const char *pszDevicePath);
};
