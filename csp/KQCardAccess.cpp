// KQCardAccess.cpp
#include "KQCardAccess.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "KQCeiAssistant.h"
#include "ModuleFolder.h"
#include "TraceWriter.h"

namespace {

// The process-wide binding, made once when the library loads and kept until
// the CSP unloads. The lock makes the first load happen once when threads
// race.
SRWLOCK g_bindLock = SRWLOCK_INIT;
CKQCeiAssistant *g_pBinder = nullptr;
char s_szPathName[MAX_PATH] = {0};

struct BinderRelease {
    ~BinderRelease() { delete g_pBinder; }
} g_binderRelease;

// "%s%sCorlisk.dll" from the drive and folder of the module holding this code.
bool BuildLibraryPath(char *pszPath, size_t cbPath)
{
    const std::string strFolder = KQFolderOfCode(reinterpret_cast<const void *>(&BuildLibraryPath));
    if (strFolder.empty())
        return false;
    int n = std::snprintf(pszPath, cbPath, "%sCorlisk.dll", strFolder.c_str());
    return n > 0 && static_cast<size_t>(n) < cbPath;
}

// The bound library, loading it when it is not yet.
CKQCeiAssistant *Binder()
{
    AcquireSRWLockExclusive(&g_bindLock);
    if (g_pBinder == nullptr) {
        char szPath[MAX_PATH] = {0};
        if (BuildLibraryPath(szPath, sizeof(szPath))) {
            std::memcpy(s_szPathName, szPath, sizeof(s_szPathName));
            CTraceWriter::GetInstance()->Log(
                TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                "CKQCardAccess::CKQCardAccess szUKeyCardFileName=[%s]", szPath);
            CKQCeiAssistant *pBinder = new (std::nothrow) CKQCeiAssistant(szPath);
            if (pBinder != nullptr && pBinder->IsLoaded())
                g_pBinder = pBinder;
            else
                delete pBinder;
        }
    }
    CKQCeiAssistant *pBinder = g_pBinder;
    ReleaseSRWLockExclusive(&g_bindLock);
    return pBinder;
}

}  // namespace

CKQCardAccess::CKQCardAccess() : m_pCard(nullptr)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CKQCardAccess", "CKQCardAccess");
    CKQCeiAssistant *pBinder = Binder();
    if (pBinder != nullptr)
        m_pCard = static_cast<KQCardBase *>(pBinder->CreateObject());
    if (m_pCard == nullptr)
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "CKQCardAccess::CKQCardAccess Get Object Failed");
    pTrace->Leave(TRACE_MODULE_CSP, "CKQCardAccess", "CKQCardAccess");
}

CKQCardAccess::~CKQCardAccess()
{
    if (m_pCard == nullptr)
        return;
    // Only a bound library made the object, so the binder is there.
    AcquireSRWLockShared(&g_bindLock);
    CKQCeiAssistant *pBinder = g_pBinder;
    ReleaseSRWLockShared(&g_bindLock);
    if (pBinder != nullptr)
        pBinder->DestroyObject(m_pCard);
    m_pCard = nullptr;
}

const char *CKQCardAccess::getLibraryPath() { return s_szPathName; }

int CKQCardAccess::GetUKeyCount() { return m_pCard ? m_pCard->GetUKeyCount() : 0; }

BOOL CKQCardAccess::GetUKeyDevicePath(int nIndex, char *pszDevicePath, DWORD dwLen)
{
    return m_pCard ? m_pCard->GetUKeyDevicePath(nIndex, pszDevicePath, dwLen) : FALSE;
}

DWORD CKQCardAccess::OpenConnection(const char *pszDevicePath)
{
    return m_pCard ? m_pCard->OpenConnection(pszDevicePath) : PAVREL_E_NO_CARD_OBJECT;
}

DWORD CKQCardAccess::ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    return m_pCard ? m_pCard->ReadKeysetIds(pItems, pdwCount) : PAVREL_E_NO_CARD_OBJECT;
}

DWORD CKQCardAccess::CloseConnection()
{
    return m_pCard ? m_pCard->CloseConnection() : PAVREL_E_NO_CARD_OBJECT;
}
