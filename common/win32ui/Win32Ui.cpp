// Win32Ui.cpp
#include "Win32Ui.h"

#include <vector>

// The linker's symbol at the start of the module this code is linked into.
extern "C" IMAGE_DOS_HEADER __ImageBase;

HINSTANCE KQGetModuleInstance()
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

namespace {

CWinApp *g_pApp = nullptr;

}  // namespace

CWinApp::CWinApp() : m_hInstance(KQGetModuleInstance())
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

CWinApp *KQGetApp()
{
    return g_pApp;
}

CDialog::CDialog(UINT nIDTemplate, HWND hOwner, HINSTANCE hResource)
    : m_hWnd(nullptr),
      m_nIDTemplate(nIDTemplate),
      m_hOwner(hOwner),
      m_hResource(hResource != nullptr ? hResource : KQGetModuleInstance()),
      m_bEnded(false),
      m_nResult(-1)
{
}

CDialog::~CDialog()
{
    if (m_hWnd != nullptr)
        DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    m_bEnded = false;
    m_nResult = -1;
    // Not reached through WM_INITDIALOG when the template is missing.
    HWND hWnd = CreateDialogParamW(m_hResource, MAKEINTRESOURCEW(m_nIDTemplate), m_hOwner,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
    if (hWnd == nullptr) {
        m_hWnd = nullptr;
        return -1;
    }

    bool bOwnerDisabled = false;
    if (m_hOwner != nullptr && IsWindowEnabled(m_hOwner)) {
        EnableWindow(m_hOwner, FALSE);
        bOwnerDisabled = true;
    }
    if (!m_bEnded) {
        ShowWindow(hWnd, SW_SHOWNORMAL);
        UpdateWindow(hWnd);
    }

    MSG msg;
    while (!m_bEnded) {
        BOOL bGot = GetMessageW(&msg, nullptr, 0, 0);
        if (bGot == 0 || bGot == -1) {
            // The thread is asked to end (or the queue is gone): no answer
            // from the user, so the safe one, and the quit stays for the
            // caller's loop.
            if (bGot == 0)
                PostQuitMessage(static_cast<int>(msg.wParam));
            OnCancel();
            m_bEnded = true;
            break;
        }
        if (!IsDialogMessageW(hWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    // The owner is enabled before the dialog goes, so that it gets the
    // activation back.
    if (bOwnerDisabled)
        EnableWindow(m_hOwner, TRUE);
    ShowWindow(hWnd, SW_HIDE);
    DestroyWindow(hWnd);
    m_hWnd = nullptr;
    return m_nResult;
}

void CDialog::EndDialog(INT_PTR nResult)
{
    m_nResult = nResult;
    m_bEnded = true;
}

BOOL CDialog::OnCommand(int, int)
{
    return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog *pThis;
    if (uMsg == WM_INITDIALOG) {
        pThis = reinterpret_cast<CDialog *>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        pThis->m_hWnd = hWnd;
        return pThis->OnInitDialog();
    }
    pThis = reinterpret_cast<CDialog *>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (pThis == nullptr)
        return FALSE;
    switch (uMsg) {
    case WM_COMMAND: {
        int nID = LOWORD(wParam);
        if (nID == IDOK) {
            pThis->OnOK();
            return TRUE;
        }
        if (nID == IDCANCEL) {
            pThis->OnCancel();
            return TRUE;
        }
        return pThis->OnCommand(nID, HIWORD(wParam));
    }
    case WM_CLOSE:
        pThis->OnCancel();
        return TRUE;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        return FALSE;
    default:
        return FALSE;
    }
}

namespace KQUi {

void SetText(HWND hWnd, const std::wstring &strText)
{
    SetWindowTextW(hWnd, strText.c_str());
}

std::wstring GetText(HWND hWnd)
{
    int nLength = GetWindowTextLengthW(hWnd);
    if (nLength <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(nLength) + 1, L'\0');
    int nGot = GetWindowTextW(hWnd, buffer.data(), nLength + 1);
    return std::wstring(buffer.data(), nGot > 0 ? static_cast<size_t>(nGot) : 0);
}

RECT GetChildRect(HWND hChild)
{
    RECT rc = {0, 0, 0, 0};
    GetWindowRect(hChild, &rc);
    MapWindowPoints(nullptr, GetParent(hChild), reinterpret_cast<POINT *>(&rc), 2);
    return rc;
}

void MoveChild(HWND hChild, int nLeft, int nTop)
{
    SetWindowPos(hChild, nullptr, nLeft, nTop, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace KQUi
