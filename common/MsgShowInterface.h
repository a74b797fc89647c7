// MsgShowInterface.h
//
// The message object of the message display plug-in Sendrow: a modal,
// always-on-top box with a caption, a text and one or two buttons, which
// tells the caller which button closed it. The plug-in and every caller
// include this header, so both sides agree on the one slot and its calling
// convention.
//
// Lifetime: CeiGetObject(0) of the plug-in creates the object and
// CeiDestroyObject of the same plug-in destroys it. There is no virtual
// destructor (it would add slots to the table callers bind by); the
// destructor is protected so that nobody deletes through this interface.
#pragma once

// ShowMessage is callee-cleans on x86 (__stdcall); x64 has one convention.
#define KQ_MSGSHOW_CALL __stdcall

// Results of ShowMessage.
const int MSGSHOW_FIRST_BUTTON = 1;   // first button or Enter
const int MSGSHOW_SECOND_BUTTON = 2;  // second button, Esc or the title bar's close
const int MSGSHOW_NOT_SHOWN = -1;     // the box could not be opened

// Modes of ShowMessage.
const int MSGSHOW_MODE_ONE_BUTTON = 0;  // the first button only, centred
const int MSGSHOW_MODE_TWO_BUTTONS = 1; // both buttons, centred as a pair
const int MSGSHOW_MODE_YES_NO = 4;      // laid out as mode 1
// Any other mode: both buttons as the template has them, with its texts.

class CMsgShowInterface {
public:
    // Slot 0. Shows the box on the calling thread until the user answers.
    // Strings are NUL-terminated code page 936 (GBK); null is taken as "".
    virtual int KQ_MSGSHOW_CALL ShowMessage(const char *pszCaption, const char *pszText,
                                            const char *pszFirstButton,
                                            const char *pszSecondButton, int nMode) = 0;

protected:
    ~CMsgShowInterface() = default;
};
