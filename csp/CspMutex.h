// CspMutex.h
//
// CCspMutex: the scope guard of "MUTEX_CSP", the named mutex that all
// processes share around the CSP's acquisition records and the card
// accesses' reference counts. The mutex is opened (or created, not owned)
// and waited for without time limit at construction, released and closed at
// destruction. When it can be neither opened nor created the scope runs
// unguarded. A thread that holds it may take it again.
#pragma once

#include <windows.h>

class CCspMutex {
public:
    CCspMutex();
    virtual ~CCspMutex();

private:
    CCspMutex(const CCspMutex &) = delete;
    CCspMutex &operator=(const CCspMutex &) = delete;

    HANDLE m_hMutex;
};
