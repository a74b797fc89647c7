// BMPThread.h
//
// CBMPThread: one picture prompt. ShowBMPWnd starts a worker thread that
// creates and owns the CBMPWnd and waits until HideBMPWnd asks it to go; the
// two threads agree through a status value under a critical section
// (1 start requested, 2 active, 3 stop requested, 4 inactive). Both waits are
// bounded, so the card operation goes on whatever the window does.
//
// The status, the lock and the path live in a block that the object and its
// worker each hold a reference to: a worker that is slow to start or to end
// outlives neither its state nor, when it sees that a stop was asked before
// its window came up, the stop itself. Hiding always stops a worker this
// object started, whatever the setting says by then.
#pragma once

#include <windows.h>

struct CBMPShared;

class CBMPThread {
public:
    enum {
        THREAD_STATUS_START = 1,
        THREAD_STATUS_ACTIVE = 2,
        THREAD_STATUS_STOP = 3,
        THREAD_STATUS_INACTIVE = 4,
    };

    CBMPThread();
    // Hides the prompt, then lets go of the shared state.
    virtual ~CBMPThread();

    // 1 when [NOTICE] ShowBitmap of "KQUKeyConfig.ini" is 1, else 0.
    static int IsShowBitmap();
    // Shows the bitmap file in the middle of the screen when the setting is
    // on, waiting up to 200 ms for the window. 1 (also when the setting is
    // off), 0 for a null or empty path or a caught exception.
    int ShowBMPWnd(const char *pszBitmapPath);
    // Asks the worker to take the window down and waits up to 600 ms for it.
    // 1, 0 on a caught exception.
    int HideBMPWnd();

    // Test seam: a routine the worker calls before it creates the window
    // (null: none), so that tests can hold the window back.
    typedef void (*PFN_BeforeCreate)();
    static void SetBeforeCreateHook(PFN_BeforeCreate pfnHook);

private:
    CBMPThread(const CBMPThread &) = delete;
    CBMPThread &operator=(const CBMPThread &) = delete;

    static DWORD WINAPI WrkThrd(LPVOID pParam);
    // Asks the current worker (if any) to stop and waits, bounded, for it.
    void StopWorker();

    CBMPShared *m_pShared;  // the last show's state; null before the first
};
