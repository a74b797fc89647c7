// EmuProcessTest.cpp
//
// The token emulator as a process under Wine: the control client's exit
// codes and output, "quit", emulators one after another, the end with the
// parent process, one emulator per pipe name, and a bad command line.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "EmuPipeIo.h"
#include "EmuPipeProtocol.h"
#include "ChildProcess.h"
#include "EmuPortTestSupport.h"
#include "EmulatorProcess.h"

namespace {

// --- the emulator process and its control client ------------------------

TEST(KQTokenEmuProcess, ControlClientExitCodes)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    std::string strOutput;
    // The pipe base comes from KQTOKENEMU_PIPE, which the harness set.
    EXPECT_EQ(0u, RunCtl("list", &strOutput));
    EXPECT_EQ(0u, strOutput.find("OK\nt1 \\\\?\\hid#vid_0925&pid_1234#")) << strOutput;
    EXPECT_EQ(0u, RunCtl("--pipe " + emulator.PipeBase() + " fault t1 busy 3", &strOutput));
    EXPECT_EQ("OK\n", strOutput);
    EXPECT_EQ(1u, RunCtl("unplug t9", &strOutput));
    EXPECT_EQ(0u, strOutput.find("ERR ")) << strOutput;
    EXPECT_EQ(1u, RunCtl("no such command"));
    EXPECT_EQ(1u, RunCtl(""));
    EXPECT_EQ(2u, RunCtl("--pipe KQTokenEmu-nobody-here list"));
    EXPECT_EQ(0u, RunCtl("plug t2 product=Two words", &strOutput));
    EXPECT_EQ(0u, strOutput.find("OK \\\\?\\hid#vid_0925&pid_1234#7&"));
    EXPECT_EQ(2u, emulator.DevicePaths().size());
    EXPECT_TRUE(Contains(emulator.Control("log"), "t1 FAULT set busy 3"));
}

TEST(KQTokenEmuProcess, QuitEndsTheEmulatorAndOpenDevicesFail)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_EQ("OK", emulator.Control("quit"));
    // The emulator goes within a moment; its devices with it.
    bool bGone = false;
    for (int i = 0; i < 200 && !bGone; ++i) {
        bGone = emulator.Control("list").find("ERR emulator not reachable") == 0;
        if (!bGone)
            Sleep(20);
    }
    EXPECT_TRUE(bGone);
    PHIDP_PREPARSED_DATA pData = nullptr;
    EXPECT_FALSE(Port().GetPreparsedData(hDevice, &pData));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), GetLastError());
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    DWORD dwError = 0;
    EXPECT_TRUE(PortPaths(&dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwError);
}

TEST(KQTokenEmuProcess, EmulatorsInSequenceHaveTheirOwnNamesAndPaths)
{
    std::string strFirstBase, strFirstPath;
    {
        EmulatorProcess first(1);
        ASSERT_TRUE(first.Started());
        strFirstBase = first.PipeBase();
        strFirstPath = first.DevicePaths().at(0);
        char szBase[256] = {};
        GetEnvironmentVariableA(emu::kPipeEnvVar, szBase, sizeof(szBase));
        EXPECT_EQ(strFirstBase, szBase);
    }
    EXPECT_EQ(0u, GetEnvironmentVariableA(emu::kPipeEnvVar, nullptr, 0));
    EmulatorProcess second(1);
    ASSERT_TRUE(second.Started());
    EXPECT_NE(strFirstBase, second.PipeBase());
    ASSERT_EQ(1u, second.DevicePaths().size());
    EXPECT_NE(strFirstPath, second.DevicePaths()[0]);
    EXPECT_EQ(second.DevicePaths(), PortPaths());
}

TEST(KQTokenEmuProcess, EmulatorEndsWithItsParent)
{
    char szBase[64];
    std::snprintf(szBase, sizeof(szBase), "KQTokenEmu-%lu-parent", GetCurrentProcessId());
    const std::string strParentBase = szBase;
    const std::string strChildBase = strParentBase + "-child";
    ChildProcess parent("KQTokenEmu.exe", "--pipe " + strParentBase + " --tokens 0");
    ASSERT_TRUE(parent.Started());
    ASSERT_TRUE(Answers(strParentBase));
    ChildProcess child("KQTokenEmu.exe", "--pipe " + strChildBase + " --tokens 0 --parent " +
                                             std::to_string(parent.Pid()));
    ASSERT_TRUE(child.Started());
    EXPECT_TRUE(Answers(strChildBase));
    std::string strAnswer;
    DWORD dwError = 0;
    EXPECT_TRUE(emu::ControlRequest(strParentBase, "quit", 5000, strAnswer, &dwError));
    EXPECT_EQ(0u, parent.Wait(10000));
    EXPECT_EQ(0u, child.Wait(10000));
}

TEST(KQTokenEmuProcess, SecondEmulatorOnTheSameNameIsRefused)
{
    EmulatorProcess emulator(0);
    ASSERT_TRUE(emulator.Started());
    ChildProcess second("KQTokenEmu.exe", "--pipe " + emulator.PipeBase() + " --tokens 1");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(3u, second.Wait(20000));
    // The first still serves alone.
    EXPECT_EQ("OK\n", emulator.Control("list"));
    EXPECT_TRUE(PortPaths().empty());
}

TEST(KQTokenEmuProcess, BadCommandLineIsRefused)
{
    for (const char *pszArguments : {"--tokens", "--report 9", "--tokens x", "--colour red",
                                     "--parent 0"}) {
        ChildProcess emulator("KQTokenEmu.exe", pszArguments);
        ASSERT_TRUE(emulator.Started());
        EXPECT_EQ(2u, emulator.Wait(20000)) << pszArguments;
    }
}

}  // namespace
