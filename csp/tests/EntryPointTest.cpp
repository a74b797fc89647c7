// EntryPointTest.cpp
//
// Pavrel.dll's exports called directly, as advapi32 calls them: the flag and
// argument checks each entry point makes before the provider sees the call,
// what the provider's own answer looks like when a call gets through, and
// what the trace of the exports shows.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PavrelDllFixture.h"
#include "TraceCapture.h"

namespace
{

const DWORD kBadFlags = static_cast<DWORD>(NTE_BAD_FLAGS);

struct AcquireCase {
    const char *pszLabel;
    DWORD dwFlags;
    const char *pszContainer;
    bool bBadFlags;
};

// The verification context's acquisitions succeed; the others reach the
// token (there is none here), so they only must get past the flags.
const AcquireCase kAcquireCases[] = {
    {"a bit outside the known flags", 0x100, nullptr, true},
    {"the default-container bit", 0x80, nullptr, true},
    {"new and delete", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, "k", true},
    {"new with verification", CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT, nullptr, true},
    {"new, silent, no container", CRYPT_NEWKEYSET | CRYPT_SILENT, nullptr, true},
    {"delete with verification", CRYPT_DELETEKEYSET | CRYPT_VERIFYCONTEXT, nullptr, true},
    {"new, silent, empty container", CRYPT_NEWKEYSET | CRYPT_SILENT, "", false},
    {"delete, silent, no container", CRYPT_DELETEKEYSET | CRYPT_SILENT, nullptr, false},
    {"open by name", 0, "\\\\.\\NoReader\\Name", false},
};

TEST_F(PavrelDll, AcquireContextChecksTheFlagCombinations)
{
    for (const AcquireCase &c : kAcquireCases) {
        HCRYPTPROV hProv = 0;
        const DWORD dwCode =
            FailCode(cp().CPAcquireContext(&hProv, c.pszContainer, c.dwFlags, VTable()));
        if (c.bBadFlags)
            EXPECT_EQ(kBadFlags, dwCode) << c.pszLabel;
        else
            EXPECT_NE(kBadFlags, dwCode) << c.pszLabel;
        if (dwCode == 0)
            cp().CPReleaseContext(hProv, 0);
    }
}

TEST_F(PavrelDll, VerificationContextsTakeTheMachineAndSilentFlags)
{
    for (DWORD dwFlags :
         {CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET, CRYPT_VERIFYCONTEXT | CRYPT_SILENT}) {
        const HCRYPTPROV hProv = Acquire(dwFlags);
        EXPECT_NE(0u, hProv) << std::hex << dwFlags << " error " << GetLastError();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
        EXPECT_TRUE(cp().CPReleaseContext(hProv, 0));
    }
}

// The structure is read only as far as its version says: a version-1
// structure that ends where readable memory ends is accepted, and no
// structure at all is refused rather than read.
TEST_F(PavrelDll, AcquireContextReadsTheProviderStructureOnlyAsFarAsItsVersion)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    BYTE *pbPages = static_cast<BYTE *>(
        VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, pbPages);
    DWORD dwOld = 0;
    ASSERT_TRUE(VirtualProtect(pbPages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &dwOld));
    const size_t cbVersion1 = offsetof(VTableProvStruc, dwProvType);
    VTableProvStruc *pShort =
        reinterpret_cast<VTableProvStruc *>(pbPages + info.dwPageSize - cbVersion1);
    pShort->Version = 1;
    pShort->FuncVerifyImage = nullptr;
    pShort->FuncReturnhWnd = nullptr;

    TraceCapture trace;
    HCRYPTPROV hProv = 0;
    EXPECT_TRUE(cp().CPAcquireContext(&hProv, nullptr, CRYPT_VERIFYCONTEXT, pShort))
        << GetLastError();
    cp().CPReleaseContext(hProv, 0);
    VirtualFree(pbPages, 0, MEM_RELEASE);

    hProv = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              FailCode(cp().CPAcquireContext(&hProv, nullptr, CRYPT_VERIFYCONTEXT, nullptr)));
    EXPECT_EQ(0u, hProv);
}

// CryptoAPI forgets its context whatever the CSP answers, so wrong flags
// still release it: the handle is gone afterwards.
TEST_F(PavrelDll, ReleaseContextWithFlagsReleasesAndReportsTheFlags)
{
    const HCRYPTPROV hProv = Acquire(CRYPT_VERIFYCONTEXT);
    ASSERT_NE(0u, hProv);
    EXPECT_EQ(kBadFlags, FailCode(cp().CPReleaseContext(hProv, 1)));
    BYTE ab[4];
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPGenRandom(hProv, sizeof(ab), ab)));
    EXPECT_TRUE(cp().CPReleaseContext(hProv, 0)) << "a handle that is gone";
    EXPECT_TRUE(cp().CPReleaseContext(0x7FFF1234, 0)) << "a handle that never was";
}

struct CallCase {
    const char *pszLabel;
    std::function<BOOL(const PavrelExports &, HCRYPTPROV)> call;
    DWORD dwExpected;  // 0: success
};

// A call on the context with handles that do not exist (key 0x4444, hash
// 0x5555): the entry point's own checks answer first, the provider's
// finer checks after them.
std::vector<CallCase> ArgumentCases()
{
    static BYTE abData[64] = {1, 2, 3};
    static DWORD dwLen = 0;
    const HCRYPTKEY hNoKey = 0x4444;
    const HCRYPTHASH hNoHash = 0x5555;
    const DWORD kBadType = static_cast<DWORD>(NTE_BAD_TYPE);
    const DWORD kBadKey = static_cast<DWORD>(NTE_BAD_KEY);
    const DWORD kBadHash = static_cast<DWORD>(NTE_BAD_HASH);
    HCRYPTKEY *phKey = reinterpret_cast<HCRYPTKEY *>(abData + 32);
    HCRYPTHASH *phHash = reinterpret_cast<HCRYPTHASH *>(abData + 40);
    typedef const PavrelExports &E;
    return {
        {"GenKey salt and no salt",
         [=](E e, HCRYPTPROV h) {
             return e.CPGenKey(h, CALG_RC4, CRYPT_CREATE_SALT | CRYPT_NO_SALT, phKey);
         },
         kBadFlags},
        {"GenKey user protected in a verification context",
         [=](E e, HCRYPTPROV h) {
             return e.CPGenKey(h, CALG_RC4, CRYPT_USER_PROTECTED, phKey);
         },
         static_cast<DWORD>(NTE_PERM)},
        {"DeriveKey no key pointer",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0, nullptr);
         },
         static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
        {"DeriveKey unknown flag",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0x100, phKey);
         },
         kBadFlags},
        {"DeriveKey unknown flag beside a key length",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0x00280100, phKey);
         },
         kBadFlags},
        {"DeriveKey salt and no salt",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0x14, phKey);
         },
         kBadFlags},
        {"DeriveKey exportable and update",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0x9, phKey);
         },
         kBadFlags},
        {"DeriveKey key length alone reaches the provider",
         [=](E e, HCRYPTPROV h) {
             return e.CPDeriveKey(h, CALG_RC4, hNoHash, 0x00280000, phKey);
         },
         static_cast<DWORD>(NTE_BAD_UID)},
        {"SetKeyParam unknown parameter",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetKeyParam(h, hNoKey, 7, abData, 0);
         },
         kBadType},
        {"SetKeyParam flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetKeyParam(h, hNoKey, KP_IV, abData, 1);
         },
         kBadFlags},
        {"SetKeyParam certificate reaches the provider",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetKeyParam(h, hNoKey, KP_CERTIFICATE, abData, 0);
         },
         kBadKey},
        {"GetKeyParam unknown parameter",
         [=](E e, HCRYPTPROV h) {
             return e.CPGetKeyParam(h, hNoKey, 10, abData, &dwLen, 0);
         },
         kBadType},
        {"GetKeyParam flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPGetKeyParam(h, hNoKey, KP_ALGID, abData, &dwLen, 2);
         },
         kBadFlags},
        {"SetProvParam unknown parameter",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetProvParam(h, PP_NAME, abData, 0);
         },
         kBadType},
        {"SetProvParam security descriptor without its flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetProvParam(h, PP_KEYSET_SEC_DESCR, abData, 0x10);
         },
         kBadFlags},
        {"GetProvParam unknown parameter",
         [=](E e, HCRYPTPROV h) {
             return e.CPGetProvParam(h, 7, abData, &dwLen, 0);
         },
         kBadType},
        {"GetProvParam unknown flag",
         [=](E e, HCRYPTPROV h) {
             dwLen = sizeof(abData);
             return e.CPGetProvParam(h, PP_NAME, abData, &dwLen, 0x8);
         },
         kBadFlags},
        {"GetProvParam first-enumeration flag",
         [=](E e, HCRYPTPROV h) {
             dwLen = sizeof(abData);
             return e.CPGetProvParam(h, PP_PROVTYPE, abData, &dwLen, CRYPT_FIRST);
         },
         0},
        {"SetHashParam flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPSetHashParam(h, hNoHash, HP_HASHVAL, abData, 1);
         },
         kBadFlags},
        {"GetHashParam flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPGetHashParam(h, hNoHash, HP_HASHVAL, abData, &dwLen, 1);
         },
         kBadFlags},
        {"ExportKey public blob with a wrapping key",
         [=](E e, HCRYPTPROV h) {
             return e.CPExportKey(h, hNoKey, hNoKey, PUBLICKEYBLOB, 0, abData, &dwLen);
         },
         static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)},
        {"ExportKey private blob",
         [=](E e, HCRYPTPROV h) {
             return e.CPExportKey(h, hNoKey, 0, PRIVATEKEYBLOB, 0, abData, &dwLen);
         },
         kBadType},
        {"ExportKey unknown blob",
         [=](E e, HCRYPTPROV h) {
             return e.CPExportKey(h, hNoKey, 0, 3, 0, abData, &dwLen);
         },
         kBadType},
        {"ExportKey unknown flag",
         [=](E e, HCRYPTPROV h) {
             return e.CPExportKey(h, hNoKey, 0, SIMPLEBLOB, 0x1, abData, &dwLen);
         },
         kBadFlags},
        {"ImportKey unknown flag",
         [=](E e, HCRYPTPROV h) {
             return e.CPImportKey(h, abData, 12, 0, 0x4, phKey);
         },
         kBadFlags},
        {"Encrypt flags",
         [=](E e, HCRYPTPROV h) {
             dwLen = 8;
             return e.CPEncrypt(h, hNoKey, 0, TRUE, 1, abData, &dwLen, 64);
         },
         kBadFlags},
        {"Decrypt flags",
         [=](E e, HCRYPTPROV h) {
             dwLen = 8;
             return e.CPDecrypt(h, hNoKey, 0, TRUE, 1, abData, &dwLen);
         },
         kBadFlags},
        {"CreateHash flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPCreateHash(h, CALG_SHA1, 0, 1, phHash);
         },
         kBadFlags},
        {"HashData unknown flag",
         [=](E e, HCRYPTPROV h) {
             return e.CPHashData(h, hNoHash, abData, 3, 2);
         },
         kBadFlags},
        {"HashData user data with a length",
         [=](E e, HCRYPTPROV h) {
             return e.CPHashData(h, hNoHash, abData, 5, CRYPT_USERDATA);
         },
         static_cast<DWORD>(NTE_BAD_LEN)},
        {"HashData user data without a length reaches the provider",
         [=](E e, HCRYPTPROV h) {
             return e.CPHashData(h, hNoHash, nullptr, 0, CRYPT_USERDATA);
         },
         kBadHash},
        {"HashSessionKey flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPHashSessionKey(h, hNoHash, hNoKey, 2);
         },
         kBadFlags},
        {"SignHash key spec",
         [=](E e, HCRYPTPROV h) {
             return e.CPSignHash(h, hNoHash, 3, nullptr, 0, abData, &dwLen);
         },
         static_cast<DWORD>(NTE_BAD_ALGID)},
        {"SignHash flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPSignHash(h, hNoHash, AT_SIGNATURE, nullptr, 2, abData, &dwLen);
         },
         kBadFlags},
        {"VerifySignature no signature",
         [=](E e, HCRYPTPROV h) {
             return e.CPVerifySignature(h, hNoHash, nullptr, 0, hNoKey, nullptr, 0);
         },
         static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
        {"VerifySignature flags",
         [=](E e, HCRYPTPROV h) {
             return e.CPVerifySignature(h, hNoHash, abData, 8, hNoKey, nullptr, 2);
         },
         kBadFlags},
        {"GetUserKey key spec",
         [=](E e, HCRYPTPROV h) {
             return e.CPGetUserKey(h, 3, phKey);
         },
         kBadKey},
    };
}

TEST_F(PavrelDll, EntryPointsCheckFlagsAndArgumentsBeforeTheProvider)
{
    for (const CallCase &c : ArgumentCases())
        EXPECT_EQ(c.dwExpected, FailCode(c.call(cp(), m_hProv))) << c.pszLabel;
}

// Without a provider every entry point answers NTE_BAD_UID before any
// other check, also where the arguments are wrong too.
TEST_F(PavrelDll, EntryPointsWithoutAProviderAnswerBadUid)
{
    const HCRYPTPROV hGone = Acquire(CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(cp().CPReleaseContext(hGone, 0));
    for (const CallCase &c : ArgumentCases())
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(c.call(cp(), hGone))) << c.pszLabel;
    HCRYPTKEY hKey = 0;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPDestroyKey(hGone, 1)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPDestroyHash(hGone, 1)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPGenKey(hGone, CALG_RC4, 0, &hKey)));
}

// A key length in the upper half of the flags is a length, not a flag.
TEST_F(PavrelDll, DeriveKeyTakesAKeyLengthInTheUpperFlags)
{
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(cp().CPCreateHash(m_hProv, CALG_SHA1, 0, 0, &hHash)) << GetLastError();
    const BYTE abSecret[] = "derive me";
    ASSERT_TRUE(cp().CPHashData(m_hProv, hHash, abSecret, sizeof(abSecret), 0));
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(cp().CPDeriveKey(m_hProv, CALG_RC4, hHash, 128 << 16, &hKey))
        << std::hex << GetLastError();
    DWORD dwBits = 0;
    DWORD dwLen = sizeof(dwBits);
    ASSERT_TRUE(
        cp().CPGetKeyParam(m_hProv, hKey, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &dwLen, 0));
    EXPECT_EQ(128u, dwBits);
    EXPECT_TRUE(cp().CPDestroyKey(m_hProv, hKey));
    EXPECT_TRUE(cp().CPDestroyHash(m_hProv, hHash));
}

// What the dumps of the function's argument show: the text after
// "[<function>] <name>=" of each hex line.
std::vector<std::string> Dumps(const TraceCapture &trace, const std::string &strFunction,
                               const std::string &strName)
{
    const std::string strHead = "[" + strFunction + "] " + strName + "=";
    std::vector<std::string> vec;
    for (const TraceRecord &record : trace.Records()) {
        const std::string strText = record.Text();
        if (!record.fields.empty() && record.fields[0] == "LOG" &&
            strText.compare(0, strHead.size(), strHead) == 0)
            vec.push_back(strText.substr(strHead.size()));
    }
    return vec;
}

std::string Hex(const std::string &str)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string strHex;
    for (unsigned char c : str) {
        strHex.push_back(kDigits[c >> 4]);
        strHex.push_back(kDigits[c & 0x0F]);
    }
    return strHex;
}

std::string Bytes(const BYTE *pb, DWORD dwLen)
{
    return std::string(reinterpret_cast<const char *>(pb), dwLen);
}

// Secrets that pass through the exports stay out of the trace: the PIN,
// clear key blobs in and out, clear data in and out, random bytes. Data
// that may be shown is dumped; an absent buffer is not dumped at all.
TEST_F(PavrelDll, TraceShowsNoSecretsAndNoAbsentBuffers)
{
    TraceCapture trace;

    BYTE abRandom[24] = {};
    ASSERT_TRUE(cp().CPGenRandom(m_hProv, sizeof(abRandom), abRandom));
    trace.Forbid("the random output", Bytes(abRandom, sizeof(abRandom)));

    const char szPin[] = "31415926";
    trace.Forbid("the PIN", szPin);
    cp().CPSetProvParam(m_hProv, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE *>(szPin), 0);

    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(cp().CPGenKey(m_hProv, CALG_RC4, CRYPT_EXPORTABLE | (128 << 16), &hKey))
        << std::hex << GetLastError();
    BYTE abBlob[256];
    DWORD dwBlob = sizeof(abBlob);
    ASSERT_TRUE(cp().CPExportKey(m_hProv, hKey, 0, PLAINTEXTKEYBLOB, 0, abBlob, &dwBlob))
        << std::hex << GetLastError();
    const DWORD cbHeader = sizeof(BLOBHEADER) + sizeof(DWORD);
    ASSERT_GT(dwBlob, cbHeader);
    trace.Forbid("the exported clear key", Bytes(abBlob + cbHeader, dwBlob - cbHeader));
    HCRYPTKEY hImported = 0;
    ASSERT_TRUE(cp().CPImportKey(m_hProv, abBlob, dwBlob, 0, CRYPT_EXPORTABLE, &hImported))
        << std::hex << GetLastError();

    const char szClear[] = "clear text that is never traced";
    trace.Forbid("the clear text", szClear);
    BYTE abData[64];
    memcpy(abData, szClear, sizeof(szClear));
    DWORD dwData = sizeof(szClear);
    ASSERT_TRUE(cp().CPEncrypt(m_hProv, hKey, 0, TRUE, 0, abData, &dwData, sizeof(abData)));
    const std::string strCipher = Bytes(abData, dwData);
    ASSERT_TRUE(cp().CPDecrypt(m_hProv, hImported, 0, TRUE, 0, abData, &dwData));
    EXPECT_EQ(std::string(szClear), reinterpret_cast<const char *>(abData));

    // A size query and data-less hashing give no dump of their buffers.
    DWORD dwNameLen = 0;
    ASSERT_TRUE(cp().CPGetProvParam(m_hProv, PP_NAME, nullptr, &dwNameLen, 0));
    EXPECT_GT(dwNameLen, 0u);
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(cp().CPCreateHash(m_hProv, CALG_SHA1, 0, 0, &hHash));
    ASSERT_TRUE(cp().CPHashData(m_hProv, hHash, nullptr, 0, CRYPT_USERDATA));
    const BYTE abShown[] = {0xC0, 0xFF, 0xEE, 0x42};
    ASSERT_TRUE(cp().CPHashData(m_hProv, hHash, abShown, sizeof(abShown), 0));

    std::vector<std::string> vecHashDumps = Dumps(trace, "CPHashData", "pbData");
    ASSERT_EQ(1u, vecHashDumps.size()) << "only the call with data is dumped";
    EXPECT_EQ("C0FFEE42", vecHashDumps[0]);
    EXPECT_TRUE(Dumps(trace, "CPGetProvParam", "pbData").empty()) << "a size query is dumped";
    // The clear input of the encryption shows its length alone, the cipher
    // text its bytes.
    const std::vector<std::string> vecEncrypt = Dumps(trace, "CPEncrypt", "pbData");
    ASSERT_EQ(2u, vecEncrypt.size());
    EXPECT_EQ("[" + std::to_string(sizeof(szClear)) + " bytes masked]", vecEncrypt[0]);
    EXPECT_EQ(Hex(strCipher), vecEncrypt[1]);

    cp().CPDestroyHash(m_hProv, hHash);
    cp().CPDestroyKey(m_hProv, hImported);
    cp().CPDestroyKey(m_hProv, hKey);
}

}  // namespace

namespace
{

// Whether the trace holds the entry of the DLL's handling of the reason.
bool TracedDllMain(const TraceCapture &trace, const char *pszReason)
{
    for (const TraceRecord &record : trace.Records())
        if (record.fields.size() > 3 && record.fields[0] == "ENTER" &&
            record.fields[2] == "DllMain" && record.fields[3] == pszReason)
            return true;
    return false;
}

// A FreeLibrary runs the keyset clean-up; at process exit it is skipped,
// as the other threads are gone and the libraries it reaches may be
// detached already.
TEST(PavrelDllUnload, CleanupRunsOnFreeLibraryAndNotAtProcessExit)
{
    struct Case {
        const char *pszMode;
        bool bCleanup;
    };
    for (const Case &c : {Case{"free", true}, Case{"exit", false}}) {
        TraceCapture trace;
        ChildProcess child("pavrel_unload_helper.exe", c.pszMode);
        ASSERT_TRUE(child.Started());
        ASSERT_EQ(0u, child.Wait(60000)) << c.pszMode;
        EXPECT_TRUE(TracedDllMain(trace, "DLL_PROCESS_ATTACH")) << c.pszMode;
        EXPECT_EQ(c.bCleanup, TracedDllMain(trace, "DLL_PROCESS_DETACH")) << c.pszMode;
    }
}

}  // namespace
