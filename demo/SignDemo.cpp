// SignDemo.cpp
//
// sign_demo.exe: the CSP as a CryptoAPI application meets it, on a token
// emulator of its own with a freshly issued token (PIN 123456) whose
// scripted holder types the PIN, reads the transaction page by page and
// confirms (or cancels) on the token's keypad.
//
//   sign_demo --data FILE --out FOLDER [--bits 1024|2048] [--cancel]
//
// It registers the Pavrel.dll beside it under the provider's name (the
// entry found before is put back at the end), makes the container "KQDemo"
// with an AT_SIGNATURE key pair on the new token,
// signs the file's bytes with SHA-1 through advapi32 and writes to FOLDER:
// pub.pem and pub.der (SubjectPublicKeyInfo), sig.bin (the signature,
// big-endian, as OpenSSL reads it), data.xml (the bytes signed) and
// screen-NN.png, one picture per screen the token showed, oldest first
// (also when the signature failed). FOLDER is a Windows path without
// spaces (the emulator writes the pictures). Exit code: 0 when the
// signature was made, or with --cancel when the signature was refused and
// the token showed the cancel; 1 when a step failed; 2 for a wrong command
// line.
#include <windows.h>
#include <wincrypt.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CapiHandles.h"
#include "EmuScreenAnswers.h"
#include "EmulatorProcess.h"
#include "ProviderRegistration.h"
#include "SignDemoPlan.h"
#include "SignSamples.h"
#include "TestPaths.h"

namespace {

const char kProvider[] = KQ_CSP_PROVIDER_NAME;
const char kContainer[] = "KQDemo";
const char kPin[] = "123456";
const DWORD kConfirmWaitMs = 30000;
const DWORD kLogoWaitMs = 15000;

typedef std::vector<BYTE> Bytes;

struct Options {
    std::string strData;
    std::string strOut;
    DWORD nBits = 2048;
    bool bCancel = false;
};

const char kUsage[] = "usage: sign_demo --data FILE --out FOLDER [--bits 1024|2048] [--cancel]\n";

bool ParseOptions(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        const bool bValue = i + 1 < argc;
        if (strArg == "--data" && bValue) {
            opt.strData = argv[++i];
        } else if (strArg == "--out" && bValue) {
            opt.strOut = argv[++i];
        } else if (strArg == "--bits" && bValue) {
            const std::string strBits = argv[++i];
            if (strBits != "1024" && strBits != "2048")
                return false;
            opt.nBits = static_cast<DWORD>(std::atoi(strBits.c_str()));
        } else if (strArg == "--cancel") {
            opt.bCancel = true;
        } else {
            return false;
        }
    }
    return !opt.strData.empty() && !opt.strOut.empty();
}

void Say(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(stdout, pszFormat, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A failed call: its name and the last error; false, so a step can return it.
bool Failed(const char *pszCall)
{
    const DWORD dwError = GetLastError();
    Say("  %s: FALSE, error 0x%08lX", pszCall, dwError);
    return false;
}

bool ReadBytes(const std::string &strPath, Bytes &data)
{
    std::FILE *pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    data.clear();
    BYTE ab[4096];
    size_t n = 0;
    while ((n = std::fread(ab, 1, sizeof(ab), pFile)) > 0)
        data.insert(data.end(), ab, ab + n);
    const bool bOk = std::ferror(pFile) == 0;
    std::fclose(pFile);
    return bOk;
}

bool WriteBytes(const std::string &strPath, const void *pv, size_t n)
{
    std::FILE *pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr)
        return false;
    const bool bOk = std::fwrite(pv, 1, n, pFile) == n;
    return std::fclose(pFile) == 0 && bOk;
}

bool WriteBytes(const std::string &strPath, const std::string &s)
{
    return WriteBytes(strPath, s.data(), s.size());
}

class Demo {
public:
    Demo(const Options &opt, const EmulatorProcess &emu)
        : m_opt(opt), m_emu(emu), m_registration(kProvider)
    {
    }

    int Run()
    {
        if (!Prepare() || !NewKeyPair() || !ExportPublicKey())
            return 1;
        const bool bSigned = Sign();
        // The screens are saved also when the signature went wrong.
        std::vector<std::string> rows;
        const bool bSaved = SaveScreens(rows);
        return bSigned && bSaved && EndedAsAsked(rows) ? 0 : 1;
    }

private:
    std::string Out(const char *pszName) const { return m_opt.strOut + "\\" + pszName; }

    // One control request that must answer "OK".
    bool Control(const std::string &strCommand) const
    {
        const std::string strAnswer = m_emu.Control(strCommand);
        if (strAnswer.compare(0, 2, "OK") == 0)
            return true;
        Say("  emulator refused \"%s\": %s", strCommand.c_str(), strAnswer.c_str());
        return false;
    }

    bool Prepare()
    {
        Say("[1] token emulator on pipe %s: token t1 as the bank issues it (PIN %s)",
            m_emu.PipeBase().c_str(), kPin);
        const std::vector<std::string> rows = HistoryRows(m_emu.Control("screen t1 history"));
        m_strLogoRow = rows.empty() ? std::string() : rows.front();

        // The confirmation's time limit and no bitmap window on the PC.
        const std::string strIni = SignConfigText(kConfirmWaitMs, false);
        if (!WriteBytes(TestBinPath("KQUKeyConfig.ini"), strIni)) {
            Say("  cannot write %s", TestBinPath("KQUKeyConfig.ini").c_str());
            return false;
        }
        const std::string strDll = TestBinPath("Pavrel.dll");
        const HRESULT hr = m_registration.Register(strDll, PROV_RSA_FULL);
        if (hr != S_OK) {
            Say("  registering the provider failed: 0x%08lX", static_cast<unsigned long>(hr));
            return false;
        }
        Say("[2] provider \"%s\" registered: %s (PROV_RSA_FULL)%s", kProvider, strDll.c_str(),
            m_registration.HadEntry() ? "; the entry found before is put back at the end" : "");
        return true;
    }

    bool NewKeyPair()
    {
        if (!CryptAcquireContextA(m_ctx.out(), kContainer, kProvider, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET))
            return Failed("CryptAcquireContext(CRYPT_NEWKEYSET)");
        Say("[3] CryptAcquireContext(\"%s\", CRYPT_NEWKEYSET): TRUE", kContainer);

        // The card asks for the PIN on the token's keypad.
        if (!Control(std::string("user t1 pin ") + kPin))
            return false;
        Say("    holder: types the PIN on the token's keypad when the card asks");
        if (!CryptGenKey(m_ctx.get(), AT_SIGNATURE, m_opt.nBits << 16, m_key.out()))
            return Failed("CryptGenKey(AT_SIGNATURE)");
        DWORD dwBits = 0, dwLen = sizeof(dwBits);
        CryptGetKeyParam(m_key.get(), KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &dwLen, 0);
        Say("    CryptGenKey(AT_SIGNATURE, %lu bits): TRUE, the key pair is on the token (%lu bits)",
            static_cast<unsigned long>(m_opt.nBits), static_cast<unsigned long>(dwBits));
        return true;
    }

    bool ExportPublicKey()
    {
        DWORD dwLen = 0;
        if (!CryptExportKey(m_key.get(), 0, PUBLICKEYBLOB, 0, nullptr, &dwLen))
            return Failed("CryptExportKey(PUBLICKEYBLOB)");
        Bytes blob(dwLen);
        if (!CryptExportKey(m_key.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &dwLen))
            return Failed("CryptExportKey(PUBLICKEYBLOB)");
        Say("[4] CryptExportKey(PUBLICKEYBLOB): %lu bytes", static_cast<unsigned long>(dwLen));

        // SubjectPublicKeyInfo, DER and PEM, for OpenSSL.
        DWORD cbInfo = 0;
        if (!CryptExportPublicKeyInfo(m_ctx.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr,
                                      &cbInfo))
            return Failed("CryptExportPublicKeyInfo");
        Bytes info(cbInfo);
        PCERT_PUBLIC_KEY_INFO pInfo = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(info.data());
        if (!CryptExportPublicKeyInfo(m_ctx.get(), AT_SIGNATURE, X509_ASN_ENCODING, pInfo, &cbInfo))
            return Failed("CryptExportPublicKeyInfo");
        DWORD cbDer = 0;
        if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pInfo, 0, nullptr,
                                 nullptr, &cbDer))
            return Failed("CryptEncodeObjectEx(X509_PUBLIC_KEY_INFO)");
        Bytes der(cbDer);
        if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pInfo, 0, nullptr,
                                 der.data(), &cbDer))
            return Failed("CryptEncodeObjectEx(X509_PUBLIC_KEY_INFO)");
        der.resize(cbDer);
        DWORD cch = 0;
        if (!CryptBinaryToStringA(der.data(), cbDer, CRYPT_STRING_BASE64, nullptr, &cch))
            return Failed("CryptBinaryToString");
        std::string strBase64(cch, '\0');
        if (!CryptBinaryToStringA(der.data(), cbDer, CRYPT_STRING_BASE64, &strBase64[0], &cch))
            return Failed("CryptBinaryToString");
        strBase64.resize(cch);
        strBase64.erase(std::remove(strBase64.begin(), strBase64.end(), '\r'), strBase64.end());
        if (!strBase64.empty() && strBase64.back() != '\n')
            strBase64 += '\n';
        const std::string strPem =
            "-----BEGIN PUBLIC KEY-----\n" + strBase64 + "-----END PUBLIC KEY-----\n";
        if (!WriteBytes(Out("pub.der"), der.data(), der.size()) ||
            !WriteBytes(Out("pub.pem"), strPem)) {
            Say("  cannot write the public key to %s", m_opt.strOut.c_str());
            return false;
        }
        Say("    CryptExportPublicKeyInfo + CryptEncodeObjectEx(X509_PUBLIC_KEY_INFO): %lu bytes"
            " -> pub.der, pub.pem",
            static_cast<unsigned long>(cbDer));
        return true;
    }

    bool Sign()
    {
        Bytes data;
        if (!ReadBytes(m_opt.strData, data)) {
            Say("  cannot read %s", m_opt.strData.c_str());
            return false;
        }
        if (!WriteBytes(Out("data.xml"), data.data(), data.size())) {
            Say("  cannot write %s", Out("data.xml").c_str());
            return false;
        }
        if (!CryptCreateHash(m_ctx.get(), CALG_SHA1, 0, 0, m_hash.out()))
            return Failed("CryptCreateHash(CALG_SHA1)");
        if (!CryptHashData(m_hash.get(), data.data(), static_cast<DWORD>(data.size()), 0))
            return Failed("CryptHashData");
        Say("[5] CryptCreateHash(CALG_SHA1) + CryptHashData: %lu bytes of %s (copy: data.xml)",
            static_cast<unsigned long>(data.size()), m_opt.strData.c_str());

        const SignDemoPlan plan =
            PlanConfirmation(std::string(data.begin(), data.end()), "t1", m_opt.bCancel);
        Say("    the token will show %lu page%s%s:", static_cast<unsigned long>(plan.pages.size()),
            plan.pages.size() == 1 ? "" : "s",
            plan.bSecond ? " and then ask to confirm once more"
                         : " (not sign-data XML: it asks to confirm a digital signature)");
        for (size_t i = 0; i < plan.pages.size(); ++i) {
            Say("      page %lu:", static_cast<unsigned long>(i + 1));
            for (const std::string &strRow : plan.pages[i].rows)
                Say("        | %s", strRow.c_str());
        }
        for (const std::string &strCommand : plan.commands) {
            if (!Control(strCommand))
                return false;
            Say("    holder: %s", strCommand.c_str() + std::string("user t1 ").size());
        }

        Bytes sig(m_opt.nBits / 8);
        DWORD dwSigLen = static_cast<DWORD>(sig.size());
        if (!CryptSignHashA(m_hash.get(), AT_SIGNATURE, nullptr, 0, sig.data(), &dwSigLen)) {
            const DWORD dwError = GetLastError();
            if (m_opt.bCancel && dwError == static_cast<DWORD>(SCARD_E_CANCELLED)) {
                Say("[6] CryptSignHash: FALSE, error 0x%08lX (SCARD_E_CANCELLED): no signature",
                    dwError);
                return true;
            }
            Say("[6] CryptSignHash: FALSE, error 0x%08lX", dwError);
            return false;
        }
        if (m_opt.bCancel) {
            Say("[6] CryptSignHash: TRUE although the holder cancelled");
            return false;
        }
        sig.resize(dwSigLen);
        // CryptoAPI hands out the signature little-endian.
        std::reverse(sig.begin(), sig.end());
        if (!WriteBytes(Out("sig.bin"), sig.data(), sig.size())) {
            Say("  cannot write %s", Out("sig.bin").c_str());
            return false;
        }
        Say("[6] CryptSignHash(AT_SIGNATURE): TRUE after the holder confirmed, %lu bytes"
            " -> sig.bin (big-endian)",
            static_cast<unsigned long>(dwSigLen));
        return true;
    }

    // Every screen of the token's history as a picture, once the final
    // text has given way to the logo again; rows gets each screen's first
    // row.
    bool SaveScreens(std::vector<std::string> &rows) const
    {
        if (!m_emu.WaitForFirstRow("t1", m_strLogoRow, kLogoWaitMs))
            Say("    the token's logo did not come back within %lu s",
                static_cast<unsigned long>(kLogoWaitMs / 1000));
        rows = HistoryRows(m_emu.Control("screen t1 history"));
        Say("[7] the token showed %lu screens, saved as pictures in %s:",
            static_cast<unsigned long>(rows.size()), m_opt.strOut.c_str());
        for (size_t n = 0; n < rows.size(); ++n) {
            char szName[32];
            std::snprintf(szName, sizeof(szName), "screen-%02lu.png",
                          static_cast<unsigned long>(n + 1));
            if (!Control("screen t1 png " + Out(szName) + " " + std::to_string(n)))
                return false;
            // The logo is a picture, which reads back as no text.
            Say("      %s  %s", szName,
                rows[n] == m_strLogoRow ? "(the token's logo)" : rows[n].c_str());
        }
        return true;
    }

    // A refused signature is a cancel only when the token said so: a
    // confirmation that timed out is refused with the same code.
    bool EndedAsAsked(const std::vector<std::string> &rows) const
    {
        if (!m_opt.bCancel)
            return true;
        std::string strLast;
        for (const std::string &strRow : rows)
            if (strRow != m_strLogoRow)
                strLast = strRow;
        if (strLast == SIGN_CANCELLED_TEXT)
            return true;
        Say("    the token's last text was \"%s\", not the cancel's", strLast.c_str());
        return false;
    }

    const Options &m_opt;
    const EmulatorProcess &m_emu;
    CScopedProviderEntry m_registration;
    // Declared context first, so that the key and the hash go before it.
    CapiContext m_ctx;
    CapiKey m_key;
    CapiHash m_hash;
    std::string m_strLogoRow;
};

}  // namespace

int main(int argc, char **argv)
{
    // Texts go out as UTF-8 bytes, lines ending in "\n".
    _setmode(_fileno(stdout), _O_BINARY);
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    CreateDirectoryA(opt.strOut.c_str(), nullptr);
    EmulatorProcess emu(1);
    if (!emu.Started()) {
        Say("the token emulator did not start");
        return 1;
    }
    Demo demo(opt, emu);
    return demo.Run();
}
