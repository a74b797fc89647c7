// CardAccessTest.cpp
//
// The card access per device with fake card objects handed out by the
// fixture "Corlisk.dll" beside this program: the shared accesses and their
// reference counts, the public key read from a certificate (made here with
// OpenSSL) or from the card, the CryptoAPI objects that reading leaves
// behind, and what the wrappers trace.
#include <gtest/gtest.h>
#include <windows.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <thread>
#include <vector>

#include "CaseName.h"
#include "FakeCard.h"
#include "KQCardAccess.h"
#include "Pavrel_CardAccess.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

class CardAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FakeCardFactory::Install(TestBinPath("Corlisk.dll")));
        FakeCardFactory::NextCard() = FakeCard();
    }
    // Drops an access the test looked up, whatever its count.
    static void Drop(Pavrel_CardAccess *pAccess)
    {
        if (pAccess == nullptr)
            return;
        if (pAccess->getRefCount() == 0)
            pAccess->AddRef();
        while (pAccess->getRefCount() > 1)
            pAccess->Release();
        pAccess->Release();
    }
    static FakeCard *LastCard() { return FakeCardFactory::Made().back(); }
};

// --- Shared accesses --------------------------------------------------------

struct LookupCase {
    const char *pszName;
    const char *pszFirst;
    const char *pszSecond;
    BOOL bStillConnected;  // the first access's connection at the second look-up
    DWORD dwReopen;        // the card's answer to the reopening
    bool bFound;
    bool bSame;
    int nCards;            // card objects made for both look-ups
    int nOpens;            // openings of the first card
};

class CardAccessLookup : public CardAccessTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(CardAccessLookup, OneAccessPerDeviceName)
{
    const LookupCase &c = GetParam();
    size_t nBefore = FakeCardFactory::Made().size();
    Pavrel_CardAccess *pFirst = Pavrel_CardAccess::getCardInstance(c.pszFirst);
    ASSERT_NE(nullptr, pFirst);
    FakeCard *pCard = LastCard();
    EXPECT_EQ(c.pszFirst, pCard->strOpenedName);
    pCard->bConnected = c.bStillConnected;
    pCard->dwReopenResult = c.dwReopen;

    Pavrel_CardAccess *pSecond = Pavrel_CardAccess::getCardInstance(c.pszSecond);
    EXPECT_EQ(c.bFound, pSecond != nullptr);
    EXPECT_EQ(c.bSame, pSecond == pFirst);
    EXPECT_EQ(static_cast<size_t>(c.nCards), FakeCardFactory::Made().size() - nBefore);
    EXPECT_EQ(c.nOpens, pCard->nOpens);
    if (!c.bFound) {
        // The entry stays: once the token answers again it is found.
        pCard->bConnected = TRUE;
        EXPECT_EQ(pFirst, Pavrel_CardAccess::getCardInstance(c.pszFirst));
    }
    if (pSecond != pFirst)
        Drop(pSecond);
    Drop(pFirst);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CardAccessLookup,
    ::testing::Values(
        LookupCase{"SameName", "tokA", "tokA", TRUE, 0, true, true, 1, 1},
        LookupCase{"OtherCase", "hid#VID_0925&PID_1234#a", "HID#vid_0925&pid_1234#A", TRUE, 0,
                   true, true, 1, 1},
        LookupCase{"LongerName", "tokB", "tokB2", TRUE, 0, true, false, 2, 1},
        LookupCase{"EmptyNames", "", "", TRUE, 0, true, true, 1, 1},
        LookupCase{"LostConnectionReopened", "tokC", "tokC", FALSE, 0, true, true, 1, 2},
        LookupCase{"LostConnectionNotReopened", "tokD", "tokD", FALSE,
                   static_cast<DWORD>(SCARD_E_NO_SMARTCARD), false, false, 1, 2}),
    CaseName());

TEST_F(CardAccessTest, FailedOpenIsNotKept)
{
    FakeCardFactory::NextCard().dwOpenResult = static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(nullptr, Pavrel_CardAccess::getCardInstance("tokFail"));
    FakeCard *pFailed = LastCard();
    EXPECT_TRUE(FakeCardFactory::Destroyed(pFailed));

    FakeCardFactory::NextCard().dwOpenResult = 0;
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("tokFail");
    ASSERT_NE(nullptr, pAccess);
    EXPECT_NE(pFailed, LastCard()) << "a new access, with a card object of its own";
    Drop(pAccess);
}

// Set while the release closes the card: whether another thread could take
// "MUTEX_CSP" at that moment.
DWORD g_dwWaitDuringClose = 0;

void ProbeMutexDuringClose()
{
    std::thread probe([] {
        // Opened, or made when no one holds a handle to it any more.
        HANDLE hMutex = CreateMutexA(nullptr, FALSE, "MUTEX_CSP");
        g_dwWaitDuringClose = hMutex ? WaitForSingleObject(hMutex, 5000) : WAIT_FAILED;
        if (g_dwWaitDuringClose == WAIT_OBJECT_0 || g_dwWaitDuringClose == WAIT_ABANDONED)
            ReleaseMutex(hMutex);
        if (hMutex)
            CloseHandle(hMutex);
    });
    probe.join();
}

TEST_F(CardAccessTest, SharedUntilTheLastReleaseWhichClosesOutsideTheLock)
{
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("tokShared");
    ASSERT_NE(nullptr, pAccess);
    FakeCard *pCard = LastCard();
    pCard->pfnOnClose = &ProbeMutexDuringClose;
    pAccess->AddRef();
    ASSERT_EQ(pAccess, Pavrel_CardAccess::getCardInstance("TOKSHARED"));
    pAccess->AddRef();
    EXPECT_EQ(2, pAccess->getRefCount());

    pAccess->Release();
    EXPECT_EQ(0, pCard->nCloses);
    EXPECT_FALSE(FakeCardFactory::Destroyed(pCard));
    EXPECT_EQ(pAccess, Pavrel_CardAccess::getCardInstance("tokShared"));

    g_dwWaitDuringClose = WAIT_FAILED;
    pAccess->Release();
    EXPECT_EQ(1, pCard->nCloses);
    EXPECT_TRUE(FakeCardFactory::Destroyed(pCard));
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), g_dwWaitDuringClose) << "closed while holding MUTEX_CSP";

    // Gone from the list: the next look-up makes a new access.
    size_t nMade = FakeCardFactory::Made().size();
    Pavrel_CardAccess *pNew = Pavrel_CardAccess::getCardInstance("tokShared");
    ASSERT_NE(nullptr, pNew);
    EXPECT_EQ(nMade + 1, FakeCardFactory::Made().size());
    Drop(pNew);
}

// --- Public key -------------------------------------------------------------

// A self-signed certificate over a fresh RSA key, and the key's numbers.
struct TestCertificate {
    std::vector<BYTE> vecDer;
    std::vector<BYTE> vecModulus;  // big-endian
    DWORD dwExponent = 0;
};

TestCertificate MakeCertificate(int nBits)
{
    TestCertificate cert;
    EVP_PKEY *pKey = EVP_RSA_gen(static_cast<unsigned>(nBits));
    X509 *pX509 = X509_new();
    X509_set_version(pX509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pX509), 7);
    X509_gmtime_adj(X509_getm_notBefore(pX509), 0);
    X509_gmtime_adj(X509_getm_notAfter(pX509), 3600L * 24 * 365);
    X509_NAME *pName = X509_get_subject_name(pX509);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("Pavrel test"), -1, -1, 0);
    X509_set_issuer_name(pX509, pName);
    X509_set_pubkey(pX509, pKey);
    X509_sign(pX509, pKey, EVP_sha256());
    int nLen = i2d_X509(pX509, nullptr);
    cert.vecDer.resize(nLen);
    unsigned char *p = cert.vecDer.data();
    i2d_X509(pX509, &p);
    BIGNUM *pN = nullptr, *pE = nullptr;
    EVP_PKEY_get_bn_param(pKey, "n", &pN);
    EVP_PKEY_get_bn_param(pKey, "e", &pE);
    cert.vecModulus.resize(BN_num_bytes(pN));
    BN_bn2bin(pN, cert.vecModulus.data());
    cert.dwExponent = static_cast<DWORD>(BN_get_word(pE));
    BN_free(pN);
    BN_free(pE);
    X509_free(pX509);
    EVP_PKEY_free(pKey);
    return cert;
}

// The card's record of a key: bits big-endian, the modulus least significant
// byte first with each byte pair swapped, the exponent big-endian.
std::vector<BYTE> ExpectedBlob(const TestCertificate &cert)
{
    std::vector<BYTE> vec(262, 0);
    size_t n = cert.vecModulus.size();
    vec[0] = static_cast<BYTE>((n * 8) >> 8);
    vec[1] = static_cast<BYTE>(n * 8);
    for (size_t i = 0; i < n; ++i)
        vec[2 + (i ^ 1)] = cert.vecModulus[n - 1 - i];
    vec[258] = static_cast<BYTE>(cert.dwExponent >> 24);
    vec[259] = static_cast<BYTE>(cert.dwExponent >> 16);
    vec[260] = static_cast<BYTE>(cert.dwExponent >> 8);
    vec[261] = static_cast<BYTE>(cert.dwExponent);
    return vec;
}

enum CertKind { NO_CERT, RSA_CERT, GARBAGE };
struct PubKeyCase {
    const char *pszName;
    CertKind kind;
    int nBits;
    bool bFromCertificate;
};

class ReadPublicKey : public CardAccessTest, public ::testing::WithParamInterface<PubKeyCase> {};

TEST_P(ReadPublicKey, CertificateKeyFirstElseTheCards)
{
    const PubKeyCase &c = GetParam();
    TestCertificate cert;
    if (c.kind == RSA_CERT) {
        cert = MakeCertificate(c.nBits);
        FakeCardFactory::NextCard().vecCertificate = cert.vecDer;
    } else if (c.kind == GARBAGE) {
        FakeCardFactory::NextCard().vecCertificate = std::vector<BYTE>(300, 0x30);
    }
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance(std::string("pk") + c.pszName);
    ASSERT_NE(nullptr, pAccess);
    FakeCard *pCard = LastCard();

    std::vector<BYTE> vecBlob(300, 0xEE);
    DWORD dwLen = static_cast<DWORD>(vecBlob.size());
    EXPECT_EQ(0u, pAccess->readPublicKey("Container", vecBlob.data(), &dwLen, 1));
    EXPECT_EQ(262u, dwLen);
    vecBlob.resize(dwLen);
    if (c.bFromCertificate) {
        EXPECT_EQ(ExpectedBlob(cert), vecBlob);
        EXPECT_EQ(0, pCard->nReadPublicKey);
    } else {
        EXPECT_EQ(pCard->vecPublicKey, vecBlob);
        EXPECT_EQ(1, pCard->nReadPublicKey);
    }
    Drop(pAccess);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, ReadPublicKey,
    ::testing::Values(PubKeyCase{"NoCertificate", NO_CERT, 0, false},
                      PubKeyCase{"Rsa512", RSA_CERT, 512, true},
                      PubKeyCase{"Rsa1024", RSA_CERT, 1024, true},
                      PubKeyCase{"Rsa2048", RSA_CERT, 2048, true},
                      PubKeyCase{"Rsa3072", RSA_CERT, 3072, false},
                      PubKeyCase{"Garbage", GARBAGE, 0, false}),
    CaseName());

TEST_F(CardAccessTest, ReadPublicKeyRefusesABufferShorterThanTheRecord)
{
    FakeCardFactory::NextCard().vecCertificate = MakeCertificate(1024).vecDer;
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("pkShort");
    ASSERT_NE(nullptr, pAccess);
    std::vector<BYTE> vecBlob(262, 0xEE);
    DWORD dwLen = 261;
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), pAccess->readPublicKey("C", vecBlob.data(), &dwLen, 1));
    EXPECT_EQ(262u, dwLen);
    EXPECT_EQ(std::vector<BYTE>(262, 0xEE), vecBlob) << "nothing written";
    EXPECT_EQ(0, LastCard()->nReadPublicKey);
    Drop(pAccess);
}

// The process's open handles. GetProcessHandleCount first; where it is not
// live (Wine answers 0), the system's handle list, whose entries for this
// process are the same handles.
DWORD OwnHandleCount()
{
    DWORD dwCount = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &dwCount) && dwCount != 0)
        return dwCount;
    typedef LONG(NTAPI * PFN_NtQuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    auto pfnQuery = reinterpret_cast<PFN_NtQuerySystemInformation>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        ULONG ulPid;
        BYTE bType;
        BYTE bFlags;
        USHORT uHandle;
        PVOID pObject;
        ACCESS_MASK access;
    };
    const ULONG kSystemHandleInformation = 16;
    std::vector<BYTE> vecBuffer(1 << 20);
    ULONG ulLen = 0;
    LONG lStatus;
    while ((lStatus = pfnQuery(kSystemHandleInformation, vecBuffer.data(),
                               static_cast<ULONG>(vecBuffer.size()), &ulLen)) ==
           static_cast<LONG>(0xC0000004))  // STATUS_INFO_LENGTH_MISMATCH
        vecBuffer.resize(vecBuffer.size() * 2);
    if (lStatus != 0)
        return 0;
    ULONG ulEntries = *reinterpret_cast<ULONG *>(vecBuffer.data());
    const Entry *pEntries = reinterpret_cast<const Entry *>(vecBuffer.data() + sizeof(ULONG_PTR));
    for (ULONG i = 0; i < ulEntries; ++i)
        if (pEntries[i].ulPid == GetCurrentProcessId())
            ++dwCount;
    return dwCount;
}

TEST_F(CardAccessTest, ThousandReadsLeaveTheHandleCountFlat)
{
    FakeCardFactory::NextCard().vecCertificate = MakeCertificate(2048).vecDer;
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("pkHandles");
    ASSERT_NE(nullptr, pAccess);
    BYTE abBlob[262];
    DWORD dwLen = sizeof(abBlob);
    // The first reads load the provider and whatever it keeps for good.
    for (int i = 0; i < 5; ++i) {
        dwLen = sizeof(abBlob);
        ASSERT_EQ(0u, pAccess->readPublicKey("C", abBlob, &dwLen, 1));
    }
    DWORD dwBefore = OwnHandleCount();
    // The count is live here: one handle more shows.
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD dwWithEvent = OwnHandleCount();
    CloseHandle(hEvent);
    ASSERT_NE(0u, dwBefore);
    ASSERT_EQ(dwBefore + 1, dwWithEvent);

    for (int i = 0; i < 1000; ++i) {
        dwLen = sizeof(abBlob);
        ASSERT_EQ(0u, pAccess->readPublicKey("C", abBlob, &dwLen, 1));
    }
    DWORD dwAfter = OwnHandleCount();
    EXPECT_LE(dwAfter, dwBefore + 5);
    EXPECT_EQ(0, LastCard()->nReadPublicKey) << "every read came from the certificate";
    Drop(pAccess);
}

// --- Traces -----------------------------------------------------------------

TEST_F(CardAccessTest, NoPinKeyOrPlaintextInTheTrace)
{
    CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    const std::string strPin = "739164";
    const std::string strKeyBlob = "PRIVATE-KEY-PARTS-0123456789";
    const std::string strPlain = "SECRET-SESSION-KEY";
    const std::string strDecrypted = "DECRYPTED-PLAINTEXT";
    FakeCardFactory::NextCard().vecCryptOut.assign(strDecrypted.begin(), strDecrypted.end());
    {
        TraceCapture capture;
        capture.Forbid("the PIN", strPin);
        capture.Forbid("the private key", strKeyBlob);
        capture.Forbid("the plaintext sent", strPlain);
        capture.Forbid("the decrypted data", strDecrypted);
        Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("tokTrace");
        ASSERT_NE(nullptr, pAccess);
        FakeCard *pCard = LastCard();
        EXPECT_EQ(0u, pAccess->verifyUserPin(reinterpret_cast<const BYTE *>(strPin.data()),
                                             static_cast<DWORD>(strPin.size())));
        EXPECT_EQ(strPin, std::string(pCard->vecPinSent.begin(), pCard->vecPinSent.end()));
        EXPECT_EQ(1, pCard->bPinRef);
        EXPECT_EQ(0u, pAccess->importKey("C", 1, 1,
                                         reinterpret_cast<const BYTE *>(strKeyBlob.data()),
                                         static_cast<DWORD>(strKeyBlob.size())));
        BYTE abOut[64];
        DWORD dwOut = sizeof(abOut);
        EXPECT_EQ(0u, pAccess->computeCrypt("C", 3, 1,
                                            reinterpret_cast<const BYTE *>(strPlain.data()),
                                            static_cast<DWORD>(strPlain.size()), abOut, &dwOut));
        EXPECT_EQ(strDecrypted, std::string(reinterpret_cast<char *>(abOut), dwOut));
        std::string strText = capture.RawText();
        // The calls were traced, only without their secrets.
        EXPECT_NE(std::string::npos, strText.find("Pavrel_CardAccess::verifyPin dwPinNum=[1]"));
        EXPECT_NE(std::string::npos, strText.find("lpbKeyBlob"));
        EXPECT_NE(std::string::npos, strText.find("lpbOut"));
        Drop(pAccess);
    }
    CTraceWriter::GetInstance()->FreeTraceLibrary();
}

}  // namespace
