// PromptConfig.cpp
#include "PromptConfig.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ModuleFolder.h"

std::string KQPromptFolderOf(const char *pszModulePath)
{
    char szDrive[_MAX_DRIVE] = {0};
    char szDir[_MAX_DIR] = {0};
    _splitpath(pszModulePath != nullptr ? pszModulePath : "", szDrive, szDir, nullptr, nullptr);
    char szFolder[MAX_PATH] = {0};
    std::snprintf(szFolder, sizeof(szFolder), "%s%s", szDrive, szDir);
    size_t nLen = std::strlen(szFolder);
    if (nLen > 0 && (szFolder[nLen - 1] == '\\' || szFolder[nLen - 1] == '/'))
        szFolder[nLen - 1] = '\0';
    return szFolder;
}

std::string KQPromptConfigPathFor(const char *pszModulePath)
{
    return KQPromptFolderOf(pszModulePath) + "\\KQUKeyConfig.ini";
}

std::string KQPromptModuleFolder()
{
    // A null handle (no CSP in this process) names the program itself.
    std::string strFolder = KQModuleFolder(GetModuleHandleA("Pavrel.dll"));
    if (!strFolder.empty() && (strFolder.back() == '\\' || strFolder.back() == '/'))
        strFolder.pop_back();
    return strFolder;
}

std::string KQPromptConfigPath()
{
    return KQPromptModuleFolder() + "\\KQUKeyConfig.ini";
}

int KQPromptSettingOn(const char *pszKey)
{
    const std::string strPath = KQPromptConfigPath();
    return GetPrivateProfileIntA("NOTICE", pszKey, 0, strPath.c_str()) == 1 ? 1 : 0;
}
