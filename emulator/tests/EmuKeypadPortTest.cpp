// EmuKeypadPortTest.cpp
//
// The scripted keypad holder under Wine: KQTokenEmu.exe driven through the
// emulator binding of the HID port and its control pipe. A keypad VERIFY or
// CHANGE PIN gets busy reports while the holder types and then the card's
// answer; a holder who never finishes keeps the host polling until the
// script is cleared; the "user" commands answer and refuse through the pipe,
// and the log shows what was asked with the PINs masked.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "EmuPortTestSupport.h"
#include "EmulatorProcess.h"

namespace {

const USHORT kR = 65;
const Bytes kVerify = {0x00, 0x20, 0x00, 0x01, 0x00};
const Bytes kSmChange = {0x84, 0xF4, 0x03, 0x0C, 0x00};

struct SPolled {
    int nBusy = 0;
    WORD wSw = 0;  // 0: still busy or failed
};

// The status word of a one-report answer after its busy reports.
SPolled Summarise(const std::vector<Bytes> &reports)
{
    SPolled polled;
    for (const Bytes &report : reports) {
        if (report[2] == 0xFF) {
            ++polled.nBusy;
            continue;
        }
        if (report[0] == 0 && report[1] == 6 && report[8] == 0xA1)
            polled.wSw = static_cast<WORD>((report[11] << 8) | report[12]);
    }
    return polled;
}

// Polls up to nPolls times without sending anything.
SPolled PollOnly(HANDLE hDevice, int nPolls)
{
    std::vector<Bytes> reports;
    for (int i = 0; i < nPolls; ++i) {
        Bytes report(kR, 0);
        report[0] = 3;
        if (!Port().GetFeature(hDevice, report.data(), kR))
            break;
        reports.push_back(report);
        if (report[2] != 0xFF)
            break;
    }
    return Summarise(reports);
}

struct SPortCase {
    const char *pszName;
    const char *pszScript;  // "" for none
    Bytes apdu;
    WORD wSw;
    int nBusy;
};

class KeypadPort : public ::testing::TestWithParam<SPortCase> {};

TEST_P(KeypadPort, BusyWhileTheHolderTypesThenTheAnswer)
{
    const SPortCase &c = GetParam();
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    if (*c.pszScript != '\0') {
        ASSERT_EQ("OK", emulator.Control(c.pszScript));
    }
    DWORD dwError = 1;
    SPolled polled = Summarise(RawExchange(hDevice, kR, c.apdu, &dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_EQ(c.wSw, polled.wSw);
    EXPECT_EQ(c.nBusy, polled.nBusy);
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    const std::string strLog = emulator.Control("log");
    EXPECT_FALSE(Contains(strLog, "123456")) << strLog;
    EXPECT_FALSE(Contains(strLog, "2468")) << strLog;
}

// Typing: two polls still typing, then the device's own busy report.
INSTANTIATE_TEST_SUITE_P(
    Emulator, KeypadPort,
    ::testing::Values(SPortCase{"RightPin", "user t1 pin 123456", kVerify, 0x9000, 3},
                      SPortCase{"WrongPin", "user t1 pin 654321", kVerify, 0x63C5, 3},
                      SPortCase{"Cancelled", "user t1 cancel", kVerify, 0x6984, 3},
                      SPortCase{"NothingScripted", "", kVerify, 0x6984, 1},
                      SPortCase{"Change", "user t1 change 123456 2468", kSmChange, 0x9000, 3},
                      SPortCase{"ChangeWrongOld", "user t1 change 111111 2468", kSmChange, 0x63C5,
                                3}),
    [](const ::testing::TestParamInfo<SPortCase> &info) { return info.param.pszName; });

TEST(KeypadPortNever, BusyUntilTheScriptIsCleared)
{
    EmulatorProcess emulator(1);
    ASSERT_TRUE(emulator.Started());
    HANDLE hDevice = Open(emulator.DevicePaths().at(0));
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    ASSERT_EQ("OK", emulator.Control("user t1 never"));
    DWORD dwError = 1;
    // RawExchange gives up after 100 polls, all of them busy.
    SPolled polled = Summarise(RawExchange(hDevice, kR, kVerify, &dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_EQ(0, polled.wSw);
    EXPECT_EQ(100, polled.nBusy);
    EXPECT_EQ("OK\nactive pin: never\n", emulator.Control("user t1"));
    ASSERT_EQ("OK", emulator.Control("user t1 clear"));
    polled = PollOnly(hDevice, 10);
    EXPECT_EQ(0x6984, polled.wSw);
    EXPECT_EQ(1, polled.nBusy);
    EXPECT_EQ("OK\nasked pin: cancelled, script cleared\n", emulator.Control("user t1"));
    EXPECT_TRUE(Port().CloseDevice(hDevice));
    const std::string strLog = emulator.Control("log");
    EXPECT_TRUE(Contains(strLog, "t1 USER asked pin\nt1 USER never finishes\n"
                                 "t1 WAIT answer pending on the card\n"))
        << strLog;
    EXPECT_TRUE(Contains(strLog, "t1 USER cancelled, script cleared\nt1 RESP 6984\n")) << strLog;
}

struct SControlCase {
    const char *pszCommand;
    const char *pszAnswer;
};

class KeypadPortControl : public ::testing::Test {
protected:
    EmulatorProcess emulator{1};
};

const char kUsage[] =
    "ERR usage: user <id> [pin <PIN> | change <old> <new> | cancel | never | clear | "
    "press <key> [when <text>] | type <chars>] (PINs: 1 to 32 digits; keys: 0-9 A-Z a-z "
    "* + . # or enter, esc, backspace)";

TEST_F(KeypadPortControl, ScriptAndReportCommands)
{
    ASSERT_TRUE(emulator.Started());
    ASSERT_EQ(0u, emulator.Control("plug kbd vid=046d pid=c31c").find("OK"));
    const SControlCase aCases[] = {
        {"user t1 pin 7391", "OK"},
        {"user t1 change 7391 5086", "OK"},
        {"user t1 cancel", "OK"},
        {"user t1 never", "OK"},
        {"user t1", "OK\nqueued pin ****\nqueued change **** ****\nqueued cancel\nqueued never\n"},
        {"user t1 clear", "OK"},
        {"user t1", "OK\n"},
        {"user t7", "ERR no device t7"},
        {"user kbd pin 7391", "ERR kbd is not a token"},
        {"user t1 pin 12.4", kUsage},
        {"user t1 change 7391", kUsage},
        // The text of "when" crosses the pipe with its spaces.
        {"user t1 type 42", "OK"},
        {"user t1 press enter when Pay  12,50 ?", "OK"},
        {"user t1", "OK\nqueued press *\nqueued press *\nqueued press enter when Pay  12,50 ?\n"},
        {"user t1 press 42", kUsage},
        {"user t1 clear", "OK"},
        {"user t1", "OK\n"},
    };
    for (const SControlCase &c : aCases)
        EXPECT_EQ(c.pszAnswer, emulator.Control(c.pszCommand)) << c.pszCommand;
    const std::string strLog = emulator.Control("log");
    EXPECT_FALSE(Contains(strLog, "7391")) << strLog;
    EXPECT_TRUE(Contains(strLog, "t1 USER script change **** ****\n")) << strLog;
    EXPECT_TRUE(Contains(strLog, "t1 USER script type **\n")) << strLog;
}

}  // namespace
