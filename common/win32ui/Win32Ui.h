// Win32Ui.h
//
// The thin Win32 layer that the deliverables with windows build on, in place
// of a class library: CWinApp (a module's application object, which knows the
// module whose resources are its own), CDialog (a dialog loaded from a
// template of the module that links this layer, run by its own modal loop,
// with an OnInitDialog hook and EndDialog with a result) and a few control
// helpers (UTF-16 text, child rectangles in dialog coordinates). It holds only
// what the deliverables use; it is linked statically into each of them, so
// "this module" always means the DLL or program it is linked into.
#pragma once

#include <windows.h>

#include <string>

// The module (DLL or program) that this copy of the layer is linked into.
HINSTANCE KQGetModuleInstance();

// A module's application object. Each module has at most one; it registers
// itself when constructed so that KQGetApp() finds it.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();

    // The module whose resources dialogs and icons load from.
    HINSTANCE GetResourceHandle() const { return m_hInstance; }

protected:
    HINSTANCE m_hInstance;

private:
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;
};

// This module's application object, or null when it has none.
CWinApp *KQGetApp();

// A modal dialog from a template resource. DoModal creates the dialog,
// shows it, and runs a message loop (IsDialogMessage, so Tab, Enter and Esc
// act as in any dialog) until EndDialog is called; the owner, when given, is
// disabled meanwhile. IDOK and IDCANCEL commands and WM_CLOSE end the dialog
// through OnOK and OnCancel.
class CDialog {
public:
    // The template nIDTemplate of hResource (null: this module).
    explicit CDialog(UINT nIDTemplate, HWND hOwner = nullptr, HINSTANCE hResource = nullptr);
    virtual ~CDialog();

    // The EndDialog result, or -1 when the dialog could not be created or
    // the template is not found. A WM_QUIT that arrives meanwhile ends it
    // like Cancel and is posted again for the caller's own loop.
    INT_PTR DoModal();
    // Ends the modal loop with nResult once the current message is handled.
    void EndDialog(INT_PTR nResult);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    HINSTANCE GetResourceHandle() const { return m_hResource; }

protected:
    // Called for WM_INITDIALOG once the controls exist. TRUE lets the dialog
    // manager put the focus on the first tab stop.
    virtual BOOL OnInitDialog() { return TRUE; }
    // The commands other than IDOK and IDCANCEL. TRUE when handled.
    virtual BOOL OnCommand(int nID, int nNotifyCode);
    // IDOK (Enter with no default button): EndDialog(IDOK).
    virtual void OnOK() { EndDialog(IDOK); }
    // IDCANCEL (Esc), WM_CLOSE (the title bar's close): EndDialog(IDCANCEL).
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    HWND m_hWnd;

private:
    CDialog(const CDialog &) = delete;
    CDialog &operator=(const CDialog &) = delete;

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    HWND m_hOwner;
    HINSTANCE m_hResource;
    bool m_bEnded;
    INT_PTR m_nResult;
};

namespace KQUi {

// Sets a window's or control's text from a UTF-16 string.
void SetText(HWND hWnd, const std::wstring &strText);
// A window's or control's text as UTF-16.
std::wstring GetText(HWND hWnd);
// A child window's rectangle in its parent's client coordinates.
RECT GetChildRect(HWND hChild);
// Moves a child window without changing its size.
void MoveChild(HWND hChild, int nLeft, int nTop);

}  // namespace KQUi
