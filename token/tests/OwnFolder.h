// OwnFolder.h
//
// The folder of the running program, with its trailing separator: the test
// helper programs find the libraries they load beside themselves.
#pragma once

#include <windows.h>

#include <string>

inline std::string OwnFolder()
{
    char szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath, dwLen);
    return strPath.substr(0, strPath.find_last_of("\\/") + 1);
}
