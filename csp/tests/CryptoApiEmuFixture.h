// CryptoApiEmuFixture.h
//
// The CSP as an application meets it: registered in the prefix under its
// own name, loaded by advapi32 from the folder that holds it beside the
// emulator-bound Corlisk.dll, and driven only through advapi32 and crypt32.
// Each test gets a private token emulator with a freshly issued token (PIN
// 123456) whose scripted holder types the PIN and presses the keys
// (EmuHolderTest).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "CapiHandles.h"
#include "EmuHolderTest.h"
#include "PromptFiles.h"
#include "ProviderRegistration.h"
#include "SignSamples.h"
#include "TestPaths.h"

#define KAVRU_PROVIDER_A KQ_CSP_PROVIDER_NAME

typedef std::vector<BYTE> Bytes;

// A certificate in the current user's "MY" store whose key-provider
// information names a container of a CSP, as the key manager mirrors a
// token's certificates; taken out of the store again at scope end.
class CapiMyCertificate {
public:
    CapiMyCertificate(const Bytes &der, const char *pszContainer, const char *pszProvider,
                      DWORD dwKeySpec)
    {
        m_hStore = CertOpenSystemStoreA(0, "MY");
        if (m_hStore == nullptr ||
            !CertAddEncodedCertificateToStore(m_hStore, X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, &m_pCert))
            return;
        // Both names are ASCII.
        const std::string strName(pszContainer), strProvider(pszProvider);
        std::wstring wstrContainer(strName.begin(), strName.end());
        std::wstring wstrProvider(strProvider.begin(), strProvider.end());
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = &wstrContainer[0];
        info.pwszProvName = &wstrProvider[0];
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = dwKeySpec;
        if (!CertSetCertificateContextProperty(m_pCert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
            reset();
    }
    ~CapiMyCertificate()
    {
        reset();
        if (m_hStore != nullptr)
            CertCloseStore(m_hStore, 0);
    }
    CapiMyCertificate(const CapiMyCertificate &) = delete;
    CapiMyCertificate &operator=(const CapiMyCertificate &) = delete;
    PCCERT_CONTEXT get() const { return m_pCert; }

private:
    void reset()
    {
        if (m_pCert != nullptr) {
            CertDeleteCertificateFromStore(CertDuplicateCertificateContext(m_pCert));
            CertFreeCertificateContext(m_pCert);
        }
        m_pCert = nullptr;
    }

    HCERTSTORE m_hStore = nullptr;
    PCCERT_CONTEXT m_pCert = nullptr;
};

class CryptoApiEmu : public EmuHolderTest {
protected:
    // The provider entry names the Pavrel.dll beside the test program; a
    // short confirmation time keeps the time-out case quick.
    static void SetUpTestSuite()
    {
        const std::string strIni = SignConfigText(8000, false);
        WriteFileBytes(TestBinPath("KQUKeyConfig.ini"), Bytes(strIni.begin(), strIni.end()));
        s_pEntry.reset(new CScopedProviderEntry(KAVRU_PROVIDER_A));
        ASSERT_EQ(S_OK, s_pEntry->Register(TestBinPath("Pavrel.dll"), PROV_RSA_FULL));
    }
    // Whatever entry was there before comes back.
    static void TearDownTestSuite() { s_pEntry.reset(); }

    void TearDown() override { m_emu.Control("user t1 clear"); }

    // Acquires the named container of this CSP; the error code, 0 on success.
    static DWORD Acquire(CapiContext &ctx, const char *pszContainer, DWORD dwFlags)
    {
        ctx.reset();
        return CryptAcquireContextA(ctx.out(), pszContainer, KAVRU_PROVIDER_A, PROV_RSA_FULL,
                                    dwFlags)
                   ? 0
                   : GetLastError();
    }

    // A new container holding a new key pair of dwSpec and nBits: the holder
    // types the PIN the card asks for. The public key's PUBLICKEYBLOB in
    // *pBlob.
    void NewKeyPair(CapiContext &ctx, const char *pszContainer, DWORD dwSpec, DWORD nBits,
                    Bytes *pBlob)
    {
        ASSERT_EQ(0u, Acquire(ctx, pszContainer, CRYPT_NEWKEYSET));
        Script({"user t1 pin 123456"});
        CapiKey key;
        ASSERT_TRUE(CryptGenKey(ctx.get(), dwSpec, nBits << 16, key.out()))
            << std::hex << GetLastError();
        DWORD dwLen = 0;
        ASSERT_TRUE(CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &dwLen))
            << std::hex << GetLastError();
        pBlob->assign(dwLen, 0);
        ASSERT_TRUE(CryptExportKey(key.get(), 0, PUBLICKEYBLOB, 0, pBlob->data(), &dwLen));
        pBlob->resize(dwLen);
    }

    static std::unique_ptr<CScopedProviderEntry> s_pEntry;
};

inline std::unique_ptr<CScopedProviderEntry> CryptoApiEmu::s_pEntry;
