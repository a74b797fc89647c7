// UserConfig.h
//
// CUserConfig: the CSP's options from "KQUKeyConfig.ini" in the folder of
// the host program (the process's main module, not the CSP), and the
// processor binding that the [CSP] BindCpu option asks for.
#pragma once

#include <windows.h>

class CUserConfig {
public:
    // Builds the INI path from the host program's drive and directory.
    CUserConfig();
    virtual ~CUserConfig();

    // [CSP] BindCpu, default 0; any non-zero value is true, a failed read
    // false.
    bool IsBindCpu() const;
    const char *getIniPath() const { return m_szIniPath; }

    // The affinity mask that binds the process to its second active
    // processor (the only one when just one is active); 0, leave the
    // process as it is, with fewer than 2 processors.
    static DWORD_PTR SecondProcessorMask(DWORD dwProcessors, DWORD_PTR dwActiveMask);
    // Binds the current process as SecondProcessorMask says.
    static void BindProcessToSecondProcessor();

private:
    char m_szIniPath[512];
};
