// PromptsTest.cpp
//
// The picture prompt and the prompt sound under Wine and a private X server.
// Each test runs in a folder of its own holding a copy of a stand-in
// "Pavrel.dll" (loaded, so the prompts read that folder's configuration),
// the configuration file, a generated bitmap and a generated sound; nothing
// is written beside the test program, where other programs run in parallel.
// Windows are looked for among this process's own, as the wineserver (and so
// FindWindow) is shared with every other test program.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BMPThread.h"
#include "BMPWnd.h"
#include "CaseName.h"
#include "PromptConfig.h"
#include "PromptFiles.h"
#include "SoundThread.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

const int kBitmapWidth = 100;
const int kBitmapHeight = 60;
// The bitmap's one colour, as GetPixel reports it.
const COLORREF kBitmapColour = RGB(0x20, 0x80, 0xE0);
// Bounds for waiting on the other thread; none of them is asserted as a time.
const DWORD kWaitMs = 5000;

bool WaitUntil(const std::function<bool()> &fnDone) { return WaitUntilTrue(fnDone, kWaitMs); }

// This process's "KQSIGNWnd", or null.
HWND FindPromptWindow() { return FindOwnWindow("KQSIGNWnd"); }

bool TraceHas(const TraceCapture &capture, const std::string &strText)
{
    return capture.Has(strText);
}
bool TraceHasPrefix(const TraceCapture &capture, const std::string &strPrefix)
{
    for (const TraceRecord &record : capture.Records())
        if (record.Text().compare(0, strPrefix.size(), strPrefix) == 0)
            return true;
    return false;
}

// The worker hook: counts calls, remembers the worker, and holds it until
// released when asked to.
std::atomic<int> g_nHookCalls{0};
std::atomic<DWORD> g_dwWorker{0};
HANDLE g_hRelease = nullptr;  // null: do not hold

void BeforeCreate()
{
    g_dwWorker = GetCurrentThreadId();
    ++g_nHookCalls;
    if (g_hRelease != nullptr)
        WaitForSingleObject(g_hRelease, kWaitMs);
}

// A folder of the test's own with the stand-in CSP loaded from it.
class PromptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int s_nFolder = 0;
        m_strDir = TestBinDir() + "prompts-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(++s_nFolder);
        ASSERT_TRUE(CreateDirectoryA(m_strDir.c_str(), nullptr)) << m_strDir;
        const std::string strDll = Path("Pavrel.dll");
        ASSERT_TRUE(CopyFileA(TestBinPath("prompts-fixture\\Pavrel.dll").c_str(), strDll.c_str(),
                              FALSE));
        m_hPavrel = LoadLibraryA(strDll.c_str());
        ASSERT_NE(nullptr, m_hPavrel);
        m_strBitmap = Path("KQVerifyPin.bmp");
        WriteFileBytes(m_strBitmap, SolidBitmap(kBitmapWidth, kBitmapHeight, kBitmapColour));
        m_strWave = Path("KQVerifyPin.wav");
        WriteFileBytes(m_strWave, ShortWave());
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        g_nHookCalls = 0;
        g_dwWorker = 0;
        CBMPThread::SetBeforeCreateHook(BeforeCreate);
    }

    void TearDown() override
    {
        CBMPThread::SetBeforeCreateHook(nullptr);
        if (g_hRelease != nullptr) {
            SetEvent(g_hRelease);
            CloseHandle(g_hRelease);
            g_hRelease = nullptr;
        }
        // A worker left behind would make the next test's window checks lie.
        EXPECT_TRUE(WaitUntil([] { return FindPromptWindow() == nullptr; }));
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        if (m_hPavrel != nullptr)
            FreeLibrary(m_hPavrel);
        for (const char *pszName : {"Pavrel.dll", "KQUKeyConfig.ini", "KQVerifyPin.bmp",
                                    "KQVerifyPin.wav"})
            DeleteFileA(Path(pszName).c_str());
        RemoveDirectoryA(m_strDir.c_str());
    }

    std::string Path(const char *pszName) const { return m_strDir + "\\" + pszName; }

    // Writes the configuration; a null text removes the file.
    void Configure(const char *pszText)
    {
        const std::string strIni = Path("KQUKeyConfig.ini");
        if (pszText == nullptr) {
            DeleteFileA(strIni.c_str());
            return;
        }
        std::string strText(pszText);
        WriteFileBytes(strIni, std::vector<uint8_t>(strText.begin(), strText.end()));
    }

    // Waits (bounded) for the worker the hook saw to end. False if it did
    // not, or if no worker ever ran.
    static bool WorkerEnds()
    {
        if (g_dwWorker == 0)
            return false;
        HANDLE hThread = OpenThread(SYNCHRONIZE, FALSE, g_dwWorker);
        if (hThread == nullptr)
            return true;  // already gone
        DWORD dwWait = WaitForSingleObject(hThread, kWaitMs);
        CloseHandle(hThread);
        return dwWait == WAIT_OBJECT_0;
    }

    TraceCapture m_capture;
    std::string m_strDir;
    HMODULE m_hPavrel = nullptr;
    std::string m_strBitmap;
    std::string m_strWave;
};

// ---- configuration lookup

TEST(PromptConfigPath, WithoutTheCspTheProgramFolderIsUsed)
{
    ASSERT_EQ(nullptr, GetModuleHandleA("Pavrel.dll"));
    EXPECT_EQ(TestBinDir() + "KQUKeyConfig.ini", KQPromptConfigPath());
}

TEST_F(PromptTest, WithTheCspLoadedItsFolderIsUsed)
{
    EXPECT_EQ(Path("KQUKeyConfig.ini"), KQPromptConfigPath());
}

struct PathCase {
    const char *pszName;
    const char *pszModule;
    const char *pszExpected;
};

const PathCase PATH_CASES[] = {
    {"Backslashes", "C:\\Program Files\\Kavru\\Pavrel.dll",
     "C:\\Program Files\\Kavru\\KQUKeyConfig.ini"},
    {"Slashes", "C:/kavru/bin/Corlisk.exe", "C:/kavru/bin\\KQUKeyConfig.ini"},
    {"DriveRoot", "D:\\app.exe", "D:\\KQUKeyConfig.ini"},
    {"NoFolder", "app.exe", "\\KQUKeyConfig.ini"},
};

class PromptConfigPathFor : public ::testing::TestWithParam<PathCase> {};

TEST_P(PromptConfigPathFor, FolderWithoutItsTrailingSeparatorThenTheName)
{
    EXPECT_EQ(GetParam().pszExpected, KQPromptConfigPathFor(GetParam().pszModule));
}

INSTANTIATE_TEST_SUITE_P(Paths, PromptConfigPathFor, ::testing::ValuesIn(PATH_CASES), CaseName());

// ---- window placement

struct RectCase {
    const char *pszName;
    int cx, cy, cxScreen, cyScreen;
    RECT expected;
};

const RectCase RECT_CASES[] = {
    {"FullHd", 100, 60, 1920, 1080, {910, 510, 1010, 570}},
    {"Xga", 100, 60, 1024, 768, {462, 354, 562, 414}},
    {"OddSizeHalvesRoundDown", 101, 61, 1025, 769, {462, 354, 562, 414}},
};

class CenteredRect : public ::testing::TestWithParam<RectCase> {};

TEST_P(CenteredRect, IsTheScreenMiddle)
{
    const RectCase &c = GetParam();
    RECT rc = CBMPWnd::CenteredRect(c.cx, c.cy, c.cxScreen, c.cyScreen);
    EXPECT_EQ(c.expected.left, rc.left);
    EXPECT_EQ(c.expected.top, rc.top);
    EXPECT_EQ(c.expected.right, rc.right);
    EXPECT_EQ(c.expected.bottom, rc.bottom);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CenteredRect, ::testing::ValuesIn(RECT_CASES), CaseName());

// ---- nothing shown

struct QuietCase {
    const char *pszName;
    const char *pszConfig;  // null: no file
    bool bNullPath;
    const char *pszPath;    // beside the test's folder; used unless bNullPath
    int nExpected;
};

const QuietCase QUIET_CASES[] = {
    {"NoConfigFile", nullptr, false, "KQVerifyPin.bmp", 1},
    {"NoNoticeKey", "[NOTICE]\r\nPlaySound=1\r\n", false, "KQVerifyPin.bmp", 1},
    {"SettingZero", "[NOTICE]\r\nShowBitmap=0\r\n", false, "KQVerifyPin.bmp", 1},
    {"SettingTwo", "[NOTICE]\r\nShowBitmap=2\r\n", false, "KQVerifyPin.bmp", 1},
    {"OtherSection", "[OTHER]\r\nShowBitmap=1\r\n", false, "KQVerifyPin.bmp", 1},
    {"OffAndNullPath", nullptr, true, "", 1},
    {"EmptyPath", "[NOTICE]\r\nShowBitmap=1\r\n", false, "", 0},
    {"NullPath", "[NOTICE]\r\nShowBitmap=1\r\n", true, "", 0},
};

class PromptQuiet : public PromptTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(PromptQuiet, NoWorkerNoWindow)
{
    const QuietCase &c = GetParam();
    Configure(c.pszConfig);
    std::string strPath = *c.pszPath ? Path(c.pszPath) : std::string();
    {
        CBMPThread prompt;
        EXPECT_EQ(c.nExpected, prompt.ShowBMPWnd(c.bNullPath ? nullptr : strPath.c_str()));
        EXPECT_EQ(nullptr, FindPromptWindow());
        EXPECT_EQ(1, prompt.HideBMPWnd());
    }
    EXPECT_EQ(0, g_nHookCalls.load());
}

INSTANTIATE_TEST_SUITE_P(Settings, PromptQuiet, ::testing::ValuesIn(QUIET_CASES), CaseName());

// ---- the window

TEST_F(PromptTest, WindowIsTopmostLayeredCentredAndShowsTheBitmap)
{
    Configure("[NOTICE]\r\nShowBitmap=1\r\n");
    CBMPThread prompt;
    ASSERT_EQ(1, prompt.ShowBMPWnd(m_strBitmap.c_str()));
    // The worker creates the window, then styles, places and shows it: wait
    // for the finished window.
    HWND hWnd = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        hWnd = FindPromptWindow();
        return hWnd != nullptr && IsWindowVisible(hWnd) &&
               (GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    }));

    EXPECT_NE(GetCurrentThreadId(), GetWindowThreadProcessId(hWnd, nullptr));
    EXPECT_TRUE(IsWindowVisible(hWnd));
    const LONG lExStyle = GetWindowLongA(hWnd, GWL_EXSTYLE);
    EXPECT_TRUE(lExStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(lExStyle & WS_EX_LAYERED);
    EXPECT_TRUE(lExStyle & WS_EX_TOOLWINDOW);
    BYTE bAlpha = 0;
    DWORD dwFlags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(hWnd, nullptr, &bAlpha, &dwFlags));
    EXPECT_EQ(220, bAlpha);
    EXPECT_TRUE(dwFlags & LWA_ALPHA);

    RECT rcExpected = CBMPWnd::CenteredRect(kBitmapWidth, kBitmapHeight,
                                            GetSystemMetrics(SM_CXSCREEN),
                                            GetSystemMetrics(SM_CYSCREEN));
    RECT rc;
    GetWindowRect(hWnd, &rc);
    EXPECT_EQ(rcExpected.left, rc.left);
    EXPECT_EQ(rcExpected.top, rc.top);
    EXPECT_EQ(rcExpected.right, rc.right);
    EXPECT_EQ(rcExpected.bottom, rc.bottom);

    // The window paints on its own thread: wait (bounded) for the picture.
    HDC hdc = GetDC(hWnd);
    EXPECT_TRUE(WaitUntil([&] {
        return GetPixel(hdc, kBitmapWidth / 2, kBitmapHeight / 2) == kBitmapColour &&
               GetPixel(hdc, 1, 1) == kBitmapColour;
    }));
    ReleaseDC(hWnd, hdc);

    EXPECT_EQ(1, prompt.HideBMPWnd());
    // The worker takes the window down before it reports inactive; on a
    // loaded machine the hide's own bounded wait may end first, so the
    // window must then go by itself.
    if (TraceHas(m_capture, "CBMPThread::HideBMPWnd detect THREAD_STATUS_INACTIVE"))
        EXPECT_EQ(nullptr, FindPromptWindow());
    else
        EXPECT_TRUE(WaitUntil([] { return FindPromptWindow() == nullptr; }));
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(1, prompt.HideBMPWnd());
    EXPECT_TRUE(TraceHas(m_capture, "CBMPThread::HideBMPWnd Thread Status Already INACTIVE"));
}

// How a shown prompt is ended, and whether the window is held back until then.
enum class Ending { Hide, Destroy, SwitchOffThenHide, ShowAgainThenHide };

struct EndCase {
    const char *pszName;
    bool bHoldCreation;
    Ending ending;
};

const EndCase END_CASES[] = {
    {"Hide", false, Ending::Hide},
    {"Destroy", false, Ending::Destroy},
    {"SwitchedOffBeforeHide", false, Ending::SwitchOffThenHide},
    {"ShownTwice", false, Ending::ShowAgainThenHide},
    {"HideBeforeSlowWindow", true, Ending::Hide},
    {"DestroyBeforeSlowWindow", true, Ending::Destroy},
};

class PromptEnd : public PromptTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(PromptEnd, WindowAlwaysGoes)
{
    const EndCase &c = GetParam();
    Configure("[NOTICE]\r\nShowBitmap=1\r\n");
    if (c.bHoldCreation)
        g_hRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    CBMPThread *pPrompt = new CBMPThread;
    ASSERT_EQ(1, pPrompt->ShowBMPWnd(m_strBitmap.c_str()));
    if (c.bHoldCreation) {
        EXPECT_TRUE(TraceHas(m_capture, "CBMPThread::ShowBMPWnd Detect THREAD_STATUS_ACTIVE Timeout"));
        EXPECT_EQ(nullptr, FindPromptWindow());
    } else {
        ASSERT_TRUE(WaitUntil([] { return FindPromptWindow() != nullptr; }));
    }

    DWORD dwFirstWorker = g_dwWorker;
    switch (c.ending) {
    case Ending::Hide:
        EXPECT_EQ(1, pPrompt->HideBMPWnd());
        break;
    case Ending::Destroy:
        break;
    case Ending::SwitchOffThenHide:
        Configure("[NOTICE]\r\nShowBitmap=0\r\n");
        EXPECT_EQ(1, pPrompt->HideBMPWnd());
        break;
    case Ending::ShowAgainThenHide:
        ASSERT_EQ(1, pPrompt->ShowBMPWnd(m_strBitmap.c_str()));
        EXPECT_NE(dwFirstWorker, g_dwWorker.load());
        {
            // The first worker's window went before the second came up.
            DWORD dwSecondWorker = g_dwWorker;
            g_dwWorker = dwFirstWorker;
            EXPECT_TRUE(WorkerEnds());
            g_dwWorker = dwSecondWorker;
        }
        EXPECT_EQ(1, pPrompt->HideBMPWnd());
        break;
    }
    // Destroying also ends a held worker's object while the worker still
    // needs the shared state.
    delete pPrompt;

    if (c.bHoldCreation)
        SetEvent(g_hRelease);
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(nullptr, FindPromptWindow());
}

INSTANTIATE_TEST_SUITE_P(Endings, PromptEnd, ::testing::ValuesIn(END_CASES), CaseName());

TEST_F(PromptTest, MissingBitmapStillReportsActiveAndHides)
{
    Configure("[NOTICE]\r\nShowBitmap=1\r\n");
    const std::string strMissing = Path("NoSuch.bmp");
    CBMPThread prompt;
    EXPECT_EQ(1, prompt.ShowBMPWnd(strMissing.c_str()));
    EXPECT_EQ(nullptr, FindPromptWindow());
    EXPECT_EQ(1, prompt.HideBMPWnd());
    EXPECT_TRUE(TraceHas(m_capture, " CBMPWnd::CreateBMPWnd LoadImage [" + strMissing + "] Failed"));
    EXPECT_TRUE(TraceHas(m_capture, "CBMPThread::HideBMPWnd detect THREAD_STATUS_INACTIVE"));
    EXPECT_TRUE(WorkerEnds());
}

TEST_F(PromptTest, CreateBMPWndWithNullPathIsTracedAndFails)
{
    CBMPWnd wnd;
    EXPECT_EQ(0, wnd.CreateBMPWnd(nullptr));
    EXPECT_EQ(nullptr, wnd.GetSafeHwnd());
    EXPECT_TRUE(TraceHas(m_capture, " CBMPWnd::CreateBMPWnd pszFileName==NULL"));
}

// ---- the sound

struct SoundOffCase {
    const char *pszName;
    const char *pszConfig;
};

const SoundOffCase SOUND_OFF_CASES[] = {
    {"NoConfigFile", nullptr},
    {"SettingZero", "[NOTICE]\r\nPlaySound=0\r\n"},
    {"OnlyBitmapOn", "[NOTICE]\r\nShowBitmap=1\r\n"},
};

class SoundOff : public PromptTest, public ::testing::WithParamInterface<SoundOffCase> {};

TEST_P(SoundOff, SucceedsWithoutPlaying)
{
    Configure(GetParam().pszConfig);
    CSoundThread sound;
    EXPECT_EQ(0, CSoundThread::IsPlaySound());
    EXPECT_EQ(1, sound.Play(m_strWave.c_str()));
    EXPECT_EQ(1, sound.Stop());
    EXPECT_FALSE(TraceHasPrefix(m_capture, "CSoundThread::Play sndPlaySound"));
    EXPECT_FALSE(TraceHasPrefix(m_capture, "CSoundThread::Stop sndPlaySound"));
}

INSTANTIATE_TEST_SUITE_P(Settings, SoundOff, ::testing::ValuesIn(SOUND_OFF_CASES), CaseName());

struct NullSoundCase {
    const char *pszName;
    const char *pszConfig;
};

const NullSoundCase NULL_SOUND_CASES[] = {
    {"SettingOn", "[NOTICE]\r\nPlaySound=1\r\n"},
    {"SettingOff", nullptr},
};

class SoundNullPath : public PromptTest, public ::testing::WithParamInterface<NullSoundCase> {};

TEST_P(SoundNullPath, ReturnsZeroAndIsTraced)
{
    Configure(GetParam().pszConfig);
    CSoundThread sound;
    EXPECT_EQ(0, sound.Play(nullptr));
    EXPECT_TRUE(TraceHas(m_capture, "CSoundThread::Play pFileName==NULL"));
}

INSTANTIATE_TEST_SUITE_P(Settings, SoundNullPath, ::testing::ValuesIn(NULL_SOUND_CASES),
                         CaseName());

TEST_F(PromptTest, SoundOnPlaysAndStopsThroughWinmm)
{
    Configure("[NOTICE]\r\nPlaySound=1\r\n");
    CSoundThread sound;
    EXPECT_EQ(1, CSoundThread::IsPlaySound());
    const int nPlayed = sound.Play(m_strWave.c_str());
    EXPECT_TRUE(TraceHas(m_capture, "CSoundThread::Play sndPlaySound pFileName=[" + m_strWave + "]"));
    // What winmm answers here, whether or not this machine has audio.
    const int nDirect = sndPlaySoundA(m_strWave.c_str(), SND_ASYNC) ? 1 : 0;
    EXPECT_EQ(nDirect, nPlayed ? 1 : 0);
    EXPECT_EQ(nPlayed == 0, TraceHasPrefix(m_capture, "CSoundThread::Play sndPlaySound Failed,GetLastError=["));

    const int nStopped = sound.Stop();
    const int nDirectStop = sndPlaySoundA(nullptr, 0) ? 1 : 0;
    EXPECT_EQ(nDirectStop, nStopped ? 1 : 0);
    EXPECT_EQ(nStopped == 0, TraceHasPrefix(m_capture, "CSoundThread::Stop sndPlaySound Failed,GetLastError=["));
}

}  // namespace
