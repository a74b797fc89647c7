// SendrowApp.h
//
// CSendrowApp: the message display plug-in's application object. It holds no
// state of its own; as this module's application object it is where the
// dialog's template and icons are loaded from.
#pragma once

#include "Win32Ui.h"

class CSendrowApp : public CWinApp {
public:
    // The plug-in's one application object.
    static CSendrowApp &GetInstance();
};
