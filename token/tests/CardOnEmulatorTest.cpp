// CardOnEmulatorTest.cpp
//
// The command set and the file cache against the token emulator's card, a
// separate process: key pairs generated on the card, exported and used for
// raw RSA, each result checked with libcrypto from the exported key alone;
// external authentication with a wrong key; and the cache's preload as the
// emulator's log records it, for 0 to 4 key sets.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Algorithm.h"
#include "BaseCmd.h"
#include "CachedCard.h"
#include "CardKeys.h"
#include "CaseName.h"
#include "EmulatorPreload.h"
#include "EmulatorProcess.h"
#include "RsaCheck.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

using namespace rsacheck;

const Bytes kPin = {'1', '2', '3', '4', '5', '6'};
// Key set 0 of the issued token: public-key file 5051, private-key file 5061.
const BYTE kDf = 0x50;
const BYTE kPublicFile = 0x51;
const BYTE kPrivateFile = 0x61;

// The token emulator with one issued token, connected, and the libraries the
// command set loads.
class CardOnEmulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_trace.Forbid("the token's PIN", "123456");
        ASSERT_TRUE(m_emulator.Started());
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
        ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("KQCrypt.dll").c_str()));
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        m_strPath = m_emulator.DevicePaths().at(0);
        ASSERT_TRUE(CHidManager::GetInstance()->Connect(m_strPath.c_str()));
        m_pCmd.reset(new CBaseCmd(m_strPath.c_str()));
    }
    void TearDown() override
    {
        m_pCmd.reset();
        CHidManager::GetInstance()->DisConnect(m_strPath.c_str());
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        CMemoryManager::UnloadDLL();
    }

    // Selects the application directory and proves the PIN.
    void OpenApplication()
    {
        ASSERT_EQ(0u, m_pCmd->SelectFile(0, 0x3F, 0x00));
        ASSERT_EQ(0u, m_pCmd->SelectFile(0, kDf, 0x00));
        BYTE bTries = 0;
        ASSERT_EQ(0u, m_pCmd->VerifyPin(1, kPin.data(), static_cast<DWORD>(kPin.size()), &bTries));
    }

    // The APDUs of the emulator's log, as hex text, in order (and their
    // answers, when asked for).
    std::vector<std::string> LoggedApdus(std::vector<std::string> *pAnswers = nullptr) const
    {
        std::vector<std::string> apdus;
        std::istringstream lines(m_emulator.Control("log"));
        std::string strLine;
        while (std::getline(lines, strLine)) {
            if (strLine.compare(0, 8, "t1 APDU ") == 0)
                apdus.push_back(strLine.substr(8));
            else if (strLine.compare(0, 8, "t1 RESP ") == 0 && pAnswers != nullptr)
                pAnswers->push_back(strLine.substr(8));
        }
        return apdus;
    }

    struct DeleteCmd {
        void operator()(CBaseCmd *p) const { p->DeleteObject(CARD_DELETE_MEMORY); }
    };
    TraceCapture m_trace;  // checked for secrets when the test ends
    EmulatorProcess m_emulator{1};
    std::string m_strPath;
    std::unique_ptr<CBaseCmd, DeleteCmd> m_pCmd;
};

// ---------------------------------------------------------------------------
// libcrypto side: the exported key and the checks made with it alone.

// ---------------------------------------------------------------------------
// Key generation, export and raw RSA

struct KeySizeCase {
    const char *pszName;
    BYTE bSizeCode;
    std::size_t nModulusBytes;
};

class GeneratedKey : public CardOnEmulator, public ::testing::WithParamInterface<KeySizeCase> {};

TEST_P(GeneratedKey, ExportsAndSignsAndDecryptsAsLibcryptoExpects)
{
    const std::size_t k = GetParam().nModulusBytes;
    OpenApplication();
    ASSERT_EQ(0u, m_pCmd->GenerateRsaKey(kDf, kPublicFile, kDf, kPrivateFile,
                                         GetParam().bSizeCode));

    Bytes record(4 + 256 + 16);
    DWORD dwLen = static_cast<DWORD>(record.size());
    ASSERT_EQ(0u, m_pCmd->RsaPublicKeyExport(kDf, kPublicFile, record.data(), &dwLen));
    record.resize(dwLen);
    ASSERT_EQ(4 + k, record.size());
    EXPECT_EQ(Bytes({0x00, 0x01, 0x00, 0x01}), Bytes(record.begin(), record.begin() + 4));
    Pkey pKey = PublicKeyFromExport(record);
    ASSERT_TRUE(pKey);
    EXPECT_EQ(static_cast<int>(8 * k), EVP_PKEY_get_bits(pKey.get()));

    // Signature: the host's block through the card's private operation
    // (chained for 2048 bits) verifies as PKCS #1 v1.5 with SHA-256.
    const Bytes digest = Sha256(Bytes{'p', 'a', 'y', ' ', '1', '0', '0'});
    Bytes signature(256);
    dwLen = static_cast<DWORD>(signature.size());
    ASSERT_EQ(0u, m_pCmd->RsaSignature(kDf, kPrivateFile, SignatureBlock(digest, k).data(),
                                       static_cast<DWORD>(k), signature.data(), &dwLen));
    signature.resize(dwLen);
    ASSERT_EQ(k, signature.size());
    EXPECT_TRUE(VerifiesWithLibcrypto(pKey.get(), digest, signature));

    // The card's public operation gives the block back.
    Bytes recovered(256);
    dwLen = static_cast<DWORD>(recovered.size());
    ASSERT_EQ(0u, m_pCmd->RsaVerifySignature(kDf, kPublicFile, signature.data(),
                                             static_cast<DWORD>(k), recovered.data(), &dwLen));
    recovered.resize(dwLen);
    EXPECT_EQ(SignatureBlock(digest, k), recovered);

    // Decryption: what libcrypto encrypts with the exported key, the card's
    // raw private operation opens to the padded block ending in the secret.
    const Bytes secret = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    const Bytes cipher = EncryptWithLibcrypto(pKey.get(), secret);
    ASSERT_EQ(k, cipher.size());
    Bytes opened(256);
    dwLen = static_cast<DWORD>(opened.size());
    ASSERT_EQ(0u, m_pCmd->RsaPrvKeyCrypt(kDf, kPrivateFile, cipher.data(), static_cast<DWORD>(k),
                                         opened.data(), &dwLen));
    opened.resize(dwLen);
    ASSERT_EQ(k, opened.size());
    EXPECT_EQ(0x00, opened[0]);
    EXPECT_EQ(0x02, opened[1]);
    EXPECT_EQ(secret, Bytes(opened.end() - secret.size(), opened.end()));
    EXPECT_EQ(0x00, opened[k - secret.size() - 1]);
}

INSTANTIATE_TEST_SUITE_P(OnTheCard, GeneratedKey,
                         ::testing::Values(KeySizeCase{"Rsa1024", 2, 128},
                                           KeySizeCase{"Rsa2048", 3, 256}),
                         CaseName());

// Without the PIN the card neither generates nor signs; the public half of
// a key pair that was never generated does not export.
TEST_F(CardOnEmulator, KeyOperationsNeedThePinAndAKey)
{
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, 0x3F, 0x00));
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, kDf, 0x00));
    EXPECT_NE(0u, m_pCmd->GenerateRsaKey(kDf, kPublicFile, kDf, kPrivateFile, 2));
    Bytes out(300);
    DWORD dwLen = static_cast<DWORD>(out.size());
    EXPECT_NE(0u, m_pCmd->RsaPublicKeyExport(kDf, kPublicFile, out.data(), &dwLen));
    const Bytes block(128, 0x01);
    dwLen = static_cast<DWORD>(out.size());
    EXPECT_NE(0u, m_pCmd->RsaSignature(kDf, kPrivateFile, block.data(), 128, out.data(), &dwLen));
}

// The emulator's log shows a PIN verification by its header only.
TEST_F(CardOnEmulator, PinNeverReachesTheEmulatorsLog)
{
    OpenApplication();
    const std::string strLog = m_emulator.Control("log");
    EXPECT_NE(std::string::npos, strLog.find("t1 APDU 0020010106\n")) << strLog;
    EXPECT_EQ(std::string::npos, strLog.find("313233343536")) << strLog;
    // The command set traced it too (the capture is scanned for the PIN
    // when the test ends).
    EXPECT_NE(std::string::npos, m_trace.RawText().find("VerifyPin"));
}

// ---------------------------------------------------------------------------
// External authentication

TEST_F(CardOnEmulator, WrongExternalAuthenticationKeyIsRefusedAndWritesStayLocked)
{
    BYTE abKey[16];
    KQDWORD dwKeyLen = sizeof(abKey);
    ASSERT_TRUE(GetExtAuthKey(abKey, &dwKeyLen));
    Bytes wrong(abKey, abKey + dwKeyLen);
    wrong[0] ^= 0x80;  // not a parity bit: DES ignores bit 0 of every key byte

    ASSERT_EQ(0u, m_pCmd->SelectFile(0, 0x3F, 0x00));
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, kDf, 0x00));
    EXPECT_NE(0u, m_pCmd->ExternalAuthentication(wrong.data(), static_cast<DWORD>(wrong.size())));
    const Bytes name = {'B', 'a', 'n', 'k'};
    ASSERT_EQ(0u, m_pCmd->SelectFile(2, kDf, 0x04));
    EXPECT_NE(0u, m_pCmd->UpdateBinary(0, name.data(), static_cast<DWORD>(name.size())));

    // The right key opens the directory for writing.
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, kDf, 0x00));
    EXPECT_EQ(0u, m_pCmd->ExternalAuthentication(abKey, dwKeyLen));
    ASSERT_EQ(0u, m_pCmd->SelectFile(2, kDf, 0x04));
    EXPECT_EQ(0u, m_pCmd->UpdateBinary(0, name.data(), static_cast<DWORD>(name.size())));
    Bytes read(name.size());
    EXPECT_EQ(0u, m_pCmd->ReadBinary(0, read.data(), static_cast<DWORD>(read.size())));
    EXPECT_EQ(name, read);
}

// ---------------------------------------------------------------------------
// Preload

struct PreloadCase {
    const char *pszName;
    BYTE bRecords;
};

class PreloadOnEmulator : public CardOnEmulator,
                          public ::testing::WithParamInterface<PreloadCase> {};

// The directory's count of key sets (byte 2 of EF 5031) decides how many
// records and name files the cache reads when it is made.
TEST_P(PreloadOnEmulator, ReadsEachKeySetOnceIn6Plus5nApdus)
{
    const BYTE n = GetParam().bRecords;
    BYTE abKey[16];
    KQDWORD dwKeyLen = sizeof(abKey);
    ASSERT_TRUE(GetExtAuthKey(abKey, &dwKeyLen));
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, 0x3F, 0x00));
    ASSERT_EQ(0u, m_pCmd->SelectFile(0, kDf, 0x00));
    ASSERT_EQ(0u, m_pCmd->ExternalAuthentication(abKey, dwKeyLen));
    ASSERT_EQ(0u, m_pCmd->SelectFile(2, kDf, 0x31));
    ASSERT_EQ(0u, m_pCmd->UpdateBinary(2, &n, 1));

    ASSERT_EQ(0u, m_emulator.Control("log clear").find("OK"));
    CCachedCard *pCached = new CCachedCard(m_strPath.c_str(), true);
    std::vector<std::string> answers;
    std::vector<std::string> apdus = LoggedApdus(&answers);
    EXPECT_EQ(6u + 5u * n, apdus.size());
    EXPECT_TRUE(StartsWithPreload(apdus, 0, n));
    for (const std::string &strAnswer : answers)
        EXPECT_EQ("9000", strAnswer.substr(strAnswer.size() - 4)) << strAnswer;

    // What the preload read is served without the card.
    ASSERT_EQ(0u, m_emulator.Control("log clear").find("OK"));
    if (n > 0) {
        BYTE abRecord[12];
        EXPECT_EQ(0u, pCached->SelectFile(2, kDf, 0x32));
        EXPECT_EQ(0u, pCached->ReadRecord(n, abRecord, sizeof(abRecord)));
        EXPECT_EQ(0x50, abRecord[4]);
        EXPECT_EQ(0x40 + n, abRecord[5]);
    }
    EXPECT_TRUE(LoggedApdus().empty());
    pCached->DeleteObject(CARD_DELETE_MEMORY);
}

INSTANTIATE_TEST_SUITE_P(KeySets, PreloadOnEmulator,
                         ::testing::Values(PreloadCase{"None", 0}, PreloadCase{"One", 1},
                                           PreloadCase{"Two", 2}, PreloadCase{"Three", 3},
                                           PreloadCase{"Four", 4}),
                         CaseName());

}  // namespace
