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
    std::string m_strName;
};
