// TimerManager.cpp
#include "TimerManager.h"

#include <cctype>
#include <cstring>

#include "CachedCard.h"
#include "CardMutex.h"
#include "HidManager.h"
#include "KQCard.h"
#include "TraceWriter.h"

namespace {

CTraceWriter *Trace() { return CTraceWriter::GetInstance(); }

}  // namespace

DWORD CTimerManager::DelayDisplayLogo(const char *pszDevicePath, int nMilliseconds)
{
    try {
        if (pszDevicePath == nullptr ||
            std::strlen(pszDevicePath) >= sizeof(SStartRecord::szDevicePath))
            return 1;
        SStartRecord *pRecord = new SStartRecord;
        std::strcpy(pRecord->szDevicePath, pszDevicePath);
        pRecord->nMilliseconds = nMilliseconds;
        // A reference on this module for the thread; the thread gives it
        // back as it ends (FreeLibraryAndExitThread).
        HMODULE hSelf = nullptr;
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCSTR>(&CTimerManager::DoWork), &hSelf)) {
            delete pRecord;
            return 1;
        }
        HANDLE hThread = CreateThread(nullptr, 0, &CTimerManager::DoWork, pRecord,
                                      CREATE_SUSPENDED, nullptr);
        if (hThread == nullptr) {
            delete pRecord;
            FreeLibrary(hSelf);
            return 1;
        }
        ResumeThread(hThread);
        CloseHandle(hThread);
        return 0;
    } catch (...) {
        return 1;
    }
}

DWORD WINAPI CTimerManager::DoWork(LPVOID pParam)
{
    HMODULE hSelf = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CTimerManager::DoWork), &hSelf);
    try {
        SStartRecord record = *static_cast<SStartRecord *>(pParam);
        delete static_cast<SStartRecord *>(pParam);
        Trace()->Enter(TRACE_MODULE_CARD, "CTimerManager", "DoWork");
        if (record.nMilliseconds > 0)
            Sleep(static_cast<DWORD>(record.nMilliseconds));
        char szMutexName[260];
        if (CKQCard::BuildMutexName(record.szDevicePath, szMutexName, sizeof(szMutexName))) {
            // The card object opens the lock by the upper-cased name.
            for (char *p = szMutexName; *p; ++p)
                *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
            HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, szMutexName);
            if (hMutex == nullptr)
                hMutex = CreateMutexA(nullptr, FALSE, szMutexName);
            if (hMutex != nullptr) {
                TimeArrive(hMutex, record.szDevicePath);
                CloseHandle(hMutex);
            }
        }
        Trace()->Leave(TRACE_MODULE_CARD, "CTimerManager", "DoWork");
    } catch (...) {
        Trace()->LogException(__FILE__, __LINE__, TRACE_MODULE_CARD,
                              "CTimerManager::DoWork Catch an Exception,GetLastError=[%d]",
                              static_cast<int>(GetLastError()));
    }
    if (hSelf != nullptr)
        FreeLibraryAndExitThread(hSelf, 0);
    return 0;
}

void CTimerManager::TimeArrive(HANDLE hMutex, const char *pszDevicePath)
{
    CCardMutex lock(hMutex);
    CHidManager *pHid = CHidManager::GetInstance();
    if (!pHid->IsConnected(pszDevicePath) && !pHid->Connect(pszDevicePath)) {
        Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                     "CTimerManager::TimeArrive Connect Faied");
        return;
    }
    // A connection made here stays open, as every connection of the process.
    CCachedCard *pCard = new CCachedCard(pszDevicePath, false);
    pCard->DisplayLogo();
    pCard->DeleteObject(CARD_DELETE_MEMORY);
}
