// RegistrationTest.cpp
//
// The provider's registry entry on the shared Wine prefix, under its real
// name: DllRegisterServer and DllUnregisterServer leave it alone (the
// installation writes it), and once the entry is written as an installation
// writes it, advapi32 reaches this DLL through it. Whatever entry was there
// before is put back at the end, so no test leaves a provider registered,
// half registered or missing.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "PavrelDllFixture.h"
#include "ProviderRegistration.h"

namespace {

const char kProviderName[] = KQ_CSP_PROVIDER_NAME;

ProviderEntry ReadEntry() { return CProviderRegistration(kProviderName).Read(); }

class PavrelRegistration : public PavrelDll {
protected:
    void SetUp() override
    {
        PavrelDll::SetUp();
        m_pEntry.reset(new CScopedProviderEntry(kProviderName));
    }
    void TearDown() override
    {
        m_pEntry.reset();
        PavrelDll::TearDown();
    }

    // The path of the DLL the test loaded, as the registration must name it.
    static std::string LoadedPath()
    {
        char szPath[MAX_PATH] = "";
        GetModuleFileNameA(s_hModule, szPath, sizeof(szPath));
        return szPath;
    }

    std::unique_ptr<CScopedProviderEntry> m_pEntry;
};

TEST_F(PavrelRegistration, RegistrationExportsLeaveTheEntryAlone)
{
    ASSERT_EQ(S_OK, CProviderRegistration(kProviderName).Unregister());
    EXPECT_EQ(S_OK, cp().DllRegisterServer());
    EXPECT_FALSE(ReadEntry().bPresent) << "DllRegisterServer wrote an entry";

    ASSERT_EQ(S_OK, CProviderRegistration(kProviderName).Register(LoadedPath(), PROV_RSA_FULL));
    const ProviderEntry entry = ReadEntry();
    ASSERT_TRUE(entry.bPresent);
    EXPECT_STRCASEEQ(LoadedPath().c_str(), entry.strImagePath.c_str());
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), entry.dwType);
    EXPECT_TRUE(entry.bSigInFile);
    EXPECT_EQ(0u, entry.dwSigInFile);
    EXPECT_EQ(S_OK, cp().DllUnregisterServer());
    EXPECT_EQ(entry.strImagePath, ReadEntry().strImagePath)
        << "DllUnregisterServer removed the installation's entry";
}

// advapi32 finds the provider registered as an installation does, loads it (the DLL already loaded
// here) and reaches its CPAcquireContext and CPGenRandom; once
// unregistered, the name is unknown to it.
TEST_F(PavrelRegistration, AdvapiReachesTheRegisteredProvider)
{
    ASSERT_EQ(S_OK, CProviderRegistration(kProviderName).Register(LoadedPath(), PROV_RSA_FULL));
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextA(&hProv, nullptr, kProviderName, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT))
        << std::hex << GetLastError();
    char szName[128] = "";
    DWORD dwLen = sizeof(szName);
    EXPECT_TRUE(CryptGetProvParam(hProv, PP_NAME, reinterpret_cast<BYTE *>(szName), &dwLen, 0));
    EXPECT_STREQ(kProviderName, szName);
    BYTE abRandom[16] = {};
    EXPECT_TRUE(CryptGenRandom(hProv, sizeof(abRandom), abRandom));
    // advapi32 passes a key spec of 3 on; the CSP refuses it.
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(hProv, 3, &hKey));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));

    ASSERT_EQ(S_OK, CProviderRegistration(kProviderName).Unregister());
    hProv = 0;
    EXPECT_FALSE(CryptAcquireContextA(&hProv, nullptr, kProviderName, PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT));
}

}  // namespace
