// Wnd.h
//
// CWnd: the smallest window object of the thin Win32 layer, for windows that
// are not dialogs (the token prompts' picture window). It creates a window of
// a given class, or of the layer's default class when none is named, and
// destroys it in DestroyWindow or, at the latest, in its destructor. It
// handles no messages itself: the default class's procedure is
// DefWindowProcA, and whoever owns the window decides whether to pump
// messages. A window belongs to the thread that created it; only that thread
// may destroy it.
#pragma once

#include <windows.h>

class CWnd {
public:
    CWnd();
    // Destroys the window when it still exists.
    virtual ~CWnd();

    // CreateWindowExA with the rectangle's corners; a null class name means the
    // layer's default class (registered in this module at first use). TRUE
    // when the window exists.
    BOOL CreateEx(DWORD dwExStyle, const char *pszClassName, const char *pszWindowName,
                  DWORD dwStyle, const RECT &rect, HWND hParent, UINT nID);
    // Destroys the window; TRUE when there was one and it is gone.
    BOOL DestroyWindow();

    HWND GetSafeHwnd() const { return m_hWnd; }

    // The name of the layer's default window class.
    static const char *DefaultClassName();

protected:
    HWND m_hWnd;

private:
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;
};
