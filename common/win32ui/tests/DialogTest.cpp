// DialogTest.cpp
//
// The dialog class on a template of this test program, driven from a second
// thread: results of EndDialog, the commands that end it, a missing
// template, a quit message during the modal loop, the disabled owner.
#include <gtest/gtest.h>

#include <windows.h>

#include "DialogDriver.h"
#include "Win32Ui.h"

namespace {

const UINT IDD_TEST = 100;
const int IDC_OTHER = 101;
const int IDC_LABEL = 102;

// Ends with 42 on the "Other" button; optionally ends inside OnInitDialog.
class CTestDialog : public CDialog {
public:
    explicit CTestDialog(UINT nID = IDD_TEST, HWND hOwner = nullptr) : CDialog(nID, hOwner) {}
    INT_PTR m_nEndInInit = 0;
    int m_nInitCalls = 0;

protected:
    BOOL OnInitDialog() override
    {
        ++m_nInitCalls;
        KQUi::SetText(GetDlgItem(IDC_LABEL), L"\x786e\x8ba4 ok");
        if (m_nEndInInit != 0)
            EndDialog(m_nEndInInit);
        return TRUE;
    }
    BOOL OnCommand(int nID, int) override
    {
        if (nID != IDC_OTHER)
            return FALSE;
        EndDialog(42);
        return TRUE;
    }
};

struct EndCase {
    const char *pszName;
    int nAction;  // 0 click IDOK, 1 click IDCANCEL, 2 click Other, 3 WM_CLOSE, 4 Esc
    INT_PTR nExpected;
};

class DialogEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(DialogEnd, EndsWithTheResultOfWhatEndedIt)
{
    CTestDialog dlg;
    std::wstring strLabel;
    INT_PTR nResult;
    {
        CDialogDriver driver(GetCurrentThreadId(), [&](HWND hDlg) {
            strLabel = KQUi::GetText(GetDlgItem(hDlg, IDC_LABEL));
            switch (GetParam().nAction) {
            case 0: PostMessageW(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0); break;
            case 1: PostMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0); break;
            case 2: PostMessageW(GetDlgItem(hDlg, IDC_OTHER), BM_CLICK, 0, 0); break;
            case 3: PostMessageW(hDlg, WM_CLOSE, 0, 0); break;
            default: PressKey(hDlg, VK_ESCAPE); break;
            }
        });
        nResult = dlg.DoModal();
        ASSERT_TRUE(driver.Drove());
    }
    EXPECT_EQ(GetParam().nExpected, nResult);
    EXPECT_EQ(1, dlg.m_nInitCalls);
    EXPECT_EQ(std::wstring(L"\x786e\x8ba4 ok"), strLabel);
    EXPECT_EQ(nullptr, dlg.GetSafeHwnd());
}

INSTANTIATE_TEST_SUITE_P(All, DialogEnd,
                         ::testing::Values(EndCase{"OkButton", 0, IDOK},
                                           EndCase{"CancelButton", 1, IDCANCEL},
                                           EndCase{"OwnCommand", 2, 42},
                                           EndCase{"Close", 3, IDCANCEL},
                                           EndCase{"Escape", 4, IDCANCEL}),
                         [](const ::testing::TestParamInfo<EndCase> &info) {
                             return std::string(info.param.pszName);
                         });

TEST(Dialog, MissingTemplateGivesMinusOne)
{
    CTestDialog dlg(4711);
    EXPECT_EQ(-1, dlg.DoModal());
    EXPECT_EQ(0, dlg.m_nInitCalls);
}

TEST(Dialog, EndDialogInOnInitDialogReturnsWithoutLoop)
{
    CTestDialog dlg;
    dlg.m_nEndInInit = 9;
    EXPECT_EQ(9, dlg.DoModal());
    EXPECT_EQ(1, dlg.m_nInitCalls);
}

TEST(Dialog, QuitMessageCancelsAndStaysForTheCaller)
{
    DWORD dwThread = GetCurrentThreadId();
    CTestDialog dlg;
    INT_PTR nResult;
    {
        CDialogDriver driver(dwThread, [&](HWND) { PostThreadMessageW(dwThread, WM_QUIT, 5, 0); });
        nResult = dlg.DoModal();
        ASSERT_TRUE(driver.Drove());
    }
    EXPECT_EQ(IDCANCEL, nResult);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(5u, msg.wParam);
}

TEST(Dialog, OwnerIsDisabledWhileModalAndEnabledAfter)
{
    HWND hOwner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hOwner);
    CTestDialog dlg(IDD_TEST, hOwner);
    bool bEnabledWhileModal = true;
    HWND hDialogOwner = nullptr;
    {
        CDialogDriver driver(GetCurrentThreadId(), [&](HWND hDlg) {
            bEnabledWhileModal = IsWindowEnabled(hOwner) != FALSE;
            hDialogOwner = GetWindow(hDlg, GW_OWNER);
            PostMessageW(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
        });
        EXPECT_EQ(IDOK, dlg.DoModal());
        ASSERT_TRUE(driver.Drove());
    }
    EXPECT_FALSE(bEnabledWhileModal);
    EXPECT_EQ(hOwner, hDialogOwner);
    EXPECT_TRUE(IsWindowEnabled(hOwner));
    DestroyWindow(hOwner);
}

TEST(Dialog, TemplateComesFromTheModuleThatLinksTheLayer)
{
    CTestDialog dlg;
    EXPECT_EQ(GetModuleHandleW(nullptr), dlg.GetResourceHandle());
    EXPECT_EQ(GetModuleHandleW(nullptr), KQGetModuleInstance());
}

}  // namespace
