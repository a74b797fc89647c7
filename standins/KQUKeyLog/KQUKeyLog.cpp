// KQUKeyLog.cpp
//
// Stand-in for the outside trace library. Every call appends one record to
// a capture file so that tests can read what the deliverables traced (and
// prove what they did not). The file is named by the environment variable
// KQUKEYLOG_FILE, read at each call so a test can move it; without it the
// records go to "KQUKeyLog.log" beside this library.
//
// A record is one line of tab-separated fields; inside a field, backslash,
// tab, CR and LF are written as \\ \t \r \n:
//   ENTER <module> <class> <method>
//   LEAVE <module> <class> <method>
//   LOG <level> <kind> <module> <text>
//   EXCEPTION <module> <file> <line> <text>
//   HEX <level> <module> <name> <hex digits>
#include <windows.h>

#include <cstdio>
#include <string>

#include "OutsideInterfaces.h"

namespace {

CRITICAL_SECTION g_lock;

void AppendField(std::string &strLine, const char *pszField)
{
    strLine.push_back('\t');
    if (pszField == nullptr) {
        strLine += "(null)";
        return;
    }
    for (const char *p = pszField; *p; ++p) {
        switch (*p) {
        case '\\': strLine += "\\\\"; break;
        case '\t': strLine += "\\t"; break;
        case '\r': strLine += "\\r"; break;
        case '\n': strLine += "\\n"; break;
        default: strLine.push_back(*p);
        }
    }
}

void AppendNumber(std::string &strLine, long lValue)
{
    char szNumber[24];
    std::snprintf(szNumber, sizeof(szNumber), "%ld", lValue);
    AppendField(strLine, szNumber);
}

std::string CapturePath()
{
    char szPath[MAX_PATH * 2];
    DWORD dwLen = GetEnvironmentVariableA("KQUKEYLOG_FILE", szPath, sizeof(szPath));
    if (dwLen > 0 && dwLen < sizeof(szPath))
        return szPath;
    HMODULE hSelf = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CapturePath), &hSelf);
    dwLen = GetModuleFileNameA(hSelf, szPath, MAX_PATH);
    std::string strPath(szPath, dwLen);
    std::string::size_type pos = strPath.find_last_of("\\/");
    strPath.resize(pos == std::string::npos ? 0 : pos + 1);
    return strPath + "KQUKeyLog.log";
}

// Appends the record and a line end; several processes may append at once,
// so each record goes out in one write to a file opened for appending.
void WriteRecord(const std::string &strRecord)
{
    DWORD dwSavedError = GetLastError();
    std::string strLine = strRecord + "\r\n";
    EnterCriticalSection(&g_lock);
    HANDLE hFile = CreateFileA(CapturePath().c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) {
        DWORD dwWritten = 0;
        WriteFile(hFile, strLine.data(), static_cast<DWORD>(strLine.size()), &dwWritten,
                  nullptr);
        CloseHandle(hFile);
    }
    LeaveCriticalSection(&g_lock);
    SetLastError(dwSavedError);
}

void WriteFrame(const char *pszType, const char *pszModule, const char *pszClass,
                const char *pszMethod)
{
    std::string strRecord(pszType);
    AppendField(strRecord, pszModule);
    AppendField(strRecord, pszClass);
    AppendField(strRecord, pszMethod);
    WriteRecord(strRecord);
}

}  // namespace

extern "C" {

void KQ_EXPORT_CALL traceEnter(const char *pszModule, const char *pszClass,
                               const char *pszMethod)
{
    WriteFrame("ENTER", pszModule, pszClass, pszMethod);
}

void KQ_EXPORT_CALL traceLeave(const char *pszModule, const char *pszClass,
                               const char *pszMethod)
{
    WriteFrame("LEAVE", pszModule, pszClass, pszMethod);
}

void KQ_EXPORT_CALL traceLog(int nLevel, int nKind, const char *pszModule, const char *pszText)
{
    std::string strRecord("LOG");
    AppendNumber(strRecord, nLevel);
    AppendNumber(strRecord, nKind);
    AppendField(strRecord, pszModule);
    AppendField(strRecord, pszText);
    WriteRecord(strRecord);
}

void KQ_EXPORT_CALL traceException(const char *pszModule, const char *pszFile, int nLine,
                                   const char *pszText)
{
    std::string strRecord("EXCEPTION");
    AppendField(strRecord, pszModule);
    AppendField(strRecord, pszFile);
    AppendNumber(strRecord, nLine);
    AppendField(strRecord, pszText);
    WriteRecord(strRecord);
}

void KQ_EXPORT_CALL traceHex(int nLevel, const char *pszModule, const char *pszName,
                             const void *pData, unsigned int uLen)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string strHex;
    const unsigned char *pb = static_cast<const unsigned char *>(pData);
    for (unsigned int i = 0; pb && i < uLen; ++i) {
        strHex.push_back(kDigits[pb[i] >> 4]);
        strHex.push_back(kDigits[pb[i] & 0x0F]);
    }
    std::string strRecord("HEX");
    AppendNumber(strRecord, nLevel);
    AppendField(strRecord, pszModule);
    AppendField(strRecord, pszName);
    AppendField(strRecord, strHex.c_str());
    WriteRecord(strRecord);
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    else if (dwReason == DLL_PROCESS_DETACH)
        DeleteCriticalSection(&g_lock);
    return TRUE;
}
