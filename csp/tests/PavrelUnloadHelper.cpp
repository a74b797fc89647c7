// PavrelUnloadHelper.cpp
//
// Loads Pavrel.dll from its own folder, acquires and releases a
// verification context, and then either frees the DLL before it ends
// ("free") or ends with the DLL still loaded ("exit"). Exit code 0 when the
// context was acquired.
#include <windows.h>

#include <cstring>
#include <string>

#include "CspEntryPoints.h"

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    char szPath[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string strPath(szPath);
    strPath.resize(strPath.find_last_of('\\') + 1);
    HMODULE hModule = LoadLibraryA((strPath + "Pavrel.dll").c_str());
    if (hModule == nullptr)
        return 3;
    auto pfnAcquire = reinterpret_cast<decltype(&CPAcquireContext)>(
        reinterpret_cast<void *>(GetProcAddress(hModule, "CPAcquireContext")));
    auto pfnRelease = reinterpret_cast<decltype(&CPReleaseContext)>(
        reinterpret_cast<void *>(GetProcAddress(hModule, "CPReleaseContext")));
    VTableProvStruc vtable = {3, nullptr, nullptr, PROV_RSA_FULL, nullptr, 0, nullptr};
    HCRYPTPROV hProv = 0;
    if (!pfnAcquire || !pfnRelease || !pfnAcquire(&hProv, nullptr, CRYPT_VERIFYCONTEXT, &vtable))
        return 4;
    pfnRelease(hProv, 0);
    if (std::strcmp(argv[1], "free") == 0)
        FreeLibrary(hModule);
    ExitProcess(0);
}
