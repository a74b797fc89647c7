// KQCardAccess.h
//
// CKQCardAccess: one card object of the token access library. The library
// "Corlisk.dll" is looked for beside the CSP's own module and bound once for
// the process (a failed load is tried again by the next object); each object
// gets its card from CeiGetObject(0) and hands it back to CeiDestroyObject.
// Without the library, or when it made no object, card() is null and the
// forwarders below answer PAVREL_E_NO_CARD_OBJECT instead of calling
// through it.
#pragma once

#include <windows.h>

#include "KQCardBase.h"

// The answer of every card call that has no card object to call.
const DWORD PAVREL_E_NO_CARD_OBJECT = static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL);

class CKQCardAccess {
public:
    CKQCardAccess();
    virtual ~CKQCardAccess();

    // The card object, or null.
    KQCardBase *card() const { return m_pCard; }

    // Forwarders for the container enumeration (no list entry).
    int GetUKeyCount();
    BOOL GetUKeyDevicePath(int nIndex, char *pszDevicePath, DWORD dwLen);
    DWORD OpenConnection(const char *pszDevicePath);
    DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount);
    DWORD CloseConnection();

    // The path the library is (to be) loaded from.
    static const char *getLibraryPath();

private:
    CKQCardAccess(const CKQCardAccess &) = delete;
    CKQCardAccess &operator=(const CKQCardAccess &) = delete;

    KQCardBase *m_pCard;
};
