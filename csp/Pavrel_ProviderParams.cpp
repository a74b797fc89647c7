// Pavrel_ProviderParams.cpp
//
// The provider parameters: the fixed values, the algorithm and container
// enumerations, the registry key's security descriptor and the exchange PIN.
#include "Pavrel_Provider.h"

#include <cstring>
#include <vector>

#include "KQCardAccess.h"
#include "Pavrel_AlgTable.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_ContainerText.h"
#include "Pavrel_Keyset.h"

const char PAVREL_PROVIDER_NAME[] = "Kavru USB KEY Cryptographic Service Provider 0.0.1.0";

namespace {

const char kProviderKey[] =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\"
    "Kavru USB KEY Cryptographic Service Provider 0.0.1.0";
const DWORD kImpType = CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE;
const DWORD kVersion = 0x100;
const DWORD kKeySizeInc = 1024;
const DWORD kKeySpecs = AT_KEYEXCHANGE | AT_SIGNATURE;
const DWORD kMaxEntries = 4;
const WORD kEntryInUse = 0x0800;
const DWORD kDevicePathLen = 260;
// The token keeps at most 32 PIN bytes.
const DWORD kMaxPinLen = 32;

// The algorithm rows' cursor, one for the process (under the keyset lock).
DWORD g_dwAlgCursor = 0;

DWORD Err(HRESULT hr) { return static_cast<DWORD>(hr); }

DWORD Put32(DWORD dwValue, BYTE *pbData, DWORD *pdwDataLen)
{
    return Pavrel_Provider::putOutput(&dwValue, sizeof(dwValue), pbData, pdwDataLen);
}

DWORD PutText(const std::string &str, BYTE *pbData, DWORD *pdwDataLen)
{
    return Pavrel_Provider::putOutput(str.c_str(), static_cast<DWORD>(str.size() + 1), pbData,
                                      pdwDataLen);
}

void AppendInUse(const KEYSET_ID *pItems, DWORD dwCount, std::deque<std::string> &names)
{
    for (DWORD i = 0; i < dwCount && i < kMaxEntries; ++i)
        if ((pItems[i].wStatus & kEntryInUse) != 0)
            names.push_back(
                Pavrel_ContainerText::boundedName(pItems[i].szName, sizeof(pItems[i].szName)));
}

class RegistryKey {
public:
    explicit RegistryKey(REGSAM access) : m_hKey(nullptr)
    {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0, access, &m_hKey) != ERROR_SUCCESS)
            m_hKey = nullptr;
    }
    ~RegistryKey()
    {
        if (m_hKey)
            RegCloseKey(m_hKey);
    }
    HKEY get() const { return m_hKey; }

private:
    HKEY m_hKey;
};

}  // namespace

DWORD Pavrel_Provider::getProvParam(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    if (dwFlags != 0 && dwFlags != CRYPT_FIRST && dwFlags != 2 && dwFlags != 4 && dwFlags != 0x20)
        return Err(NTE_BAD_FLAGS);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    switch (dwParam) {
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX:
        return enumAlgorithms(dwParam, pbData, pdwDataLen, dwFlags);
    case PP_ENUMCONTAINERS:
        return enumContainers(pbData, pdwDataLen, dwFlags);
    case PP_IMPTYPE:
        return Put32(kImpType, pbData, pdwDataLen);
    case PP_NAME:
        return PutText(PAVREL_PROVIDER_NAME, pbData, pdwDataLen);
    case PP_VERSION:
        return Put32(kVersion, pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        if (m_pKeyset == nullptr)
            return Err(NTE_BAD_UID);
        return PutText(m_pKeyset->getKeysetPath(), pbData, pdwDataLen);
    case PP_KEYSET_SEC_DESCR:
        return getSecurityDescriptor(pbData, pdwDataLen, dwFlags);
    case PP_PROVTYPE:
        return Put32(PROV_RSA_FULL, pbData, pdwDataLen);
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC:
        return Put32(kKeySizeInc, pbData, pdwDataLen);
    case PP_KEYSPEC:
        return Put32(kKeySpecs, pbData, pdwDataLen);
    default:
        return Err(NTE_BAD_TYPE);
    }
}

DWORD Pavrel_Provider::enumAlgorithms(DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                      DWORD dwFlags)
{
    const DWORD dwSize = dwParam == PP_ENUMALGS ? sizeof(PROV_ENUMALGS) : sizeof(PROV_ENUMALGS_EX);
    // Only a call that returns a row moves the cursor.
    if (pbData == nullptr || *pdwDataLen < dwSize)
        return putOutput(nullptr, dwSize, pbData, pdwDataLen);
    DWORD dwRow = 0;
    {
        Pavrel_Keyset::Lock lock;
        if (dwFlags == CRYPT_FIRST) {
            g_dwAlgCursor = 0;
        } else if (++g_dwAlgCursor >= Pavrel_AlgTable::kRows) {
            g_dwAlgCursor = 0;
            return ERROR_NO_MORE_ITEMS;
        }
        dwRow = g_dwAlgCursor;
    }
    const PROV_ENUMALGS_EX &row = Pavrel_AlgTable::row(dwRow);
    if (dwParam == PP_ENUMALGS_EX)
        return putOutput(&row, dwSize, pbData, pdwDataLen);
    PROV_ENUMALGS alg;
    std::memset(&alg, 0, sizeof(alg));
    alg.aiAlgid = row.aiAlgid;
    alg.dwBitLen = row.dwDefaultLen;
    alg.dwNameLen = sizeof(alg.szName);
    std::memcpy(alg.szName, row.szName, sizeof(alg.szName));
    return putOutput(&alg, dwSize, pbData, pdwDataLen);
}

DWORD Pavrel_Provider::enumContainers(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    Pavrel_Keyset::Lock lock;
    // CRYPT_FIRST starts over with the token's list as it is now.
    if (dwFlags == CRYPT_FIRST) {
        m_dequeContainers.clear();
        DWORD dwRet = fillContainerList();
        if (dwRet != 0)
            return dwRet;
    }
    if (m_dequeContainers.empty())
        return ERROR_NO_MORE_ITEMS;
    const std::string strName = m_dequeContainers.front();
    DWORD dwRet = PutText(strName, pbData, pdwDataLen);
    if (dwRet == 0 && pbData != nullptr)
        m_dequeContainers.pop_front();
    return dwRet;
}

DWORD Pavrel_Provider::fillContainerList()
{
    KEYSET_ID aItems[kMaxEntries];
    if (m_pCardAccess != nullptr) {
        std::memset(aItems, 0, sizeof(aItems));
        DWORD dwCount = kMaxEntries;
        DWORD dwRet = m_pCardAccess->readKeysetIds(aItems, &dwCount);
        if (dwRet != 0)
            return dwRet;
        AppendInUse(aItems, dwCount, m_dequeContainers);
        return 0;
    }
    // A verification context walks every token with a card object of its own.
    CKQCardAccess access;
    const int nDevices = access.GetUKeyCount();
    for (int i = 0; i < nDevices; ++i) {
        char szPath[kDevicePathLen + 1] = {0};
        if (!access.GetUKeyDevicePath(i, szPath, kDevicePathLen))
            continue;
        if (access.OpenConnection(szPath) != 0)
            continue;
        std::memset(aItems, 0, sizeof(aItems));
        DWORD dwCount = kMaxEntries;
        if (access.ReadKeysetIds(aItems, &dwCount) == 0)
            AppendInUse(aItems, dwCount, m_dequeContainers);
        access.CloseConnection();
    }
    return 0;
}

DWORD Pavrel_Provider::getSecurityDescriptor(BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    RegistryKey key(KEY_READ | READ_CONTROL);
    if (key.get() == nullptr)
        return Err(NTE_FAIL);
    DWORD dwLen = 0;
    if (RegGetKeySecurity(key.get(), dwFlags, nullptr, &dwLen) != ERROR_INSUFFICIENT_BUFFER ||
        dwLen == 0)
        return Err(NTE_FAIL);
    std::vector<BYTE> vecDescriptor(dwLen, 0);
    if (RegGetKeySecurity(key.get(), dwFlags, vecDescriptor.data(), &dwLen) != ERROR_SUCCESS)
        return Err(NTE_FAIL);
    return putOutput(vecDescriptor.data(), dwLen, pbData, pdwDataLen);
}

DWORD Pavrel_Provider::setSecurityDescriptor(const BYTE *pbData, DWORD dwFlags)
{
    if (pbData == nullptr ||
        !IsValidSecurityDescriptor(const_cast<BYTE *>(pbData)))
        return Err(NTE_BAD_DATA);
    RegistryKey key(WRITE_DAC | WRITE_OWNER | READ_CONTROL);
    if (key.get() == nullptr)
        return Err(NTE_FAIL);
    if (RegSetKeySecurity(key.get(), dwFlags, const_cast<BYTE *>(pbData)) != ERROR_SUCCESS)
        return Err(NTE_FAIL);
    return 0;
}

DWORD Pavrel_Provider::verifyExchangePin(const BYTE *pbData)
{
    if (m_pKeyset == nullptr)
        return Err(NTE_BAD_UID);
    // A verification context has no token to verify the PIN on.
    if (!isTokenKeyset())
        return Err(NTE_PERM);
    if (pbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    const void *pNul = std::memchr(pbData, '\0', kMaxPinLen + 1);
    if (pNul == nullptr)
        return Err(NTE_BAD_DATA);
    const DWORD dwLen = static_cast<DWORD>(static_cast<const BYTE *>(pNul) - pbData);
    return m_pCardAccess->verifyUserPin(pbData, dwLen) == 0 ? 0 : Err(NTE_FAIL);
}

DWORD Pavrel_Provider::setProvParam(DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    switch (dwParam) {
    case PP_KEYSET_SEC_DESCR:
        return setSecurityDescriptor(pbData, dwFlags);
    case PP_KEYEXCHANGE_PIN:
        return verifyExchangePin(pbData);
    default:
        return Err(NTE_BAD_TYPE);
    }
}
