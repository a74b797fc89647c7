// ProviderRegistration.h
//
// CProviderRegistration: the provider's entry under
// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, which is
// where advapi32 finds a CSP: "Image Path" (the DLL), "Type" and
// "SigInFile" = 0 (no signature is checked), as an installation writes it;
// the tests and the demo register the CSP in the prefix with it. The registry view is the
// calling process's own, so the x64 CSP is registered by a 64-bit process.
#pragma once

#include <windows.h>

#include <string>

// The name the CSP is registered under, as an installation registers it.
#define KQ_CSP_PROVIDER_NAME "Kavru USB KEY Cryptographic Service Provider 0.0.1.0"

// The entry's three values as found; bPresent false when there is no key.
struct ProviderEntry {
    bool bPresent = false;
    std::string strImagePath;
    DWORD dwType = 0xFFFFFFFF;
    DWORD dwSigInFile = 0xFFFFFFFF;
    bool bSigInFile = false;
};

class CProviderRegistration {
public:
    explicit CProviderRegistration(const std::string &strName);

    // Writes the three values; on any failure removes what it wrote, so no
    // half-registered provider is left. S_OK or an HRESULT from the error.
    HRESULT Register(const std::string &strImagePath, DWORD dwType) const;
    // Removes the provider's key; S_OK also when it was not there.
    HRESULT Unregister() const;

    // The entry as it is now, so that whoever registers the provider for a
    // while can put back what an installation or another program wrote.
    ProviderEntry Read() const;
    // Writes the entry back as it was read (or removes the key).
    void Restore(const ProviderEntry &entry) const;

    // The key under HKLM.
    std::string keyPath() const;

private:
    // Creates the key and writes the entry's values; the Win32 error.
    LONG Write(const ProviderEntry &entry) const;

    std::string m_strName;
};

// The provider's entry for as long as the object lives: whatever was there
// (an installation's entry, another program's, or none) is read first and
// put back at the end.
class CScopedProviderEntry {
public:
    explicit CScopedProviderEntry(const std::string &strName)
        : m_registration(strName), m_saved(m_registration.Read())
    {
    }
    ~CScopedProviderEntry() { m_registration.Restore(m_saved); }
    CScopedProviderEntry(const CScopedProviderEntry &) = delete;
    CScopedProviderEntry &operator=(const CScopedProviderEntry &) = delete;

    HRESULT Register(const std::string &strImagePath, DWORD dwType) const
    {
        return m_registration.Register(strImagePath, dwType);
    }
    // True when an entry was there before.
    bool HadEntry() const { return m_saved.bPresent; }

private:
    CProviderRegistration m_registration;
    ProviderEntry m_saved;
};
