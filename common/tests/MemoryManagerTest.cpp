// MemoryManagerTest.cpp
//
// CMemoryManager against the memory stand-in, whose counters show leaks and
// bad frees.
#include <gtest/gtest.h>

#include "MemoryManager.h"
#include "StandinMemory.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

bool AllZero(const void *p, DWORD dwSize)
{
    const BYTE *pb = static_cast<const BYTE *>(p);
    for (DWORD i = 0; i < dwSize; ++i)
        if (pb[i] != 0)
            return false;
    return true;
}

class MemoryBound : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_memory.Loaded());
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
        m_lBaseBlocks = m_memory.LiveBlocks();
        m_lBaseBadFrees = m_memory.BadFrees();
    }
    void TearDown() override
    {
        m_memory.FailAfter(0);
        EXPECT_EQ(m_lBaseBlocks, m_memory.LiveBlocks()) << "blocks leaked";
        EXPECT_EQ(m_lBaseBadFrees, m_memory.BadFrees()) << "bad or double free";
        CMemoryManager::UnloadDLL();
    }

    StandinMemory m_memory;
    long m_lBaseBlocks = 0;
    long m_lBaseBadFrees = 0;
};

TEST_F(MemoryBound, AllocGivesZeroFilledBuffer)
{
    void *p = CMemoryManager::Alloc(300);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(AllZero(p, 300));
    EXPECT_EQ(m_lBaseBlocks + 1, m_memory.LiveBlocks());
    CMemoryManager::Free(p);
}

TEST_F(MemoryBound, AllocOfZeroBytesIsNullWithoutCallingTheLibrary)
{
    m_memory.FailAfter(1);
    EXPECT_EQ(nullptr, CMemoryManager::Alloc(0));
    // The armed failure is still pending: the library was not called.
    EXPECT_EQ(nullptr, CMemoryManager::Alloc(8));
    EXPECT_EQ(m_lBaseBlocks, m_memory.LiveBlocks());
}

TEST_F(MemoryBound, MoreBlocksAreFreedWithTheirParent)
{
    void *pParent = CMemoryManager::Alloc(16);
    ASSERT_NE(nullptr, pParent);
    void *pMore1 = CMemoryManager::AllocMore(pParent, 256);
    void *pMore2 = CMemoryManager::AllocMore(pParent, 40);
    ASSERT_NE(nullptr, pMore1);
    ASSERT_NE(nullptr, pMore2);
    EXPECT_TRUE(AllZero(pMore1, 256));
    EXPECT_EQ(m_lBaseBlocks + 3, m_memory.LiveBlocks());
    CMemoryManager::Free(pParent);
}

TEST_F(MemoryBound, LibraryFailureGivesNull)
{
    m_memory.FailAfter(1);
    EXPECT_EQ(nullptr, CMemoryManager::Alloc(32));
    void *pParent = CMemoryManager::Alloc(32);
    ASSERT_NE(nullptr, pParent);
    m_memory.FailAfter(1);
    EXPECT_EQ(nullptr, CMemoryManager::AllocMore(pParent, 32));
    EXPECT_EQ(nullptr, CMemoryManager::AllocMore(nullptr, 32));
    m_memory.FailAfter(1);
    CMemoryManager holder(64);
    EXPECT_EQ(nullptr, holder.Get());
    CMemoryManager::Free(pParent);
}

TEST_F(MemoryBound, HolderNeitherOwnsNorGivesUpItsBuffer)
{
    void *pSecond = CMemoryManager::Alloc(8);
    void *pFirst = nullptr;
    {
        CMemoryManager holder(24);
        pFirst = holder.Get();
        ASSERT_NE(nullptr, pFirst);
        EXPECT_TRUE(AllZero(pFirst, 24));
        EXPECT_EQ(0, holder.Attach(pSecond));
        EXPECT_EQ(pFirst, holder.Get());
    }
    // The holder is gone; both buffers are still live until freed.
    EXPECT_EQ(m_lBaseBlocks + 2, m_memory.LiveBlocks());
    CMemoryManager::Free(pFirst);
    CMemoryManager empty;
    EXPECT_EQ(nullptr, empty.Get());
    EXPECT_EQ(1, empty.Attach(pSecond));
    EXPECT_EQ(pSecond, empty.Get());
    CMemoryManager::Free(pSecond);
}

TEST(MemoryUnbound, EveryPathGivesNullWithoutTheLibrary)
{
    CMemoryManager::UnloadDLL();
    EXPECT_FALSE(CMemoryManager::IsLoaded());
    EXPECT_EQ(nullptr, CMemoryManager::Alloc(16));
    int iDummy = 0;
    EXPECT_EQ(nullptr, CMemoryManager::AllocMore(&iDummy, 16));
    CMemoryManager::Free(&iDummy);  // must not reach any library
    CMemoryManager holder(16);
    EXPECT_EQ(nullptr, holder.Get());
}

TEST(MemoryUnbound, MissingLibraryIsTracedAndReportedFalse)
{
    TraceCapture capture;
    CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    std::string strPath = TestBinPath("NoSuchMemory.dll");
    EXPECT_FALSE(CMemoryManager::LoadDLL(strPath.c_str()));
    CTraceWriter::GetInstance()->FreeTraceLibrary();
    EXPECT_FALSE(CMemoryManager::IsLoaded());

    bool bSawFailure = false;
    for (const TraceRecord &record : capture.Records())
        if (record.Text().find("CMemoryManager::LoadDLL LoadLibrary Failed,szDllFileName=[" +
                               strPath + "],GetLastError=[") == 0)
            bSawFailure = true;
    EXPECT_TRUE(bSawFailure);
}

TEST(MemoryUnbound, LibraryWithoutTheEntriesLoadsButNeverAllocates)
{
    TraceCapture capture;
    CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    EXPECT_TRUE(CMemoryManager::LoadDLL(TestBinPath("PluginNoDestroy.dll").c_str()));
    CTraceWriter::GetInstance()->FreeTraceLibrary();
    EXPECT_EQ(nullptr, CMemoryManager::Alloc(16));
    int iDummy = 0;
    CMemoryManager::Free(&iDummy);
    CMemoryManager::UnloadDLL();

    int nMissing = 0;
    for (const TraceRecord &record : capture.Records())
        if (record.Text().find("CMemoryManager::LoadDLL GetProcAddress Failed,") == 0)
            ++nMissing;
    EXPECT_EQ(3, nMissing);
}

}  // namespace
