// CorliskOnEmulator.h
//
// The emulator-bound Corlisk.dll (bin/emu), loaded by path as every consumer
// loads it, with one card object from CeiGetObject(0), against a private
// token emulator; the library's trace is captured and checked for secrets
// when the object ends. CorliskOpenedToken: a test with one issued token
// that the card object has opened.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "EmulatorProcess.h"
#include "KQCardBase.h"
#include "KQCeiAssistant.h"
#include "TestPaths.h"
#include "TraceCapture.h"

inline std::string CorliskEmuLibraryPath()
{
    return TestBinPath("emu\\Corlisk.dll");
}

class CorliskOnEmulator {
public:
    explicit CorliskOnEmulator(int nTokens)
        : m_emu(nTokens), m_lib(CorliskEmuLibraryPath().c_str())
    {
        m_pCard = static_cast<KQCardBase *>(m_lib.CreateObject());
        m_trace.Forbid("the token's PIN", "123456");
    }
    ~CorliskOnEmulator() { m_lib.DestroyObject(m_pCard); }
    CorliskOnEmulator(const CorliskOnEmulator &) = delete;
    CorliskOnEmulator &operator=(const CorliskOnEmulator &) = delete;

    // The library's trace, checked for secrets when the test ends.
    TraceCapture m_trace;
    EmulatorProcess m_emu;
    CKQCeiAssistant m_lib;
    KQCardBase *m_pCard;
};

class CorliskOpenedToken : public ::testing::Test {
protected:
    CorliskOpenedToken() : m_env(1) {}
    void SetUp() override
    {
        ASSERT_TRUE(m_env.m_emu.Started());
        ASSERT_NE(nullptr, m_env.m_pCard);
        m_pCard = m_env.m_pCard;
        ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_env.m_emu.DevicePaths().at(0).c_str(), 2));
    }

    CorliskOnEmulator m_env;
    KQCardBase *m_pCard = nullptr;
};
