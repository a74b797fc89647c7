// EmuHolderTest.h
//
// EmuHolderTest: the base of the fixtures that confirm on an emulated
// token. Each test gets a private token emulator with a freshly issued token
// t1, whose scripted holder presses the keys, and the first row of the
// plug's logo, so that a test can wait for the token to show it again.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EmuScreenAnswers.h"
#include "EmulatorProcess.h"
#include "PromptFiles.h"

class EmuHolderTest : public ::testing::Test {
protected:
    EmuHolderTest() : m_emu(1) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_emu.Started());
        // The plug's logo is the first kept screen.
        m_strLogoRow = HistoryRows(m_emu.Control("screen t1 history")).at(0);
    }

    // The holder's script, one control command each.
    void Script(const std::vector<std::string> &commands)
    {
        for (const std::string &strCommand : commands)
            ASSERT_EQ("OK", m_emu.Control(strCommand)) << strCommand;
    }

    // Waits (bounded) until the token shows its logo again, so that the
    // logo of one confirmation is not left pending for the next.
    bool LogoBack() { return m_emu.WaitForFirstRow("t1", m_strLogoRow, 20000); }

    EmulatorProcess m_emu;
    std::string m_strLogoRow;
};
