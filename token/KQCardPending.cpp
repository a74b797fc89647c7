// KQCardPending.cpp
//
// CKQCard: the reserved slots, and the screen, keypad and pass-through
// operations (slots 44 and 53 to 64), which answer 0x8010001F until each is
// built on the command object.
#include "KQCard.h"

#include "CardMutex.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

DWORD CKQCard::NotAvailable(const char *pszMethod)
{
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                                     "CKQCard::%s Not Supported", pszMethod);
    return KQ_SCARD_E_UNEXPECTED;
}

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

DWORD CKQCard::CreateFileSystem(const BYTE *, DWORD)
{
    return NotAvailable("CreateFileSystem");
}

DWORD CKQCard::ClearScreen()
{
    return NotAvailable("ClearScreen");
}

DWORD CKQCard::SetDisplay(const char *)
{
    return NotAvailable("SetDisplay");
}

DWORD CKQCard::DelayDisplayLogo(int)
{
    return NotAvailable("DelayDisplayLogo");
}

DWORD CKQCard::DisplayLine(const BYTE *, DWORD, DWORD)
{
    return NotAvailable("DisplayLine");
}

DWORD CKQCard::DisplayLogo()
{
    return NotAvailable("DisplayLogo");
}

DWORD CKQCard::GetKeyData(BYTE, BYTE, BYTE, const BYTE *, DWORD, BYTE, BYTE *, DWORD *)
{
    return NotAvailable("GetKeyData");
}

DWORD CKQCard::KeyInStart(const KEYINSTART_PARAM *, void *)
{
    return NotAvailable("KeyInStart");
}

DWORD CKQCard::KeyIn(char *, int *)
{
    return NotAvailable("KeyIn");
}

DWORD CKQCard::KeyInEnd(int, BYTE *, DWORD *, void *)
{
    return NotAvailable("KeyInEnd");
}

DWORD CKQCard::KeyInEndResult(KEYINEND_RESULT **, void *)
{
    return NotAvailable("KeyInEndResult");
}

DWORD CKQCard::ImportSymmetricKey(int, const char *, const BYTE *, DWORD)
{
    return NotAvailable("ImportSymmetricKey");
}

DWORD CKQCard::ImportRsaPubKey(const char *, DWORD, const BYTE *, DWORD)
{
    return NotAvailable("ImportRsaPubKey");
}

