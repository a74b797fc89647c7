// LocalLock.h
//
// CLocalLock: holds a process-local critical section for one scope. The
// library's process-wide lists (open devices, enumerated paths, held owner
// records) are guarded this way, never across an exchange with a token.
#pragma once

#include <windows.h>

class CLocalLock {
public:
    explicit CLocalLock(CRITICAL_SECTION *pLock) : m_pLock(pLock) { EnterCriticalSection(m_pLock); }
    ~CLocalLock() { LeaveCriticalSection(m_pLock); }

private:
    CLocalLock(const CLocalLock &) = delete;
    CLocalLock &operator=(const CLocalLock &) = delete;

    CRITICAL_SECTION *m_pLock;
};
