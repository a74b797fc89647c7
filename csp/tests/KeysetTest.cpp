// KeysetTest.cpp
//
// Keysets and context acquisition on fake cards: which container an open or
// a create reaches, the registry and the shared counts through acquisition,
// release and deletion, the card access's life, the lock against eight
// threads at once, and an abandoned "MUTEX_CSP".
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CaseName.h"
#include "CspMutex.h"
#include "KeysetFixture.h"
#include "TraceCapture.h"

namespace {

const std::string kDefault = PAVREL_DEFAULT_CONTAINER;
const DWORD kVerify = CRYPT_VERIFYCONTEXT;

class KeysetTest : public KeysetFixture {};

// --- Open and create ------------------------------------------------------------

struct TokenCase {
    const char *pszName;
    DWORD dwFlags;
    const char *apszEntries[4];  // null: free
    std::string strKeyset;       // the name asked for
    DWORD dwCardFailure;         // 0, or the answer of every container read
    DWORD dwExpected;
    int nWrittenIndex;           // the 1-based entry a create wrote; 0: none
};

class TokenKeyset : public KeysetTest, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(TokenKeyset, ReachesTheRightEntry)
{
    const TokenCase &c = GetParam();
    for (int i = 0; i < 4; ++i)
        if (c.apszEntries[i])
            KeysetCards::Template().SetEntry(i, c.apszEntries[i]);
    KeysetCards::Template().dwReadResult = c.dwCardFailure;
    ULONG64 hProv = 0;
    const size_t nCardsBefore = FakeCardFactory::Made().size();
    EXPECT_EQ(c.dwExpected, Acquire(Text(c.strKeyset), c.dwFlags, &hProv));
    // Refusals made before the token is reached make no card.
    KeysetFakeCard *pCard =
        FakeCardFactory::Made().size() > nCardsBefore ? KeysetCards::Last() : nullptr;
    EXPECT_EQ(c.nWrittenIndex, pCard && pCard->nWrites ? pCard->nLastWriteIndex : 0);
    const std::string strPath = Path(c.strKeyset);
    Pavrel_Keyset *pKeyset = Pavrel_Keyset::FindKeyset(strPath, false);
    if (c.dwExpected == 0) {
        ASSERT_NE(nullptr, pKeyset);
        EXPECT_EQ(c.strKeyset.empty() ? kDefault : c.strKeyset, pKeyset->getKeysetName());
        EXPECT_EQ(1, Count(strPath));
        EXPECT_EQ(pKeyset, Pavrel_Keyset::FindKeysetByProvider(hProv));
        Release(hProv);
        EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(strPath, false));
    } else {
        EXPECT_EQ(nullptr, pKeyset);
        EXPECT_EQ(-1, Count(strPath));
    }
    // Nothing holds the card access any more: it closed its card.
    if (pCard != nullptr) {
        EXPECT_EQ(1, pCard->nCloses);
        EXPECT_TRUE(FakeCardFactory::Destroyed(pCard));
    }
}

const std::string k255(255, 'n');
const std::string k256(256, 'n');

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenKeyset,
    ::testing::Values(
        TokenCase{"OpenEmptyNameIsTheDefault", 0, {PAVREL_DEFAULT_CONTAINER}, "", 0, 0, 0},
        TokenCase{"OpenWithoutRegardToCase", 0, {nullptr, "ABC"}, "abc", 0, 0, 0},
        TokenCase{"OpenMissing", 0, {nullptr, "abd"}, "abc", 0, (DWORD)NTE_BAD_KEYSET, 0},
        TokenCase{"OpenPrefixIsNotTheName", 0, {nullptr, "abcd"}, "abc", 0, (DWORD)NTE_BAD_KEYSET, 0},
        TokenCase{"OpenReadFails", 0, {"abc"}, "abc", (DWORD)SCARD_E_UNEXPECTED, (DWORD)NTE_BAD_KEYSET, 0},
        TokenCase{"SilentOpen", CRYPT_SILENT, {nullptr, nullptr, "abc"}, "abc", 0, 0, 0},
        TokenCase{"CreateEmptyNameInEntry0", CRYPT_NEWKEYSET, {}, "", 0, 0, 1},
        TokenCase{"CreateOtherNameSkipsEntry0", CRYPT_NEWKEYSET, {}, "abc", 0, 0, 2},
        TokenCase{"CreateTakesTheFirstFreeAfter0", CRYPT_NEWKEYSET, {nullptr, "x", nullptr},
                  "abc", 0, 0, 3},
        TokenCase{"CreateFullTokenBesideEntry0", CRYPT_NEWKEYSET, {nullptr, "x", "y", "z"}, "abc",
                  0, (DWORD)NTE_TOKEN_KEYSET_STORAGE_FULL, 0},
        TokenCase{"CreateDefaultWhileEntry0InUse", CRYPT_NEWKEYSET, {"other"}, "", 0,
                  (DWORD)NTE_BAD_KEYSET_PARAM, 0},
        TokenCase{"CreateExistsWithoutRegardToCase", CRYPT_NEWKEYSET, {nullptr, "ABC"}, "abc", 0,
                  (DWORD)NTE_EXISTS, 0},
        TokenCase{"Create255Bytes", CRYPT_NEWKEYSET, {}, k255, 0, 0, 2},
        TokenCase{"Create256Bytes", CRYPT_NEWKEYSET, {}, k256, 0, (DWORD)NTE_BAD_KEYSET_PARAM, 0},
        TokenCase{"CreateReadFails", CRYPT_NEWKEYSET, {}, "abc", (DWORD)SCARD_E_UNEXPECTED,
                  (DWORD)NTE_BAD_KEYSET_PARAM, 0},
        TokenCase{"NewAndVerifyTogether", CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT, {}, "abc", 0,
                  (DWORD)NTE_BAD_FLAGS, 0}),
    CaseName());

TEST_F(KeysetTest, CreateWhoseWriteFailsLeavesNothing)
{
    KeysetCards::Template().dwWriteResult = SCARD_E_UNEXPECTED;
    EXPECT_EQ((DWORD)NTE_TOKEN_KEYSET_STORAGE_FULL, Acquire(Text("abc"), CRYPT_NEWKEYSET));
    EXPECT_EQ(1, KeysetCards::Last()->nWrites);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
    EXPECT_EQ(-1, Count(Path("abc")));
}

// A name the token keeps in its whole field, without a NUL, is read as
// those 260 bytes and no further.
TEST_F(KeysetTest, UnterminatedNameIsBoundedByItsField)
{
    KeysetCards::Template().SetFullEntry(2, 'q');
    KeysetCards::Template().SetEntry(3, "after");
    EXPECT_EQ(0u, Acquire(Text(std::string(260, 'q')), 0));
    EXPECT_EQ((DWORD)NTE_BAD_KEYSET, Acquire(Text(std::string(261, 'q')), 0));
    EXPECT_EQ((DWORD)NTE_BAD_KEYSET, Acquire(Text(std::string(260, 'q') + "after"), 0));
}

// The trace of the container list shows a full last name only as far as its
// field goes (it ends the list's buffer).
TEST_F(KeysetTest, TraceOfAnUnterminatedLastNameStopsAtItsField)
{
    KeysetCards::Template().SetFullEntry(3, 'z');
    TraceCapture trace;
    EXPECT_EQ(0u, Acquire(Text(std::string(260, 'z')), 0));
    EXPECT_NE(std::string::npos,
              trace.RawText().find("pCKAS[3].keysetId=[" + std::string(260, 'z') + "],"));
}

// --- Lifecycle ---------------------------------------------------------------

TEST_F(KeysetTest, TwoAcquisitionsLiveUntilTheSecondRelease)
{
    KeysetCards::Template().SetEntry(1, "abc");
    ULONG64 h1 = 0, h2 = 0;
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h1));
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h2));
    EXPECT_NE(h1, h2);
    EXPECT_EQ(2, Count(Path("abc")));
    Pavrel_Keyset *pKeyset = Pavrel_Keyset::FindKeyset(Path("abc"), false);
    ASSERT_NE(nullptr, pKeyset);
    EXPECT_EQ(2u, pKeyset->getProviderCount());

    Release(h1);
    EXPECT_EQ(1, Count(Path("abc")));
    EXPECT_NE(nullptr, Pavrel_Keyset::FindProvider(h1));
    EXPECT_NE(nullptr, Pavrel_Keyset::FindProvider(h2));
    EXPECT_EQ(0, KeysetCards::Last()->nCloses);

    Release(h2);
    EXPECT_EQ(-1, Count(Path("abc")));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindProvider(h1));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindProvider(h2));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
    EXPECT_EQ(1, KeysetCards::Last()->nCloses);
}

// The registry key and the shared record follow one case rule: "ABC" and
// "abc" are one container, one keyset and one count.
TEST_F(KeysetTest, PathsDifferingInCaseAreOneKeyset)
{
    KeysetCards::Template().SetEntry(1, "abc");
    ULONG64 h1 = 0, h2 = 0;
    ASSERT_EQ(0u, Acquire(Text("ABC"), 0, &h1));
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h2));
    EXPECT_EQ(Pavrel_Keyset::FindKeysetByProvider(h1), Pavrel_Keyset::FindKeysetByProvider(h2));
    EXPECT_EQ(2, Count(Path("abc")));
    Release(h2);
    Release(h1);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
    EXPECT_EQ(-1, Count(Path("ABC")));
}

class VerifyAndTokenOrder : public KeysetTest, public ::testing::WithParamInterface<bool> {};

// A verification context and a token keyset on one path are two keysets:
// neither replaces, deletes or releases the other.
TEST_P(VerifyAndTokenOrder, NeverShareAnEntry)
{
    KeysetCards::Template().SetEntry(1, "abc");
    const bool bVerifyFirst = GetParam();
    ULONG64 hVerify = 0, hToken = 0;
    if (bVerifyFirst) {
        ASSERT_EQ(0u, Acquire(Text("abc"), kVerify, &hVerify));
    }
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &hToken));
    if (!bVerifyFirst) {
        ASSERT_EQ(0u, Acquire(Text("abc"), kVerify, &hVerify));
    }

    Pavrel_Keyset *pVerify = Pavrel_Keyset::FindKeyset(Path("abc"), true);
    Pavrel_Keyset *pToken = Pavrel_Keyset::FindKeyset(Path("abc"), false);
    ASSERT_NE(nullptr, pVerify);
    ASSERT_NE(nullptr, pToken);
    EXPECT_NE(pVerify, pToken);
    EXPECT_TRUE(pVerify->isVerifyContext());
    EXPECT_TRUE(pToken->isTokenKeyset());
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindProvider(hVerify)->getCardAccess());
    EXPECT_NE(nullptr, Pavrel_Keyset::FindProvider(hToken)->getCardAccess());

    Release(hVerify);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), true));
    EXPECT_EQ(pToken, Pavrel_Keyset::FindKeysetByProvider(hToken));
    EXPECT_EQ(1, Count(Path("abc")));
    Release(hToken);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
}

INSTANTIATE_TEST_SUITE_P(Orders, VerifyAndTokenOrder, ::testing::Values(true, false));

TEST_F(KeysetTest, VerificationKeysetGoesWithItsLastProvider)
{
    ULONG64 h1 = 0, h2 = 0;
    ASSERT_EQ(0u, Acquire("", kVerify, &h1));
    ASSERT_EQ(0u, Acquire("", kVerify, &h2));
    Pavrel_Keyset *pKeyset = Pavrel_Keyset::FindKeyset(PAVREL_VERIFY_CONTAINER, true);
    ASSERT_NE(nullptr, pKeyset);
    EXPECT_EQ(2u, pKeyset->getProviderCount());
    Release(h1);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindProvider(h1));
    EXPECT_EQ(pKeyset, Pavrel_Keyset::FindKeysetByProvider(h2));
    Release(h2);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(PAVREL_VERIFY_CONTAINER, true));
}

// Deleting an open keyset takes its count with it: opened again, the
// container starts from one acquisition, and one release frees it.
TEST_F(KeysetTest, DeleteWhileOpenRemovesKeysetAndCount)
{
    KeysetCards::Template().SetEntry(1, "abc");
    ULONG64 h1 = 0;
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h1));
    KeysetFakeCard *pCard = KeysetCards::Last();
    EXPECT_EQ(0u, Pavrel_Keyset::deleteKeyset(m_strReader, "abc", Path("abc"), FALSE));
    ASSERT_EQ(1u, pCard->vecDeleted.size());
    EXPECT_EQ("abc", pCard->vecDeleted[0]);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindProvider(h1));
    EXPECT_EQ(-1, Count(Path("abc")));
    Release(h1);  // a stale handle changes nothing

    ULONG64 h2 = 0;
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h2));
    EXPECT_EQ(1, Count(Path("abc")));
    Release(h2);
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
}

TEST_F(KeysetTest, DeleteFailureOnTheCardIsBadKeysetParam)
{
    KeysetCards::Template().SetEntry(1, "abc");
    KeysetCards::Template().dwDeleteResult = SCARD_E_UNEXPECTED;
    ASSERT_EQ(0u, Acquire(Text("abc"), 0));
    EXPECT_EQ((DWORD)NTE_BAD_KEYSET_PARAM,
              Pavrel_Keyset::deleteKeyset(m_strReader, "abc", Path("abc"), FALSE));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("abc"), false));
}

// Two containers on one token share one card access; it closes its card
// with the last release, not before.
TEST_F(KeysetTest, LastReleaseClosesTheCardAccess)
{
    KeysetCards::Template().SetEntry(1, "one");
    KeysetCards::Template().SetEntry(2, "two");
    ULONG64 h1 = 0, h2 = 0;
    ASSERT_EQ(0u, Acquire(Text("one"), 0, &h1));
    const size_t nCards = FakeCardFactory::Made().size();
    ASSERT_EQ(0u, Acquire(Text("two"), 0, &h2));
    EXPECT_EQ(nCards, FakeCardFactory::Made().size());
    Pavrel_CardAccess *pAccess = Pavrel_Keyset::FindProvider(h1)->getCardAccess();
    EXPECT_EQ(pAccess, Pavrel_Keyset::FindProvider(h2)->getCardAccess());
    EXPECT_EQ(2, pAccess->getRefCount());
    KeysetFakeCard *pCard = KeysetCards::Last();
    Release(h1);
    EXPECT_EQ(0, pCard->nCloses);
    EXPECT_EQ(1, pAccess->getRefCount());
    Release(h2);
    EXPECT_EQ(1, pCard->nCloses);
    EXPECT_TRUE(FakeCardFactory::Destroyed(pCard));
}

TEST_F(KeysetTest, UnknownHandleReleasesNothing)
{
    KeysetCards::Template().SetEntry(1, "abc");
    ULONG64 h = 0;
    ASSERT_EQ(0u, Acquire(Text("abc"), 0, &h));
    EXPECT_EQ(0u, Pavrel_Keyset::Release(h + 1000));
    EXPECT_EQ(1, Count(Path("abc")));
    EXPECT_NE(nullptr, Pavrel_Keyset::FindProvider(h));
}

TEST_F(KeysetTest, UnloadClearsOnlyKeysetsCountedDown)
{
    KeysetCards::Template().SetEntry(1, "done");
    KeysetCards::Template().SetEntry(2, "open");
    ULONG64 hDone = 0, hOpen = 0;
    ASSERT_EQ(0u, Acquire(Text("done"), 0, &hDone));
    ASSERT_EQ(0u, Acquire(Text("open"), 0, &hOpen));
    CSharedKeysetInfo::find(Path("done"), m_strReader)->_refCount = 0;
    Pavrel_Keyset::CleanupAtUnload();
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(Path("done"), false));
    EXPECT_EQ(-1, Count(Path("done")));
    EXPECT_NE(nullptr, Pavrel_Keyset::FindKeyset(Path("open"), false));
    m_vecHandles.erase(m_vecHandles.begin());
}

// --- Threads ------------------------------------------------------------------

// Eight threads acquire and release one container, and verification
// contexts beside it, at once; every handle works while held and nothing
// is left at the end.
TEST_F(KeysetTest, EightThreadsAcquireAndReleaseAtOnce)
{
    KeysetCards::Template().SetEntry(1, "abc");
    const std::string strText = Text("abc");
    const std::string strPath = Path("abc");
    // One acquisition held throughout keeps the card access, so the test
    // can see it close at the end.
    ULONG64 hHeld = 0;
    ASSERT_EQ(0u, Acquire(strText, 0, &hHeld));
    KeysetFakeCard *pCard = KeysetCards::Last();
    std::atomic<int> nFailures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t]() {
            Pavrel_ContainerText text(strText.c_str());
            for (int i = 0; i < 25; ++i) {
                ULONG64 hProv = 0;
                const DWORD dwFlags = (t % 2) ? kVerify : 0;
                if (Pavrel_Keyset::GetKeyset(text.getReaderName(), text.getKeysetName(),
                                             text.getKeysetPath(), dwFlags, &hProv) != 0) {
                    ++nFailures;
                    continue;
                }
                if (Pavrel_Keyset::FindProvider(hProv) == nullptr)
                    ++nFailures;
                Pavrel_Keyset::Release(hProv);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(0, nFailures.load());
    EXPECT_EQ(1, Count(strPath));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(strPath, true));
    EXPECT_EQ(0, pCard->nCloses);
    Release(hHeld);
    EXPECT_EQ(-1, Count(strPath));
    EXPECT_EQ(nullptr, Pavrel_Keyset::FindKeyset(strPath, false));
    EXPECT_EQ(1, pCard->nCloses);
}

// --- "MUTEX_CSP" ----------------------------------------------------------------

// Waits dwTimeout milliseconds for the mutex on another thread and gives it
// back when it came; the wait's result.
DWORD TakeOnAnotherThread(DWORD dwTimeout)
{
    DWORD dwWait = WAIT_FAILED;
    std::thread([&dwWait, dwTimeout] {
        HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "MUTEX_CSP");
        dwWait = WaitForSingleObject(hMutex, dwTimeout);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
            ReleaseMutex(hMutex);
        CloseHandle(hMutex);
    }).join();
    return dwWait;
}

TEST(CspMutexTest, AbandonedMutexIsOwnedAndReleasedAgain)
{
    // A thread that ends holding it leaves it abandoned.
    std::thread([] {
        HANDLE hMutex = CreateMutexA(nullptr, FALSE, "MUTEX_CSP");
        WaitForSingleObject(hMutex, INFINITE);
    }).join();
    {
        CCspMutex guard;
        EXPECT_TRUE(guard.owned());
        // Held here: another thread cannot have it now.
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, TakeOnAnotherThread(0));
    }
    // The name is machine-wide: a test program running beside this one may
    // hold it for a moment, so the free mutex is waited for, not polled.
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, TakeOnAnotherThread(30000));
}

}  // namespace
