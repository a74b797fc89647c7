// MsgShowManager.cpp
#include "MsgShowManager.h"

#include "MsgDlg.h"

int KQ_MSGSHOW_CALL CMsgShowManager::ShowMessage(const char *pszCaption, const char *pszText,
                                                 const char *pszFirstButton,
                                                 const char *pszSecondButton, int nMode)
{
    CMsgDlg dlg;
    dlg.SetMessage(pszCaption, pszText, pszFirstButton, pszSecondButton, nMode);
    INT_PTR nResult = dlg.DoModal();
    if (nResult == MSGSHOW_FIRST_BUTTON || nResult == MSGSHOW_SECOND_BUTTON)
        return static_cast<int>(nResult);
    return MSGSHOW_NOT_SHOWN;
}
