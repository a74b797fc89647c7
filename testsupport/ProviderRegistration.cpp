// ProviderRegistration.cpp
#include "ProviderRegistration.h"

namespace {

const char kProviderRoot[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";

HRESULT FromError(LONG lError)
{
    return lError == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(lError));
}

LONG SetDword(HKEY hKey, const char *pszName, DWORD dwValue)
{
    return RegSetValueExA(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue),
                          sizeof(dwValue));
}

}  // namespace

CProviderRegistration::CProviderRegistration(const std::string &strName) : m_strName(strName) {}

std::string CProviderRegistration::keyPath() const
{
    return kProviderRoot + m_strName;
}

LONG CProviderRegistration::Write(const ProviderEntry &entry) const
{
    HKEY hKey = nullptr;
    LONG lError = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath().c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &hKey, nullptr);
    if (lError != ERROR_SUCCESS)
        return lError;
    lError = RegSetValueExA(hKey, "Image Path", 0, REG_SZ,
                            reinterpret_cast<const BYTE *>(entry.strImagePath.c_str()),
                            static_cast<DWORD>(entry.strImagePath.size() + 1));
    if (lError == ERROR_SUCCESS)
        lError = SetDword(hKey, "Type", entry.dwType);
    if (lError == ERROR_SUCCESS && entry.bSigInFile)
        lError = SetDword(hKey, "SigInFile", entry.dwSigInFile);
    RegCloseKey(hKey);
    return lError;
}

HRESULT CProviderRegistration::Register(const std::string &strImagePath, DWORD dwType) const
{
    if (m_strName.empty() || strImagePath.empty())
        return E_INVALIDARG;
    ProviderEntry entry;
    entry.bPresent = true;
    entry.strImagePath = strImagePath;
    entry.dwType = dwType;
    entry.bSigInFile = true;
    entry.dwSigInFile = 0;
    const LONG lError = Write(entry);
    if (lError != ERROR_SUCCESS)
        Unregister();
    return FromError(lError);
}

HRESULT CProviderRegistration::Unregister() const
{
    if (m_strName.empty())
        return E_INVALIDARG;
    const LONG lError = RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath().c_str());
    if (lError == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return FromError(lError);
}

ProviderEntry CProviderRegistration::Read() const
{
    ProviderEntry entry;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath().c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return entry;
    entry.bPresent = true;
    char szPath[MAX_PATH * 2] = "";
    DWORD dwSize = sizeof(szPath) - 1;
    DWORD dwType = 0;
    if (RegQueryValueExA(hKey, "Image Path", nullptr, &dwType, reinterpret_cast<BYTE *>(szPath),
                         &dwSize) == ERROR_SUCCESS &&
        dwType == REG_SZ)
        entry.strImagePath = szPath;
    dwSize = sizeof(DWORD);
    RegQueryValueExA(hKey, "Type", nullptr, nullptr, reinterpret_cast<BYTE *>(&entry.dwType),
                     &dwSize);
    dwSize = sizeof(DWORD);
    entry.bSigInFile = RegQueryValueExA(hKey, "SigInFile", nullptr, nullptr,
                                        reinterpret_cast<BYTE *>(&entry.dwSigInFile),
                                        &dwSize) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return entry;
}

void CProviderRegistration::Restore(const ProviderEntry &entry) const
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath().c_str());
    if (entry.bPresent)
        Write(entry);
}
