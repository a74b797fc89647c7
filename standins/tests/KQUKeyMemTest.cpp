// KQUKeyMemTest.cpp
//
// The memory stand-in's own bookkeeping: it is what later tests rely on to
// see leaks and double frees, so it must count them right.
#include <gtest/gtest.h>

#include <windows.h>

#include "OutsideInterfaces.h"
#include "StandinMemory.h"
#include "TestPaths.h"

namespace {

class MemoryStandin : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_counters.Loaded());
        HMODULE hModule = GetModuleHandleA(TestBinPath("KQUKeyMem.dll").c_str());
        m_pfnAlloc = KQGetProcAddress<PFN_KQAllocateBuffer>(hModule, "KQAllocateBuffer");
        m_pfnMore = KQGetProcAddress<PFN_KQAllocateMore>(hModule, "KQAllocateMore");
        m_pfnFree = KQGetProcAddress<PFN_KQFreeBuffer>(hModule, "KQFreeBuffer");
        ASSERT_TRUE(m_pfnAlloc && m_pfnMore && m_pfnFree);
        m_lBase = m_counters.LiveBlocks();
        m_lBaseBad = m_counters.BadFrees();
    }

    StandinMemory m_counters;
    PFN_KQAllocateBuffer m_pfnAlloc = nullptr;
    PFN_KQAllocateMore m_pfnMore = nullptr;
    PFN_KQFreeBuffer m_pfnFree = nullptr;
    long m_lBase = 0;
    long m_lBaseBad = 0;
};

TEST_F(MemoryStandin, MoreOfAMoreBlockIsTiedToTheRoot)
{
    void *pRoot = nullptr, *pMore = nullptr, *pMoreMore = nullptr;
    ASSERT_EQ(0u, m_pfnAlloc(10, 2, &pRoot));
    ASSERT_EQ(0u, m_pfnMore(10, pRoot, &pMore));
    ASSERT_EQ(0u, m_pfnMore(10, pMore, &pMoreMore));
    EXPECT_EQ(m_lBase + 3, m_counters.LiveBlocks());
    EXPECT_EQ(0u, m_pfnFree(pRoot));
    EXPECT_EQ(m_lBase, m_counters.LiveBlocks());
    EXPECT_EQ(m_lBaseBad, m_counters.BadFrees());
}

TEST_F(MemoryStandin, DoubleFreeAndFreeOfATiedBlockAreCounted)
{
    void *pRoot = nullptr, *pMore = nullptr;
    ASSERT_EQ(0u, m_pfnAlloc(10, 2, &pRoot));
    ASSERT_EQ(0u, m_pfnMore(10, pRoot, &pMore));
    EXPECT_NE(0u, m_pfnFree(pMore));
    EXPECT_EQ(0u, m_pfnFree(pRoot));
    EXPECT_NE(0u, m_pfnFree(pRoot));
    EXPECT_EQ(m_lBaseBad + 2, m_counters.BadFrees());
    EXPECT_EQ(m_lBase, m_counters.LiveBlocks());
}

TEST_F(MemoryStandin, MoreOnAForeignParentIsRefused)
{
    int iForeign = 0;
    void *p = &iForeign;
    EXPECT_NE(0u, m_pfnMore(10, &iForeign, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(m_lBase, m_counters.LiveBlocks());
}

TEST_F(MemoryStandin, ArmedFailureHitsTheNthAllocationOnly)
{
    void *p1 = nullptr, *p2 = nullptr, *p3 = nullptr;
    m_counters.FailAfter(2);
    EXPECT_EQ(0u, m_pfnAlloc(4, 2, &p1));
    EXPECT_NE(0u, m_pfnAlloc(4, 2, &p2));
    EXPECT_EQ(nullptr, p2);
    EXPECT_EQ(0u, m_pfnAlloc(4, 2, &p3));
    m_pfnFree(p1);
    m_pfnFree(p3);
    EXPECT_EQ(m_lBase, m_counters.LiveBlocks());
}

}  // namespace
