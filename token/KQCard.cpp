// KQCard.cpp
//
// CKQCard: lifetime, the connection operations (slots 1 to 17) and the
// frame shared by the locked operations.
#include "KQCard.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "BaseCmd.h"
#include "CardMutex.h"
#include "HidDeviceManager.h"
#include "HidManager.h"
#include "KQCardCommandFactory.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

namespace {

const char *const kClass = "CKQCard";

CTraceWriter *Trace()
{
    return CTraceWriter::GetInstance();
}

void Enter(const char *pszMethod)
{
    Trace()->Enter(TRACE_MODULE_CARD, kClass, pszMethod);
}

void Leave(const char *pszMethod)
{
    Trace()->Leave(TRACE_MODULE_CARD, kClass, pszMethod);
}

}  // namespace

CKQCard::CKQCard() : m_psCard(nullptr), m_hCardMutex(nullptr)
{
    try {
        Enter("CKQCard");
        std::memset(m_szDevicePath, 0, sizeof(m_szDevicePath));
        std::memset(m_szMutexName, 0, sizeof(m_szMutexName));
        Leave("CKQCard");
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::CKQCard");
    }
}

CKQCard::~CKQCard()
{
    try {
        Enter("~CKQCard");
        CloseConnection();
        if (m_hCardMutex != nullptr) {
            Trace()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::~CKQCard CloseHandle m_hCardMutex=[%d]",
                         static_cast<int>(reinterpret_cast<INT_PTR>(m_hCardMutex)));
            CloseHandle(m_hCardMutex);
            m_hCardMutex = nullptr;
        }
        if (m_psCard != nullptr) {
            m_psCard->DeleteObject(CARD_DELETE_MEMORY);
            m_psCard = nullptr;
        }
        Leave("~CKQCard");
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::~CKQCard");
    }
}

void *CKQCard::DeleteObject(unsigned int uFlags)
{
    this->~CKQCard();
    if (uFlags & KQCARD_DELETE_MEMORY)
        ::operator delete(this);
    return this;
}

BOOL CKQCard::BuildMutexName(const char *pszDevicePath, char *pszName, DWORD dwLen)
{
    int n = std::snprintf(pszName, dwLen, "MUTEX_CARD_%s", pszDevicePath);
    if (n < 0 || static_cast<DWORD>(n) >= dwLen)
        return FALSE;
    for (char *p = pszName; *p; ++p) {
        if (*p == '\\')
            *p = '_';
    }
    return TRUE;
}

DWORD CKQCard::OpenConnection(const char *pszDevicePath)
{
    return OpenConnectionEx(pszDevicePath, KQCARD_CONN_DEFAULT);
}

DWORD CKQCard::OpenConnectionByDeviceId(const char *pszDeviceId)
{
    return OpenConnectionByDeviceIdEx(pszDeviceId, KQCARD_CONN_DEFAULT);
}

DWORD CKQCard::OpenConnByContainerDefault(const char *pszContainer)
{
    return OpenConnByContainer(pszContainer, KQCARD_CONN_DEFAULT);
}

void CKQCard::ReplaceMutex(const char *pszNewName)
{
    if (m_hCardMutex == nullptr)
        return;
    // A reopen of the same token from inside a locked operation (the
    // reconnect of the frame) must keep the handle the operation's guard
    // holds and will release; the lock is recursive for this thread.
    if (std::strcmp(m_szMutexName, pszNewName) == 0)
        return;
    Trace()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                 "CKQCard::OpenConnectionEx m_hCardMutex[%d]!=NULL,ReleaseMutex",
                 static_cast<int>(reinterpret_cast<INT_PTR>(m_hCardMutex)));
    ReleaseMutex(m_hCardMutex);
    CloseHandle(m_hCardMutex);
    m_hCardMutex = nullptr;
}

DWORD CKQCard::OpenConnectionEx(const char *pszDevicePath, int eType)
{
    const char *const kMethod = "OpenConnectionEx";
    try {
        Enter(kMethod);
        Trace()->Log(TRACE_LEVEL_ARGS, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                     "CKQCard::OpenConnectionEx pszDevicePath=[%s],eType=[%d]",
                     pszDevicePath ? pszDevicePath : "", eType);

        // The argument may be m_szDevicePath itself (ReConnect): copy it
        // before the member is cleared.
        std::string strPath;
        if (pszDevicePath != nullptr && pszDevicePath[0] != '\0') {
            strPath = pszDevicePath;
            if (strPath.size() > KQCARD_MAX_DEVICE_PATH) {
                Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnectionEx Device Path Too Long");
                return KQ_SCARD_E_UNEXPECTED;
            }
        } else {
            CHidDeviceManager *pDevices = CHidDeviceManager::GetInstance();
            // The count rebuilds the device list; an empty list is walked
            // once more to tell a failed walk from no token.
            int nCount = pDevices->GetUKeyCount();
            if (nCount == 0 && !pDevices->GetUsbKeyList()) {
                Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnection GetUsbKeyList Faied");
                return KQ_SCARD_E_UNEXPECTED;
            }
            char szFirst[260] = {0};
            if (nCount == 0 || !pDevices->GetUKeyDevicePath(0, szFirst, sizeof(szFirst))) {
                Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnection lstUKey.size()==0");
                return KQ_SCARD_E_NO_SMARTCARD;
            }
            strPath = szFirst;
            if (strPath.size() > KQCARD_MAX_DEVICE_PATH) {
                Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnectionEx Device Path Too Long");
                return KQ_SCARD_E_UNEXPECTED;
            }
        }
        std::memset(m_szDevicePath, 0, sizeof(m_szDevicePath));
        std::memcpy(m_szDevicePath, strPath.c_str(), strPath.size());

        char szName[260] = {0};
        BuildMutexName(m_szDevicePath, szName, sizeof(szName));
        char szUpper[260] = {0};
        for (size_t i = 0; szName[i]; ++i)
            szUpper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(szName[i])));

        ReplaceMutex(szName);
        std::memcpy(m_szMutexName, szName, sizeof(m_szMutexName));
        if (m_hCardMutex == nullptr) {
            m_hCardMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, szUpper);
            if (m_hCardMutex != nullptr) {
                Trace()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnectionEx OpenMutex m_hCardMutex=[%d]",
                             static_cast<int>(reinterpret_cast<INT_PTR>(m_hCardMutex)));
            } else {
                m_hCardMutex = CreateMutexA(nullptr, FALSE, szUpper);
                Trace()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::OpenConnectionEx CreateMutex Success,m_hCardMutex=[%d]",
                             static_cast<int>(reinterpret_cast<INT_PTR>(m_hCardMutex)));
            }
        }

        CCardMutex lock(m_hCardMutex);
        CHidManager *pHid = CHidManager::GetInstance();
        if (!pHid->IsConnected(m_szDevicePath) && !pHid->Connect(m_szDevicePath)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::OpenConnection Connect Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }

        // Only the cached PIN outlives the command object it was cached in.
        BYTE *pbPin = nullptr;
        int nPinLen = 0;
        if (m_psCard != nullptr) {
            m_psCard->GetCachedPin(&pbPin, &nPinLen);
            m_psCard->DeleteObject(CARD_DELETE_MEMORY);
            m_psCard = nullptr;
        }
        m_psCard = CreateCommandObject(m_szDevicePath, eType);
        if (pbPin != nullptr) {
            if (m_psCard != nullptr && nPinLen > 0)
                m_psCard->SetCachedPin(pbPin, static_cast<DWORD>(nPinLen));
            SecureZeroMemory(pbPin, nPinLen > 0 ? static_cast<size_t>(nPinLen) : 0);
            CMemoryManager::Free(pbPin);
        }
        Leave(kMethod);
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::OpenConnectionEx");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::OpenConnByContainer(const char *pszContainer, int eType)
{
    try {
        Enter("OpenConnByContainer");
        std::string strId = pszContainer ? pszContainer : "";
        for (char &c : strId) {
            if (c == '#')
                c = '\\';
        }
        DWORD dwRet = OpenConnectionByDeviceIdEx(strId.c_str(), eType);
        Leave("OpenConnByContainer");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::OpenConnByContainer");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::OpenConnectionByDeviceIdEx(const char *pszDeviceId, int eType)
{
    try {
        Enter("OpenConnectionByDeviceIdEx");
        if (pszDeviceId == nullptr || pszDeviceId[0] == '\0') {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::OpenConnectionByDeviceIdEx Invalid Data");
            return OpenConnectionEx(nullptr, eType);
        }
        std::string strPath;
        if (!CHidDeviceManager::GetInstance()->DeviceIdToDevicePath(pszDeviceId, strPath)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::OpenConnectionByDeviceIdEx GetDevciePath Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        DWORD dwRet = OpenConnectionEx(strPath.c_str(), eType);
        Leave("OpenConnectionByDeviceIdEx");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::OpenConnectionByDeviceIdEx");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::AttachConnection(const char *pszDevicePath)
{
    try {
        Enter("AttachConnection");
        CCardMutex lock(m_hCardMutex);
        if (m_szDevicePath[0] != '\0') {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::AttachConnection m_szDevicePath Not Empty");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (pszDevicePath == nullptr || std::strlen(pszDevicePath) + 1 > sizeof(m_szDevicePath)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::AttachConnection pszDevicePath Too Long");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (!CHidManager::GetInstance()->IsConnected(pszDevicePath)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::AttachConnection IsConnected Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::strcpy(m_szDevicePath, pszDevicePath);
        Leave("AttachConnection");
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::AttachConnection");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::ConvertToFullName(const char *pszName, char *pszFullName, DWORD *pdwLen)
{
    try {
        Enter("ConvertToFullName");
        CCardMutex lock(m_hCardMutex);
        if (pszName == nullptr || pszFullName == nullptr || pdwLen == nullptr)
            return KQ_SCARD_E_INVALID_PARAMETER;
        std::string strPath = m_szDevicePath;
        size_t nHash = strPath.size() > 4 ? strPath.rfind('#') : std::string::npos;
        if (nHash == std::string::npos || nHash < 4) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::ConvertToFullName Can Not Find '#', GetLastError=[%d]",
                         static_cast<int>(GetLastError()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::string strDevice = strPath.substr(4, nHash - 4);
        DWORD dwRequire = static_cast<DWORD>(strDevice.size() + std::strlen(pszName) + 6);
        if (*pdwLen < dwRequire) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::ConvertToFullName dwLen < dwRequireLen");
            return KQ_SCARD_E_INVALID_PARAMETER;
        }
        std::string strFull = "\\\\.\\" + strDevice + "\\" + pszName;
        std::memcpy(pszFullName, strFull.c_str(), strFull.size() + 1);
        Leave("ConvertToFullName");
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::ConvertToFullName");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

BOOL CKQCard::IsConnected()
{
    try {
        return CHidManager::GetInstance()->IsConnected(m_szDevicePath) ? TRUE : FALSE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::IsConnected");
        return FALSE;
    }
}

DWORD CKQCard::ReConnect()
{
    try {
        Enter("ReConnect");
        // A private copy: OpenConnectionEx clears the member before it binds.
        char szPath[260];
        std::memcpy(szPath, m_szDevicePath, sizeof(szPath));
        DWORD dwRet = OpenConnection(szPath);
        Leave("ReConnect");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::ReConnect");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CKQCard::ReConnectIfDropped()
{
    if (IsConnected())
        return KQ_SCARD_S_SUCCESS;
    return ReConnect();
}

DWORD CKQCard::CloseConnection()
{
    try {
        Enter("CloseConnection");
        {
            CCardMutex lock(m_hCardMutex);
            CHidManager *pHid = CHidManager::GetInstance();
            if (m_szDevicePath[0] != '\0' && pHid->IsConnected(m_szDevicePath) &&
                !pHid->DisConnect(m_szDevicePath)) {
                Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                             "CKQCard::CloseConnection Connect Faied");
                return KQ_SCARD_E_UNEXPECTED;
            }
        }
        if (m_hCardMutex != nullptr) {
            Trace()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::CloseConnection CloseHandle m_hCardMutex=[%d]",
                         static_cast<int>(reinterpret_cast<INT_PTR>(m_hCardMutex)));
            CloseHandle(m_hCardMutex);
            m_hCardMutex = nullptr;
        }
        Leave("CloseConnection");
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::CloseConnection");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

BOOL CKQCard::GetDevicePath(char *pszDevicePath, DWORD dwLen)
{
    try {
        Enter("GetDevicePath");
        CCardMutex lock(m_hCardMutex);
        DWORD dwNeed = static_cast<DWORD>(std::strlen(m_szDevicePath) + 1);
        if (pszDevicePath == nullptr || dwLen < dwNeed) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetDevicePath dwLen < dwRequireLen");
            return FALSE;
        }
        std::memcpy(pszDevicePath, m_szDevicePath, dwNeed);
        Leave("GetDevicePath");
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::GetDevicePath");
        return FALSE;
    }
}

BOOL CKQCard::GetDeviceId(char *pszDeviceId, DWORD dwLen)
{
    try {
        Enter("GetDeviceId");
        CCardMutex lock(m_hCardMutex);
        // A BOOL slot: a failed reopen is FALSE, never a result code.
        if (ReConnectIfDropped() != KQ_SCARD_S_SUCCESS)
            return FALSE;
        UsbInfo info;
        if (!CHidDeviceManager::GetInstance()->GetUsbInfoFromDevicePath(m_szDevicePath, info)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetDeviceId GetUsbInfoFromDevicePath Failed");
            return FALSE;
        }
        if (pszDeviceId == nullptr || dwLen < info.m_strDeviceId.size() + 1) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetDeviceId Failed");
            return FALSE;
        }
        std::memcpy(pszDeviceId, info.m_strDeviceId.c_str(), info.m_strDeviceId.size() + 1);
        Leave("GetDeviceId");
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::GetDeviceId");
        return FALSE;
    }
}

DWORD CKQCard::GetFileSystemStatus(int *lpFileSystemStatus)
{
    try {
        Enter("GetFileSystemStatus");
        CCardMutex lock(m_hCardMutex);
        if (ReConnectIfDropped() != KQ_SCARD_S_SUCCESS)
            return KQ_SCARD_E_NO_SMARTCARD;
        if (lpFileSystemStatus == nullptr) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetFileSystemStatus lpFileSystemStatus==NULL");
            return KQ_SCARD_E_INVALID_PARAMETER;
        }
        // An attached object (or an unknown connection kind) has no command
        // object to select with.
        if (m_psCard == nullptr) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetFileSystemStatus m_psCard==NULL");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (m_psCard->SelectFile(0x00, 0x3F, 0x00) == KQ_SCARD_S_SUCCESS) {
            *lpFileSystemStatus = 1;
        } else {
            *lpFileSystemStatus = 0;
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::GetFileSystemStatus dwRet != S_OK");
        }
        Leave("GetFileSystemStatus");
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::GetFileSystemStatus");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

BOOL CKQCard::IsDevOnLine(const char *pszDevicePath)
{
    try {
        Enter("IsDevOnLine");
        if (pszDevicePath == nullptr || !CHidManager::GetInstance()->IsConnected(pszDevicePath)) {
            Trace()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                         "CKQCard::IsDevOnLine IsConnected Failed");
            return FALSE;
        }
        Leave("IsDevOnLine");
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::IsDevOnLine");
        return FALSE;
    }
}

int CKQCard::GetUKeyCount()
{
    try {
        Enter("GetUKeyCount");
        int nCount = CHidDeviceManager::GetInstance()->GetUKeyCount();
        Leave("GetUKeyCount");
        return nCount > 0 ? nCount : 0;
    } catch (...) {
        // A count slot: 0, never a result code a caller would take for tokens.
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::GetUKeyCount");
        return 0;
    }
}

BOOL CKQCard::GetUKeyDevicePath(int nIndex, char *pszDevicePath, DWORD dwLen)
{
    try {
        Enter("GetUKeyDevicePath");
        if (pszDevicePath == nullptr)
            return FALSE;
        BOOL bRet = CHidDeviceManager::GetInstance()->GetUKeyDevicePath(nIndex, pszDevicePath, dwLen);
        Leave("GetUKeyDevicePath");
        return bRet ? TRUE : FALSE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CKQCard::GetUKeyDevicePath");
        return FALSE;
    }
}
