// HidDeviceManager.cpp
#include "HidDeviceManager.h"

#include <cstddef>
#include <cstring>

#include "HidPort.h"
#include "LocalLock.h"
#include "TraceWriter.h"

namespace {

// The token's USB identity.
const char kTokenVendorId[] = "0925";
const char kTokenProductId[] = "1234";

// Every device path starts with this (backslash backslash question-mark
// backslash).
const char kPathPrefix[] = "\\\\?\\";
const std::size_t kPathPrefixLen = sizeof(kPathPrefix) - 1;
// The HID interface class, as device paths end.
const char kHidClassSuffix[] = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

// The detail data of one interface is read into this many bytes.
const DWORD kDetailBufferSize = 1024;

int LastError() { return static_cast<int>(GetLastError()); }

// Upper case of ASCII letters only: device ids are ASCII, and the result must
// not depend on the thread's locale.
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(const std::string &strA, const char *pszB)
{
    std::size_t nLen = std::strlen(pszB);
    if (strA.size() != nLen)
        return false;
    for (std::size_t i = 0; i < nLen; ++i) {
        if (AsciiUpper(strA[i]) != AsciiUpper(pszB[i]))
            return false;
    }
    return true;
}

void Replace(std::string &str, char cFrom, char cTo)
{
    for (char &c : str) {
        if (c == cFrom)
            c = cTo;
    }
}

// The text after pszTag up to the next '\' or the end; false without the tag.
bool TextAfterTag(const std::string &strText, const char *pszTag, std::string &strOut)
{
    std::string::size_type nTag = strText.find(pszTag);
    if (nTag == std::string::npos)
        return false;
    std::string::size_type nStart = nTag + std::strlen(pszTag);
    std::string::size_type nEnd = strText.find('\\', nStart);
    strOut = strText.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
    return true;
}


// Destroys the device information set on every way out of the walk.
class CDeviceInfoSet {
public:
    CDeviceInfoSet(CHidPort *pPort, HDEVINFO hSet) : m_pPort(pPort), m_hSet(hSet) {}
    ~CDeviceInfoSet() { m_pPort->DestroyDeviceInfoList(m_hSet); }
    HDEVINFO Get() const { return m_hSet; }

private:
    CDeviceInfoSet(const CDeviceInfoSet &) = delete;
    CDeviceInfoSet &operator=(const CDeviceInfoSet &) = delete;
    CHidPort *m_pPort;
    HDEVINFO m_hSet;
};

}  // namespace

CHidDeviceManager *CHidDeviceManager::GetInstance()
{
    static CHidDeviceManager *s_pInstance = new CHidDeviceManager();
    return s_pInstance;
}

namespace {
// The manager is created while the library is loaded, before any caller's
// thread can race for it.
CHidDeviceManager *const g_pCreatedAtLoad = CHidDeviceManager::GetInstance();
}  // namespace

CHidDeviceManager::CHidDeviceManager() { InitializeCriticalSection(&m_lock); }

CHidDeviceManager::~CHidDeviceManager() { DeleteCriticalSection(&m_lock); }

int CHidDeviceManager::GetUKeyCount()
{
    try {
        // The new list replaces the old one in one step, failed walk or not,
        // so a reader sees either the old list or the new one.
        std::vector<std::string> found;
        BOOL bWalked = WalkPresentTokens(found);
        int nCount = 0;
        {
            CLocalLock lock(&m_lock);
            m_lstDevicePaths.swap(found);
            nCount = static_cast<int>(m_lstDevicePaths.size());
        }
        if (!bWalked) {
            CTraceWriter::GetInstance()->Log(
                TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CHidDeviceManager::GetUKeyCount GetUsbKeyList Failed, GetLastError=[%d]",
                LastError());
            return 0;
        }
        return nCount;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::GetUKeyCount");
        return 0;
    }
}

BOOL CHidDeviceManager::GetUKeyDevicePath(int nIndex, char *pszPath, DWORD dwSize)
{
    try {
        CTraceWriter *pTrace = CTraceWriter::GetInstance();
        std::string strPath;
        bool bOverload = false;
        bool bFound = false;
        {
            CLocalLock lock(&m_lock);
            // Compared unsigned and in 32 bits on every target: with an empty
            // list the bound wraps, and the lookup below reports the index.
            DWORD dwLast = static_cast<DWORD>(m_lstDevicePaths.size()) - 1;
            if (static_cast<DWORD>(nIndex) > dwLast) {
                bOverload = true;
            } else if (nIndex >= 0 &&
                       static_cast<std::size_t>(nIndex) < m_lstDevicePaths.size()) {
                strPath = m_lstDevicePaths[static_cast<std::size_t>(nIndex)];
                bFound = true;
            }
        }
        if (bOverload) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUKeyDevicePath Index Overload, GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        if (!bFound) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, Index=[%d], "
                        "GetLastError=[%d]",
                        nIndex, LastError());
            return FALSE;
        }
        // A null buffer has no room at all.
        if (pszPath == nullptr || dwSize < strPath.size() + 1) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUKeyDevicePath Buffer Small, Index=[%d], "
                        "GetLastError=[%d]",
                        nIndex, LastError());
            return FALSE;
        }
        std::memcpy(pszPath, strPath.c_str(), strPath.size() + 1);
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::GetUKeyDevicePath");
        return FALSE;
    }
}

BOOL CHidDeviceManager::GetUsbKeyList()
{
    try {
        std::vector<std::string> found;
        BOOL bWalked = WalkPresentTokens(found);
        {
            CLocalLock lock(&m_lock);
            m_lstDevicePaths.insert(m_lstDevicePaths.end(), found.begin(), found.end());
        }
        return bWalked;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::GetUsbKeyList");
        return FALSE;
    }
}

BOOL CHidDeviceManager::WalkPresentTokens(std::vector<std::string> &found)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    CHidPort *pPort = GetHidPort();
    GUID guidHid;
    std::memset(&guidHid, 0, sizeof(guidHid));
    HDEVINFO hSet = INVALID_HANDLE_VALUE;
    if (pPort != nullptr) {
        pPort->GetHidGuid(&guidHid);
        hSet = pPort->GetClassDevs(&guidHid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    }
    if (hSet == INVALID_HANDLE_VALUE) {
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidDeviceManager::GetUsbKeyList SetupDiGetClassDevs Failed, "
                    "GetLastError=[%d]",
                    LastError());
        return FALSE;
    }

    DWORD dwError = ERROR_SUCCESS;
    {
        CDeviceInfoSet set(pPort, hSet);
        // Aligned for the detail structure; zeroed before every read so that
        // nothing of the previous interface's path is left behind.
        alignas(8) BYTE abDetail[kDetailBufferSize];
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail =
            reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(abDetail);
        const std::size_t nPathRoom =
            kDetailBufferSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

        for (DWORD dwIndex = 0;; ++dwIndex) {
            SP_DEVICE_INTERFACE_DATA data;
            std::memset(&data, 0, sizeof(data));
            data.cbSize = sizeof(data);
            if (!pPort->EnumDeviceInterfaces(set.Get(), &guidHid, dwIndex, &data)) {
                dwError = GetLastError();
                break;
            }

            std::memset(abDetail, 0, sizeof(abDetail));
            pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            DWORD dwRequired = 0;
            if (!pPort->GetDeviceInterfaceDetail(set.Get(), &data, pDetail, kDetailBufferSize,
                                                 &dwRequired))
                continue;  // this interface only; the walk goes on

            // A path that would not fit the 260 bytes the rest of the
            // library gives a device path is never handed out.
            std::size_t nLen = strnlen(pDetail->DevicePath, nPathRoom);
            if (nLen >= MAX_PATH)
                continue;

            UsbInfo usbInfo;
            if (!GetUsbInfoFromDevicePath(pDetail->DevicePath, usbInfo))
                continue;
            if (EqualsNoCase(usbInfo.m_strVendorId, kTokenVendorId) &&
                EqualsNoCase(usbInfo.m_strProductId, kTokenProductId))
                found.push_back(pDetail->DevicePath);
        }
    }

    // Destroying the set may have changed the last-error value: the caller
    // and the trace see the enumeration's own error.
    SetLastError(dwError);
    if (dwError == ERROR_NO_MORE_ITEMS) {
        pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Returns "
                    "ERROR_NO_MORE_ITEMS, GetLastError=[%d]",
                    static_cast<int>(dwError));
        return TRUE;
    }
    pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Failed, "
                "GetLastError=[%d]",
                static_cast<int>(dwError));
    return FALSE;
}

BOOL CHidDeviceManager::GetUsbInfoFromDevicePath(const char *pszDevicePath, UsbInfo &usbInfo)
{
    try {
        CTraceWriter *pTrace = CTraceWriter::GetInstance();
        std::string strPath = pszDevicePath != nullptr ? pszDevicePath : "";
        usbInfo.m_strDevicePath = strPath;

        // Only a path that really starts with the prefix is cut: cutting four
        // characters off anything else would misread (or overrun) it.
        if (strPath.size() < kPathPrefixLen || strPath.compare(0, kPathPrefixLen, kPathPrefix) != 0) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUsbInfoFromDevicePath Invalid Device Path, "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        std::string strRest = strPath.substr(kPathPrefixLen);

        std::string::size_type nLastHash = strRest.rfind('#');
        if (nLastHash == std::string::npos) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUsbInfoFromDevicePath Can Not Find '#', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        usbInfo.m_strInterfaceClass = strRest.substr(nLastHash + 1);

        std::string strDeviceId = strRest.substr(0, nLastHash);
        Replace(strDeviceId, '#', '\\');
        for (char &c : strDeviceId)
            c = AsciiUpper(c);
        usbInfo.m_strDeviceId = strDeviceId;

        if (!GetPidVidFromDeivceId(strDeviceId, usbInfo.m_strProductId, usbInfo.m_strVendorId)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUsbInfoFromDevicePath GetPidVidFromDeivceId "
                        "Failed, GetLastError=[%d]",
                        LastError());
            return FALSE;
        }

        std::string::size_type nSlash = strDeviceId.find('\\');
        if (strDeviceId.empty() || nSlash == std::string::npos) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetUsbInfoFromDevicePath Can Not Find '\\\\', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        usbInfo.m_strBusName = strDeviceId.substr(0, nSlash);
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::GetUsbInfoFromDevicePath");
        return FALSE;
    }
}

BOOL CHidDeviceManager::GetPidVidFromDeivceId(const std::string &strDeviceId,
                                              std::string &strProductId,
                                              std::string &strVendorId)
{
    try {
        CTraceWriter *pTrace = CTraceWriter::GetInstance();
        std::string::size_type nFirst = strDeviceId.find('\\');
        if (nFirst == std::string::npos) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find '\\\\', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        std::string::size_type nNext = strDeviceId.find('\\', nFirst + 1);
        if (nNext == std::string::npos) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next '\\\\', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        // VID_0925&PID_1234 becomes VID_0925\PID_1234, so each id ends at a '\'.
        std::string strIds = strDeviceId.substr(nFirst + 1, nNext - nFirst - 1);
        Replace(strIds, '&', '\\');

        if (!TextAfterTag(strIds, "VID_", strVendorId)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'VID_', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        if (!TextAfterTag(strIds, "PID_", strProductId)) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                        "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'PID_', "
                        "GetLastError=[%d]",
                        LastError());
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::GetPidVidFromDeivceId");
        return FALSE;
    }
}

BOOL CHidDeviceManager::DeviceIdToDevicePath(const std::string &strDeviceId,
                                             std::string &strDevicePath)
{
    try {
        std::string strId = strDeviceId;
        Replace(strId, '\\', '#');
        strDevicePath = kPathPrefix + strId + kHidClassSuffix;
        return TRUE;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CHidDeviceManager::DeviceIdToDevicePath");
        return FALSE;
    }
}
