// SendrowTest.cpp
//
// The message display plug-in loaded by path, as the token access library
// loads it: its exact exports, the factory pair, and the box of every mode
// driven from a second thread (texts, buttons and their places, the topmost
// style, the icons, and the result of each way of ending it).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>

#include "CaseName.h"
#include "DialogDriver.h"
#include "MsgShowInterface.h"
#include "OutsideInterfaces.h"
#include "SendrowResource.h"
#include "TestPaths.h"
#include "VtableSlot.h"

namespace {

// "确认" and "取消", the template's button texts.
const std::wstring TEMPLATE_FIRST = L"\x786e\x8ba4";
const std::wstring TEMPLATE_SECOND = L"\x53d6\x6d88";
// "重试" and "提示" in code page 936, and as UTF-16.
const char GBK_RETRY[] = "\xd6\xd8\xca\xd4";
const char GBK_NOTICE[] = "\xcc\xe1\xca\xbe";
const std::wstring WIDE_RETRY = L"\x91cd\x8bd5";
const std::wstring WIDE_NOTICE = L"\x63d0\x793a";

class Sendrow {
public:
    Sendrow() : m_hModule(LoadLibraryA(TestBinPath("Sendrow.dll").c_str()))
    {
        m_pfnGet = KQGetProcAddress<PFN_CeiGetObject>(m_hModule, "CeiGetObject");
        m_pfnDestroy = KQGetProcAddress<PFN_CeiDestroyObject>(m_hModule, "CeiDestroyObject");
    }
    ~Sendrow()
    {
        if (m_hModule != nullptr)
            FreeLibrary(m_hModule);
    }
    bool Loaded() const { return m_pfnGet != nullptr && m_pfnDestroy != nullptr; }
    CMsgShowInterface *Get(unsigned long ulId) const
    {
        return static_cast<CMsgShowInterface *>(m_pfnGet(ulId));
    }
    void Destroy(CMsgShowInterface *pObject) const { m_pfnDestroy(pObject); }
    HMODULE Module() const { return m_hModule; }

private:
    HMODULE m_hModule;
    PFN_CeiGetObject m_pfnGet = nullptr;
    PFN_CeiDestroyObject m_pfnDestroy = nullptr;
};

// What the second thread saw of the box before ending it.
struct BoxView {
    DWORD dwThread = 0;
    std::wstring strCaption;
    std::wstring strText;
    int nTextLines = 0;
    LONG lTextStyle = 0;
    LONG lExStyle = 0;
    std::wstring strFirst, strSecond;
    bool bFirstVisible = false, bSecondVisible = false;
    RECT rcFirst = {}, rcSecond = {};
    // The template's button rectangles in this dialog's pixels.
    RECT rcTemplateFirst = {}, rcTemplateSecond = {};
    int nClientWidth = 0;
    bool bBigIcon = false;
    bool bInnerIcon = false;
};

std::wstring TextOf(HWND hWnd)
{
    wchar_t szText[512] = {0};
    SendMessageW(hWnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(szText));
    return szText;
}

RECT ChildRect(HWND hChild)
{
    RECT rc;
    GetWindowRect(hChild, &rc);
    MapWindowPoints(nullptr, GetParent(hChild), reinterpret_cast<POINT *>(&rc), 2);
    return rc;
}

RECT DialogUnits(HWND hDlg, int x, int y, int cx, int cy)
{
    RECT rc = {x, y, x + cx, y + cy};
    MapDialogRect(hDlg, &rc);
    return rc;
}

BOOL CALLBACK FindIconStatic(HWND hChild, LPARAM lParam)
{
    wchar_t szClass[16] = {0};
    GetClassNameW(hChild, szClass, 16);
    if (lstrcmpiW(szClass, L"Static") == 0 && (GetWindowLongW(hChild, GWL_STYLE) & SS_ICON) &&
        SendMessageW(hChild, STM_GETICON, 0, 0) != 0)
        *reinterpret_cast<bool *>(lParam) = true;
    return TRUE;
}

BoxView Look(HWND hDlg)
{
    BoxView view;
    view.dwThread = GetWindowThreadProcessId(hDlg, nullptr);
    view.strCaption = TextOf(hDlg);
    HWND hText = GetDlgItem(hDlg, IDC_MESSAGE_TEXT);
    view.strText = TextOf(hText);
    view.nTextLines = static_cast<int>(SendMessageW(hText, EM_GETLINECOUNT, 0, 0));
    view.lTextStyle = GetWindowLongW(hText, GWL_STYLE);
    view.lExStyle = GetWindowLongW(hDlg, GWL_EXSTYLE);
    HWND hFirst = GetDlgItem(hDlg, IDC_FIRST_BUTTON);
    HWND hSecond = GetDlgItem(hDlg, IDC_SECOND_BUTTON);
    view.strFirst = TextOf(hFirst);
    view.strSecond = TextOf(hSecond);
    view.bFirstVisible = IsWindowVisible(hFirst) != FALSE;
    view.bSecondVisible = IsWindowVisible(hSecond) != FALSE;
    view.rcFirst = ChildRect(hFirst);
    view.rcSecond = ChildRect(hSecond);
    view.rcTemplateFirst = DialogUnits(hDlg, 49, 39, 36, 12);
    view.rcTemplateSecond = DialogUnits(hDlg, 137, 39, 36, 12);
    RECT rcClient;
    GetClientRect(hDlg, &rcClient);
    view.nClientWidth = rcClient.right;
    view.bBigIcon = SendMessageW(hDlg, WM_GETICON, ICON_BIG, 0) != 0;
    EnumChildWindows(hDlg, FindIconStatic, reinterpret_cast<LPARAM>(&view.bInnerIcon));
    return view;
}

enum class Action { ClickFirst, ClickSecond, Enter, Escape, Close, TitleBarClose };

void Act(HWND hDlg, Action action)
{
    switch (action) {
    case Action::ClickFirst:
        PostMessageW(GetDlgItem(hDlg, IDC_FIRST_BUTTON), BM_CLICK, 0, 0);
        break;
    case Action::ClickSecond:
        PostMessageW(GetDlgItem(hDlg, IDC_SECOND_BUTTON), BM_CLICK, 0, 0);
        break;
    case Action::Enter:
        PressKey(hDlg, VK_RETURN);
        break;
    case Action::Escape:
        PressKey(hDlg, VK_ESCAPE);
        break;
    case Action::Close:
        PostMessageW(hDlg, WM_CLOSE, 0, 0);
        break;
    case Action::TitleBarClose:
        PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

// Shows one box on this thread, looks at it from a second thread and ends it.
int ShowAndEnd(CMsgShowInterface *pBox, const char *pszCaption, const char *pszText,
               const char *pszFirst, const char *pszSecond, int nMode, Action action,
               BoxView *pView, bool *pDrove)
{
    CDialogDriver driver(GetCurrentThreadId(), [&](HWND hDlg) {
        *pView = Look(hDlg);
        Act(hDlg, action);
    });
    int nResult = pBox->ShowMessage(pszCaption, pszText, pszFirst, pszSecond, nMode);
    // The driver has either run or will not: the box is gone.
    *pDrove = nResult != MSGSHOW_NOT_SHOWN && driver.Drove();
    return nResult;
}

struct BoxCase {
    const char *pszName;
    int nMode;
    const char *pszCaption;
    const char *pszText;
    Action action;
    int nExpected;
    std::wstring strCaption;  // expected title
    std::wstring strText;     // expected text
    int nTextLines;
};

const char TWO_LINES[] = "PIN wrong\r\n\xd6\xd8\xca\xd4?";
const std::wstring WIDE_TWO_LINES = L"PIN wrong\r\n\x91cd\x8bd5?";

const BoxCase BOX_CASES[] = {
    {"Mode0_ClickFirst", 0, GBK_NOTICE, "PIN locked", Action::ClickFirst, 1, WIDE_NOTICE,
     L"PIN locked", 1},
    {"Mode0_Enter", 0, GBK_NOTICE, "PIN locked", Action::Enter, 1, WIDE_NOTICE, L"PIN locked", 1},
    {"Mode0_Escape", 0, GBK_NOTICE, "PIN locked", Action::Escape, 2, WIDE_NOTICE, L"PIN locked",
     1},
    {"Mode0_Close", 0, GBK_NOTICE, "PIN locked", Action::Close, 2, WIDE_NOTICE, L"PIN locked", 1},
    {"Mode1_ClickFirst", 1, GBK_NOTICE, TWO_LINES, Action::ClickFirst, 1, WIDE_NOTICE,
     WIDE_TWO_LINES, 2},
    {"Mode1_ClickSecond", 1, GBK_NOTICE, TWO_LINES, Action::ClickSecond, 2, WIDE_NOTICE,
     WIDE_TWO_LINES, 2},
    {"Mode1_Enter", 1, GBK_NOTICE, TWO_LINES, Action::Enter, 1, WIDE_NOTICE, WIDE_TWO_LINES, 2},
    {"Mode1_Escape", 1, GBK_NOTICE, TWO_LINES, Action::Escape, 2, WIDE_NOTICE, WIDE_TWO_LINES, 2},
    {"Mode1_Close", 1, GBK_NOTICE, TWO_LINES, Action::Close, 2, WIDE_NOTICE, WIDE_TWO_LINES, 2},
    {"Mode1_TitleBarClose", 1, GBK_NOTICE, TWO_LINES, Action::TitleBarClose, 2, WIDE_NOTICE,
     WIDE_TWO_LINES, 2},
    {"Mode4_ClickFirst", 4, "Retry?", "Wrong PIN", Action::ClickFirst, 1, L"Retry?",
     L"Wrong PIN", 1},
    {"Mode4_ClickSecond", 4, "Retry?", "Wrong PIN", Action::ClickSecond, 2, L"Retry?",
     L"Wrong PIN", 1},
    {"Mode4_Enter", 4, "Retry?", "Wrong PIN", Action::Enter, 1, L"Retry?", L"Wrong PIN", 1},
    {"Mode4_Escape", 4, "Retry?", "Wrong PIN", Action::Escape, 2, L"Retry?", L"Wrong PIN", 1},
    {"Mode2_ClickFirst", 2, "Two", "template", Action::ClickFirst, 1, L"Two", L"template", 1},
    {"Mode2_ClickSecond", 2, "Two", "template", Action::ClickSecond, 2, L"Two", L"template", 1},
    {"ModeMinus1_Escape", -1, "Other", "template", Action::Escape, 2, L"Other", L"template", 1},
    {"Mode7_Enter", 7, "Other", "template", Action::Enter, 1, L"Other", L"template", 1},
    {"EmptyCaption", 1, "", "", Action::ClickFirst, 1, L"", L"", 1},
    {"NullStrings", 1, nullptr, nullptr, Action::ClickSecond, 2, L"", L"", 1},
};

class SendrowBox : public ::testing::TestWithParam<BoxCase> {
protected:
    Sendrow m_sendrow;
};

// Layout and texts the mode asks for.
void ExpectButtons(const BoxCase &c, const BoxView &v, const std::wstring &strFirst,
                   const std::wstring &strSecond)
{
    const RECT &t = v.rcTemplateFirst;
    int nWidth = t.right - t.left, nHeight = t.bottom - t.top;
    int nCentre = v.nClientWidth / 2;
    EXPECT_TRUE(v.bFirstVisible);
    EXPECT_EQ(t.top, v.rcFirst.top);
    EXPECT_EQ(nWidth, v.rcFirst.right - v.rcFirst.left);
    EXPECT_EQ(nHeight, v.rcFirst.bottom - v.rcFirst.top);
    if (c.nMode == 0) {
        EXPECT_EQ(strFirst, v.strFirst);
        EXPECT_FALSE(v.bSecondVisible);
        EXPECT_LE(std::abs((v.rcFirst.left + v.rcFirst.right) / 2 - nCentre), 1);
    } else if (c.nMode == 1 || c.nMode == 4) {
        EXPECT_EQ(strFirst, v.strFirst);
        EXPECT_EQ(strSecond, v.strSecond);
        EXPECT_TRUE(v.bSecondVisible);
        EXPECT_EQ(nCentre - 10, v.rcFirst.right);
        EXPECT_EQ(nCentre + 10, v.rcSecond.left);
        EXPECT_EQ(t.top, v.rcSecond.top);
        EXPECT_EQ(nWidth, v.rcSecond.right - v.rcSecond.left);
        EXPECT_EQ(nHeight, v.rcSecond.bottom - v.rcSecond.top);
    } else {
        EXPECT_EQ(TEMPLATE_FIRST, v.strFirst);
        EXPECT_EQ(TEMPLATE_SECOND, v.strSecond);
        EXPECT_TRUE(v.bSecondVisible);
        EXPECT_EQ(v.rcTemplateFirst.left, v.rcFirst.left);
        EXPECT_EQ(v.rcTemplateSecond.left, v.rcSecond.left);
        EXPECT_EQ(v.rcTemplateSecond.top, v.rcSecond.top);
    }
}

TEST_P(SendrowBox, ShowsTheModeAndEndsWithTheResultOfTheAction)
{
    const BoxCase &c = GetParam();
    ASSERT_TRUE(m_sendrow.Loaded());
    CMsgShowInterface *pBox = m_sendrow.Get(0);
    ASSERT_NE(nullptr, pBox);
    BoxView view;
    bool bDrove = false;
    int nResult = ShowAndEnd(pBox, c.pszCaption, c.pszText, GBK_RETRY, "Cancel it", c.nMode,
                             c.action, &view, &bDrove);
    m_sendrow.Destroy(pBox);
    ASSERT_TRUE(bDrove) << "result " << nResult;

    EXPECT_EQ(c.nExpected, nResult);
    EXPECT_EQ(GetCurrentThreadId(), view.dwThread);
    EXPECT_TRUE(c.strCaption == view.strCaption);
    EXPECT_TRUE(c.strText == view.strText);
    EXPECT_EQ(c.nTextLines, view.nTextLines);
    ExpectButtons(c, view, WIDE_RETRY, L"Cancel it");
    // Always on top, read-only multi-line text, both icons.
    EXPECT_TRUE(view.lExStyle & WS_EX_TOPMOST);
    EXPECT_EQ(ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL,
              view.lTextStyle & (ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL));
    EXPECT_TRUE(view.bBigIcon);
    EXPECT_TRUE(view.bInnerIcon);
}

INSTANTIATE_TEST_SUITE_P(All, SendrowBox, ::testing::ValuesIn(BOX_CASES), CaseName());

// Nothing of one call shows in the next on the same object.
TEST(SendrowObject, EachCallShowsOnlyItsOwnMessage)
{
    Sendrow sendrow;
    ASSERT_TRUE(sendrow.Loaded());
    CMsgShowInterface *pBox = sendrow.Get(0);
    ASSERT_NE(nullptr, pBox);
    BoxView first, second;
    bool bDrove1 = false, bDrove2 = false;
    EXPECT_EQ(2, ShowAndEnd(pBox, "One", "first", "A", "B", 1, Action::ClickSecond, &first,
                            &bDrove1));
    EXPECT_EQ(1, ShowAndEnd(pBox, "Two", "second", "C", "D", 2, Action::ClickFirst, &second,
                            &bDrove2));
    sendrow.Destroy(pBox);
    ASSERT_TRUE(bDrove1 && bDrove2);
    EXPECT_TRUE(first.strFirst == L"A" && first.strSecond == L"B");
    EXPECT_TRUE(second.strCaption == L"Two" && second.strText == L"second");
    EXPECT_TRUE(second.strFirst == TEMPLATE_FIRST && second.strSecond == TEMPLATE_SECOND);
}

TEST(SendrowObject, FactoryGivesObjectsForIdZeroOnly)
{
    Sendrow sendrow;
    ASSERT_TRUE(sendrow.Loaded());
    CMsgShowInterface *pOne = sendrow.Get(0);
    CMsgShowInterface *pTwo = sendrow.Get(0);
    EXPECT_NE(nullptr, pOne);
    EXPECT_NE(pOne, pTwo);
    for (unsigned long ulId : {1ul, 2ul, 0xFFFFFFFFul})
        EXPECT_EQ(nullptr, sendrow.Get(ulId)) << ulId;
    sendrow.Destroy(pOne);
    sendrow.Destroy(pTwo);
    sendrow.Destroy(nullptr);
}

TEST(SendrowObject, InterfaceIsOneSlotAndNoData)
{
    EXPECT_EQ(0, SlotOf(&CMsgShowInterface::ShowMessage));
    EXPECT_EQ(sizeof(void *), sizeof(CMsgShowInterface));
}

// Names in the export directory of a loaded module.
std::set<std::string> ExportNames(HMODULE hModule)
{
    std::set<std::string> names;
    auto *pBase = reinterpret_cast<const BYTE *>(hModule);
    auto *pDos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase);
    auto *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0)
        return names;
    auto *pExports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(pBase + dir.VirtualAddress);
    auto *pNames = reinterpret_cast<const DWORD *>(pBase + pExports->AddressOfNames);
    for (DWORD i = 0; i < pExports->NumberOfNames; ++i)
        names.insert(reinterpret_cast<const char *>(pBase + pNames[i]));
    // Exports by ordinal only would not have names: they count too.
    if (pExports->NumberOfFunctions != pExports->NumberOfNames)
        names.insert("<by ordinal>");
    return names;
}

TEST(SendrowExports, AreExactlyTheFactoryPair)
{
    Sendrow sendrow;
    ASSERT_NE(nullptr, sendrow.Module());
    EXPECT_EQ((std::set<std::string>{"CeiDestroyObject", "CeiGetObject"}),
              ExportNames(sendrow.Module()));
}

TEST(SendrowResources, HoldTheBoxAndBothIcons)
{
    Sendrow sendrow;
    ASSERT_NE(nullptr, sendrow.Module());
    EXPECT_NE(nullptr, FindResourceW(sendrow.Module(), MAKEINTRESOURCEW(IDD_MSG_DIALOG),
                                     MAKEINTRESOURCEW(5) /* RT_DIALOG */));
    for (int nIcon : {IDI_SENDROW, IDI_NOTICE})
        EXPECT_NE(nullptr, LoadIconW(sendrow.Module(), MAKEINTRESOURCEW(nIcon))) << nIcon;
}

}  // namespace
