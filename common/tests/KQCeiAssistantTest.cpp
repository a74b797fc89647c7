// KQCeiAssistantTest.cpp
#include <gtest/gtest.h>

#include <string>

#include "CaseName.h"
#include "KQCeiAssistant.h"
#include "TestPaths.h"

namespace {

struct BinderCase {
    const char *pszName;
    const char *pszLibrary;  // in the test folder; null: no path at all
    bool bLoaded;
    bool bGetEntry;
    bool bDestroyEntry;
};

class Binder : public ::testing::TestWithParam<BinderCase> {};

TEST_P(Binder, BindsWhatTheLibraryHas)
{
    const BinderCase &c = GetParam();
    std::string strPath = c.pszLibrary ? TestBinPath(c.pszLibrary) : std::string();
    CKQCeiAssistant binder(c.pszLibrary ? strPath.c_str() : nullptr);
    EXPECT_EQ(c.bLoaded, binder.IsLoaded() != FALSE);
    EXPECT_EQ(c.bGetEntry, binder.GetObjectEntry() != nullptr);
    EXPECT_EQ(c.bDestroyEntry, binder.DestroyObjectEntry() != nullptr);
    // Creating and destroying through whatever is bound never crashes.
    void *pObject = binder.CreateObject();
    EXPECT_EQ(c.bGetEntry, pObject != nullptr);
    binder.DestroyObject(pObject);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, Binder,
    ::testing::Values(BinderCase{"NullPath", nullptr, false, false, false},
                      BinderCase{"MissingLibrary", "NoSuchPlugin.dll", false, false, false},
                      BinderCase{"NoFactoryPair", "KQUKeyLog.dll", true, false, false},
                      BinderCase{"NoDestroyEntry", "PluginNoDestroy.dll", true, true, false},
                      BinderCase{"FullPair", "KQCrypt.dll", true, true, true}),
    CaseName());

TEST(BinderLifetime, DestroyingTheBinderFreesTheLibrary)
{
    std::string strPath = TestBinPath("KQCrypt.dll");
    ASSERT_EQ(nullptr, GetModuleHandleA(strPath.c_str()));
    {
        CKQCeiAssistant binder(strPath.c_str());
        EXPECT_NE(nullptr, GetModuleHandleA(strPath.c_str()));
    }
    EXPECT_EQ(nullptr, GetModuleHandleA(strPath.c_str()));
}

TEST(BinderLifetime, PathTooLongForTheAreaLoadsNothing)
{
    std::string strPath = TestBinPath("KQCrypt.dll");
    std::string strLong = std::string(MAX_PATH, '\\') + strPath;
    CKQCeiAssistant binder(strLong.c_str());
    EXPECT_FALSE(binder.IsLoaded());
    EXPECT_STREQ("", binder.GetPath());
}

}  // namespace
