// CardInfoManager.cpp
#include "CardInfoManager.h"

#include <algorithm>
#include <cctype>

#include "CardMutex.h"
#include "LocalLock.h"

namespace {

std::string PathForName(const char *pszDevicePath)
{
    std::string strPath(pszDevicePath ? pszDevicePath : "");
    std::replace(strPath.begin(), strPath.end(), '\\', '_');
    return strPath;
}


}  // namespace

std::string CCardInfoManager::CShareMem::SectionName(const char *pszDevicePath)
{
    std::string strName = "CARD_SHAREMEM_" + PathForName(pszDevicePath);
    std::transform(strName.begin(), strName.end(), strName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return strName;
}

std::string CCardInfoManager::CShareMem::MutexName(const char *pszDevicePath)
{
    return "MUTEX_CARD_SHAREMEM_" + PathForName(pszDevicePath);
}

CCardInfoManager::CShareMem::CShareMem(const char *pszDevicePath)
    : m_hSection(nullptr), m_pView(nullptr), m_hMutex(nullptr)
{
    const std::string strMutex = MutexName(pszDevicePath);
    m_hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, strMutex.c_str());
    if (m_hMutex == nullptr)
        m_hMutex = CreateMutexA(nullptr, FALSE, strMutex.c_str());

    const std::string strSection = SectionName(pszDevicePath);
    m_hSection = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, strSection.c_str());
    if (m_hSection == nullptr) {
        // A section another process creates meanwhile is simply opened by
        // this create; a new one comes zero-filled from the system, so
        // nothing is written here.
        m_hSection = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(DWORD), strSection.c_str());
    }
    if (m_hSection != nullptr)
        m_pView = static_cast<volatile DWORD *>(
            MapViewOfFile(m_hSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
}

CCardInfoManager::CShareMem::~CShareMem()
{
    if (m_pView != nullptr)
        UnmapViewOfFile(const_cast<DWORD *>(m_pView));
    if (m_hSection != nullptr)
        CloseHandle(m_hSection);
    // The lock is held only inside Read and Write, so it is not held here.
    if (m_hMutex != nullptr)
        CloseHandle(m_hMutex);
}

BOOL CCardInfoManager::CShareMem::Read(DWORD *pdwValue)
{
    if (!IsValid() || pdwValue == nullptr)
        return FALSE;
    CCardMutex lock(m_hMutex);
    *pdwValue = *m_pView;
    return TRUE;
}

BOOL CCardInfoManager::CShareMem::Write(DWORD dwValue)
{
    if (!IsValid())
        return FALSE;
    CCardMutex lock(m_hMutex);
    *m_pView = dwValue;
    return TRUE;
}

BOOL CCardInfoManager::CShareMem::ClearIfHeldBy(DWORD dwOwner)
{
    if (!IsValid())
        return FALSE;
    CCardMutex lock(m_hMutex);
    if (*m_pView == dwOwner)
        *m_pView = 0;
    return TRUE;
}

BOOL CCardInfoManager::CShareMem::ReadThenWrite(DWORD dwValue)
{
    DWORD dwOld = 0;
    if (!Read(&dwOld))
        return FALSE;
    return Write(dwValue);
}

CCardInfoManager *CCardInfoManager::GetInstance()
{
    static CCardInfoManager *s_pInstance = new CCardInfoManager();
    return s_pInstance;
}

CCardInfoManager::CCardInfoManager() { InitializeCriticalSection(&m_lock); }

CCardInfoManager::~CCardInfoManager() { DeleteCriticalSection(&m_lock); }

BOOL CCardInfoManager::IsAcquired(const char *pszDevicePath)
{
    CShareMem record(pszDevicePath);
    DWORD dwOwner = 0;
    if (!record.Read(&dwOwner))
        return FALSE;
    return dwOwner == 0 || dwOwner == GetCurrentProcessId();
}

BOOL CCardInfoManager::Connect(const char *pszDevicePath)
{
    std::unique_ptr<CShareMem> pRecord(new CShareMem(pszDevicePath));
    BOOL bWritten = pRecord->ReadThenWrite(GetCurrentProcessId());
    if (bWritten) {
        CLocalLock lock(&m_lock);
        m_held[pszDevicePath] = std::move(pRecord);
    }
    return bWritten;
}

BOOL CCardInfoManager::DisConnect(const char *pszDevicePath)
{
    // Writing 0 over another process's id would tell a third process that a
    // token in use is free, and it would then run its commands in the
    // holder's security state.
    BOOL bWritten = CShareMem(pszDevicePath).ClearIfHeldBy(GetCurrentProcessId());
    CLocalLock lock(&m_lock);
    m_held.erase(pszDevicePath);
    return bWritten;
}
