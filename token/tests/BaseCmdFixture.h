// BaseCmdFixture.h
//
// The command set against a scripted HID port through the real HID
// manager: a test queues the card's answers (data and status word), runs a
// command, and reads back the exact APDUs that went out and the first-poll
// wait of every exchange (the port's sleeps; no busy answers are queued, so
// there is one sleep per exchange, 20 ms when no wait was set).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Algorithm.h"
#include "BaseCmd.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "OutsideInterfaces.h"
#include "ScriptedHidPort.h"
#include "StandinMemory.h"
#include "TestHidPortBinding.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"
#include "UniqueDevicePath.h"

typedef std::vector<BYTE> Bytes;

// One answer of the card.
struct CardAnswer {
    Bytes data;
    WORD wSw;
};

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
        ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("KQCrypt.dll").c_str()));
        // PIN boxes go to a scripted plug-in, kept loaded here so that its
        // script and record outlive each box's load and unload.
        m_hFakeBoxes = LoadLibraryA(TestBinPath("FakeMsgShow.dll").c_str());
        ASSERT_NE(nullptr, m_hFakeBoxes);
        CBaseCmd::OverrideMessagePlugin(TestBinPath("FakeMsgShow.dll").c_str());
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        SetTestHidPort(&m_port);
        m_strPath = UniqueDevicePath();
        m_port.AddDevice(m_strPath);
        ASSERT_TRUE(CHidManager::GetInstance()->Connect(m_strPath.c_str()));
        m_lBaseBlocks = m_memory.LiveBlocks();
        m_pCmd = new CBaseCmd(m_strPath.c_str());
    }
    void TearDown() override
    {
        m_pCmd->DeleteObject(CARD_DELETE_MEMORY);
        CHidManager::GetInstance()->DisConnect(m_strPath.c_str());
        EXPECT_EQ(m_lBaseBlocks, m_memory.LiveBlocks()) << "memory blocks leaked";
        EXPECT_EQ(0, m_memory.BadFrees());
        SetTestHidPort(nullptr);
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        CMemoryManager::UnloadDLL();
        CBaseCmd::OverrideMessagePlugin(nullptr);
        if (m_hFakeBoxes != nullptr)
            FreeLibrary(m_hFakeBoxes);
    }

    // The scripted message plug-in: the answers of the next boxes, and the
    // boxes shown (mode and text).
    void ScriptBoxes(const std::vector<int> &answers)
    {
        typedef void(KQ_EXPORT_CALL * PFN_Script)(const int *, int);
        auto pfn = reinterpret_cast<PFN_Script>(
            reinterpret_cast<void *>(GetProcAddress(m_hFakeBoxes, "FakeMsgShowScript")));
        ASSERT_NE(nullptr, pfn);
        pfn(answers.data(), static_cast<int>(answers.size()));
    }
    struct ShownBox {
        int nMode;
        std::string strText;
        std::string strCaption;
    };
    std::vector<ShownBox> ShownBoxes()
    {
        typedef int(KQ_EXPORT_CALL * PFN_Box)(int, char *, int, char *, int);
        auto pfn = reinterpret_cast<PFN_Box>(
            reinterpret_cast<void *>(GetProcAddress(m_hFakeBoxes, "FakeMsgShowBox")));
        std::vector<ShownBox> boxes;
        char szText[512], szCaption[64];
        for (int i = 0; pfn != nullptr; ++i) {
            const int nMode = pfn(i, szText, sizeof(szText), szCaption, sizeof(szCaption));
            if (nMode == -100)
                break;
            boxes.push_back(ShownBox{nMode, szText, szCaption});
        }
        return boxes;
    }


    // Queues the card's answer in the wire format: A1, length, data, SW, 00.
    void Queue(const CardAnswer &answer)
    {
        Bytes body = {0xA1, static_cast<BYTE>((answer.data.size() + 3) >> 8),
                      static_cast<BYTE>(answer.data.size() + 3)};
        body.insert(body.end(), answer.data.begin(), answer.data.end());
        body.push_back(static_cast<BYTE>(answer.wSw >> 8));
        body.push_back(static_cast<BYTE>(answer.wSw));
        body.push_back(0x00);
        m_port.QueueAnswer(m_strPath, body);
    }
    void Queue(const std::vector<CardAnswer> &answers)
    {
        for (const CardAnswer &answer : answers)
            Queue(answer);
    }

    // The APDUs written so far, put back together from the request reports.
    std::vector<Bytes> Sent()
    {
        std::vector<Bytes> apdus;
        Bytes body;
        for (const Bytes &report : m_port.Dev(m_strPath).written) {
            const std::size_t nCount = (report[5] << 8) | report[6];
            body.insert(body.end(), report.begin() + 8, report.begin() + 8 + nCount);
            if (report[1] == 0) {
                EXPECT_GE(body.size(), 3u);
                EXPECT_EQ(0xA1, body[0]);
                apdus.emplace_back(body.begin() + 3, body.end());
                body.clear();
            }
        }
        return apdus;
    }
    const std::vector<DWORD> &Waits() const { return m_port.m_sleeps; }

    bool TraceHas(const std::string &strText) const { return m_capture.Has(strText); }

    TraceCapture m_capture;
    StandinMemory m_memory;
    ScriptedHidPort m_port;
    std::string m_strPath;
    long m_lBaseBlocks = 0;
    CBaseCmd *m_pCmd = nullptr;
    HMODULE m_hFakeBoxes = nullptr;
};
