// KeysetFixture.h
//
// The keyset and provider tests share this fixture: card objects are
// KeysetFakeCards (the RSA key an OpenSSL key), each test reaches its own
// token through a reader name of its own, and acquisitions go through the
// keyset cores as CPAcquireContext would call them. Whatever a test leaves
// acquired is released at its end.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "CardKeyFixture.h"
#include "KeysetFakeCard.h"
#include "Pavrel_ContainerText.h"
#include "Pavrel_Keyset.h"
#include "Pavrel_Provider.h"
#include "SharedKeysetInfo.h"
#include "TestPaths.h"
#include "TraceWriter.h"

class KeysetFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(KeysetCards::Install());
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
    }
    static void TearDownTestSuite()
    {
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        FakeCardFactory::SetMaker(nullptr);
    }
    void SetUp() override
    {
        static int nReader = 0;
        m_strReader = "rdr" + std::to_string(++nReader);
        KeysetCards::Reset();
        KeysetCards::Template().pKey = TestKey(1024);
    }
    void TearDown() override
    {
        for (ULONG64 h : m_vecHandles)
            Pavrel_Keyset::Release(h);
    }

    // "\\.\<this test's reader>\<name>", or the bare reader for no name.
    std::string Text(const std::string &strName) const
    {
        return "\\\\.\\" + m_strReader + (strName.empty() ? "" : "\\" + strName);
    }
    std::string Path(const std::string &strName) const
    {
        return Pavrel_ContainerText(Text(strName).c_str()).getKeysetPath();
    }
    // The get-keyset core on the container text; the handle is kept for
    // the release at the end.
    DWORD Acquire(const std::string &strText, DWORD dwFlags, ULONG64 *phProv = nullptr)
    {
        Pavrel_ContainerText text(strText.c_str());
        ULONG64 hProv = 0;
        DWORD dwRet = Pavrel_Keyset::GetKeyset(text.getReaderName(), text.getKeysetName(),
                                               text.getKeysetPath(), dwFlags, &hProv);
        if (dwRet == 0)
            m_vecHandles.push_back(hProv);
        if (phProv)
            *phProv = hProv;
        return dwRet;
    }
    void Release(ULONG64 hProv)
    {
        EXPECT_EQ(0u, Pavrel_Keyset::Release(hProv));
        for (auto it = m_vecHandles.begin(); it != m_vecHandles.end(); ++it)
            if (*it == hProv) {
                m_vecHandles.erase(it);
                break;
            }
    }
    // The acquisition count of the path on this test's token; -1: no record.
    LONG Count(const std::string &strPath) const
    {
        CSharedKeysetInfo *pInfo = CSharedKeysetInfo::find(strPath, m_strReader);
        return pInfo ? pInfo->_refCount : -1;
    }

    std::string m_strReader;
    std::vector<ULONG64> m_vecHandles;
};
