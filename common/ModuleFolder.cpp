// ModuleFolder.cpp
#include "ModuleFolder.h"

#include <cstdlib>

std::string KQModuleFolder(HMODULE hModule)
{
    char szModule[MAX_PATH] = "";
    const DWORD dwLen = GetModuleFileNameA(hModule, szModule, sizeof(szModule));
    if (dwLen == 0 || dwLen >= sizeof(szModule))
        return std::string();
    char szDrive[_MAX_DRIVE] = "";
    char szDir[_MAX_DIR] = "";
    _splitpath(szModule, szDrive, szDir, nullptr, nullptr);
    return std::string(szDrive) + szDir;
}

std::string KQFolderOfCode(const void *pAddress)
{
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(pAddress), &hModule) ||
        hModule == nullptr)
        return std::string();
    return KQModuleFolder(hModule);
}
