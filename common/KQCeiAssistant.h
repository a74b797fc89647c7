// KQCeiAssistant.h
//
// CKQCeiAssistant: the plug-in binder. Loads a library by path and looks up
// its factory pair CeiGetObject / CeiDestroyObject. Nothing is reported on
// failure: callers test the entries before calling them. The library is freed
// when the binder is destroyed.
#pragma once

#include <windows.h>

#include "OutsideInterfaces.h"

class CKQCeiAssistant {
public:
    // Loads the library at pszPath (nothing when null) and binds the pair.
    explicit CKQCeiAssistant(const char *pszPath);
    virtual ~CKQCeiAssistant();

    // The factory entries; null when the library or the export is missing.
    PFN_CeiGetObject GetObjectEntry() const { return m_pfnCeiGetObject; }
    PFN_CeiDestroyObject DestroyObjectEntry() const { return m_pfnCeiDestroyObject; }
    // True when the library was loaded, whatever the look-ups gave.
    BOOL IsLoaded() const { return m_bLoaded; }
    const char *GetPath() const { return m_szPathName; }

    // CeiGetObject(0) when the entry exists, else null.
    void *CreateObject() const;
    // CeiDestroyObject(p) when the entry exists and p is not null.
    void DestroyObject(void *pObject) const;

private:
    CKQCeiAssistant(const CKQCeiAssistant &) = delete;
    CKQCeiAssistant &operator=(const CKQCeiAssistant &) = delete;

    char m_szPathName[MAX_PATH];
    HMODULE m_hModule;
    BOOL m_bLoaded;
    PFN_CeiGetObject m_pfnCeiGetObject;
    PFN_CeiDestroyObject m_pfnCeiDestroyObject;
};
