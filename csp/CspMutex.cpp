// CspMutex.cpp
#include "CspMutex.h"

namespace {
const char kMutexName[] = "MUTEX_CSP";
}  // namespace

CCspMutex::CCspMutex()
    : m_hMutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMutexName)), m_bOwned(false)
{
    if (m_hMutex == nullptr)
        m_hMutex = CreateMutexA(nullptr, FALSE, kMutexName);
    if (m_hMutex == nullptr)
        return;
    // An abandoned mutex is ours all the same and must be released again.
    DWORD dwWait = WaitForSingleObject(m_hMutex, INFINITE);
    m_bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
}

CCspMutex::~CCspMutex()
{
    if (m_hMutex == nullptr)
        return;
    if (m_bOwned)
        ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
}
