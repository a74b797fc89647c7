// PavrelDllFixture.h
//
// The tests of Pavrel.dll's exports load the DLL from their own folder and
// call it the way advapi32 does: through GetProcAddress, with a provider
// structure of their own. Each test gets a verification context; what it
// acquires beyond that it releases itself.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include "CspEntryPoints.h"
#include "TestPaths.h"

struct PavrelExports {
#define PAVREL_EXPORT(name) decltype(&::name) name = nullptr
    PAVREL_EXPORT(CPAcquireContext);
    PAVREL_EXPORT(CPReleaseContext);
    PAVREL_EXPORT(CPGenKey);
    PAVREL_EXPORT(CPDeriveKey);
    PAVREL_EXPORT(CPDestroyKey);
    PAVREL_EXPORT(CPSetKeyParam);
    PAVREL_EXPORT(CPGetKeyParam);
    PAVREL_EXPORT(CPSetProvParam);
    PAVREL_EXPORT(CPGetProvParam);
    PAVREL_EXPORT(CPSetHashParam);
    PAVREL_EXPORT(CPGetHashParam);
    PAVREL_EXPORT(CPExportKey);
    PAVREL_EXPORT(CPImportKey);
    PAVREL_EXPORT(CPEncrypt);
    PAVREL_EXPORT(CPDecrypt);
    PAVREL_EXPORT(CPCreateHash);
    PAVREL_EXPORT(CPHashData);
    PAVREL_EXPORT(CPHashSessionKey);
    PAVREL_EXPORT(CPSignHash);
    PAVREL_EXPORT(CPDestroyHash);
    PAVREL_EXPORT(CPVerifySignature);
    PAVREL_EXPORT(CPGenRandom);
    PAVREL_EXPORT(CPGetUserKey);
    PAVREL_EXPORT(DllRegisterServer);
    PAVREL_EXPORT(DllUnregisterServer);
#undef PAVREL_EXPORT
};

class PavrelDll : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_hModule = LoadLibraryA(TestBinPath("Pavrel.dll").c_str());
        ASSERT_NE(nullptr, s_hModule);
#define PAVREL_BIND(name)                                                           \
    s_exports.name = reinterpret_cast<decltype(s_exports.name)>(                    \
        reinterpret_cast<void *>(GetProcAddress(s_hModule, #name)));                \
    ASSERT_NE(nullptr, reinterpret_cast<void *>(s_exports.name)) << #name " is not exported"
        PAVREL_BIND(CPAcquireContext);
        PAVREL_BIND(CPReleaseContext);
        PAVREL_BIND(CPGenKey);
        PAVREL_BIND(CPDeriveKey);
        PAVREL_BIND(CPDestroyKey);
        PAVREL_BIND(CPSetKeyParam);
        PAVREL_BIND(CPGetKeyParam);
        PAVREL_BIND(CPSetProvParam);
        PAVREL_BIND(CPGetProvParam);
        PAVREL_BIND(CPSetHashParam);
        PAVREL_BIND(CPGetHashParam);
        PAVREL_BIND(CPExportKey);
        PAVREL_BIND(CPImportKey);
        PAVREL_BIND(CPEncrypt);
        PAVREL_BIND(CPDecrypt);
        PAVREL_BIND(CPCreateHash);
        PAVREL_BIND(CPHashData);
        PAVREL_BIND(CPHashSessionKey);
        PAVREL_BIND(CPSignHash);
        PAVREL_BIND(CPDestroyHash);
        PAVREL_BIND(CPVerifySignature);
        PAVREL_BIND(CPGenRandom);
        PAVREL_BIND(CPGetUserKey);
        PAVREL_BIND(DllRegisterServer);
        PAVREL_BIND(DllUnregisterServer);
#undef PAVREL_BIND
    }

    void SetUp() override
    {
        ASSERT_NE(nullptr, s_hModule);
        m_hProv = Acquire(CRYPT_VERIFYCONTEXT);
        ASSERT_NE(0u, m_hProv);
    }
    void TearDown() override
    {
        if (m_hProv != 0)
            cp().CPReleaseContext(m_hProv, 0);
    }

    static const PavrelExports &cp() { return s_exports; }
    // The structure advapi32 passes (version 3).
    static VTableProvStruc *VTable()
    {
        static VTableProvStruc vtable = {3, nullptr, nullptr, PROV_RSA_FULL, nullptr, 0, nullptr};
        return &vtable;
    }
    // A context for the flags on a null container, or 0.
    static HCRYPTPROV Acquire(DWORD dwFlags, const char *pszContainer = nullptr)
    {
        HCRYPTPROV hProv = 0;
        return cp().CPAcquireContext(&hProv, pszContainer, dwFlags, VTable()) ? hProv : 0;
    }
    // The last error of a call that must fail; 0 when it succeeded.
    static DWORD FailCode(BOOL bOk) { return bOk ? 0 : GetLastError(); }

    static inline HMODULE s_hModule = nullptr;
    static inline PavrelExports s_exports;
    HCRYPTPROV m_hProv = 0;
};
