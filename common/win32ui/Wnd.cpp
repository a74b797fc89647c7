// Wnd.cpp
#include "Wnd.h"

#include "Win32Ui.h"

namespace {

const char kDefaultClass[] = "KQUiWnd";

// Registers the default class once per module; later calls see it registered.
bool RegisterDefaultClass()
{
    static const bool s_bRegistered = [] {
        WNDCLASSA wc = {};
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = KQGetModuleInstance();
        wc.lpszClassName = kDefaultClass;
        wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        // No background brush: the owner paints the whole client area.
        return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return s_bRegistered;
}

}  // namespace

CWnd::CWnd() : m_hWnd(nullptr) {}

CWnd::~CWnd()
{
    DestroyWindow();
}

const char *CWnd::DefaultClassName()
{
    return kDefaultClass;
}

BOOL CWnd::CreateEx(DWORD dwExStyle, const char *pszClassName, const char *pszWindowName,
                    DWORD dwStyle, const RECT &rect, HWND hParent, UINT nID)
{
    if (m_hWnd != nullptr)
        return FALSE;
    if (pszClassName == nullptr) {
        if (!RegisterDefaultClass())
            return FALSE;
        pszClassName = kDefaultClass;
    }
    // A child window's menu argument is its id.
    HMENU hMenu = (dwStyle & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID))
                                       : nullptr;
    m_hWnd = CreateWindowExA(dwExStyle, pszClassName, pszWindowName, dwStyle, rect.left,
                             rect.top, rect.right - rect.left, rect.bottom - rect.top, hParent,
                             hMenu, KQGetModuleInstance(), nullptr);
    return m_hWnd != nullptr;
}

BOOL CWnd::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return FALSE;
    HWND hWnd = m_hWnd;
    m_hWnd = nullptr;
    return ::DestroyWindow(hWnd);
}
