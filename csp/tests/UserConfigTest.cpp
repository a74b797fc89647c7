// UserConfigTest.cpp
//
// The processor the BindCpu option binds the process to, and the option
// read from the host program's INI file.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "UserConfig.h"

namespace {

TEST(UserConfig, BindsToTheSecondActiveProcessor)
{
    struct Case {
        DWORD dwProcessors;
        DWORD_PTR dwActive;
        DWORD_PTR dwExpected;
    };
    const Case kCases[] = {
        {1, 0x1, 0},        // one processor: left as it is
        {3, 0x7, 0x2},      // 0, 1 and 2 active
        {2, 0x9, 0x8},      // only 0 and 3 active
        {8, 0xF0, 0x20},    // the walk starts at the lowest active bit
        {4, 0x1000, 0x1000},  // a single active processor is the one kept
    };
    for (const Case &c : kCases)
        EXPECT_EQ(c.dwExpected, CUserConfig::SecondProcessorMask(c.dwProcessors, c.dwActive))
            << c.dwProcessors << " processors, mask " << std::hex << c.dwActive;
}

// The INI file sits beside the host program, whatever folder it runs in.
TEST(UserConfig, ReadsBindCpuBesideTheHostProgram)
{
    CUserConfig config;
    char szModule[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, szModule, sizeof(szModule));
    std::string strExpected(szModule);
    strExpected.resize(strExpected.find_last_of('\\') + 1);
    strExpected += "KQUKeyConfig.ini";
    ASSERT_STRCASEEQ(strExpected.c_str(), config.getIniPath());

    struct Case {
        const char *pszValue;  // null: no INI file
        bool bExpected;
    };
    for (const Case &c : {Case{nullptr, false}, Case{"0", false}, Case{"1", true},
                          Case{"7", true}}) {
        DeleteFileA(config.getIniPath());
        if (c.pszValue) {
            ASSERT_TRUE(WritePrivateProfileStringA("CSP", "BindCpu", c.pszValue,
                                                   config.getIniPath()));
        }
        EXPECT_EQ(c.bExpected, config.IsBindCpu()) << (c.pszValue ? c.pszValue : "no file");
    }
    DeleteFileA(config.getIniPath());
}

}  // namespace
