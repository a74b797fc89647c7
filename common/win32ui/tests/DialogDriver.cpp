// DialogDriver.cpp
#include "DialogDriver.h"

namespace {

struct FindContext {
    HWND hFound;
};

BOOL CALLBACK FindVisibleDialog(HWND hWnd, LPARAM lParam)
{
    wchar_t szClass[16] = {0};
    GetClassNameW(hWnd, szClass, 16);
    if (lstrcmpW(szClass, L"#32770") == 0 && IsWindowVisible(hWnd)) {
        reinterpret_cast<FindContext *>(lParam)->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

CDialogDriver::CDialogDriver(DWORD dwDialogThread, std::function<void(HWND)> fnDrive)
    : m_dwDialogThread(dwDialogThread),
      m_fnDrive(std::move(fnDrive)),
      m_bStop(false),
      m_bDrove(false),
      m_thread(&CDialogDriver::Run, this)
{
}

CDialogDriver::~CDialogDriver()
{
    m_bStop = true;
    m_thread.join();
}

void CDialogDriver::Run()
{
    while (!m_bStop) {
        FindContext context = {nullptr};
        EnumThreadWindows(m_dwDialogThread, FindVisibleDialog,
                          reinterpret_cast<LPARAM>(&context));
        if (context.hFound != nullptr) {
            m_fnDrive(context.hFound);
            m_bDrove = true;
            return;
        }
        Sleep(20);
    }
}

HWND FocusOfThread(DWORD dwThread)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(dwThread, &info))
        return nullptr;
    return info.hwndFocus;
}

void PressKey(HWND hDialog, UINT uKey)
{
    // Focus reaches the dialog's first control a little after the window
    // shows; a key pressed before would go nowhere.
    const DWORD dwThread = GetWindowThreadProcessId(hDialog, nullptr);
    HWND hTarget = FocusOfThread(dwThread);
    for (int i = 0; hTarget == nullptr && i < 200; ++i) {
        Sleep(10);
        hTarget = FocusOfThread(dwThread);
    }
    if (hTarget == nullptr)
        hTarget = hDialog;
    PostMessageW(hTarget, WM_KEYDOWN, uKey, 1);
    PostMessageW(hTarget, WM_KEYUP, uKey, 0xC0000001);
}
