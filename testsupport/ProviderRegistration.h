// ProviderRegistration.h
//
// CProviderRegistration: the provider's entry under
// HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, which is
// where advapi32 finds a CSP: "Image Path" (the DLL), "Type" and
// "SigInFile" = 0 (no signature is checked), as an installation writes it;
// the tests register the CSP in the prefix with it. The registry view is the
// calling process's own, so the x64 CSP is registered by a 64-bit process.
#pragma once

#include <windows.h>

#include <string>

class CProviderRegistration {
public:
    explicit CProviderRegistration(const std::string &strName);

    // Writes the three values; on any failure removes what it wrote, so no
    // half-registered provider is left. S_OK or an HRESULT from the error.
    HRESULT Register(const std::string &strImagePath, DWORD dwType) const;
    // Removes the provider's key; S_OK also when it was not there.
    HRESULT Unregister() const;

    // The key under HKLM.
    std::string keyPath() const;

private:
    std::string m_strName;
};
