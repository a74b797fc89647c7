// BMPThread.cpp
#include "BMPThread.h"

#include <atomic>
#include <cstdio>

#include "BMPWnd.h"
#include "PromptConfig.h"
#include "TraceWriter.h"

// The token library's build traces the thread as the card's; the CSP's own
// build (kq_prompts_csp) traces it as the CSP's.
#ifndef KQ_PROMPT_THREAD_MODULE
#define KQ_PROMPT_THREAD_MODULE TRACE_MODULE_CARD
#endif

// What one show shares with its worker. Created with two references (the
// object's and the worker's); whoever lets go last deletes it.
struct CBMPShared {
    char szFileName[260];
    CRITICAL_SECTION cs;
    int nStatus;
    LONG lRefs;

    explicit CBMPShared(const char *pszFileName) : nStatus(CBMPThread::THREAD_STATUS_START), lRefs(2)
    {
        std::snprintf(szFileName, sizeof(szFileName), "%s", pszFileName);
        InitializeCriticalSection(&cs);
    }
    ~CBMPShared() { DeleteCriticalSection(&cs); }

    int Status()
    {
        EnterCriticalSection(&cs);
        int n = nStatus;
        LeaveCriticalSection(&cs);
        return n;
    }
    void SetStatus(int n)
    {
        EnterCriticalSection(&cs);
        nStatus = n;
        LeaveCriticalSection(&cs);
    }
    // Sets nTo only while the status is still nFrom; true when it did.
    bool Advance(int nFrom, int nTo)
    {
        EnterCriticalSection(&cs);
        bool bDone = nStatus == nFrom;
        if (bDone)
            nStatus = nTo;
        LeaveCriticalSection(&cs);
        return bDone;
    }
    void Release()
    {
        if (InterlockedDecrement(&lRefs) == 0)
            delete this;
    }
};

namespace {

std::atomic<CBMPThread::PFN_BeforeCreate> g_pfnBeforeCreate{nullptr};

// 20 x 10 ms for the window to come up, 30 x 20 ms for it to go.
const int kShowPolls = 20;
const DWORD kShowPollMs = 10;
const int kHidePolls = 30;
const DWORD kHidePollMs = 20;
const DWORD kWorkerPollMs = 10;

}  // namespace

CBMPThread::CBMPThread() : m_pShared(nullptr) {}

CBMPThread::~CBMPThread()
{
    HideBMPWnd();
    if (m_pShared != nullptr) {
        m_pShared->Release();
        m_pShared = nullptr;
    }
}

void CBMPThread::SetBeforeCreateHook(PFN_BeforeCreate pfnHook)
{
    g_pfnBeforeCreate = pfnHook;
}

int CBMPThread::IsShowBitmap()
{
    return KQPromptSettingOn("ShowBitmap");
}

int CBMPThread::ShowBMPWnd(const char *pszBitmapPath)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(KQ_PROMPT_THREAD_MODULE, "CBMPThread", "ShowBMPWnd");
    int nResult = 1;
    try {
        if (IsShowBitmap() == 0) {
            nResult = 1;
        } else if (pszBitmapPath == nullptr || *pszBitmapPath == '\0') {
            nResult = 0;
        } else {
            // A second show on one object first ends the first one's window.
            if (m_pShared != nullptr) {
                StopWorker();
                m_pShared->Release();
                m_pShared = nullptr;
            }
            m_pShared = new CBMPShared(pszBitmapPath);
            HANDLE hThread = CreateThread(nullptr, 0, WrkThrd, m_pShared, 0, nullptr);
            if (hThread == nullptr) {
                // No worker: nothing to wait for, now or on hide.
                m_pShared->SetStatus(THREAD_STATUS_INACTIVE);
                m_pShared->Release();
            } else {
                CloseHandle(hThread);
                bool bArrived = false;
                for (int i = 0; i < kShowPolls && !bArrived; ++i) {
                    bArrived = m_pShared->Status() == THREAD_STATUS_ACTIVE;
                    if (!bArrived)
                        Sleep(kShowPollMs);
                }
                pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, KQ_PROMPT_THREAD_MODULE,
                            bArrived ? "CBMPThread::ShowBMPWnd Detect THREAD_STATUS_ACTIVE Arrived"
                                     : "CBMPThread::ShowBMPWnd Detect THREAD_STATUS_ACTIVE Timeout");
            }
            nResult = 1;
        }
    } catch (...) {
        TRACE_CATCH_ALL(KQ_PROMPT_THREAD_MODULE, "CBMPThread::ShowBMPWnd");
        nResult = 0;
    }
    pTrace->Leave(KQ_PROMPT_THREAD_MODULE, "CBMPThread", "ShowBMPWnd");
    return nResult;
}

int CBMPThread::HideBMPWnd()
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(KQ_PROMPT_THREAD_MODULE, "CBMPThread", "HideBMPWnd");
    int nResult = 1;
    try {
        // The setting is read on every hide, but a worker this object started
        // is stopped even when it has been switched off since: a topmost
        // window must not stay up until the process ends.
        if (IsShowBitmap() != 0 ||
            (m_pShared != nullptr && m_pShared->Status() != THREAD_STATUS_INACTIVE))
            StopWorker();
    } catch (...) {
        TRACE_CATCH_ALL(KQ_PROMPT_THREAD_MODULE, "CBMPThread::HideBMPWnd");
        nResult = 0;
    }
    pTrace->Leave(KQ_PROMPT_THREAD_MODULE, "CBMPThread", "HideBMPWnd");
    return nResult;
}

void CBMPThread::StopWorker()
{
    if (m_pShared == nullptr)
        return;
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CBMPShared *pShared = m_pShared;

    EnterCriticalSection(&pShared->cs);
    bool bInactive = pShared->nStatus == THREAD_STATUS_INACTIVE;
    if (!bInactive)
        pShared->nStatus = THREAD_STATUS_STOP;
    LeaveCriticalSection(&pShared->cs);

    if (bInactive) {
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, KQ_PROMPT_THREAD_MODULE,
                    "CBMPThread::HideBMPWnd Thread Status Already INACTIVE");
    } else {
        // A worker that is not done in time finishes on its own: it holds its
        // own reference and sees the stop once its window is up.
        for (int i = 0; i < kHidePolls; ++i) {
            if (pShared->Status() == THREAD_STATUS_INACTIVE) {
                pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, KQ_PROMPT_THREAD_MODULE,
                            "CBMPThread::HideBMPWnd detect THREAD_STATUS_INACTIVE");
                break;
            }
            Sleep(kHidePollMs);
        }
    }
}

DWORD WINAPI CBMPThread::WrkThrd(LPVOID pParam)
{
    CBMPShared *pShared = static_cast<CBMPShared *>(pParam);
    DWORD dwExit = 0;
    try {
        if (PFN_BeforeCreate pfnHook = g_pfnBeforeCreate.load())
            pfnHook();
        CBMPWnd wnd;
        wnd.CreateBMPWnd(pShared->szFileName);
        wnd.ShowBMPWnd();
        // Active only while the start is still what was asked for; a hide
        // that came first has already given up waiting, so this thread takes
        // its window down at once.
        if (pShared->Advance(THREAD_STATUS_START, THREAD_STATUS_ACTIVE)) {
            while (pShared->Status() != THREAD_STATUS_STOP)
                Sleep(kWorkerPollMs);
        }
        // The window goes before the status says so, so that a hide that
        // sees "inactive" knows the window is gone.
        wnd.DestroyWindow();
        pShared->SetStatus(THREAD_STATUS_INACTIVE);
    } catch (...) {
        TRACE_CATCH_ALL(KQ_PROMPT_THREAD_MODULE, "[WrkThrd]");
        pShared->SetStatus(THREAD_STATUS_INACTIVE);
        dwExit = 0xFFFFFFFF;
    }
    pShared->Release();
    return dwExit;
}
