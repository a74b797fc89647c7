// MsgDlg.cpp
#include "MsgDlg.h"

#include <cstring>
#include <vector>

#include "MsgShowInterface.h"
#include "SendrowApp.h"
#include "SendrowResource.h"

namespace {

const UINT CP_GBK = 936;
// Gap between each button and the centre line in modes 1 and 4 (pixels).
const int BUTTON_GAP = 10;

// A code page 936 string as UTF-16; empty when it is null, empty or does
// not convert.
std::wstring FromGbk(const char *pszText)
{
    if (pszText == nullptr)
        return std::wstring();
    size_t nLength = std::strlen(pszText);
    if (nLength == 0 || nLength > 0x7FFFFFFE)
        return std::wstring();
    // One UTF-16 unit per byte at most, and room for the terminator.
    std::vector<wchar_t> buffer(nLength + 1, L'\0');
    int nGot = MultiByteToWideChar(CP_GBK, MB_PRECOMPOSED, pszText, static_cast<int>(nLength),
                                   buffer.data(), static_cast<int>(nLength));
    if (nGot <= 0)
        return std::wstring();
    return std::wstring(buffer.data());
}

}  // namespace

CMsgDlg::CMsgDlg()
    : CDialog(IDD_MSG_DIALOG, nullptr, CSendrowApp::GetInstance().GetResourceHandle()),
      m_hFirstButton(nullptr),
      m_hText(nullptr),
      m_nMode(MSGSHOW_MODE_ONE_BUTTON),
      m_hSecondButton(nullptr)
{
}

void CMsgDlg::SetMessage(const char *pszCaption, const char *pszText,
                         const char *pszFirstButton, const char *pszSecondButton, int nMode)
{
    m_strCaption = FromGbk(pszCaption);
    m_strText = FromGbk(pszText);
    m_strFirstButton = FromGbk(pszFirstButton);
    m_strSecondButton = FromGbk(pszSecondButton);
    m_nMode = nMode;
}

BOOL CMsgDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_hFirstButton = GetDlgItem(IDC_FIRST_BUTTON);
    m_hText = GetDlgItem(IDC_MESSAGE_TEXT);
    m_hSecondButton = GetDlgItem(IDC_SECOND_BUTTON);

    KQUi::SetText(m_hWnd, m_strCaption);
    KQUi::SetText(m_hText, m_strText);
    LayOutButtons();

    HICON hIcon = LoadIconW(GetResourceHandle(), MAKEINTRESOURCEW(IDI_SENDROW));
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
    return TRUE;
}

void CMsgDlg::LayOutButtons()
{
    RECT rcFirst = KQUi::GetChildRect(m_hFirstButton);
    RECT rcClient = {0, 0, 0, 0};
    GetClientRect(m_hWnd, &rcClient);
    int nCentre = (rcClient.right - rcClient.left) / 2;
    int nWidth = rcFirst.right - rcFirst.left;
    int nHeight = rcFirst.bottom - rcFirst.top;

    switch (m_nMode) {
    case MSGSHOW_MODE_ONE_BUTTON:
        KQUi::MoveChild(m_hFirstButton, nCentre - nWidth / 2, rcFirst.top);
        KQUi::SetText(m_hFirstButton, m_strFirstButton);
        ShowWindow(m_hSecondButton, SW_HIDE);
        break;
    case MSGSHOW_MODE_TWO_BUTTONS:
    case MSGSHOW_MODE_YES_NO:
        KQUi::MoveChild(m_hFirstButton, nCentre - nWidth - BUTTON_GAP, rcFirst.top);
        SetWindowPos(m_hSecondButton, nullptr, nCentre + BUTTON_GAP, rcFirst.top, nWidth, nHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        KQUi::SetText(m_hFirstButton, m_strFirstButton);
        KQUi::SetText(m_hSecondButton, m_strSecondButton);
        break;
    default:
        break;
    }
}

BOOL CMsgDlg::OnCommand(int nID, int)
{
    if (nID == IDC_FIRST_BUTTON) {
        EndDialog(MSGSHOW_FIRST_BUTTON);
        return TRUE;
    }
    if (nID == IDC_SECOND_BUTTON) {
        EndDialog(MSGSHOW_SECOND_BUTTON);
        return TRUE;
    }
    return FALSE;
}
