// TestPaths.cpp
#include "TestPaths.h"

#include <windows.h>

std::string TestBinDir()
{
    char szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath, dwLen);
    std::string::size_type pos = strPath.find_last_of("\\/");
    return pos == std::string::npos ? std::string() : strPath.substr(0, pos + 1);
}

std::string TestBinPath(const char *pszName) { return TestBinDir() + pszName; }

std::string TestScratchPath(const char *pszPrefix)
{
    char szDir[MAX_PATH];
    char szFile[MAX_PATH];
    GetTempPathA(MAX_PATH, szDir);
    GetTempFileNameA(szDir, pszPrefix, 0, szFile);
    return szFile;
}
