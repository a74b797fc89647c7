// PromptConfig.cpp
#include "PromptConfig.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    HMODULE hModule = GetModuleHandleA("Pavrel.dll");
    char szModule[MAX_PATH] = {0};
    DWORD dwLen = GetModuleFileNameA(hModule, szModule, MAX_PATH);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        szModule[0] = '\0';
    return KQPromptFolderOf(szModule);
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
