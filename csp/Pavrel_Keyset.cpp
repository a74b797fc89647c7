// Pavrel_Keyset.cpp
#include "Pavrel_Keyset.h"

#include <cstring>
#include <new>
#include <vector>

#include "CspMutex.h"
#include "CspTraceScope.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_ContainerText.h"
#include "Pavrel_Provider.h"
#include "SharedKeysetInfo.h"
#include "TraceWriter.h"

const char PAVREL_DEFAULT_CONTAINER[] = "Kavru USB Key CSP DefaultContext";
const char PAVREL_VERIFY_CONTAINER[] = "Kavru USB Key CSP VerifyContext";

namespace {

const char kClass[] = "Pavrel_Keyset";
const DWORD kVerifyBits = 0xF0000000;
const DWORD kMaxEntries = 4;
const size_t kMaxNewName = 255;
const WORD kEntryInUse = 0x0800;

#define TRACE_ERROR(...) \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)
#define TRACE_INFO(...) \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)

// The registry's recursive lock: an SRW lock with its owner and depth, so it
// needs no set-up at load.
SRWLOCK g_lock = SRWLOCK_INIT;
volatile DWORD g_dwOwner = 0;
LONG g_lDepth = 0;

// A reference to the card access for the whole core, so the access cannot
// go while the core still talks to it (the providers hold their own).
class CardReference {
public:
    explicit CardReference(Pavrel_CardAccess *pAccess) : m_pAccess(pAccess)
    {
        if (m_pAccess)
            m_pAccess->AddRef();
    }
    ~CardReference()
    {
        if (m_pAccess)
            m_pAccess->Release();
    }

private:
    Pavrel_CardAccess *m_pAccess;
};

struct Entry {
    bool bInUse;
    std::string strName;
};

// The token's container list. A name fills at most its 260-byte field and
// need not end in a NUL.
DWORD ReadEntries(Pavrel_CardAccess *pAccess, std::vector<Entry> &vecEntries)
{
    KEYSET_ID aItems[kMaxEntries];
    std::memset(aItems, 0, sizeof(aItems));
    DWORD dwCount = kMaxEntries;
    DWORD dwRet = pAccess->readKeysetIds(aItems, &dwCount);
    if (dwRet != 0)
        return dwRet;
    vecEntries.clear();
    for (DWORD i = 0; i < kMaxEntries; ++i) {
        const KEYSET_ID &item = aItems[i];
        Entry entry;
        entry.bInUse = i < dwCount && (item.wStatus & kEntryInUse) != 0;
        entry.strName = Pavrel_ContainerText::boundedName(item.szName, sizeof(item.szName));
        vecEntries.push_back(entry);
    }
    return 0;
}

std::string OrDefault(const std::string &str, const char *pszDefault)
{
    return str.empty() ? std::string(pszDefault) : str;
}

int Code(DWORD dw) { return static_cast<int>(dw); }

// Removes the shared records of a token keyset and clears it.
void DropTokenKeyset(const std::string &strPath)
{
    Pavrel_Keyset *pKeyset = Pavrel_Keyset::FindKeyset(strPath, false);
    if (pKeyset == nullptr)
        return;
    {
        CCspMutex guard;
        CSharedKeysetInfo::removeAll(strPath, pKeyset->getReaderName());
    }
    Pavrel_Keyset::ClearKeysetInstance(strPath, false);
}

}  // namespace

Pavrel_Keyset::Lock::Lock()
{
    const DWORD dwSelf = GetCurrentThreadId();
    if (g_dwOwner != dwSelf) {
        AcquireSRWLockExclusive(&g_lock);
        g_dwOwner = dwSelf;
    }
    ++g_lDepth;
}

Pavrel_Keyset::Lock::~Lock()
{
    if (--g_lDepth == 0) {
        g_dwOwner = 0;
        ReleaseSRWLockExclusive(&g_lock);
    }
}

Pavrel_Keyset::Registry &Pavrel_Keyset::registry()
{
    // Kept to process end: providers may still be released at unload.
    static Registry *pRegistry = new Registry();
    return *pRegistry;
}

Pavrel_Keyset::RegistryKey Pavrel_Keyset::registryKey() const
{
    return RegistryKey(m_bVerifyContext != FALSE, Pavrel_ContainerText::pathKey(m_strKeysetPath));
}

Pavrel_Keyset::Pavrel_Keyset(const std::string &strReaderName, const std::string &strKeysetName,
                             const std::string &strKeysetPath, DWORD dwFlags)
    : m_strKeysetName(strKeysetName), m_strReaderName(strReaderName),
      m_strKeysetPath(strKeysetPath), m_dwFlags(dwFlags),
      m_bVerifyContext((dwFlags & kVerifyBits) != 0), m_bSilent((dwFlags & CRYPT_SILENT) != 0),
      m_bToken(!m_bVerifyContext)
{
    Lock lock;
    Registry &reg = registry();
    auto it = reg.find(registryKey());
    if (it == reg.end()) {
        reg[registryKey()] = this;
    } else if (m_bToken && it->second != this) {
        // The entry names this keyset first, so the old one's destructor
        // leaves it alone.
        Pavrel_Keyset *pOld = it->second;
        it->second = this;
        delete pOld;
    }
}

Pavrel_Keyset::~Pavrel_Keyset()
{
    try {
        Lock lock;
        for (auto &item : m_mapProviders)
            delete item.second;
        m_mapProviders.clear();
        Registry &reg = registry();
        auto it = reg.find(registryKey());
        if (it != reg.end() && it->second == this)
            reg.erase(it);
    } catch (...) {
        CTraceWriter::GetInstance()->LogException(
            "Pavrel_Keyset", __LINE__, TRACE_MODULE_CSP,
            "Pavrel_Keyset::~Pavrel_Keyset Catch an Exception,GetLastError=[%d]",
            static_cast<int>(GetLastError()));
    }
}

ULONG64 Pavrel_Keyset::CreateProvider(Pavrel_CardAccess *pCardAccess)
{
    Lock lock;
    Pavrel_Provider *pProvider = new (std::nothrow) Pavrel_Provider(pCardAccess, this);
    if (pProvider == nullptr)
        return 0;
    const ULONG64 hProv = pProvider->getHandle();
    try {
        auto it = m_mapProviders.find(hProv);
        if (it != m_mapProviders.end()) {
            delete it->second;
            it->second = pProvider;
        } else {
            m_mapProviders[hProv] = pProvider;
        }
    } catch (...) {
        delete pProvider;
        return 0;
    }
    TRACE_INFO("Pavrel_Keyset::CreateProvider hProv=[%d]", static_cast<int>(hProv));
    return hProv;
}

void Pavrel_Keyset::DeleteProvider(ULONG64 hProv)
{
    TRACE_INFO("Pavrel_Keyset::DeleteProvider hProv=[%d]", static_cast<int>(hProv));
    Lock lock;
    auto it = m_mapProviders.find(hProv);
    if (it == m_mapProviders.end())
        return;
    Pavrel_Provider *pProvider = it->second;
    m_mapProviders.erase(it);
    delete pProvider;
}

Pavrel_Provider *Pavrel_Keyset::getProvider(ULONG64 hProv) const
{
    Lock lock;
    auto it = m_mapProviders.find(hProv);
    return it == m_mapProviders.end() ? nullptr : it->second;
}

Pavrel_Keyset *Pavrel_Keyset::FindKeyset(const std::string &strPath, bool bVerifyContext)
{
    Lock lock;
    Registry &reg = registry();
    auto it = reg.find(RegistryKey(bVerifyContext, Pavrel_ContainerText::pathKey(strPath)));
    return it == reg.end() ? nullptr : it->second;
}

Pavrel_Keyset *Pavrel_Keyset::FindKeysetByProvider(ULONG64 hProv)
{
    Lock lock;
    for (auto &item : registry())
        if (item.second->getProvider(hProv) != nullptr)
            return item.second;
    return nullptr;
}

Pavrel_Provider *Pavrel_Keyset::FindProvider(ULONG64 hProv)
{
    Lock lock;
    Pavrel_Keyset *pKeyset = FindKeysetByProvider(hProv);
    return pKeyset ? pKeyset->getProvider(hProv) : nullptr;
}

void Pavrel_Keyset::ClearKeysetInstance(const std::string &strPath, bool bVerifyContext)
{
    Lock lock;
    Registry &reg = registry();
    auto it = reg.find(RegistryKey(bVerifyContext, Pavrel_ContainerText::pathKey(strPath)));
    if (it == reg.end())
        return;
    Pavrel_Keyset *pKeyset = it->second;
    reg.erase(it);
    delete pKeyset;
}

// --- Acquisition -------------------------------------------------------------

DWORD Pavrel_Keyset::GetKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                               const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv)
{
    CCspTraceScope scope(kClass, "GetKeyset");
    if (phProv == nullptr)
        return ERROR_INVALID_PARAMETER;
    // An exception (a card object's, or out of memory) is left to the entry
    // point's catch-all, which tells the two apart.
    Lock lock;
    const DWORD dwWork = dwFlags & ~static_cast<DWORD>(CRYPT_SILENT);
    if (dwWork == 0)
        return openKeyset(strReaderName, strKeysetName, strKeysetPath, dwFlags, phProv);
    if (dwWork == CRYPT_NEWKEYSET)
        return createKeyset(strReaderName, strKeysetName, strKeysetPath, dwFlags, phProv);
    if (dwWork == kVerifyBits)
        return verifyKeyset(strReaderName, strKeysetName, strKeysetPath, dwFlags, phProv);
    return static_cast<DWORD>(NTE_BAD_FLAGS);
}

DWORD Pavrel_Keyset::openKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                                const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv)
{
    const std::string strName = OrDefault(strKeysetName, PAVREL_DEFAULT_CONTAINER);
    const std::string strPath = strKeysetPath.empty() ? strName : strKeysetPath;
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance(strReaderName);
    if (pAccess == nullptr) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset getCardInstance szReader=[%s] Failed",
                    strReaderName.c_str());
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    CardReference reference(pAccess);
    const std::string strDevice = pAccess->getDeviceName();
    std::vector<Entry> vecEntries;
    DWORD dwRet = ReadEntries(pAccess, vecEntries);
    if (dwRet != 0) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset readKeysetIds Failed, dwRet=[%d]", Code(dwRet));
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    bool bFound = false;
    for (const Entry &entry : vecEntries)
        if (entry.bInUse && Pavrel_ContainerText::samePath(entry.strName, strName)) {
            bFound = true;
            break;
        }
    if (!bFound) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset Can not Find KeySet i=[%d], dwKeysetId=[%d]",
                    Code(kMaxEntries), Code(kMaxEntries));
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }

    Pavrel_Keyset *pKeyset = FindKeyset(strPath, false);
    const bool bNew = pKeyset == nullptr;
    if (bNew) {
        pKeyset = new (std::nothrow) Pavrel_Keyset(strDevice, strName, strPath, dwFlags);
        if (pKeyset == nullptr) {
            TRACE_ERROR("Pavrel_Keyset::GetKeyset new Pavrel_Keyset szReader=[%s],"
                        "szKeysetPath=[%s],szKeysetName=[%s]",
                        strDevice.c_str(), strPath.c_str(), strName.c_str());
            return static_cast<DWORD>(NTE_NO_MEMORY);
        }
    }
    const ULONG64 hProv = pKeyset->CreateProvider(pAccess);
    if (hProv == 0) {
        if (bNew)
            ClearKeysetInstance(strPath, false);
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    {
        CCspMutex guard;
        CSharedKeysetInfo *pInfo = bNew ? nullptr : CSharedKeysetInfo::find(strPath, strDevice);
        if (pInfo != nullptr)
            ++pInfo->_refCount;
        else if (CSharedKeysetInfo::append(strPath, strName, strDevice) == nullptr)
            dwRet = static_cast<DWORD>(NTE_NO_MEMORY);
    }
    if (dwRet != 0) {
        // Without a count the provider could never be released.
        if (bNew)
            ClearKeysetInstance(strPath, false);
        else
            pKeyset->DeleteProvider(hProv);
        return dwRet;
    }
    *phProv = hProv;
    return 0;
}

DWORD Pavrel_Keyset::createKeyset(const std::string &strReaderName,
                                  const std::string &strKeysetName,
                                  const std::string &strKeysetPath, DWORD dwFlags,
                                  ULONG64 *phProv)
{
    const std::string strName = OrDefault(strKeysetName, PAVREL_DEFAULT_CONTAINER);
    const std::string strPath = strKeysetPath.empty() ? strName : strKeysetPath;
    if (strName.size() > kMaxNewName) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset szKeysetName=[%s] Too Big", strName.c_str());
        return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
    }
    if (FindKeyset(strPath, false) != nullptr) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset FindKeyset Return TRUE,szKeysetPath=[%s]",
                    strPath.c_str());
        return static_cast<DWORD>(NTE_EXISTS);
    }
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance(strReaderName);
    if (pAccess == nullptr) {
        if (strReaderName.empty())
            TRACE_ERROR("Pavrel_Keyset::GetKeyset getCardInstance('') Failed");
        else
            TRACE_ERROR("Pavrel_Keyset::GetKeyset getCardInstance(%s) Failed",
                        strReaderName.c_str());
        return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
    }
    CardReference reference(pAccess);
    const std::string strDevice = pAccess->getDeviceName();
    std::vector<Entry> vecEntries;
    DWORD dwRet = ReadEntries(pAccess, vecEntries);
    if (dwRet != 0) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset readKeysetIds Failed");
        return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
    }
    const bool bDefault = strName == PAVREL_DEFAULT_CONTAINER;
    for (size_t i = 0; i < vecEntries.size(); ++i) {
        if (!vecEntries[i].bInUse)
            continue;
        if (i == 0 && bDefault) {
            TRACE_ERROR("Pavrel_Keyset::GetKeyset szKeysetName Is Default Container");
            return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
        }
        if (Pavrel_ContainerText::samePath(vecEntries[i].strName, strName)) {
            TRACE_ERROR("Pavrel_Keyset::GetKeyset szKeysetName=[%s] Is Exist", strName.c_str());
            return static_cast<DWORD>(NTE_EXISTS);
        }
    }
    // Entry 0 is kept for the default container; other names start at 1.
    int nChosen = -1;
    for (size_t i = bDefault ? 0 : 1; i < vecEntries.size() && nChosen < 0; ++i)
        if (!vecEntries[i].bInUse)
            nChosen = static_cast<int>(i);
    if (nChosen < 0) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset Create Container Failed, GetLastError=[%d]",
                    Code(NTE_TOKEN_KEYSET_STORAGE_FULL));
        return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
    }
    dwRet = pAccess->writeKeysetId(nChosen + 1, strName.c_str());
    if (dwRet != 0) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset writeKeysetId(%s) Failed, GetLastError=[%d]",
                    strName.c_str(), Code(dwRet));
        return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
    }
    Pavrel_Keyset *pKeyset = new (std::nothrow) Pavrel_Keyset(strDevice, strName, strPath, dwFlags);
    if (pKeyset == nullptr) {
        TRACE_ERROR("Pavrel_Keyset::GetKeyset new Pavrel_Keyset Failed, szReader=[%s],"
                    "szKeysetName=[%s],szKeysetPath=[%s],GetLastError=[%d]",
                    strDevice.c_str(), strName.c_str(), strPath.c_str(), Code(NTE_NO_MEMORY));
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    ULONG64 hProv = 0;
    {
        CCspMutex guard;
        // A record left by a keyset of this path that is gone counts nothing.
        CSharedKeysetInfo::removeAll(strPath, strDevice);
        if (CSharedKeysetInfo::append(strPath, strName, strDevice) != nullptr)
            hProv = pKeyset->CreateProvider(pAccess);
        if (hProv == 0)
            CSharedKeysetInfo::removeAll(strPath, strDevice);
    }
    if (hProv == 0) {
        ClearKeysetInstance(strPath, false);
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    *phProv = hProv;
    return 0;
}

DWORD Pavrel_Keyset::verifyKeyset(const std::string &, const std::string &strKeysetName,
                                  const std::string &strKeysetPath, DWORD dwFlags,
                                  ULONG64 *phProv)
{
    const std::string strName = OrDefault(strKeysetName, PAVREL_VERIFY_CONTAINER);
    const std::string strPath = strKeysetPath.empty() ? strName : strKeysetPath;
    Pavrel_Keyset *pKeyset = FindKeyset(strPath, true);
    const bool bNew = pKeyset == nullptr;
    if (bNew) {
        // The reader name is kept as given; no token is opened.
        pKeyset = new (std::nothrow) Pavrel_Keyset("", strName, strPath, dwFlags);
        if (pKeyset == nullptr)
            return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    const ULONG64 hProv = pKeyset->CreateProvider(nullptr);
    if (hProv == 0) {
        if (bNew)
            ClearKeysetInstance(strPath, true);
        return static_cast<DWORD>(NTE_NO_MEMORY);
    }
    *phProv = hProv;
    return 0;
}

// --- Deletion and release ------------------------------------------------------

DWORD Pavrel_Keyset::deleteKeyset(const std::string &strReaderName,
                                  const std::string &strKeysetName,
                                  const std::string &strKeysetPath, BOOL bSilent)
{
    CCspTraceScope scope(kClass, "deleteKeyset");
    TRACE_INFO("Pavrel_Keyset::deleteKeyset READER_NAME=[%s],KEYSET_NAME=[%s],bSilent=[%d]",
               strReaderName.c_str(), strKeysetName.c_str(), static_cast<int>(bSilent));
    // As in GetKeyset, an exception goes to the entry point's catch-all.
    Lock lock;
    // The container on the token goes; a verification keyset has none,
    // so one on the same path is left as it is.
    const std::string strName = OrDefault(strKeysetName, PAVREL_DEFAULT_CONTAINER);
    const std::string strPath = strKeysetPath.empty() ? strName : strKeysetPath;
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance(strReaderName);
    if (pAccess == nullptr) {
        DropTokenKeyset(strPath);
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    CardReference reference(pAccess);
    std::vector<Entry> vecEntries;
    if (ReadEntries(pAccess, vecEntries) != 0) {
        DropTokenKeyset(strPath);
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    TRACE_INFO("Pavrel_Keyset::deleteKeyset knToDelete=[%s]", strName.c_str());
    DWORD dwRet = pAccess->deleteKeyset(strName.c_str());
    {
        CCspMutex guard;
        CSharedKeysetInfo::removeAll(strPath, pAccess->getDeviceName());
    }
    DropTokenKeyset(strPath);
    return dwRet != 0 ? static_cast<DWORD>(NTE_BAD_KEYSET_PARAM) : 0;
}

DWORD Pavrel_Keyset::Release(ULONG64 hProv)
{
    CCspTraceScope scope(kClass, "Release");
    TRACE_INFO("Pavrel_Keyset::Release hProv=[%d]", static_cast<int>(hProv));
    try {
        Lock lock;
        Pavrel_Keyset *pKeyset = FindKeysetByProvider(hProv);
        if (pKeyset == nullptr)
            return 0;
        const std::string strPath = pKeyset->getKeysetPath();
        if (pKeyset->isVerifyContext()) {
            pKeyset->DeleteProvider(hProv);
            if (pKeyset->getProviderCount() == 0)
                ClearKeysetInstance(strPath, true);
            return 0;
        }
        Pavrel_CardAccess *pAccess = pKeyset->getProvider(hProv)->getCardAccess();
        const std::string strDevice = pAccess ? pAccess->getDeviceName() : pKeyset->getReaderName();
        bool bClear = false;
        bool bAlone = false;
        {
            CCspMutex guard;
            CSharedKeysetInfo *pInfo = CSharedKeysetInfo::find(strPath, strDevice);
            if (pInfo == nullptr) {
                bAlone = true;
            } else {
                if (pInfo->_refCount > 0)
                    --pInfo->_refCount;
                if (pInfo->_refCount == 0) {
                    CSharedKeysetInfo::remove(pInfo);
                    bClear = true;
                }
            }
        }
        // The keyset, its providers and their card references go after
        // "MUTEX_CSP" is left, so the last card access closes outside it.
        if (bAlone) {
            pKeyset->DeleteProvider(hProv);
            bClear = pKeyset->getProviderCount() == 0;
        }
        if (bClear)
            ClearKeysetInstance(strPath, false);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_Keyset::Release");
    }
    return 0;
}

void Pavrel_Keyset::CleanupAtUnload()
{
    Lock lock;
    std::vector<std::string> vecPaths;
    {
        CCspMutex guard;
        for (CSharedKeysetInfo *pInfo : CSharedKeysetInfo::records()) {
            if (pInfo->_refCount == 0) {
                TRACE_INFO("DllMain::DLL_PROCESS_DETACH ClearKeysetInstance=[%s]",
                           pInfo->_keysetPath.c_str());
                vecPaths.push_back(pInfo->_keysetPath);
                CSharedKeysetInfo::remove(pInfo);
            } else {
                TRACE_INFO("DllMain::DLL_PROCESS_DETACH itr->_refCount>0,itr->_refCount=[%d]",
                           static_cast<int>(pInfo->_refCount));
            }
        }
    }
    for (const std::string &strPath : vecPaths)
        ClearKeysetInstance(strPath, false);
}
