// MsgDlg.h
//
// CMsgDlg: the message box of template 13000. SetMessage takes the caller's
// code page 936 strings and the mode; OnInitDialog shows them and lays the
// buttons out for the mode (0: the first button alone, centred; 1 and 4: both
// buttons side by side around the centre line with the caller's texts; any
// other: the template's layout and texts). The first button ends the box
// with 1, the second with 2.
#pragma once

#include <string>

#include "Win32Ui.h"

class CMsgDlg : public CDialog {
public:
    CMsgDlg();

    // Converts the strings from code page 936 (one that does not convert,
    // or null, becomes empty) and stores them with the mode.
    void SetMessage(const char *pszCaption, const char *pszText, const char *pszFirstButton,
                    const char *pszSecondButton, int nMode);

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(int nID, int nNotifyCode) override;

private:
    // Places and labels the buttons as the mode says.
    void LayOutButtons();

    HWND m_hFirstButton;
    HWND m_hText;
    std::wstring m_strCaption;
    std::wstring m_strText;
    int m_nMode;
    std::wstring m_strFirstButton;
    std::wstring m_strSecondButton;
    HWND m_hSecondButton;
};
