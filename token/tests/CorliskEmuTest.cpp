// CorliskEmuTest.cpp
//
// The emulator-bound Corlisk.dll (bin/emu) loaded by path, as every consumer
// loads it, and its card object driven through KQCardBase against a private
// token emulator: the factory pair, enumeration with 0, 1 and 2 tokens, and
// the connection operations with the device lock other processes see, a
// blank token, and two processes sharing one token as the emulator's log
// records it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CaseName.h"
#include "ChildProcess.h"
#include "CorliskOnEmulator.h"
#include "EmulatorPreload.h"
#include "EmulatorProcess.h"
#include "RsaCheck.h"
#include "KQCardBase.h"
#include "KQCeiAssistant.h"
#include "PromptFiles.h"
#include "ResultCodes.h"
#include "TestPaths.h"
#include "TraceCapture.h"

namespace {

// Names in the export directory of a loaded module.
std::vector<std::string> ExportNames(HMODULE hModule)
{
    std::vector<std::string> names;
    const BYTE *pBase = reinterpret_cast<const BYTE *>(hModule);
    auto pDos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase);
    auto pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0)
        return names;
    auto pExports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(pBase + dir.VirtualAddress);
    auto pNames = reinterpret_cast<const DWORD *>(pBase + pExports->AddressOfNames);
    for (DWORD i = 0; i < pExports->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char *>(pBase + pNames[i]));
    return names;
}

TEST(CorliskExports, ExactlyTheFactoryPairAndOnlyKindZero)
{
    CKQCeiAssistant lib(CorliskEmuLibraryPath().c_str());
    ASSERT_TRUE(lib.IsLoaded());
    ASSERT_NE(nullptr, lib.GetObjectEntry());
    ASSERT_NE(nullptr, lib.DestroyObjectEntry());
    HMODULE hModule = GetModuleHandleA(CorliskEmuLibraryPath().c_str());
    ASSERT_NE(nullptr, hModule);
    std::vector<std::string> names = ExportNames(hModule);
    EXPECT_EQ((std::vector<std::string>{"CeiDestroyObject", "CeiGetObject"}), names);

    EXPECT_EQ(nullptr, lib.GetObjectEntry()(1));
    lib.DestroyObjectEntry()(nullptr);  // ignored
    void *pObject = lib.GetObjectEntry()(0);
    EXPECT_NE(nullptr, pObject);
    lib.DestroyObjectEntry()(pObject);
}

struct TokenCountCase {
    const char *pszName;
    int nTokens;
};

class CorliskEnumeration : public ::testing::TestWithParam<TokenCountCase> {};

TEST_P(CorliskEnumeration, CountsAndHandsOutThePluggedTokens)
{
    CorliskOnEmulator env(GetParam().nTokens);
    ASSERT_TRUE(env.m_emu.Started());
    ASSERT_NE(nullptr, env.m_pCard);
    KQCardBase *pCard = env.m_pCard;
    ASSERT_EQ(GetParam().nTokens, pCard->GetUKeyCount());

    std::vector<std::string> expected = env.m_emu.DevicePaths();
    std::vector<std::string> seen;
    char szPath[260];
    for (int i = 0; i < GetParam().nTokens; ++i) {
        ASSERT_TRUE(pCard->GetUKeyDevicePath(i, szPath, sizeof(szPath)));
        seen.push_back(szPath);
    }
    std::vector<std::string> sortedSeen = seen, sortedExpected = expected;
    std::sort(sortedSeen.begin(), sortedSeen.end());
    std::sort(sortedExpected.begin(), sortedExpected.end());
    EXPECT_EQ(sortedExpected, sortedSeen);
    EXPECT_FALSE(pCard->GetUKeyDevicePath(GetParam().nTokens, szPath, sizeof(szPath)));

    // An empty path binds the first token enumerated, or none.
    DWORD dwRet = pCard->OpenConnectionEx("", 1);
    if (GetParam().nTokens == 0) {
        EXPECT_EQ(KQ_SCARD_E_NO_SMARTCARD, dwRet);
    } else {
        EXPECT_EQ(0u, dwRet);
        char szBound[260] = {0};
        ASSERT_TRUE(pCard->GetDevicePath(szBound, sizeof(szBound)));
        EXPECT_EQ(seen[0], szBound);
    }
}

INSTANTIATE_TEST_SUITE_P(Tokens, CorliskEnumeration,
                         ::testing::Values(TokenCountCase{"None", 0}, TokenCountCase{"One", 1},
                                           TokenCountCase{"Two", 2}),
                         CaseName());

// The device lock's name as another process builds it.
std::string LockName(const std::string &strPath)
{
    std::string strName = "MUTEX_CARD_" + strPath;
    for (char &c : strName)
        c = (c == '\\') ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return strName;
}

TEST(CorliskConnection, OpenOnDemandCloseAndReconnect)
{
    CorliskOnEmulator env(1);
    ASSERT_TRUE(env.m_emu.Started());
    KQCardBase *pCard = env.m_pCard;
    ASSERT_NE(nullptr, pCard);
    const std::string strPath = env.m_emu.DevicePaths().at(0);

    EXPECT_FALSE(pCard->IsDevOnLine(strPath.c_str()));
    ASSERT_EQ(0u, pCard->OpenConnectionEx(strPath.c_str(), 2));
    EXPECT_TRUE(pCard->IsConnected());
    EXPECT_TRUE(pCard->IsDevOnLine(strPath.c_str()));

    HANDLE hLock = OpenMutexA(SYNCHRONIZE, FALSE, LockName(strPath).c_str());
    EXPECT_NE(nullptr, hLock) << "device lock " << LockName(strPath);
    if (hLock != nullptr)
        CloseHandle(hLock);

    // The emulator's card answers SELECT of the master file.
    int nStatus = -1;
    EXPECT_EQ(0u, pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(1, nStatus);

    ASSERT_EQ(0u, pCard->CloseConnection());
    EXPECT_FALSE(pCard->IsConnected());
    EXPECT_FALSE(pCard->IsDevOnLine(strPath.c_str()));

    // The next operation that needs the token reopens it by itself.
    nStatus = -1;
    EXPECT_EQ(0u, pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(1, nStatus);
    EXPECT_TRUE(pCard->IsConnected());

    ASSERT_EQ(0u, pCard->CloseConnection());
    EXPECT_EQ(0u, pCard->ReConnect());
    EXPECT_TRUE(pCard->IsConnected());
}

TEST(CorliskConnection, UnknownKindOpensButHasNoCommandObject)
{
    CorliskOnEmulator env(1);
    ASSERT_TRUE(env.m_emu.Started());
    KQCardBase *pCard = env.m_pCard;
    ASSERT_NE(nullptr, pCard);
    const std::string strPath = env.m_emu.DevicePaths().at(0);
    ASSERT_EQ(0u, pCard->OpenConnectionEx(strPath.c_str(), 9));
    EXPECT_TRUE(pCard->IsConnected());
    int nStatus = -1;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(-1, nStatus);
}

// The kinds that fill the file cache at open (0 and 1) open the token too.
TEST(CorliskConnection, PreloadingKindsOpenTheToken)
{
    CorliskOnEmulator env(1);
    ASSERT_TRUE(env.m_emu.Started());
    KQCardBase *pCard = env.m_pCard;
    ASSERT_NE(nullptr, pCard);
    const std::string strPath = env.m_emu.DevicePaths().at(0);
    EXPECT_EQ(0u, pCard->OpenConnectionEx(strPath.c_str(), 0));
    EXPECT_EQ(0u, pCard->OpenConnection(strPath.c_str()));
    EXPECT_TRUE(pCard->IsConnected());
}

TEST(CorliskConnection, BlankTokenHasNoFileSystem)
{
    CorliskOnEmulator env(0);
    ASSERT_TRUE(env.m_emu.Started());
    KQCardBase *pCard = env.m_pCard;
    ASSERT_NE(nullptr, pCard);
    const std::string strAnswer = env.m_emu.Control("plug t1 card=blank");
    ASSERT_EQ(0u, strAnswer.find("OK ")) << strAnswer;
    ASSERT_EQ(0u, pCard->OpenConnectionEx(strAnswer.substr(3).c_str(), 2));
    int nStatus = -1;
    EXPECT_EQ(0u, pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(0, nStatus);
}

// ---------------------------------------------------------------------------
// PIN, name and device information on an issued token

class CorliskIssuedToken : public CorliskOpenedToken {
protected:
    std::string Name(DWORD dwMaxLen, DWORD *pdwRet)
    {
        std::string strName(dwMaxLen, '?');
        *pdwRet = m_pCard->GetPinName(&strName[0], dwMaxLen);
        return *pdwRet == 0 ? std::string(strName.c_str()) : strName;
    }
};

TEST_F(CorliskIssuedToken, PinStateAndTries)
{
    int nStatus = -1;
    EXPECT_EQ(0u, m_pCard->GetPinStatus(&nStatus));
    EXPECT_EQ(0, nStatus) << "an issued token's PIN was never changed";
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->GetPinStatus(nullptr));

    BYTE bFirst = 0, bSecond = 0;
    EXPECT_EQ(0u, m_pCard->GetPinVerifyTimes(&bFirst, &bSecond));
    EXPECT_EQ(6, bFirst);
    EXPECT_EQ(6, bSecond);

    // A wrong PIN is the generic failure and costs a try; the right one
    // restores them.
    const BYTE abWrong[] = {'6', '5', '4', '3', '2', '1'};
    BYTE bTries = 0xEE;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->VerifyPin(1, abWrong, sizeof(abWrong), &bTries));
    EXPECT_EQ(5, bTries);
    EXPECT_EQ(0u, m_pCard->GetPinVerifyTimes(&bFirst, &bSecond));
    EXPECT_EQ(5, bSecond);
    const BYTE abRight[] = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(0u, m_pCard->VerifyPin(1, abRight, sizeof(abRight), &bTries));
    EXPECT_EQ(0u, m_pCard->GetPinVerifyTimes(&bFirst, &bSecond));
    EXPECT_EQ(6, bSecond);
    // The library traced the verification (its capture is scanned for the
    // PIN when the test ends).
    EXPECT_NE(std::string::npos, m_env.m_trace.RawText().find("VerifyPin"));
}

// The holder types on the token's keypad (the emulator's scripted user).
TEST_F(CorliskIssuedToken, PinTypedAndChangedOnTheKeypad)
{
    ASSERT_EQ("OK", m_env.m_emu.Control("user t1 pin 123456"));
    EXPECT_EQ(0u, m_pCard->VerifyPin(1, nullptr, 0, nullptr));

    // The holder changes the PIN: from then on the token says so.
    ASSERT_EQ("OK", m_env.m_emu.Control("user t1 change 123456 24680"));
    int nTries = -1;
    EXPECT_EQ(0u, m_pCard->ChangePin(&nTries));
    int nStatus = -1;
    EXPECT_EQ(0u, m_pCard->GetPinStatus(&nStatus));
    EXPECT_EQ(1, nStatus);

    // A wrong old PIN costs a try and changes nothing.
    ASSERT_EQ("OK", m_env.m_emu.Control("user t1 change 111111 222222"));
    EXPECT_EQ(KQ_SCARD_E_INVALID_CHV, m_pCard->ChangePin(&nTries));
    EXPECT_EQ(5, nTries);
    ASSERT_EQ("OK", m_env.m_emu.Control("user t1 cancel"));
    EXPECT_EQ(KQ_SCARD_W_CANCELLED_BY_USER, m_pCard->ChangePin(&nTries));
    // A fresh connection proves which PIN the token holds now.
    const std::string strPath = m_env.m_emu.DevicePaths().at(0);
    const BYTE abOld[] = {'1', '2', '3', '4', '5', '6'};
    ASSERT_EQ(0u, m_pCard->CloseConnection());
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(strPath.c_str(), 2));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->VerifyPin(1, abOld, sizeof(abOld), nullptr));
    const BYTE abNew[] = {'2', '4', '6', '8', '0'};
    ASSERT_EQ(0u, m_pCard->CloseConnection());
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(strPath.c_str(), 2));
    EXPECT_EQ(0u, m_pCard->VerifyPin(1, abNew, sizeof(abNew), nullptr));
}

TEST_F(CorliskIssuedToken, NameRoundTripsWithinItsField)
{
    DWORD dwRet = 0;
    EXPECT_EQ("KQ USB Key", Name(64, &dwRet));
    EXPECT_EQ(0u, dwRet);
    // The name needs room for its terminator.
    Name(10, &dwRet);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, dwRet);
    EXPECT_EQ("KQ USB Key", Name(11, &dwRet));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetPinName(nullptr, 11));

    const std::string strFull(64, 'N');
    EXPECT_EQ(0u, m_pCard->ChangePinName(strFull.c_str()));
    EXPECT_EQ(strFull, Name(65, &dwRet));
    // One byte too long: refused, the stored name stays.
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->ChangePinName(std::string(65, 'X').c_str()));
    EXPECT_EQ(strFull, Name(65, &dwRet));
    EXPECT_EQ(0u, m_pCard->ChangePinName(""));
    EXPECT_EQ("", Name(1, &dwRet));
    EXPECT_EQ(0u, dwRet);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->ChangePinName(nullptr));
}

TEST_F(CorliskIssuedToken, KeyLengthCodesDeviceValuesAndLanguage)
{
    BYTE bValue = 0;
    EXPECT_EQ(0u, m_pCard->GetSupportedRsaKeyLength(&bValue));
    EXPECT_EQ(0x03, bValue);
    bValue = 0;
    EXPECT_EQ(0u, m_pCard->GetCFCAKeyLength(&bValue));
    EXPECT_EQ(0x03, bValue);

    BYTE abSerial[64] = {0};
    DWORD dwLen = sizeof(abSerial);
    EXPECT_EQ(0u, m_pCard->GetUsbSn(abSerial, &dwLen));
    EXPECT_EQ("KQEMU00000000001", std::string(reinterpret_cast<char *>(abSerial), dwLen));

    BYTE abAtr[64] = {0};
    dwLen = sizeof(abAtr);
    EXPECT_EQ(0u, m_pCard->GetATR(abAtr, &dwLen));

    ASSERT_EQ(0u, m_env.m_emu.Control("log clear").find("OK"));
    EXPECT_EQ(0u, m_pCard->SetLanguageId(0x0409));
    EXPECT_NE(std::string::npos, m_env.m_emu.Control("log").find("t1 APDU 80090000020409\n"));
}

// ---------------------------------------------------------------------------
// Key sets, keys and certificates on an issued token

TEST_F(CorliskIssuedToken, KeySetsAreNamedFoundListedAndDeletedWithoutRegardToCase)
{
    ASSERT_EQ(0u, m_pCard->WriteKeysetId(1, "Test"));
    BYTE abRecord[12] = {0};
    BYTE bIndex = 0;
    ASSERT_EQ(0u, m_pCard->GetFileIds("TEST", 0, abRecord, 12, &bIndex));
    EXPECT_EQ(1, bIndex);
    EXPECT_EQ(0x08, abRecord[0]);
    EXPECT_EQ((std::vector<BYTE>{0x50, 0x41}), std::vector<BYTE>(abRecord + 4, abRecord + 6));
    // Every key spec but 0 is served by the second directory.
    ASSERT_EQ(0u, m_pCard->GetFileIds("test", 2, abRecord, 12, &bIndex));
    EXPECT_EQ((std::vector<BYTE>{0x50, 0x45}), std::vector<BYTE>(abRecord + 4, abRecord + 6));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->GetFileIds("Test", 0, abRecord, 11, &bIndex));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetFileIds("Tes", 0, abRecord, 12, &bIndex));

    KEYSET_ID items[9];
    std::memset(items, 0x5A, sizeof(items));
    DWORD dwCount = 8;
    ASSERT_EQ(0u, m_pCard->ReadAllKeysetIds(items, &dwCount));
    EXPECT_EQ(4u, dwCount);
    for (int i = 0; i < 8; ++i) {
        const bool bNamed = i == 0 || i == 4;
        EXPECT_STREQ(bNamed ? "Test" : "", items[i].szName) << i;
        EXPECT_EQ(bNamed ? 0x0800 : 0, items[i].wStatus) << i;
    }
    EXPECT_EQ(0x5A, items[8].szName[0]) << "written past the caller's room";

    // The caller's count bounds what is written.
    struct RoomCase {
        bool bAll;
        DWORD dwRoom;
        DWORD dwNeeded;
    };
    for (const RoomCase &room : {RoomCase{false, 3, 4}, RoomCase{true, 3, 4}, RoomCase{true, 5, 8}}) {
        std::memset(items, 0x5A, sizeof(items));
        dwCount = room.dwRoom;
        EXPECT_EQ(KQ_SCARD_E_INSUFFICIENT_BUFFER, room.bAll
                                                      ? m_pCard->ReadAllKeysetIds(items, &dwCount)
                                                      : m_pCard->ReadKeysetIds(items, &dwCount));
        EXPECT_EQ(room.dwNeeded, dwCount);
        EXPECT_EQ(0x5A, items[room.dwRoom].szName[0]) << "room " << room.dwRoom;
    }
    dwCount = 4;
    EXPECT_EQ(0u, m_pCard->ReadKeysetIds(items, &dwCount));
    EXPECT_STREQ("Test", items[0].szName);

    EXPECT_EQ(0u, m_pCard->DeleteKeySet("tEST"));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetFileIds("Test", 0, abRecord, 12, &bIndex));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetFileIds("Test", 1, abRecord, 12, &bIndex));
    EXPECT_EQ(0u, m_pCard->DeleteKeySet("Test")) << "no record matches: nothing to do";
}

struct NameLengthCase {
    const char *pszName;
    std::size_t nLength;
    DWORD dwExpected;
};

class CorliskContainerName : public CorliskIssuedToken,
                             public ::testing::WithParamInterface<NameLengthCase> {};

TEST_P(CorliskContainerName, StoredWholeOrRefused)
{
    const std::string strName(GetParam().nLength, 'c');
    EXPECT_EQ(GetParam().dwExpected, m_pCard->WriteKeysetId(2, strName.c_str()));
    KEYSET_ID items[4];
    DWORD dwCount = 4;
    ASSERT_EQ(0u, m_pCard->ReadKeysetIds(items, &dwCount));
    EXPECT_EQ(GetParam().dwExpected == 0 ? strName : std::string(), items[1].szName);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CorliskContainerName,
                         ::testing::Values(NameLengthCase{"Fits254", 254, 0},
                                           NameLengthCase{"TooLong255", 255,
                                                          KQ_SCARD_E_INVALID_PARAMETER},
                                           NameLengthCase{"TooLong300", 300,
                                                          KQ_SCARD_E_INVALID_PARAMETER}),
                         CaseName());

// The export record [e][modulus] back from the public-key blob.
std::vector<BYTE> ExportFromBlob(const BYTE *pbBlob)
{
    const std::size_t m = ((pbBlob[0] << 8) | pbBlob[1]) / 8;
    std::vector<BYTE> record(pbBlob + 258, pbBlob + 262);
    std::vector<BYTE> modulus(m);
    for (std::size_t k = 0; k < m; ++k)
        modulus[m - 1 - (k % 2 == 0 ? k + 1 : k - 1)] = pbBlob[2 + k];
    record.insert(record.end(), modulus.begin(), modulus.end());
    return record;
}

TEST_F(CorliskIssuedToken, GeneratedKeyPairSignsForLibcryptoAndKeepsItsCertificate)
{
    const BYTE abPin[] = {'1', '2', '3', '4', '5', '6'};
    ASSERT_EQ(0u, m_pCard->VerifyPin(1, abPin, sizeof(abPin), nullptr));
    ASSERT_EQ(0u, m_pCard->WriteKeysetId(3, "Signer"));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->GenerateKeys("Signer", {2, 1536}, 0))
        << "a size the token cannot make";
    ASSERT_EQ(0u, m_pCard->GenerateKeys("Signer", {2, 1024}, 0));
    WORD wStatus = 0, wBits = 0;
    ASSERT_EQ(0u, m_pCard->GetKeysetIdObjectStatus("Signer", 0, &wStatus, &wBits));
    EXPECT_EQ(0x6800, wStatus);
    EXPECT_EQ(2, wBits) << "bytes 2-3 keep the caller's algorithm value";

    BYTE abBlob[262];
    DWORD dwLen = 261;
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->ReadPublicKey("Signer", 0, abBlob, &dwLen));
    EXPECT_EQ(262u, dwLen);
    ASSERT_EQ(0u, m_pCard->ReadPublicKey("Signer", 0, abBlob, &dwLen));
    EXPECT_EQ(0x04, abBlob[0]);
    EXPECT_EQ(0x00, abBlob[1]);
    EXPECT_EQ(std::vector<BYTE>(128, 0), std::vector<BYTE>(abBlob + 130, abBlob + 258));
    rsacheck::Pkey pKey = rsacheck::PublicKeyFromExport(ExportFromBlob(abBlob));
    ASSERT_TRUE(pKey);

    const rsacheck::Bytes digest = rsacheck::Sha256({'t', 'r', 'a', 'n', 's', 'f', 'e', 'r'});
    const rsacheck::Bytes block = rsacheck::SignatureBlock(digest, 128);
    BYTE abSignature[256];
    dwLen = sizeof(abSignature);
    ASSERT_EQ(0u, m_pCard->ComputeCrypt("Signer", 1, 0, block.data(), 128, abSignature, &dwLen));
    ASSERT_EQ(128u, dwLen);
    EXPECT_TRUE(rsacheck::VerifiesWithLibcrypto(pKey.get(), digest,
                                                rsacheck::Bytes(abSignature, abSignature + 128)));
    dwLen = sizeof(abSignature);
    EXPECT_EQ(KQ_SCARD_E_UNSUPPORTED_FEATURE,
              m_pCard->ComputeCrypt("Signer", 4, 0, block.data(), 128, abSignature, &dwLen));

    // A certificate of 2045 bytes (a DER SEQUENCE with a two-byte length).
    std::vector<BYTE> cert = {0x30, 0x82, 0x07, 0xF9};
    for (int i = 0; cert.size() < 2045; ++i)
        cert.push_back(static_cast<BYTE>(i * 7));
    DWORD dwSize = 0;
    EXPECT_EQ(KQ_SCARD_E_CERTIFICATE_UNAVAILABLE,
              m_pCard->ReadCertificate("Signer", 0, nullptr, &dwSize));
    ASSERT_EQ(0u, m_pCard->WriteCertificate("Signer", 0, cert.data(), 2045));
    ASSERT_EQ(0u, m_pCard->GetKeysetIdObjectStatus("Signer", 0, &wStatus, &wBits));
    EXPECT_EQ(0xE800, wStatus);
    EXPECT_EQ(234u, m_pCard->ReadCertificate("Signer", 0, nullptr, &dwSize));
    EXPECT_EQ(2045u, dwSize);
    std::vector<BYTE> read(3000, 0xEE);
    dwSize = 3000;
    ASSERT_EQ(0u, m_pCard->ReadCertificate("Signer", 0, read.data(), &dwSize));
    ASSERT_EQ(2045u, dwSize);
    read.resize(dwSize);
    EXPECT_EQ(cert, read);
    // A write that breaks off in its third piece leaves no certificate
    // marked present (and the reader finds none).
    EXPECT_EQ(0u, m_env.m_emu.Control("fault t1 refuse xx 3 6581").find("ERR"));
    ASSERT_EQ("OK", m_env.m_emu.Control("fault t1 refuse D6 3 6581"));
    EXPECT_NE(0u, m_pCard->WriteCertificate("Signer", 0, cert.data(), 2045));
    EXPECT_NE(std::string::npos, m_env.m_emu.Control("log").find("FAULT applied refuse D6"));
    ASSERT_EQ(0u, m_pCard->GetKeysetIdObjectStatus("Signer", 0, &wStatus, &wBits));
    EXPECT_EQ(0x6800, wStatus);
    EXPECT_EQ(KQ_SCARD_E_CERTIFICATE_UNAVAILABLE,
              m_pCard->ReadCertificate("Signer", 0, nullptr, &dwSize));
    ASSERT_EQ(0u, m_pCard->WriteCertificate("Signer", 0, cert.data(), 2045));

    // More than the certificate file holds: refused, the stored one stays.
    const std::vector<BYTE> big(3000, 0x30);
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->WriteCertificate("Signer", 0, big.data(), 3000));
    ASSERT_EQ(0u, m_pCard->GetKeysetIdObjectStatus("Signer", 0, &wStatus, &wBits));
    EXPECT_EQ(0xE800, wStatus);
}

// ---------------------------------------------------------------------------
// Two processes on one token

// The APDUs of one process in a row, as the emulator's log shows them.
struct ProcessRun {
    DWORD dwPid;
    std::vector<std::string> apdus;
};

// Splits token t1's APDUs into runs by the process that sent them: each
// session's OPEN line names its process, each SENDER line the session the
// next APDUs come from.
std::vector<ProcessRun> RunsByProcess(const std::string &strLog)
{
    std::map<std::string, DWORD> sessionPids;
    std::vector<ProcessRun> runs;
    DWORD dwSender = 0;
    std::istringstream lines(strLog);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        std::istringstream words(strLine);
        std::string strId, strEvent, strSessionWord, strSession, strPidWord;
        DWORD dwPid = 0;
        words >> strId >> strEvent;
        if (strId != "t1")
            continue;
        if (strEvent == "OPEN" && words >> strSessionWord >> strSession >> strPidWord >> dwPid) {
            sessionPids[strSession] = dwPid;
        } else if (strEvent == "SENDER" && words >> strSessionWord >> strSession) {
            dwSender = sessionPids.count(strSession) ? sessionPids[strSession] : 0;
        } else if (strEvent == "APDU") {
            if (runs.empty() || runs.back().dwPid != dwSender)
                runs.push_back(ProcessRun{dwSender, {}});
            runs.back().apdus.push_back(strLine.substr(strLine.find("APDU ") + 5));
        }
    }
    return runs;
}

// The issued token lists four key sets: a preload is 6 + 5 * 4 APDUs.
const int kIssuedKeySets = 4;
const std::size_t kPreloadApdus = 6 + 5 * kIssuedKeySets;

// The test and corlisk_user_helper.exe take turns through two events.
class TwoProcesses : public ::testing::Test {
protected:
    TwoProcesses() : m_env(1)
    {
        const std::string strPrefix = "KQTEST_CARDUSER_" + std::to_string(GetCurrentProcessId());
        m_strPrefix = strPrefix;
        m_hGo = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "_GO").c_str());
        m_hDone = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "_DONE").c_str());
    }
    ~TwoProcesses() override
    {
        CloseHandle(m_hGo);
        CloseHandle(m_hDone);
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_env.m_emu.Started());
        ASSERT_NE(nullptr, m_env.m_pCard);
        m_strPath = m_env.m_emu.DevicePaths().at(0);
    }
    // Opens the token in this process (kind 0: one preload), then starts
    // the helper in the mode; null (with the failure reported) when either
    // fails.
    std::unique_ptr<ChildProcess> OpenAndStartHelper(const char *pszMode, int nRounds)
    {
        EXPECT_EQ(0u, m_env.m_pCard->OpenConnectionEx(m_strPath.c_str(), 0));
        std::unique_ptr<ChildProcess> pHelper(new ChildProcess(
            "corlisk_user_helper.exe", "\"" + m_strPath + "\" " + m_strPrefix + " " + pszMode +
                                           " " + std::to_string(nRounds)));
        EXPECT_TRUE(pHelper->Started());
        if (!pHelper->Started() || !m_env.m_pCard->IsConnected())
            pHelper.reset();
        return pHelper;
    }
    // Waits for the helper's DONE; false when it ended or went silent.
    bool HelperDone(ChildProcess &helper)
    {
        HANDLE ahWait[2] = {m_hDone, helper.Handle()};
        return WaitForMultipleObjects(2, ahWait, FALSE, 60000) == WAIT_OBJECT_0;
    }

    CorliskOnEmulator m_env;
    std::string m_strPath;
    std::string m_strPrefix;
    HANDLE m_hGo;
    HANDLE m_hDone;
};

// Both processes reconnect as fast as they can: every reconnect preloads
// under the device lock, so the log holds whole preloads only, never one
// process's APDUs inside the other's.
TEST_F(TwoProcesses, ConcurrentReconnectsNeverInterleaveInsideAPreload)
{
    const int nRounds = 5;
    KQCardBase *pCard = m_env.m_pCard;
    std::unique_ptr<ChildProcess> pHelper = OpenAndStartHelper("reconnect", nRounds);
    ASSERT_TRUE(pHelper);
    ChildProcess &helper = *pHelper;
    ASSERT_TRUE(HelperDone(helper)) << "the helper did not open the token";
    SetEvent(m_hGo);
    for (int i = 0; i < nRounds; ++i)
        EXPECT_EQ(0u, pCard->ReConnect());
    EXPECT_TRUE(HelperDone(helper));
    EXPECT_EQ(0u, helper.Wait(60000)) << "the helper's step failed";

    const std::string strLog = m_env.m_emu.Control("log");
    const std::vector<ProcessRun> runs = RunsByProcess(strLog);
    std::size_t nMine = 0, nHelpers = 0;
    for (const ProcessRun &run : runs) {
        ASSERT_TRUE(run.dwPid == GetCurrentProcessId() || run.dwPid == helper.Pid())
            << "APDUs of an unknown process " << run.dwPid << "\n" << strLog;
        (run.dwPid == helper.Pid() ? nHelpers : nMine) += run.apdus.size();
        ASSERT_EQ(0u, run.apdus.size() % kPreloadApdus) << strLog;
        for (std::size_t i = 0; i < run.apdus.size(); i += kPreloadApdus)
            EXPECT_TRUE(StartsWithPreload(run.apdus, i, kIssuedKeySets)) << strLog;
    }
    // The first open and every reconnect of each process preloaded once.
    EXPECT_EQ((nRounds + 1) * kPreloadApdus, nMine);
    EXPECT_EQ((nRounds + 1) * kPreloadApdus, nHelpers);
}

// Taking turns, each process finds the token used by the other, reconnects
// and preloads before its own command, inside the same operation.
TEST_F(TwoProcesses, EachReconnectsAndPreloadsAfterTheOtherUsedTheToken)
{
    const int nRounds = 3;
    KQCardBase *pCard = m_env.m_pCard;
    std::unique_ptr<ChildProcess> pHelper = OpenAndStartHelper("alternate", nRounds);
    ASSERT_TRUE(pHelper);
    ChildProcess &helper = *pHelper;
    for (int i = 0; i < nRounds; ++i) {
        SetEvent(m_hGo);
        ASSERT_TRUE(HelperDone(helper)) << "turn " << i << ", helper exit " << helper.Wait(0);
        int nStatus = -1;
        EXPECT_EQ(0u, pCard->GetFileSystemStatus(&nStatus));
        EXPECT_EQ(1, nStatus);
    }
    SetEvent(m_hGo);
    EXPECT_EQ(0u, helper.Wait(60000)) << "the helper's step failed";

    const std::string strLog = m_env.m_emu.Control("log");
    const std::vector<ProcessRun> runs = RunsByProcess(strLog);
    ASSERT_EQ(1u + 2u * nRounds, runs.size()) << strLog;
    // The test's open: the preload alone.
    EXPECT_EQ(GetCurrentProcessId(), runs[0].dwPid);
    EXPECT_EQ(kPreloadApdus, runs[0].apdus.size());
    EXPECT_TRUE(StartsWithPreload(runs[0].apdus, 0, kIssuedKeySets));
    // Then by turns: a preload and the command's SELECT of the MF.
    for (std::size_t i = 1; i < runs.size(); ++i) {
        EXPECT_EQ(i % 2 == 1 ? helper.Pid() : GetCurrentProcessId(), runs[i].dwPid) << i;
        ASSERT_EQ(kPreloadApdus + 1, runs[i].apdus.size()) << i << "\n" << strLog;
        EXPECT_TRUE(StartsWithPreload(runs[i].apdus, 0, kIssuedKeySets)) << i;
        EXPECT_EQ("00A40000023F00", runs[i].apdus.back()) << i;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// The delayed logo: a thread of its own that waits, takes the token's device
// lock and sends the logo command.

const char kLogoCommand[] = "t1 APDU 805200000204\n";

// True once the logo command reached the token, polled for up to dwMs.
bool LogoWithin(EmulatorProcess &emu, DWORD dwMs)
{
    return WaitUntilTrue(
        [&emu]() { return emu.Control("log").find(kLogoCommand) != std::string::npos; }, dwMs);
}

std::string DeviceLockName(const std::string &strPath)
{
    std::string strName = "MUTEX_CARD_" + strPath;
    for (char &c : strName)
        c = c == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return strName;
}

// The first token opened, and the emulator's log emptied after the open.
void OpenWithCleanLog(CorliskOnEmulator &env, std::string &strPath)
{
    ASSERT_TRUE(env.m_emu.Started());
    strPath = env.m_emu.DevicePaths().at(0);
    ASSERT_EQ(0u, env.m_pCard->OpenConnectionEx(strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    ASSERT_EQ(0u, env.m_emu.Control("log clear").find("OK"));
}

struct LogoDelayCase {
    const char *pszName;
    int nDelay;
};

class DelayedLogo : public ::testing::TestWithParam<LogoDelayCase> {};

TEST_P(DelayedLogo, NoPositiveDelayShowsTheLogoAtOnceOnTheThread)
{
    CorliskOnEmulator env(1);
    std::string strPath;
    ASSERT_NO_FATAL_FAILURE(OpenWithCleanLog(env, strPath));
    EXPECT_EQ(0u, env.m_pCard->DelayDisplayLogo(GetParam().nDelay));
    EXPECT_TRUE(LogoWithin(env.m_emu, 10000));
    env.m_pCard->CloseConnection();
}

INSTANTIATE_TEST_SUITE_P(Delays, DelayedLogo,
                         ::testing::Values(LogoDelayCase{"Zero", 0}, LogoDelayCase{"Negative", -5}),
                         CaseName());

TEST(DelayedLogoLock, WaitsWhileAnotherHolderHasTheDeviceLock)
{
    CorliskOnEmulator env(1);
    std::string strPath;
    ASSERT_NO_FATAL_FAILURE(OpenWithCleanLog(env, strPath));
    // This thread holds the token's lock as another card operation would.
    // (The card object made the mutex already, so it is taken by a wait.)
    HANDLE hLock = CreateMutexA(nullptr, FALSE, DeviceLockName(strPath).c_str());
    ASSERT_NE(nullptr, hLock);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hLock, 5000));
    EXPECT_EQ(0u, env.m_pCard->DelayDisplayLogo(0));
    EXPECT_FALSE(LogoWithin(env.m_emu, 1500)) << "the logo cut into a held lock";
    ReleaseMutex(hLock);
    EXPECT_TRUE(LogoWithin(env.m_emu, 10000));
    CloseHandle(hLock);
    env.m_pCard->CloseConnection();
}

TEST(DelayedLogoLock, UnloadingTheLibraryDuringTheDelayIsSafe)
{
    EmulatorProcess emu(1);
    ASSERT_TRUE(emu.Started());
    const std::string strPath = emu.DevicePaths().at(0);
    {
        CKQCeiAssistant lib(CorliskEmuLibraryPath().c_str());
        KQCardBase *pCard = static_cast<KQCardBase *>(lib.CreateObject());
        ASSERT_NE(nullptr, pCard);
        ASSERT_EQ(0u, pCard->OpenConnectionEx(strPath.c_str(), KQCARD_CONN_ON_DEMAND));
        ASSERT_EQ(0u, emu.Control("log clear").find("OK"));
        EXPECT_EQ(0u, pCard->DelayDisplayLogo(700));
        lib.DestroyObject(pCard);
    }
    // The library is released here; its thread still waits and keeps it.
    EXPECT_TRUE(LogoWithin(emu, 10000));
    Sleep(300);
    EXPECT_EQ(nullptr, GetModuleHandleA(CorliskEmuLibraryPath().c_str()))
        << "the logo thread kept the library after it ended";
}
