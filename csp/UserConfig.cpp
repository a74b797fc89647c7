// UserConfig.cpp
#include "UserConfig.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ModuleFolder.h"

CUserConfig::CUserConfig()
{
    m_szIniPath[0] = '\0';
    const std::string strFolder = KQModuleFolder(nullptr);
    if (!strFolder.empty())
        snprintf(m_szIniPath, sizeof(m_szIniPath), "%sKQUKeyConfig.ini", strFolder.c_str());
}

CUserConfig::~CUserConfig() {}

bool CUserConfig::IsBindCpu() const
{
    try {
        return GetPrivateProfileIntA("CSP", "BindCpu", 0, m_szIniPath) != 0;
    } catch (...) {
        return false;
    }
}

DWORD_PTR CUserConfig::SecondProcessorMask(DWORD dwProcessors, DWORD_PTR dwActiveMask)
{
    if (dwProcessors < 2)
        return 0;
    // Walk from the lowest bit, remembering each active processor found,
    // and stop at the third: the second one's bit is kept.
    DWORD_PTR dwRemembered = 0;
    int nFound = 0;
    for (int nBit = 0; nBit < 32; ++nBit) {
        const DWORD_PTR dwBit = static_cast<DWORD_PTR>(1) << nBit;
        if ((dwActiveMask & dwBit) == 0)
            continue;
        if (++nFound == 3)
            break;
        dwRemembered = dwBit;
    }
    return dwRemembered;
}

void CUserConfig::BindProcessToSecondProcessor()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const DWORD_PTR dwMask =
        SecondProcessorMask(info.dwNumberOfProcessors, info.dwActiveProcessorMask);
    if (dwMask != 0)
        SetProcessAffinityMask(GetCurrentProcess(), dwMask);
}
