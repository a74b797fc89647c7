// OwnerRecordTest.cpp
//
// The owner record and its lock, as named kernel objects of this process
// (the cross-process behaviour is shown against the emulator).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "CardInfoManager.h"
#include "CardMutex.h"

namespace {

std::string UniqueRecordPath(const char *pszTag)
{
    static int s_nCounter = 0;
    char szPath[160];
    std::snprintf(szPath, sizeof(szPath), "\\\\?\\hid#Vid_0925&pid_1234#%s&%08lx&%d", pszTag,
                  GetCurrentProcessId(), ++s_nCounter);
    return szPath;
}

TEST(OwnerRecordNames, BackslashesBecomeUnderscoresAndOnlyTheSectionIsUpperCased)
{
    std::string strPath = UniqueRecordPath("names");
    std::string strTail = strPath.substr(4);
    std::string strSection = CCardInfoManager::CShareMem::SectionName(strPath.c_str());
    std::string strMutex = CCardInfoManager::CShareMem::MutexName(strPath.c_str());
    EXPECT_EQ(0u, strSection.find("CARD_SHAREMEM___?_HID#VID_0925&PID_1234#NAMES&"));
    EXPECT_EQ("MUTEX_CARD_SHAREMEM___?_" + strTail, strMutex);

    CCardInfoManager::CShareMem record(strPath.c_str());
    ASSERT_TRUE(record.IsValid());
    HANDLE hSection = OpenFileMappingA(FILE_MAP_READ, FALSE, strSection.c_str());
    HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, strMutex.c_str());
    EXPECT_NE(nullptr, hSection);
    EXPECT_NE(nullptr, hMutex);
    CloseHandle(hSection);
    CloseHandle(hMutex);
}

TEST(OwnerRecord, NeverWrittenRecordIsFreeForAnyProcess)
{
    std::string strPath = UniqueRecordPath("fresh");
    DWORD dwOwner = 0xFFFFFFFF;
    ASSERT_TRUE(CCardInfoManager::CShareMem(strPath.c_str()).Read(&dwOwner));
    EXPECT_EQ(0u, dwOwner);
    EXPECT_TRUE(CCardInfoManager::GetInstance()->IsAcquired(strPath.c_str()));
}

TEST(OwnerRecord, OpeningAnExistingRecordNeverOverwritesIt)
{
    std::string strPath = UniqueRecordPath("existing");
    CCardInfoManager::CShareMem first(strPath.c_str());
    ASSERT_TRUE(first.Write(4242));
    CCardInfoManager::CShareMem second(strPath.c_str());
    DWORD dwOwner = 0;
    ASSERT_TRUE(second.Read(&dwOwner));
    EXPECT_EQ(4242u, dwOwner);
    EXPECT_FALSE(CCardInfoManager::GetInstance()->IsAcquired(strPath.c_str()));
}

TEST(OwnerRecord, ConnectedOwnerOutlivesEveryAccessor)
{
    std::string strPath = UniqueRecordPath("held");
    CCardInfoManager *pManager = CCardInfoManager::GetInstance();
    ASSERT_TRUE(pManager->Connect(strPath.c_str()));
    // No accessor of the caller is open now; the id must still be there.
    DWORD dwOwner = 0;
    ASSERT_TRUE(CCardInfoManager::CShareMem(strPath.c_str()).Read(&dwOwner));
    EXPECT_EQ(GetCurrentProcessId(), dwOwner);
    EXPECT_TRUE(pManager->IsAcquired(strPath.c_str()));

    ASSERT_TRUE(pManager->DisConnect(strPath.c_str()));
    ASSERT_TRUE(CCardInfoManager::CShareMem(strPath.c_str()).Read(&dwOwner));
    EXPECT_EQ(0u, dwOwner);
}

// A process that took the token over keeps it when the earlier owner
// disconnects.
TEST(OwnerRecord, DisconnectLeavesAnotherProcessesRecord)
{
    std::string strPath = UniqueRecordPath("taken");
    CCardInfoManager *pManager = CCardInfoManager::GetInstance();
    ASSERT_TRUE(pManager->Connect(strPath.c_str()));
    // The other owner keeps its accessor open, as a connected process does.
    CCardInfoManager::CShareMem other(strPath.c_str());
    ASSERT_TRUE(other.Write(4242));
    EXPECT_TRUE(pManager->DisConnect(strPath.c_str()));
    DWORD dwOwner = 0;
    ASSERT_TRUE(other.Read(&dwOwner));
    EXPECT_EQ(4242u, dwOwner);
    EXPECT_FALSE(pManager->IsAcquired(strPath.c_str()));
}

DWORD WINAPI TakeAndAbandon(LPVOID pMutex)
{
    WaitForSingleObject(static_cast<HANDLE>(pMutex), INFINITE);
    return 0;  // ends holding the mutex: it becomes abandoned
}

DWORD WINAPI TryToTake(LPVOID pMutex)
{
    DWORD dwWait = WaitForSingleObject(static_cast<HANDLE>(pMutex), 0);
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
        ReleaseMutex(static_cast<HANDLE>(pMutex));
    return dwWait;
}

DWORD RunThread(LPTHREAD_START_ROUTINE pfnThread, HANDLE hMutex)
{
    HANDLE hThread = CreateThread(nullptr, 0, pfnThread, hMutex, 0, nullptr);
    WaitForSingleObject(hThread, INFINITE);
    DWORD dwExit = 0;
    GetExitCodeThread(hThread, &dwExit);
    CloseHandle(hThread);
    return dwExit;
}

TEST(CardMutexGuard, AbandonedMutexCountsAsHeldUntilTheGuardEnds)
{
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, hMutex);
    RunThread(TakeAndAbandon, hMutex);
    {
        CCardMutex guard(hMutex);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), RunThread(TryToTake, hMutex));
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), RunThread(TryToTake, hMutex));
    CloseHandle(hMutex);
    CCardMutex nothing(nullptr);  // a null handle locks nothing and does not crash
}

}  // namespace
