// CardMutex.cpp
#include "CardMutex.h"

#include "TraceWriter.h"

namespace {
// Handle values are traced as the numbers the trace lines show.
int HandleNumber(HANDLE h) { return static_cast<int>(reinterpret_cast<INT_PTR>(h)); }
}  // namespace

CCardMutex::CCardMutex(HANDLE hMutex) : m_hMutex(hMutex)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    if (m_hMutex == nullptr) {
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CCardMutex::CCardMutex hMutex==NULL");
        return;
    }
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CCardMutex::CCardMutex Wait For Single Object [%d]", HandleNumber(m_hMutex));
    WaitForSingleObject(m_hMutex, INFINITE);
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CCardMutex::CCardMutex Already Wait a Object [%d]", HandleNumber(m_hMutex));
}

CCardMutex::~CCardMutex()
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    if (m_hMutex == nullptr) {
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CCardMutex::~CCardMutex m_hMutex==NULL");
        return;
    }
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CCardMutex::~CCardMutex Release Mutex [%d]", HandleNumber(m_hMutex));
    if (!ReleaseMutex(m_hMutex))
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CCardMutex::~CCardMutex Release Mutex Failed,GetLastError=[%d]",
                    static_cast<int>(GetLastError()));
}
