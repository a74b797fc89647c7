// BMPWnd.h
//
// CBMPWnd: the picture shown while the user acts on the token itself. A
// frameless, layered (220 of 255 opaque), always-on-top tool window named
// "KQSIGNWnd", centred on the primary screen and exactly as large as the
// .bmp file it shows. It is painted once; the thread that creates it pumps
// no messages, so nothing repaints it.
#pragma once

#include <windows.h>

#include "Wnd.h"

class CBMPWnd : public CWnd {
public:
    CBMPWnd();
    virtual ~CBMPWnd();

    // Loads the bitmap file, creates the window centred on the screen and
    // shows it topmost. 1, or 0 for a null path, an unreadable bitmap or a
    // window that could not be created.
    int CreateBMPWnd(const char *pszFileName);
    // Paints the remembered bitmap file into the window.
    void ShowBMPWnd();

    // The window rectangle of a cxBitmap x cyBitmap picture centred on a
    // cxScreen x cyScreen screen (each half rounded down on its own).
    static RECT CenteredRect(int cxBitmap, int cyBitmap, int cxScreen, int cyScreen);

private:
    char m_szFileName[260];
};
