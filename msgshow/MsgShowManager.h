// MsgShowManager.h
//
// CMsgShowManager: the plug-in's message object. Each ShowMessage runs one
// CMsgDlg modally on the caller's thread; nothing survives the call.
#pragma once

#include "MsgShowInterface.h"

class CMsgShowManager final : public CMsgShowInterface {
public:
    int KQ_MSGSHOW_CALL ShowMessage(const char *pszCaption, const char *pszText,
                                    const char *pszFirstButton, const char *pszSecondButton,
                                    int nMode) override;
};
