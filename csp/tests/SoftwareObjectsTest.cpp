// SoftwareObjectsTest.cpp
//
// The software provider wrapper with the key and hash objects, against Wine's
// real "Microsoft Enhanced Cryptographic Provider v1.0": the bytes a hash
// keeps for the sign confirmation, hash sizes, the key factory by blob type,
// handles made on several threads, and the shared software context.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CaseName.h"
#include "Pavrel_Hash.h"
#include "Pavrel_Key.h"
#include "Pavrel_MSCSP.h"
#include "Pavrel_RSAKeyInMemory.h"
#include "Pavrel_SessionKey.h"
#include "Pavrel_SimpleSessionKey.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

std::vector<BYTE> Bytes(const std::string &str) { return std::vector<BYTE>(str.begin(), str.end()); }

// --- Kept bytes -----------------------------------------------------------

// One step on a hash: hash text, read the value, set the value, or hash a
// session key.
enum Op { HASH, READ_VALUE, SET_VALUE, HASH_KEY };
struct Step {
    Op op;
    const char *pszText;
    bool bOk;  // the step's expected outcome
};
struct KeptCase {
    const char *pszName;
    std::vector<Step> steps;
    const char *pszKept;  // null: nothing is kept
};

class HashKeptBytes : public ::testing::TestWithParam<KeptCase> {};

TEST_P(HashKeptBytes, KeepsExactlyWhatTheValueWasComputedFrom)
{
    Pavrel_Hash *pRaw = nullptr;
    ASSERT_EQ(0u, Pavrel_Hash::create(CALG_SHA1, 0, 0, &pRaw));
    std::unique_ptr<Pavrel_Hash> pHash(pRaw);
    Pavrel_Key *pKeyRaw = nullptr;
    ASSERT_EQ(0u, Pavrel_Key::generate(CALG_RC4, CRYPT_EXPORTABLE, &pKeyRaw));
    std::unique_ptr<Pavrel_Key> pKey(pKeyRaw);

    for (const Step &step : GetParam().steps) {
        DWORD dwRet = 0;
        std::vector<BYTE> vec = Bytes(step.pszText ? step.pszText : "");
        switch (step.op) {
        case HASH: dwRet = pHash->hashData(vec.data(), static_cast<DWORD>(vec.size())); break;
        case READ_VALUE: dwRet = pHash->getHashValue(vec); break;
        case SET_VALUE: {
            BYTE abValue[20] = {0x5A};
            dwRet = pHash->setHashValue(abValue);
            break;
        }
        case HASH_KEY: dwRet = pHash->hashSessionKey(pKey->getSoftKey(), 0); break;
        }
        EXPECT_EQ(step.bOk, dwRet == 0) << "step result " << std::hex << dwRet;
    }
    std::vector<BYTE> vecKept = Bytes("left over");
    DWORD dwNone = pHash->getHashedBytes(vecKept);
    if (GetParam().pszKept == nullptr) {
        EXPECT_EQ(1u, dwNone);
        EXPECT_TRUE(vecKept.empty());
    } else {
        EXPECT_EQ(0u, dwNone);
        EXPECT_EQ(Bytes(GetParam().pszKept), vecKept);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HashKeptBytes,
    ::testing::Values(
        KeptCase{"NothingHashed", {}, nullptr},
        KeptCase{"TwoPiecesInOrder", {{HASH, "a", true}, {HASH, "bc", true}}, "abc"},
        KeptCase{"FailedHashAddsNothing",
                 {{HASH, "abc", true}, {READ_VALUE, nullptr, true}, {HASH, "def", false}},
                 "abc"},
        KeptCase{"ValueSetForgetsEarlierBytes", {{HASH, "pay 10", true}, {SET_VALUE, nullptr, true}},
                 nullptr},
        KeptCase{"SessionKeyHashedForgetsEarlierBytes",
                 {{HASH, "pay 10", true}, {HASH_KEY, nullptr, true}}, nullptr},
        KeptCase{"BytesAfterSessionKeyAreNotKept",
                 {{HASH_KEY, nullptr, true}, {HASH, "pay 10", true}}, nullptr}),
    CaseName());

// --- Hash sizes and creation ----------------------------------------------

struct SizeCase {
    const char *pszName;
    ALG_ID algId;
    DWORD dwRet;
    DWORD dwSize;
};

class HashSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(HashSize, ByAlgorithm)
{
    Pavrel_Hash *pRaw = nullptr;
    ASSERT_EQ(0u, Pavrel_Hash::create(GetParam().algId, 0, 0, &pRaw));
    std::unique_ptr<Pavrel_Hash> pHash(pRaw);
    DWORD dwSize = 0xFFFF;
    EXPECT_EQ(GetParam().dwRet, pHash->getHashSize(&dwSize));
    if (GetParam().dwRet == 0) {
        EXPECT_EQ(GetParam().dwSize, dwSize);
        // The provider's value has the size reported.
        std::vector<BYTE> vecValue;
        if (GetParam().algId != CALG_SSL3_SHAMD5) {
            ASSERT_EQ(0u, pHash->getHashValue(vecValue));
            EXPECT_EQ(dwSize, vecValue.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, HashSize,
    ::testing::Values(SizeCase{"Md5", CALG_MD5, 0, 16}, SizeCase{"Sha1", CALG_SHA1, 0, 20},
                      SizeCase{"Ssl3ShaMd5", CALG_SSL3_SHAMD5, 0, 36},
                      SizeCase{"Md4", CALG_MD4, static_cast<DWORD>(NTE_BAD_ALGID), 0},
                      SizeCase{"Md2", CALG_MD2, static_cast<DWORD>(NTE_BAD_ALGID), 0}),
    CaseName());

TEST(HashCreation, ProviderRefusalIsAnErrorAndNoObject)
{
    Pavrel_Hash *pHash = reinterpret_cast<Pavrel_Hash *>(1);
    // A hash algorithm number the provider does not know.
    EXPECT_EQ(DWORD(NTE_BAD_ALGID), Pavrel_Hash::create(ALG_CLASS_HASH | 0xFF, 0, 0, &pHash));
    EXPECT_EQ(nullptr, pHash);
    EXPECT_EQ(0, Pavrel_MSCSP::getUserCount());
}

TEST(HashHandles, EightThreadsGetDistinctHandlesAndOneContext)
{
    ASSERT_EQ(0, Pavrel_MSCSP::getUserCount()) << "the threads must race for the first use";
    const int kThreads = 8;
    const int kEach = 50;
    std::vector<std::vector<Pavrel_Hash *>> made(kThreads);
    std::vector<std::set<HCRYPTPROV>> contexts(kThreads);
    HANDLE hStart = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            WaitForSingleObject(hStart, INFINITE);
            for (int i = 0; i < kEach; ++i) {
                Pavrel_Hash *pHash = nullptr;
                if (Pavrel_Hash::create(CALG_MD5, 0, 0, &pHash) == 0)
                    made[t].push_back(pHash);
                contexts[t].insert(Pavrel_MSCSP::getContext());
            }
        });
    SetEvent(hStart);
    for (std::thread &thread : threads)
        thread.join();
    CloseHandle(hStart);

    std::set<ULONG64> handles;
    std::set<HCRYPTPROV> allContexts;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(static_cast<size_t>(kEach), made[t].size());
        for (Pavrel_Hash *pHash : made[t])
            handles.insert(pHash->getHandle());
        allContexts.insert(contexts[t].begin(), contexts[t].end());
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), handles.size());
    EXPECT_GT(*handles.begin(), 0x1000u);
    EXPECT_EQ(1u, allContexts.size()) << "the context was opened more than once";
    EXPECT_EQ(kThreads * kEach, Pavrel_MSCSP::getUserCount());
    for (auto &list : made)
        for (Pavrel_Hash *pHash : list)
            delete pHash;
}

TEST(SoftwareContext, LastUserReleasesIt)
{
    ASSERT_EQ(0, Pavrel_MSCSP::getUserCount());
    EXPECT_EQ(0u, Pavrel_MSCSP::getContext());
    Pavrel_Hash *pFirst = nullptr;
    Pavrel_Key *pKey = nullptr;
    ASSERT_EQ(0u, Pavrel_Hash::create(CALG_SHA1, 0, 0, &pFirst));
    ASSERT_EQ(0u, Pavrel_Key::generate(CALG_3DES, 0, &pKey));
    HCRYPTPROV hProv = Pavrel_MSCSP::getContext();
    ASSERT_NE(0u, hProv);
    EXPECT_EQ(2, Pavrel_MSCSP::getUserCount());

    delete pFirst;
    // One user left: the context still works.
    HCRYPTHASH hHash = 0;
    EXPECT_TRUE(CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash));
    if (hHash)
        CryptDestroyHash(hHash);
    delete pKey;
    EXPECT_EQ(0, Pavrel_MSCSP::getUserCount());
    EXPECT_EQ(0u, Pavrel_MSCSP::getContext());
    // Released for real: the provider no longer knows the old context.
    hHash = 0;
    EXPECT_FALSE(CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash));

    // The next user opens it again.
    ASSERT_EQ(0u, Pavrel_Hash::create(CALG_SHA1, 0, 0, &pFirst));
    EXPECT_NE(0u, Pavrel_MSCSP::getContext());
    delete pFirst;
}

// --- Key factories ----------------------------------------------------------

// Blobs made with a separate verification context of the same provider.
class BlobMaker {
public:
    BlobMaker()
    {
        CryptAcquireContextA(&m_hProv, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                             CRYPT_VERIFYCONTEXT);
    }
    ~BlobMaker()
    {
        if (m_hProv)
            CryptReleaseContext(m_hProv, 0);
    }
    std::vector<BYTE> RsaBlob(DWORD dwType)
    {
        HCRYPTKEY hKey = 0;
        std::vector<BYTE> vec;
        if (!CryptGenKey(m_hProv, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &hKey))
            return vec;
        vec = Export(hKey, 0, dwType);
        CryptDestroyKey(hKey);
        return vec;
    }
    std::vector<BYTE> Export(HCRYPTKEY hKey, HCRYPTKEY hExp, DWORD dwType)
    {
        DWORD dwLen = 0;
        std::vector<BYTE> vec;
        if (!CryptExportKey(hKey, hExp, dwType, 0, nullptr, &dwLen))
            return vec;
        vec.resize(dwLen);
        if (!CryptExportKey(hKey, hExp, dwType, 0, vec.data(), &dwLen))
            vec.clear();
        vec.resize(dwLen);
        return vec;
    }

private:
    HCRYPTPROV m_hProv = 0;
};

std::vector<BYTE> PlainTextBlob(BYTE bType = PLAINTEXTKEYBLOB)
{
    std::vector<BYTE> vec(12 + 24);
    BLOBHEADER head = {bType, CUR_BLOB_VERSION, 0, CALG_3DES};
    memcpy(vec.data(), &head, sizeof(head));
    DWORD dwKeySize = 24;
    memcpy(vec.data() + 8, &dwKeySize, 4);
    for (int i = 0; i < 24; ++i)
        vec[12 + i] = static_cast<BYTE>(0x10 + i * 7);
    return vec;
}

// A SIMPLEBLOB under the software context's own exchange key, and that key.
std::vector<BYTE> SimpleBlob(HCRYPTKEY *phExchange)
{
    std::vector<BYTE> vec;
    HCRYPTPROV hProv = Pavrel_MSCSP::getContext();
    HCRYPTKEY hSession = 0;
    if (!CryptGetUserKey(hProv, AT_KEYEXCHANGE, phExchange))
        return vec;
    if (!CryptGenKey(hProv, CALG_RC4, CRYPT_EXPORTABLE, &hSession))
        return vec;
    DWORD dwLen = 0;
    CryptExportKey(hSession, *phExchange, SIMPLEBLOB, 0, nullptr, &dwLen);
    vec.resize(dwLen);
    if (!CryptExportKey(hSession, *phExchange, SIMPLEBLOB, 0, vec.data(), &dwLen))
        vec.clear();
    CryptDestroyKey(hSession);
    return vec;
}

enum KeyKind { NONE, SESSION, RSA_IN_MEMORY };
enum BlobSource { PUBLIC_BLOB, PRIVATE_BLOB, PLAINTEXT_BLOB, SIMPLE_BLOB, WRAP_BLOB, OPAQUE_BLOB,
                  SHORT_BLOB, NO_BLOB };
struct BlobCase {
    const char *pszName;
    BlobSource source;
    KeyKind kind;      // what the factory must make
    DWORD dwRet;       // 0, the exact error, or 1 for "the provider's error"
};

class ImportByBlobType : public ::testing::TestWithParam<BlobCase> {};

TEST_P(ImportByBlobType, MakesTheKindOfKeyTheBlobHolds)
{
    // Held so the software context and its exchange key stay the same.
    Pavrel_Hash *pAnchorRaw = nullptr;
    ASSERT_EQ(0u, Pavrel_Hash::create(CALG_MD5, 0, 0, &pAnchorRaw));
    std::unique_ptr<Pavrel_Hash> pAnchor(pAnchorRaw);
    BlobMaker maker;
    HCRYPTKEY hExchange = 0;
    std::vector<BYTE> vecBlob;
    switch (GetParam().source) {
    case PUBLIC_BLOB: vecBlob = maker.RsaBlob(PUBLICKEYBLOB); break;
    case PRIVATE_BLOB: vecBlob = maker.RsaBlob(PRIVATEKEYBLOB); break;
    case PLAINTEXT_BLOB: vecBlob = PlainTextBlob(); break;
    case SIMPLE_BLOB: vecBlob = SimpleBlob(&hExchange); break;
    case WRAP_BLOB: vecBlob = PlainTextBlob(SYMMETRICWRAPKEYBLOB); break;
    case OPAQUE_BLOB: vecBlob = PlainTextBlob(OPAQUEKEYBLOB); break;
    case SHORT_BLOB: vecBlob = std::vector<BYTE>{PLAINTEXTKEYBLOB, 2, 0}; break;
    case NO_BLOB: break;
    }
    if (GetParam().source != SHORT_BLOB && GetParam().source != NO_BLOB) {
        ASSERT_FALSE(vecBlob.empty());
    }

    Pavrel_Key *pRaw = reinterpret_cast<Pavrel_Key *>(1);
    DWORD dwRet = Pavrel_Key::importKey(vecBlob.empty() ? nullptr : vecBlob.data(),
                                        static_cast<DWORD>(vecBlob.size()), hExchange, 0, &pRaw);
    std::unique_ptr<Pavrel_Key> pKey(dwRet == 0 ? pRaw : nullptr);
    if (hExchange)
        CryptDestroyKey(hExchange);
    if (GetParam().dwRet == 1)
        EXPECT_NE(0u, dwRet);
    else
        EXPECT_EQ(GetParam().dwRet, dwRet) << std::hex << dwRet;
    if (GetParam().kind == NONE) {
        EXPECT_EQ(nullptr, pRaw);
        return;
    }
    ASSERT_NE(nullptr, pKey);
    EXPECT_NE(0u, pKey->getSoftKey());
    BLOBHEADER head;
    memcpy(&head, vecBlob.data(), sizeof(head));
    EXPECT_EQ(head.aiKeyAlg, pKey->getAlgId());
    // Wine is not Windows 2000: no wrapped session keys.
    EXPECT_EQ(nullptr, dynamic_cast<Pavrel_SimpleSessionKey *>(pKey.get()));
    if (GetParam().kind == SESSION)
        EXPECT_NE(nullptr, dynamic_cast<Pavrel_SessionKey *>(pKey.get()));
    else
        EXPECT_NE(nullptr, dynamic_cast<Pavrel_RSAKeyInMemory *>(pKey.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Types, ImportByBlobType,
    ::testing::Values(
        BlobCase{"PublicKeyBlob", PUBLIC_BLOB, RSA_IN_MEMORY, 0},
        BlobCase{"PrivateKeyBlob", PRIVATE_BLOB, RSA_IN_MEMORY, 0},
        BlobCase{"PlainTextKeyBlob", PLAINTEXT_BLOB, SESSION, 0},
        BlobCase{"SimpleBlob", SIMPLE_BLOB, SESSION, 0},
        // Wine's provider does not take this type: its error comes back.
        BlobCase{"SymmetricWrapKeyBlob", WRAP_BLOB, NONE, 1},
        BlobCase{"OpaqueKeyBlob", OPAQUE_BLOB, NONE, static_cast<DWORD>(NTE_BAD_VER)},
        BlobCase{"ShorterThanItsHeader", SHORT_BLOB, NONE, static_cast<DWORD>(NTE_BAD_DATA)},
        BlobCase{"NoBlob", NO_BLOB, NONE, static_cast<DWORD>(NTE_BAD_DATA)}),
    CaseName());

std::string Hex(const BYTE *pb, size_t cb)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string str;
    for (size_t i = 0; i < cb; ++i) {
        str.push_back(kHex[pb[i] >> 4]);
        str.push_back(kHex[pb[i] & 0xF]);
    }
    return str;
}

TEST(ImportFailure, NeverDumpsTheBlob)
{
    CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    std::vector<BYTE> vecBlob = BlobMaker().RsaBlob(PRIVATEKEYBLOB);
    ASSERT_GT(vecBlob.size(), 100u);
    TraceCapture capture;
    // The private parts start after the header and the modulus.
    capture.Forbid("private key bytes", std::string(vecBlob.begin() + 20 + 128,
                                                    vecBlob.begin() + 20 + 128 + 16));
    capture.Forbid("modulus bytes",
                   std::string(vecBlob.begin() + 20, vecBlob.begin() + 20 + 16));
    // Cut short after the head: the provider refuses it.
    Pavrel_Key *pKey = nullptr;
    EXPECT_NE(0u, Pavrel_Key::importKey(vecBlob.data(), 40, HCRYPTKEY(0), 0, &pKey));
    EXPECT_EQ(nullptr, pKey);
    std::string strText = capture.RawText();
    EXPECT_NE(std::string::npos, strText.find("Pavrel_Key::importKey csp importKey Failed"));
    EXPECT_EQ(std::string::npos, strText.find("pbData"));
    CTraceWriter::GetInstance()->FreeTraceLibrary();
}

TEST(UserKey, MissingPairIsGeneratedForBothSpecs)
{
    ASSERT_EQ(0, Pavrel_MSCSP::getUserCount());
    // A container without key pairs answers NTE_NO_KEY.
    HCRYPTPROV hDel = 0;
    CryptAcquireContextA(&hDel, "Keyset in MSCSP used by Pavrel", MS_ENHANCED_PROV_A,
                         PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    for (DWORD dwSpec : {DWORD(AT_SIGNATURE), DWORD(AT_KEYEXCHANGE)}) {
        Pavrel_Key *pRaw = nullptr;
        ASSERT_EQ(0u, Pavrel_Key::getUserKey(dwSpec, &pRaw)) << dwSpec;
        std::unique_ptr<Pavrel_Key> pKey(pRaw);
        EXPECT_NE(0u, pKey->getSoftKey());
        EXPECT_EQ(1024u, pKey->getKeyLen());
        EXPECT_EQ(dwSpec == AT_KEYEXCHANGE ? ALG_ID(CALG_RSA_KEYX) : ALG_ID(CALG_RSA_SIGN),
                  pKey->getAlgId());
    }
}

TEST(SimpleSessionKey, PlainTextKeyRoundTripsThroughTheWrapping)
{
    Pavrel_SimpleSessionKey key(CALG_3DES, 0);
    std::vector<BYTE> vecIn = PlainTextBlob();
    ASSERT_EQ(0u, key.importKey(vecIn.data(), static_cast<DWORD>(vecIn.size()), 0, 0));
    DWORD dwLen = 0;
    ASSERT_EQ(0u, key.exportKey(0, PLAINTEXTKEYBLOB, 0, nullptr, &dwLen));
    EXPECT_EQ(vecIn.size(), dwLen);
    std::vector<BYTE> vecShort(dwLen - 1);
    DWORD dwShort = dwLen - 1;
    EXPECT_EQ(DWORD(ERROR_MORE_DATA), key.exportKey(0, PLAINTEXTKEYBLOB, 0, vecShort.data(), &dwShort));
    std::vector<BYTE> vecOut(dwLen);
    ASSERT_EQ(0u, key.exportKey(0, PLAINTEXTKEYBLOB, 0, vecOut.data(), &dwLen));
    EXPECT_EQ(Hex(vecIn.data(), vecIn.size()), Hex(vecOut.data(), dwLen));
}

TEST(SimpleSessionKey, KeySizeBeyondTheBlobIsRefused)
{
    Pavrel_SimpleSessionKey key(CALG_3DES, 0);
    std::vector<BYTE> vecIn = PlainTextBlob();
    DWORD dwClaimed = 4096;
    memcpy(vecIn.data() + 8, &dwClaimed, 4);
    EXPECT_EQ(DWORD(NTE_BAD_DATA), key.importKey(vecIn.data(), static_cast<DWORD>(vecIn.size()), 0, 0));
    EXPECT_EQ(DWORD(NTE_BAD_DATA), key.importKey(vecIn.data(), 10, 0, 0));
    EXPECT_EQ(0u, key.getSoftKey());
}

}  // namespace
