// TokenEntryPointTest.cpp
//
// Pavrel.dll's exports on token keysets, called directly as advapi32 calls
// them. The DLL sits in a folder of its own beside the fixture "Corlisk.dll",
// whose card objects are this program's fake cards: acquisition in its three
// kinds (create, open, delete) for every form of the container text, silent
// contexts, the token's own keys, and the catch-all of the exports (a card
// that throws gives an error code, and the DLL works on afterwards).
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CaseName.h"
#include "KeysetFakeCard.h"
#include "PavrelDllFixture.h"
#include "TraceCapture.h"

namespace
{

const char kDefault[] = "Kavru USB Key CSP DefaultContext";
const WORD kInUse = 0x0800;
const WORD kKeyInUse = 0x4800;

// --- Cards that throw ------------------------------------------------------------

// The card calls an exception can be thrown from, and what is thrown. The
// plan is the program's (every card is a copy of the template) and holds for
// one throw.
enum class Slot { None, Open, ReadIds, Status, Generate, VerifyPin, Close };
enum class Thrown { BadAlloc, Other };

struct ThrowPlan {
    Slot slot = Slot::None;
    Thrown thrown = Thrown::Other;
};
ThrowPlan g_plan;

void ThrowIfPlanned(Slot slot)
{
    if (g_plan.slot != slot)
        return;
    const Thrown thrown = g_plan.thrown;
    g_plan = ThrowPlan();
    if (thrown == Thrown::BadAlloc)
        throw std::bad_alloc();
    throw std::runtime_error("the card object failed");
}

class ThrowingCard : public KeysetFakeCard {
public:
    explicit ThrowingCard(const KeysetFakeCard &from) : KeysetFakeCard(from) {}

    DWORD OpenConnByContainerDefault(const char *pszContainer) override
    {
        ThrowIfPlanned(Slot::Open);
        return KeysetFakeCard::OpenConnByContainerDefault(pszContainer);
    }
    DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) override
    {
        ThrowIfPlanned(Slot::ReadIds);
        return KeysetFakeCard::ReadKeysetIds(pItems, pdwCount);
    }
    DWORD GetKeysetIdObjectStatus(const char *pszContainer, DWORD dwKeySpec, WORD *pwStatus,
                                  WORD *pwKeyBits) override
    {
        ThrowIfPlanned(Slot::Status);
        return KeysetFakeCard::GetKeysetIdObjectStatus(pszContainer, dwKeySpec, pwStatus,
                                                       pwKeyBits);
    }
    DWORD GenerateKeys(const char *pszContainer, KEYGEN_PARAM param, DWORD dwKeySpec) override
    {
        ThrowIfPlanned(Slot::Generate);
        return KeysetFakeCard::GenerateKeys(pszContainer, param, dwKeySpec);
    }
    DWORD VerifyPin(BYTE bRef, const BYTE *pbPin, DWORD dwLen, BYTE *pbTries) override
    {
        ThrowIfPlanned(Slot::VerifyPin);
        return KeysetFakeCard::VerifyPin(bRef, pbPin, dwLen, pbTries);
    }
    DWORD CloseConnection() override
    {
        ThrowIfPlanned(Slot::Close);
        return KeysetFakeCard::CloseConnection();
    }
};

// --- Fixture ---------------------------------------------------------------------

// Every test reaches a token of its own through a reader name of its own;
// what it acquires is released at its end.
class TokenDll : public PavrelDll {
protected:
    static void SetUpTestSuite()
    {
        PavrelDll::SetUpTestSuite();
        ASSERT_TRUE(KeysetCards::Install());
        FakeCardFactory::SetMaker(
            []() -> FakeCard * { return new ThrowingCard(KeysetCards::Template()); });
    }
    static void TearDownTestSuite() { FakeCardFactory::SetMaker(nullptr); }

    void SetUp() override
    {
        PavrelDll::SetUp();
        static int nReader = 0;
        m_strReader = "tok" + std::to_string(++nReader);
        KeysetCards::Reset();
        g_plan = ThrowPlan();
    }
    void TearDown() override
    {
        g_plan = ThrowPlan();
        // Handles that are gone already are released as a no-op.
        for (HCRYPTPROV hProv : m_vecHandles)
            cp().CPReleaseContext(hProv, 0);
        PavrelDll::TearDown();
    }

    // "\\.\<this test's reader>\<name>", or the bare reader for no name.
    std::string Text(const std::string &strName) const
    {
        return "\\\\.\\" + m_strReader + (strName.empty() ? "" : "\\" + strName);
    }
    // CPAcquireContext on the text: 0 or the error. A handle is kept for
    // the release at the end.
    DWORD AcquireText(const char *pszText, DWORD dwFlags, HCRYPTPROV *phProv = nullptr)
    {
        HCRYPTPROV hProv = 0;
        const DWORD dwRet =
            FailCode(cp().CPAcquireContext(&hProv, pszText, dwFlags, VTable()));
        if (dwRet == 0 && (dwFlags & CRYPT_DELETEKEYSET) == 0)
            m_vecHandles.push_back(hProv);
        if (phProv)
            *phProv = hProv;
        return dwRet;
    }
    DWORD AcquireText(const std::string &strText, DWORD dwFlags, HCRYPTPROV *phProv = nullptr)
    {
        return AcquireText(strText.c_str(), dwFlags, phProv);
    }
    // A context on container "abc" (entry 1) of this test's token.
    HCRYPTPROV OpenAbc(DWORD dwFlags = 0)
    {
        KeysetCards::Template().SetEntry(1, "abc");
        HCRYPTPROV hProv = 0;
        EXPECT_EQ(0u, AcquireText(Text("abc"), dwFlags, &hProv));
        return hProv;
    }
    // The context's keyset path (PP_CONTAINER), or the error as text.
    static std::string Container(HCRYPTPROV hProv, DWORD dwParam = PP_CONTAINER)
    {
        char szPath[512] = "";
        DWORD dwLen = sizeof(szPath);
        if (!cp().CPGetProvParam(hProv, dwParam, reinterpret_cast<BYTE *>(szPath), &dwLen, 0))
            return "error " + std::to_string(GetLastError());
        return szPath;
    }
    static ALG_ID KeyAlgorithm(HCRYPTPROV hProv, HCRYPTKEY hKey)
    {
        ALG_ID algId = 0;
        DWORD dwLen = sizeof(algId);
        cp().CPGetKeyParam(hProv, hKey, KP_ALGID, reinterpret_cast<BYTE *>(&algId), &dwLen, 0);
        return algId;
    }

    std::string m_strReader;
    std::vector<HCRYPTPROV> m_vecHandles;
};

// --- Create, open and delete for every form of the container text ------------------

struct FormCase {
    const char *pszName;
    const char *pszText;    // the container text; null: none
    DWORD dwFlags;          // beside CRYPT_NEWKEYSET, CRYPT_DELETEKEYSET or nothing
    const char *pszReader;  // the reader the token was opened by
    const char *pszKeyset;  // the container name on the token
    int nEntry;             // the 1-based entry the create wrote
    const char *pszPath;    // the context's container (keyset path)
    const char *pszTextName;  // the keyset name as the text gives it
};

class ContainerForms : public TokenDll, public ::testing::WithParamInterface<FormCase> {};

// The container is created on the token the text names, opened again by the
// same text, and deleted by it: the card is asked to remove that name, the
// contexts on it are gone, and phProv is not written by the delete.
TEST_P(ContainerForms, CreateOpenAndDeleteReachOneContainer)
{
    const FormCase &c = GetParam();
    TraceCapture trace;

    HCRYPTPROV hNew = 0;
    ASSERT_EQ(0u, AcquireText(c.pszText, CRYPT_NEWKEYSET | c.dwFlags, &hNew));
    KeysetFakeCard *pCard = KeysetCards::Last();
    ASSERT_NE(nullptr, pCard);
    EXPECT_EQ(c.pszReader, pCard->strOpenedName);
    EXPECT_EQ(c.pszKeyset, pCard->strLastWriteName);
    EXPECT_EQ(c.nEntry, pCard->nLastWriteIndex);
    EXPECT_EQ(c.pszPath, Container(hNew));
    EXPECT_EQ(c.pszPath, Container(hNew, PP_UNIQUE_CONTAINER));

    const size_t nCards = FakeCardFactory::Made().size();
    HCRYPTPROV hOpen = 0;
    ASSERT_EQ(0u, AcquireText(c.pszText, c.dwFlags, &hOpen));
    EXPECT_NE(hNew, hOpen);
    EXPECT_EQ(nCards, FakeCardFactory::Made().size()) << "the same token's access";
    EXPECT_EQ(c.pszPath, Container(hOpen));

    HCRYPTPROV hUntouched = 0x5EED;
    EXPECT_TRUE(cp().CPAcquireContext(&hUntouched, c.pszText, CRYPT_DELETEKEYSET | c.dwFlags,
                                      VTable()))
        << std::hex << GetLastError();
    EXPECT_EQ(0x5EEDu, hUntouched);
    ASSERT_EQ(1u, pCard->vecDeleted.size());
    EXPECT_EQ(c.pszKeyset, pCard->vecDeleted[0]);
    EXPECT_EQ(0, pCard->aEntries[c.nEntry - 1].wStatus) << "still on the token";
    BYTE ab[4];
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPGenRandom(hNew, sizeof(ab), ab)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPGenRandom(hOpen, sizeof(ab), ab)));
    EXPECT_TRUE(FakeCardFactory::Destroyed(pCard)) << "nothing holds the token any more";

    const std::string strLine = std::string("[CPAcquireContext] [Pavrel_Keyset::deleteKeyset] ") +
                                "readerName=[" + c.pszReader + "],keysetName=[" + c.pszTextName +
                                "],bSilent=[" + ((c.dwFlags & CRYPT_SILENT) ? "1" : "0") + "]";
    EXPECT_TRUE(trace.Has(strLine)) << strLine;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContainerForms,
    ::testing::Values(
        FormCase{"ReaderAndName", "\\\\.\\formA\\abc", 0, "formA", "abc", 2, "formA\\abc", "abc"},
        FormCase{"ReaderAlone", "\\\\.\\formB", 0, "formB", kDefault, 1, "formB", ""},
        FormCase{"LastBackslashEndsTheReader", "\\\\.\\form\\C\\abc", 0, "form\\C", "abc", 2,
                 "form\\C\\abc", "abc"},
        FormCase{"PlainName", "plain", 0, "", "plain", 2, "plain", "plain"},
        FormCase{"EmptyText", "", 0, "", kDefault, 1, kDefault, ""},
        FormCase{"NoText", nullptr, 0, "", kDefault, 1, kDefault, ""},
        FormCase{"SilentEmptyText", "", CRYPT_SILENT, "", kDefault, 1, kDefault, ""},
        FormCase{"MachineKeysetChangesNothing", "\\\\.\\formM\\abc", CRYPT_MACHINE_KEYSET,
                 "formM", "abc", 2, "formM\\abc", "abc"}),
    CaseName());

// --- Refused acquisitions --------------------------------------------------------------

struct RefusalCase {
    const char *pszName;
    DWORD dwFlags;
    const char *apszEntries[4];  // null: free
    const char *pszKeyset;       // after this test's reader
    DWORD dwOpenResult;          // the token's answers
    DWORD dwReadResult;
    DWORD dwDeleteResult;
    DWORD dwExpected;
};

class AcquireRefusals : public TokenDll, public ::testing::WithParamInterface<RefusalCase> {};

// The keyset cores' codes reach the caller unchanged; phProv is not
// written and the token's access is not kept.
TEST_P(AcquireRefusals, GiveTheCoreCodeAndKeepNothing)
{
    const RefusalCase &c = GetParam();
    for (int i = 0; i < 4; ++i)
        if (c.apszEntries[i])
            KeysetCards::Template().SetEntry(i, c.apszEntries[i]);
    KeysetCards::Template().dwOpenResult = c.dwOpenResult;
    KeysetCards::Template().dwReadResult = c.dwReadResult;
    KeysetCards::Template().dwDeleteResult = c.dwDeleteResult;
    const size_t nCards = FakeCardFactory::Made().size();
    HCRYPTPROV hProv = 0x5EED;
    EXPECT_EQ(c.dwExpected, FailCode(cp().CPAcquireContext(&hProv, Text(c.pszKeyset).c_str(),
                                                           c.dwFlags, VTable())));
    EXPECT_EQ(0x5EEDu, hProv);
    const std::vector<FakeCard *> &made = FakeCardFactory::Made();
    ASSERT_GT(made.size(), nCards) << "the token was reached";
    for (size_t i = nCards; i < made.size(); ++i)
        EXPECT_TRUE(FakeCardFactory::Destroyed(made[i])) << "card " << i;
}

const DWORD kCardFails = static_cast<DWORD>(SCARD_E_UNEXPECTED);

INSTANTIATE_TEST_SUITE_P(
    Cases, AcquireRefusals,
    ::testing::Values(
        RefusalCase{"OpenMissing", 0, {nullptr, "abd"}, "abc", 0, 0, 0, (DWORD)NTE_BAD_KEYSET},
        RefusalCase{"OpenNoToken", 0, {nullptr, "abc"}, "abc", kCardFails, 0, 0,
                    (DWORD)NTE_BAD_KEYSET},
        RefusalCase{"OpenUnreadable", 0, {nullptr, "abc"}, "abc", 0, kCardFails, 0,
                    (DWORD)NTE_BAD_KEYSET},
        RefusalCase{"CreateExisting", CRYPT_NEWKEYSET, {nullptr, "ABC"}, "abc", 0, 0, 0,
                    (DWORD)NTE_EXISTS},
        RefusalCase{"CreateFull", CRYPT_NEWKEYSET, {nullptr, "x", "y", "z"}, "abc", 0, 0, 0,
                    (DWORD)NTE_TOKEN_KEYSET_STORAGE_FULL},
        RefusalCase{"CreateDefaultOverEntry0", CRYPT_NEWKEYSET, {"other"}, "", 0, 0, 0,
                    (DWORD)NTE_BAD_KEYSET_PARAM},
        RefusalCase{"CreateNoToken", CRYPT_NEWKEYSET, {}, "abc", kCardFails, 0, 0,
                    (DWORD)NTE_BAD_KEYSET_PARAM},
        RefusalCase{"DeleteRefusedByTheCard", CRYPT_DELETEKEYSET, {nullptr, "abc"}, "abc", 0, 0,
                    kCardFails, (DWORD)NTE_BAD_KEYSET_PARAM},
        RefusalCase{"DeleteUnreadable", CRYPT_DELETEKEYSET | CRYPT_SILENT, {nullptr, "abc"}, "abc",
                    0, kCardFails, 0, (DWORD)NTE_BAD_KEYSET},
        RefusalCase{"DeleteNoToken", CRYPT_DELETEKEYSET, {nullptr, "abc"}, "abc", kCardFails, 0, 0,
                    (DWORD)NTE_BAD_KEYSET}),
    CaseName());

// --- Key generation on silent and user-protected contexts ---------------------------

const DWORD kUserProtected = CRYPT_USER_PROTECTED;
const DWORD kVerifySilent = CRYPT_VERIFYCONTEXT | CRYPT_SILENT;

struct GenKeyCase {
    const char *pszName;
    DWORD dwAcquire;  // the context's flags (a verification context has no token)
    ALG_ID algId;
    DWORD dwFlags;
    DWORD dwExpected;
    ALG_ID keyAlg;       // of the new key
    DWORD dwCardAlg;     // what the token was asked to generate; 0: nothing
    DWORD dwCardBits;
};

class GenKeyContexts : public TokenDll, public ::testing::WithParamInterface<GenKeyCase> {};

// A user-protected key needs the user, so a silent token context refuses
// it; a verification context has no protected keys at all. Otherwise the
// protection is dropped and the pair is made on the token.
TEST_P(GenKeyContexts, AskTheUserOnlyWhereThatIsAllowed)
{
    const GenKeyCase &c = GetParam();
    const bool bToken = (c.dwAcquire & CRYPT_VERIFYCONTEXT) == 0;
    HCRYPTPROV hProv = 0;
    if (bToken) {
        hProv = OpenAbc(c.dwAcquire);
    } else {
        ASSERT_EQ(0u, AcquireText(nullptr, c.dwAcquire, &hProv));
    }
    ASSERT_NE(0u, hProv);
    KeysetFakeCard *pCard = bToken ? KeysetCards::Last() : nullptr;

    HCRYPTKEY hKey = 0x4444;
    EXPECT_EQ(c.dwExpected, FailCode(cp().CPGenKey(hProv, c.algId, c.dwFlags, &hKey)));
    if (c.dwExpected == 0) {
        EXPECT_EQ(c.keyAlg, KeyAlgorithm(hProv, hKey));
        EXPECT_TRUE(cp().CPDestroyKey(hProv, hKey));
    } else {
        EXPECT_EQ(0x4444u, hKey);
    }
    if (pCard != nullptr) {
        EXPECT_EQ(c.dwCardAlg ? 1 : 0, pCard->nGenerates);
        if (c.dwCardAlg) {
            EXPECT_EQ(c.dwCardAlg, pCard->lastGen.dwAlgorithm);
            EXPECT_EQ(c.dwCardBits, pCard->lastGen.dwKeyBits);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GenKeyContexts,
    ::testing::Values(
        GenKeyCase{"TokenSignature", 0, AT_SIGNATURE, 0, 0, CALG_RSA_SIGN, 2, 1024},
        GenKeyCase{"TokenExchange2048", 0, AT_KEYEXCHANGE, 2048u << 16, 0, CALG_RSA_KEYX, 1, 2048},
        GenKeyCase{"TokenUserProtectedOnTheToken", 0, CALG_RSA_SIGN, kUserProtected, 0,
                   CALG_RSA_SIGN, 2, 1024},
        GenKeyCase{"SilentToken", CRYPT_SILENT, AT_SIGNATURE, 0, 0, CALG_RSA_SIGN, 2, 1024},
        GenKeyCase{"SilentTokenUserProtected", CRYPT_SILENT, AT_SIGNATURE, kUserProtected,
                   (DWORD)NTE_SILENT_CONTEXT, 0, 0, 0},
        GenKeyCase{"SilentTokenSessionUserProtected", CRYPT_SILENT, CALG_RC4, kUserProtected,
                   (DWORD)NTE_SILENT_CONTEXT, 0, 0, 0},
        GenKeyCase{"SilentTokenSaltFlagsFirst", CRYPT_SILENT, AT_SIGNATURE,
                   kUserProtected | CRYPT_CREATE_SALT | CRYPT_NO_SALT, (DWORD)NTE_BAD_FLAGS, 0, 0,
                   0},
        GenKeyCase{"VerifyUserProtected", CRYPT_VERIFYCONTEXT, AT_SIGNATURE, kUserProtected,
                   (DWORD)NTE_PERM, 0, 0, 0},
        GenKeyCase{"SilentVerifyUserProtected", kVerifySilent, AT_SIGNATURE, kUserProtected,
                   (DWORD)NTE_PERM, 0, 0, 0},
        GenKeyCase{"SilentVerifySession", kVerifySilent, CALG_RC4, 0, 0, CALG_RC4, 0, 0}),
    CaseName());

// --- The token's own keys ------------------------------------------------------------

struct UserKeyCase {
    const char *pszName;
    DWORD dwAcquire;
    WORD wStatus;          // the container's status on the token
    int nUsage;            // the key's usage; -1: that of the spec asked for
    DWORD dwStatusResult;  // the token's answer to the status query
    DWORD dwKeySpec;
    DWORD dwExpected;
    ALG_ID keyAlg;
};

class UserKeys : public TokenDll, public ::testing::WithParamInterface<UserKeyCase> {};

// Each call makes a key object of its own for the token's key of the spec;
// a container without that key has none to give.
TEST_P(UserKeys, AreTheTokensKeyOfTheSpec)
{
    const UserKeyCase &c = GetParam();
    KeysetCards::Template().wStatus = c.wStatus;
    KeysetCards::Template().nUsage = c.nUsage;
    KeysetCards::Template().dwStatusResult = c.dwStatusResult;
    const HCRYPTPROV hProv = OpenAbc(c.dwAcquire);
    ASSERT_NE(0u, hProv);
    HCRYPTKEY hKey = 0x4444;
    EXPECT_EQ(c.dwExpected, FailCode(cp().CPGetUserKey(hProv, c.dwKeySpec, &hKey)));
    if (c.dwExpected != 0) {
        EXPECT_EQ(0x4444u, hKey);
        return;
    }
    EXPECT_EQ(c.keyAlg, KeyAlgorithm(hProv, hKey));
    HCRYPTKEY hAgain = 0;
    ASSERT_TRUE(cp().CPGetUserKey(hProv, c.dwKeySpec, &hAgain));
    EXPECT_NE(hKey, hAgain);
    EXPECT_TRUE(cp().CPDestroyKey(hProv, hKey));
    EXPECT_EQ(c.keyAlg, KeyAlgorithm(hProv, hAgain)) << "destroying one left the other";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserKeys,
    ::testing::Values(
        UserKeyCase{"Signature", 0, kKeyInUse, -1, 0, AT_SIGNATURE, 0, CALG_RSA_SIGN},
        UserKeyCase{"Exchange", 0, kKeyInUse, -1, 0, AT_KEYEXCHANGE, 0, CALG_RSA_KEYX},
        UserKeyCase{"SilentContextNeedsNoUser", CRYPT_SILENT, kKeyInUse, -1, 0, AT_SIGNATURE, 0,
                    CALG_RSA_SIGN},
        UserKeyCase{"NoKey", 0, kInUse, -1, 0, AT_SIGNATURE, (DWORD)NTE_NO_KEY, 0},
        UserKeyCase{"KeyOfTheOtherUsage", 0, kKeyInUse, AT_KEYEXCHANGE, 0, AT_SIGNATURE,
                    (DWORD)NTE_NO_KEY, 0},
        UserKeyCase{"TokenAnswerPassesThrough", 0, kKeyInUse, -1,
                    (DWORD)SCARD_E_FILE_NOT_FOUND, AT_SIGNATURE, (DWORD)SCARD_E_FILE_NOT_FOUND, 0},
        UserKeyCase{"UnknownSpec", 0, kKeyInUse, -1, 0, 3, (DWORD)NTE_BAD_KEY, 0}),
    CaseName());

// --- The catch-all ---------------------------------------------------------------------

class CatchAll;

// A call that reaches the slot; it succeeds when nothing throws.
struct ThrowCase {
    const char *pszName;
    const char *pszExport;
    Slot slot;
    std::function<BOOL(CatchAll &, HCRYPTPROV)> call;
};

// Failures name the case, not the bytes of its call.
void PrintTo(const ThrowCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class CatchAll : public TokenDll,
                 public ::testing::WithParamInterface<std::tuple<ThrowCase, Thrown>> {
public:
    // What the cases' calls use of the fixture.
    static const PavrelExports &Exports() { return cp(); }
    DWORD Acquire(const std::string &strText, DWORD dwFlags)
    {
        return AcquireText(strText, dwFlags);
    }
    std::string TextOf(const std::string &strName) const { return Text(strName); }
};

bool IsCatchReport(const TraceRecord &record, const std::string &strExport)
{
    // LOG <level> <kind> <module> <text>: an exception report at level 1.
    if (record.fields.size() < 5 || record.fields[0] != "LOG" || record.fields[1] != "1" ||
        record.fields[2] != "255")
        return false;
    const std::string strText = record.Text();
    const std::string strHead = "File Pavrel_Main.cpp Catch an Exception,line:";
    const std::string strDetail =
        "\r\nDetail=\r\n{\r\n\t[" + strExport + "] Catch an Exception,GetLastError=[";
    return strText.compare(0, strHead.size(), strHead) == 0 &&
           strText.find(strDetail) != std::string::npos;
}

// An exception from the card comes back from the export as NTE_NO_MEMORY
// (out of memory) or NTE_FAIL, with the exports' catch report; the keyset
// lock is free again (the same call from another thread succeeds) and a
// failed acquisition keeps no card.
TEST_P(CatchAll, ExceptionsBecomeCodesAndTheDllWorksOn)
{
    const ThrowCase &c = std::get<0>(GetParam());
    const Thrown thrown = std::get<1>(GetParam());
    const HCRYPTPROV hProv = OpenAbc();
    ASSERT_NE(0u, hProv);
    {
        TraceCapture trace;
        const size_t nCards = FakeCardFactory::Made().size();
        g_plan.slot = c.slot;
        g_plan.thrown = thrown;
        const DWORD dwCode = FailCode(c.call(*this, hProv));
        EXPECT_EQ(Slot::None, g_plan.slot) << "the card was not reached";
        EXPECT_EQ(static_cast<DWORD>(thrown == Thrown::BadAlloc ? NTE_NO_MEMORY : NTE_FAIL),
                  dwCode);
        int nReports = 0;
        for (const TraceRecord &record : trace.Records())
            nReports += IsCatchReport(record, c.pszExport) ? 1 : 0;
        EXPECT_EQ(1, nReports) << trace.RawText();
        const std::vector<FakeCard *> &made = FakeCardFactory::Made();
        for (size_t i = nCards; i < made.size(); ++i)
            EXPECT_TRUE(FakeCardFactory::Destroyed(made[i])) << "card " << i;
    }
    BOOL bAgain = FALSE;
    DWORD dwAgain = 0;
    std::thread other([&]() {
        bAgain = c.call(*this, hProv);
        dwAgain = GetLastError();
    });
    other.join();
    EXPECT_TRUE(bAgain) << std::hex << dwAgain;
}

std::vector<ThrowCase> ThrowCases()
{
    typedef CatchAll &F;
    return {
        {"AcquireConnect", "CPAcquireContext", Slot::Open,
         [](F f, HCRYPTPROV) {
             // A second token of the test, so that a new access connects.
             return f.Acquire(f.TextOf("abc").replace(0, 4, "\\\\.\\2nd-"), 0) == 0;
         }},
        {"AcquireOpen", "CPAcquireContext", Slot::ReadIds,
         [](F f, HCRYPTPROV) { return f.Acquire(f.TextOf("abc"), 0) == 0; }},
        {"AcquireCreate", "CPAcquireContext", Slot::ReadIds,
         [](F f, HCRYPTPROV) { return f.Acquire(f.TextOf("new"), CRYPT_NEWKEYSET) == 0; }},
        {"AcquireDelete", "CPAcquireContext", Slot::ReadIds,
         [](F f, HCRYPTPROV) { return f.Acquire(f.TextOf("abc"), CRYPT_DELETEKEYSET) == 0; }},
        {"GenKey", "CPGenKey", Slot::Generate,
         [](F f, HCRYPTPROV h) {
             HCRYPTKEY hKey = 0;
             return f.Exports().CPGenKey(h, AT_SIGNATURE, 0, &hKey);
         }},
        {"GetUserKey", "CPGetUserKey", Slot::Status,
         [](F f, HCRYPTPROV h) {
             HCRYPTKEY hKey = 0;
             return f.Exports().CPGetUserKey(h, AT_SIGNATURE, &hKey);
         }},
        {"ExchangePin", "CPSetProvParam", Slot::VerifyPin,
         [](F f, HCRYPTPROV h) {
             return f.Exports().CPSetProvParam(h, PP_KEYEXCHANGE_PIN,
                                               reinterpret_cast<const BYTE *>("123456"), 0);
         }},
        {"EnumContainers", "CPGetProvParam", Slot::ReadIds,
         [](F f, HCRYPTPROV h) {
             // The token holds one name: a read with a buffer ends the list.
             char szName[300] = "";
             DWORD dwLen = sizeof(szName);
             return f.Exports().CPGetProvParam(h, PP_ENUMCONTAINERS,
                                               reinterpret_cast<BYTE *>(szName), &dwLen,
                                               CRYPT_FIRST) &&
                    std::string(szName) == "abc";
         }},
    };
}

std::string ThrowCaseName(const ::testing::TestParamInfo<std::tuple<ThrowCase, Thrown>> &info)
{
    return std::string(std::get<0>(info.param).pszName) +
           (std::get<1>(info.param) == Thrown::BadAlloc ? "_BadAlloc" : "_Other");
}

INSTANTIATE_TEST_SUITE_P(Cases, CatchAll,
                         ::testing::Combine(::testing::ValuesIn(ThrowCases()),
                                            ::testing::Values(Thrown::BadAlloc, Thrown::Other)),
                         ThrowCaseName);

class ReleaseThrow : public TokenDll, public ::testing::WithParamInterface<Thrown> {};

// The last release closes the token's connection: when the card throws
// there, the release still succeeds (it always does), the context is gone,
// the card object is handed back, and the token can be acquired again.
TEST_P(ReleaseThrow, LastReleaseSucceedsAndTheTokenOpensAgain)
{
    const HCRYPTPROV hProv = OpenAbc();
    ASSERT_NE(0u, hProv);
    KeysetFakeCard *pCard = KeysetCards::Last();
    g_plan.slot = Slot::Close;
    g_plan.thrown = GetParam();
    EXPECT_TRUE(cp().CPReleaseContext(hProv, 0)) << std::hex << GetLastError();
    EXPECT_EQ(Slot::None, g_plan.slot) << "the connection was not closed";
    EXPECT_TRUE(FakeCardFactory::Destroyed(pCard));
    BYTE ab[4];
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), FailCode(cp().CPGenRandom(hProv, sizeof(ab), ab)));
    const HCRYPTPROV hAgain = OpenAbc();
    EXPECT_NE(0u, hAgain);
    EXPECT_NE(pCard, KeysetCards::Last()) << "a new access to the token";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReleaseThrow, ::testing::Values(Thrown::BadAlloc, Thrown::Other),
                         [](const ::testing::TestParamInfo<Thrown> &info) {
                             return std::string(info.param == Thrown::BadAlloc ? "BadAlloc"
                                                                               : "Other");
                         });

}  // namespace
