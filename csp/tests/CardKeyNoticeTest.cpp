// CardKeyNoticeTest.cpp
//
// Writing a certificate to a card key: the containers left on the token and
// the WM_COPYDATA notice to a window titled as the key manager's receiver,
// made here on a thread of its own. A receiver that never answers must not
// hold up the writer.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "CardKeyFixture.h"
#include "CaseName.h"

namespace {

// What the answering receiver was sent.
struct Notice {
    int nCount = 0;
    WPARAM wParam = 0;
    ULONG_PTR dwData = 0;
    DWORD cbData = 0;
    std::string strData;
};
Notice g_notice;

LRESULT CALLBACK AnsweringProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COPYDATA) {
        const COPYDATASTRUCT *pCds = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        ++g_notice.nCount;
        g_notice.wParam = wParam;
        g_notice.dwData = pCds->dwData;
        g_notice.cbData = pCds->cbData;
        g_notice.strData.assign(static_cast<const char *>(pCds->lpData), pCds->cbData);
        return TRUE;
    }
    if (uMsg == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// The hung receiver's thread never reads its messages while the test runs,
// so this sees nothing it could misread.
LRESULT CALLBACK HungProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

HWND MakeReceiver(const char *pszClass, WNDPROC pfnProc)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = pfnProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = pszClass;
    RegisterClassA(&wc);
    return CreateWindowExA(0, pszClass, PAVREL_NOTICE_WINDOW, WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, wc.hInstance, nullptr);
}

// A receiver window on its own thread: answering (a message loop) or hung
// (waits for the test to let it go, reading nothing).
class Receiver {
public:
    explicit Receiver(bool bHung)
        : m_hReady(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_hRelease(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, bHung] {
            m_hWnd = bHung ? MakeReceiver("PavrelTestHungReceiver", &HungProc)
                           : MakeReceiver("PavrelTestReceiver", &AnsweringProc);
            SetEvent(m_hReady);
            if (m_hWnd == nullptr)
                return;
            if (bHung) {
                WaitForSingleObject(m_hRelease, INFINITE);
                DestroyWindow(m_hWnd);
                return;
            }
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                DispatchMessageA(&msg);
        });
        WaitForSingleObject(m_hReady, INFINITE);
    }
    ~Receiver()
    {
        if (m_hWnd)
            PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
        SetEvent(m_hRelease);
        m_thread.join();
        CloseHandle(m_hReady);
        CloseHandle(m_hRelease);
    }
    HWND Window() const { return m_hWnd; }

private:
    HANDLE m_hReady;
    HANDLE m_hRelease;
    HWND m_hWnd = nullptr;
    std::thread m_thread;
};

const char kDefault[] = "Kavru USB Key CSP DefaultContext";

enum ReceiverKind { NONE, ANSWERING, HUNG };

struct NoticeCase {
    const char *pszName;
    ReceiverKind receiver;
    std::vector<std::string> containers;
    std::vector<std::string> deleted;
    // The container of the key that gets the certificate.
    std::string strKey = "B";
};

class CertificateNotice : public CardKeyFixture,
                          public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(CertificateNotice, WrittenOthersDeletedKeyManagerTold)
{
    const NoticeCase &c = GetParam();
    g_notice = Notice();
    m_pCard->vecContainers = c.containers;
    Pavrel_Key *pRaw = nullptr;
    ASSERT_EQ(0u, Pavrel_Key::getUserKey(AT_SIGNATURE, m_pAccess, c.strKey.c_str(), &pRaw));
    std::unique_ptr<Pavrel_Key> pKey(pRaw);
    const std::vector<BYTE> cert = {0x30, 0x82, 0x00, 0x01, 0x05};

    std::unique_ptr<Receiver> pReceiver;
    if (c.receiver != NONE) {
        pReceiver.reset(new Receiver(c.receiver == HUNG));
        ASSERT_NE(nullptr, pReceiver->Window()) << "the test needs windows (an X server)";
    }
    EXPECT_EQ(0u, static_cast<Pavrel_RSAKeyInCard *>(pKey.get())
                      ->setCertificate(cert.data(), static_cast<DWORD>(cert.size()), 0));
    pReceiver.reset();

    EXPECT_EQ(1, m_pCard->nCertWrites);
    EXPECT_EQ(cert, m_pCard->vecCertificate);
    EXPECT_EQ(c.deleted, m_pCard->vecDeleted);
    if (c.receiver == ANSWERING) {
        EXPECT_EQ(1, g_notice.nCount);
        EXPECT_EQ(0u, g_notice.wParam);
        EXPECT_EQ(1u, g_notice.dwData);
        EXPECT_EQ(m_pCard->strDevicePath.size() + 1, g_notice.cbData);
        EXPECT_EQ(m_pCard->strDevicePath + '\0', g_notice.strData);
    } else {
        EXPECT_EQ(0, g_notice.nCount);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, CertificateNotice,
    ::testing::Values(NoticeCase{"KeyManagerRunning", ANSWERING, {"A", "B", kDefault}, {"A"}},
                      NoticeCase{"NamesComparedWithoutCase",
                                 ANSWERING,
                                 {"b", "KAVRU USB KEY CSP DEFAULTCONTEXT", "C", "A"},
                                 {"C", "A"}},
                      NoticeCase{"NoKeyManager", NONE, {"A", "B"}, {"A"}},
                      NoticeCase{"KeyManagerHung", HUNG, {"B", kDefault}, {}},
                      // A name that fills its whole field (no NUL on the token)
                      // is still the key's own container, and stays.
                      NoticeCase{"KeyNameFillsItsField",
                                 NONE,
                                 {std::string(260, 'F'), "A"},
                                 {"A"},
                                 std::string(260, 'F')}),
    CaseName());

}  // namespace
