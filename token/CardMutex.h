// CardMutex.h
//
// CCardMutex: the scope guard for every named-mutex lock of the library. It
// waits on the mutex without time limit when constructed and releases it when
// destroyed. An abandoned mutex (its last owner died holding it) counts as
// held: the wait's outcome is not examined. A null handle is allowed and
// locks nothing.
#pragma once

#include <windows.h>

class CCardMutex {
public:
    explicit CCardMutex(HANDLE hMutex);
    virtual ~CCardMutex();

private:
    CCardMutex(const CCardMutex &) = delete;
    CCardMutex &operator=(const CCardMutex &) = delete;

    HANDLE m_hMutex;
};
