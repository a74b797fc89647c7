// StandinExportsTest.cpp
//
// Every stand-in export is found by its plain name, in the x64 and the x86
// build alike (no stdcall decoration leaks into the export table).
#include <gtest/gtest.h>

#include <windows.h>

#include "TestPaths.h"

#include <string>

namespace {

struct ExportCase {
    const char *pszLibrary;
    const char *pszExport;
};

class StandinExport : public ::testing::TestWithParam<ExportCase> {};

// "KQUKeyLog_traceEnter" and the like.
std::string ExportName(const ::testing::TestParamInfo<ExportCase> &info)
{
    std::string strLibrary(info.param.pszLibrary);
    return strLibrary.substr(0, strLibrary.find('.')) + "_" + info.param.pszExport;
}

TEST_P(StandinExport, IsFoundByPlainName)
{
    HMODULE hModule = LoadLibraryA(TestBinPath(GetParam().pszLibrary).c_str());
    ASSERT_NE(nullptr, hModule) << GetParam().pszLibrary;
    EXPECT_NE(nullptr, reinterpret_cast<void *>(GetProcAddress(hModule, GetParam().pszExport)))
        << GetParam().pszLibrary << "!" << GetParam().pszExport;
    FreeLibrary(hModule);
}

INSTANTIATE_TEST_SUITE_P(
    All, StandinExport,
    ::testing::Values(ExportCase{"KQUKeyLog.dll", "traceEnter"},
                      ExportCase{"KQUKeyLog.dll", "traceLeave"},
                      ExportCase{"KQUKeyLog.dll", "traceLog"},
                      ExportCase{"KQUKeyLog.dll", "traceException"},
                      ExportCase{"KQUKeyLog.dll", "traceHex"},
                      ExportCase{"KQUKeyMem.dll", "KQAllocateBuffer"},
                      ExportCase{"KQUKeyMem.dll", "KQAllocateMore"},
                      ExportCase{"KQUKeyMem.dll", "KQFreeBuffer"},
                      ExportCase{"KQCrypt.dll", "CeiGetObject"},
                      ExportCase{"KQCrypt.dll", "CeiDestroyObject"}),
    ExportName);

}  // namespace
