// KQCardFrame.h
//
// The frame every locked slot of CKQCard runs in (trace lines, device lock,
// reopen of a dropped connection, catch-all), shared by the files that
// implement the slots. Private to the card object.
#pragma once

#include <windows.h>

#include <cstdio>

#include "CardMutex.h"
#include "KQCard.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

namespace kqcard {

inline void Fail(const char *pszText)
{
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD, "%s",
                                     pszText);
}

// A failure line naming two file-id bytes (the format has two %x).
inline void FailFid(const char *pszFormat, BYTE bHigh, BYTE bLow)
{
    char szText[128];
    std::snprintf(szText, sizeof(szText), pszFormat, bHigh, bLow);
    Fail(szText);
}

// Enter and leave lines of one slot, the leave line only on success (as the
// other slots of the card object do).
class CSlotScope {
public:
    explicit CSlotScope(const char *pszMethod) : m_pszMethod(pszMethod)
    {
        CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CKQCard", pszMethod);
    }
    DWORD Done(DWORD dwRet)
    {
        if (dwRet == KQ_SCARD_S_SUCCESS)
            CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CKQCard", m_pszMethod);
        return dwRet;
    }

private:
    const char *m_pszMethod;
};

}  // namespace kqcard

template <class Body>
DWORD CKQCard::InLockedFrame(const char *pszMethod, Body body, bool bGoOn)
{
    using kqcard::CSlotScope;
    try {
        CSlotScope scope(pszMethod);
        CCardMutex lock(m_hCardMutex);
        char szText[128];
        std::snprintf(szText, sizeof(szText), "CKQCard::%s ReConnect Failed", pszMethod);
        const DWORD dwRet = ReadyForCommand(szText, bGoOn);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        return scope.Done(body());
    } catch (...) {
        CTraceWriter::GetInstance()->LogException(
            __FILE__, __LINE__, TRACE_MODULE_CARD,
            "CKQCard::%s Catch an Exception,GetLastError=[%d]", pszMethod,
            static_cast<int>(GetLastError()));
        return KQ_SCARD_E_UNEXPECTED;
    }
}

