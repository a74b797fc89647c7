// BaseCmdScreen.cpp
//
// The screen, keypad-entry and key-data commands. They are not part of this
// build yet: each keeps its slot and reports the generic failure (for the
// two drawing commands that answer 0 or 1, 1), so a caller never takes a
// missing command for a success.
#include "BaseCmd.h"

#include "BaseCmdInternal.h"
#include "ResultCodes.h"

namespace {

// The line every command that is not available yet writes.
DWORD NotAvailable(const char *pszName)
{
    CMD_FAIL("CBaseCmd::%s not available", pszName);
    return KQ_SCARD_E_UNEXPECTED;
}

}  // namespace

DWORD CBaseCmd::SetDisplay(const BYTE *, BYTE, const BYTE *, BYTE, const BYTE *, BYTE,
                           const BYTE *, BYTE, BYTE)
{
    CCmdTraceScope scope("SetDisplay");
    NotAvailable("SetDisplay");
    return 1;
}

DWORD CBaseCmd::DisplayPhoto(BYTE, BYTE, const BYTE *)
{
    CCmdTraceScope scope("DisplayPhoto");
    return NotAvailable("DisplayPhoto");
}

DWORD CBaseCmd::DisplayLogo()
{
    CCmdTraceScope scope("DisplayLogo");
    return NotAvailable("DisplayLogo");
}

DWORD CBaseCmd::DisplayLine(const BYTE *, DWORD, DWORD)
{
    CCmdTraceScope scope("DisplayLine");
    NotAvailable("DisplayLine");
    return 1;
}

DWORD CBaseCmd::ClearScreen()
{
    CCmdTraceScope scope("ClearScreen");
    return NotAvailable("ClearScreen");
}

DWORD CBaseCmd::GetKeyData(BYTE, BYTE, BYTE, const BYTE *, DWORD, BYTE, BYTE *, BYTE *)
{
    CCmdTraceScope scope("GetKeyData");
    return NotAvailable("GetKeyData");
}

DWORD CBaseCmd::KeyInStart(BYTE, BYTE, const BYTE *, BYTE, BYTE, WORD, const char *, int *)
{
    CCmdTraceScope scope("KeyInStart");
    return NotAvailable("KeyInStart");
}

DWORD CBaseCmd::KeyIn(char *, int *)
{
    CCmdTraceScope scope("KeyIn");
    return NotAvailable("KeyIn");
}

DWORD CBaseCmd::KeyInEnd(BYTE, BYTE *, DWORD *)
{
    CCmdTraceScope scope("KeyInEnd");
    return NotAvailable("KeyInEnd");
}

DWORD CBaseCmd::KeyInEnd(BYTE *, DWORD *)
{
    CCmdTraceScope scope("KeyInEnd");
    return NotAvailable("KeyInEnd");
}
