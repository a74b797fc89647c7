// CspMutex.h
//
// CCspMutex: the scope guard of "MUTEX_CSP", the named mutex that all
// processes share around the CSP's acquisition records and the card
// accesses' reference counts. The mutex is opened (or created, not owned)
// and waited for without time limit at construction, released and closed at
// destruction. When it can be neither opened nor created the scope runs
// unguarded. A thread that holds it may take it again. A mutex left
// abandoned by a thread or process that died holding it is owned all the
// same (the records it guards are process-local, so nothing is half-written
// here); only a wait that failed leaves the scope unowned.
#pragma once

#include <windows.h>

class CCspMutex {
public:
    CCspMutex();
    virtual ~CCspMutex();

    // True while this scope holds the mutex.
    bool owned() const { return m_bOwned; }

private:
    CCspMutex(const CCspMutex &) = delete;
    CCspMutex &operator=(const CCspMutex &) = delete;

    HANDLE m_hMutex;
    bool m_bOwned;
};
