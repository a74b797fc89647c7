// KQCardPending.cpp
//
// CKQCard: the reserved slots.
#include "KQCard.h"

#include "CardMutex.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

DWORD CKQCard::ReservedUnderLock(const char *pszMethod)
{
    try {
        CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CKQCard", pszMethod);
        CCardMutex lock(m_hCardMutex);
        CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CKQCard", pszMethod);
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::Reserved31()
{
    return KQ_SCARD_S_SUCCESS;
}

DWORD CKQCard::Reserved26()
{
    return ReservedUnderLock("Reserved26");
}

DWORD CKQCard::Reserved27()
{
    return ReservedUnderLock("Reserved27");
}

DWORD CKQCard::Reserved37()
{
    return ReservedUnderLock("Reserved37");
}

DWORD CKQCard::Reserved38()
{
    return ReservedUnderLock("Reserved38");
}

DWORD CKQCard::Reserved39()
{
    return ReservedUnderLock("Reserved39");
}

DWORD CKQCard::Reserved40()
{
    return ReservedUnderLock("Reserved40");
}
