// DialogDriver.h
//
// Drives a modal dialog from a second thread, as a user would: waits until a
// visible dialog of the given thread exists, then runs the test's function
// on it (read its controls, click, press keys, close). The thread that shows
// the dialog stays in its modal loop meanwhile, so SendMessage to its windows
// is answered.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

class CDialogDriver {
public:
    // Starts waiting for a dialog of dwDialogThread; fnDrive runs once on it.
    CDialogDriver(DWORD dwDialogThread, std::function<void(HWND)> fnDrive);
    // Stops waiting (the dialog did not come) and joins the thread.
    ~CDialogDriver();

    // True once fnDrive has run.
    bool Drove() const { return m_bDrove; }

private:
    void Run();

    DWORD m_dwDialogThread;
    std::function<void(HWND)> m_fnDrive;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bDrove;
    std::thread m_thread;
};

// The window that has the keyboard focus on thread dwThread, or null.
HWND FocusOfThread(DWORD dwThread);

// A key pressed and released on the focused window of the dialog's thread.
void PressKey(HWND hDialog, UINT uKey);
