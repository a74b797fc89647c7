// SendrowResource.h
//
// Resource ids of the message display plug-in: the message box's dialog
// template with its controls, and its two icons.
#pragma once

#define IDD_MSG_DIALOG 13000
#define IDC_FIRST_BUTTON 13000
#define IDC_MESSAGE_TEXT 13001
#define IDC_SECOND_BUTTON 13002
// The window's large icon.
#define IDI_SENDROW 13002
// The icon shown inside the box.
#define IDI_NOTICE 13003
