// CorliskEmuTest.cpp
//
// The emulator-bound Corlisk.dll (bin/emu) loaded by path, as every consumer
// loads it, and its card object driven through KQCardBase against a private
// token emulator: the factory pair, enumeration with 0, 1 and 2 tokens, and
// the connection operations with the device lock other processes see.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "CaseName.h"
#include "EmulatorProcess.h"
#include "KQCardBase.h"
#include "KQCeiAssistant.h"
#include "ResultCodes.h"
#include "TestPaths.h"

namespace {

std::string LibraryPath()
{
    return TestBinPath("emu\\Corlisk.dll");
}

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

// The emulator and the library with one card object from CeiGetObject(0).
class CorliskOnEmulator {
public:
    explicit CorliskOnEmulator(int nTokens) : m_emu(nTokens), m_lib(LibraryPath().c_str())
    {
        m_pCard = static_cast<KQCardBase *>(m_lib.CreateObject());
    }
    ~CorliskOnEmulator() { m_lib.DestroyObject(m_pCard); }

    EmulatorProcess m_emu;
    CKQCeiAssistant m_lib;
    KQCardBase *m_pCard;
};

TEST(CorliskExports, ExactlyTheFactoryPairAndOnlyKindZero)
{
    CKQCeiAssistant lib(LibraryPath().c_str());
    ASSERT_TRUE(lib.IsLoaded());
    ASSERT_NE(nullptr, lib.GetObjectEntry());
    ASSERT_NE(nullptr, lib.DestroyObjectEntry());
    HMODULE hModule = GetModuleHandleA(LibraryPath().c_str());
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

// The kinds that fill the file cache at open are today backed by the plain
// command set, so they open and select like kind 2; once the file cache is
// behind them, their open needs the full card.
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

}  // namespace
