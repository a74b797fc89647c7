// KQCeiAssistant.cpp
#include "KQCeiAssistant.h"

#include <cstring>

CKQCeiAssistant::CKQCeiAssistant(const char *pszPath)
    : m_hModule(nullptr), m_bLoaded(FALSE), m_pfnCeiGetObject(nullptr),
      m_pfnCeiDestroyObject(nullptr)
{
    std::memset(m_szPathName, 0, sizeof(m_szPathName));
    if (pszPath == nullptr)
        return;
    // A path that does not fit is not cut short and loaded: that could name
    // another file.
    if (std::strlen(pszPath) >= sizeof(m_szPathName))
        return;
    std::strcpy(m_szPathName, pszPath);
    m_hModule = LoadLibraryA(m_szPathName);
    if (m_hModule == nullptr)
        return;
    m_pfnCeiGetObject = KQGetProcAddress<PFN_CeiGetObject>(m_hModule, "CeiGetObject");
    m_pfnCeiDestroyObject = KQGetProcAddress<PFN_CeiDestroyObject>(m_hModule, "CeiDestroyObject");
    m_bLoaded = TRUE;
}

CKQCeiAssistant::~CKQCeiAssistant()
{
    m_pfnCeiGetObject = nullptr;
    m_pfnCeiDestroyObject = nullptr;
    if (m_bLoaded && m_hModule != nullptr)
        FreeLibrary(m_hModule);
    m_hModule = nullptr;
    m_bLoaded = FALSE;
}

void *CKQCeiAssistant::CreateObject() const
{
    return m_pfnCeiGetObject ? m_pfnCeiGetObject(0) : nullptr;
}

void CKQCeiAssistant::DestroyObject(void *pObject) const
{
    if (m_pfnCeiDestroyObject && pObject)
        m_pfnCeiDestroyObject(pObject);
}
