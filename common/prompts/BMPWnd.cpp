// BMPWnd.cpp
#include "BMPWnd.h"

#include <cstdio>
#include <cstring>

#include "TraceWriter.h"

namespace {

typedef BOOL(WINAPI *PFN_SetLayeredWindowAttributes)(HWND, COLORREF, BYTE, DWORD);

const BYTE kAlpha = 220;

HBITMAP LoadBitmapFile(const char *pszFileName)
{
    return static_cast<HBITMAP>(LoadImageA(nullptr, pszFileName, IMAGE_BITMAP, 0, 0,
                                           LR_LOADFROMFILE | LR_CREATEDIBSECTION));
}

}  // namespace

CBMPWnd::CBMPWnd()
{
    std::memset(m_szFileName, 0, sizeof(m_szFileName));
}

CBMPWnd::~CBMPWnd() {}

RECT CBMPWnd::CenteredRect(int cxBitmap, int cyBitmap, int cxScreen, int cyScreen)
{
    RECT rc;
    rc.left = cxScreen / 2 - cxBitmap / 2;
    rc.top = cyScreen / 2 - cyBitmap / 2;
    rc.right = cxBitmap / 2 + cxScreen / 2;
    rc.bottom = cyBitmap / 2 + cyScreen / 2;
    return rc;
}

int CBMPWnd::CreateBMPWnd(const char *pszFileName)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CBMPWnd", "CreateBMPWnd");
    int nResult = 0;
    try {
        if (pszFileName == nullptr) {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                        " CBMPWnd::CreateBMPWnd pszFileName==NULL");
        } else if (HBITMAP hBitmap = LoadBitmapFile(pszFileName)) {
            BITMAP bm = {};
            GetObjectA(hBitmap, sizeof(bm), &bm);
            // Only the size is needed here; painting loads the file again.
            DeleteObject(hBitmap);
            RECT rc = CenteredRect(bm.bmWidth, bm.bmHeight, GetSystemMetrics(SM_CXSCREEN),
                                   GetSystemMetrics(SM_CYSCREEN));

            pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                        " CBMPWnd::CreateBMPWnd CreateEx");
            if (!CreateEx(WS_EX_TRANSPARENT, nullptr, "KQSIGNWnd", WS_CHILD, rc,
                          GetDesktopWindow(), 0)) {
                pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            " CBMPWnd::CreateBMPWnd CreateEx Failed");
            } else {
                pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            " CBMPWnd::CreateBMPWnd SetWindowLong");
                LONG lExStyle = GetWindowLongA(m_hWnd, GWL_EXSTYLE);
                SetWindowLongA(m_hWnd, GWL_EXSTYLE, (lExStyle ^ WS_EX_LAYERED) | WS_EX_TOOLWINDOW);
                // Looked up at run time, as older systems lack it.
                HMODULE hUser32 = GetModuleHandleA("User32.DLL");
                PFN_SetLayeredWindowAttributes pfnSetLayered =
                    hUser32 == nullptr
                        ? nullptr
                        : reinterpret_cast<PFN_SetLayeredWindowAttributes>(reinterpret_cast<void *>(
                              GetProcAddress(hUser32, "SetLayeredWindowAttributes")));
                if (pfnSetLayered != nullptr)
                    pfnSetLayered(m_hWnd, 0, kAlpha, LWA_ALPHA);

                pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            " CBMPWnd::CreateBMPWnd SetWindowPos");
                SetWindowPos(m_hWnd, HWND_TOPMOST, rc.left, rc.top, rc.right - rc.left,
                             rc.bottom - rc.top, SWP_SHOWWINDOW);
                std::snprintf(m_szFileName, sizeof(m_szFileName), "%s", pszFileName);
                nResult = 1;
            }
        } else {
            pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                        " CBMPWnd::CreateBMPWnd LoadImage [%s] Failed", pszFileName);
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "CBMPWnd::CreateBMPWnd");
        nResult = 0;
    }
    pTrace->Leave(TRACE_MODULE_CSP, "CBMPWnd", "CreateBMPWnd");
    return nResult;
}

void CBMPWnd::ShowBMPWnd()
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, "CBMPWnd", "ShowBMPWnd");
    try {
        if (m_hWnd != nullptr) {
            RECT rc;
            GetClientRect(m_hWnd, &rc);
            HDC hdc = GetDC(m_hWnd);
            HDC hdcPicture = CreateCompatibleDC(hdc);
            HDC hdcBuffer = CreateCompatibleDC(hdc);
            HBITMAP hBuffer = CreateCompatibleBitmap(hdc, rc.right, rc.bottom);
            HGDIOBJ hOldBuffer = SelectObject(hdcBuffer, hBuffer);
            HBITMAP hBitmap = LoadBitmapFile(m_szFileName);
            if (hBitmap == nullptr) {
                pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                            " CBMPWnd::CreateBMPWnd LoadImage hbitmap == NULL,GetLastError=[%d]",
                            static_cast<int>(GetLastError()));
            } else {
                HGDIOBJ hOldPicture = SelectObject(hdcPicture, hBitmap);
                BitBlt(hdcBuffer, 0, 0, rc.right, rc.bottom, hdcPicture, 0, 0, SRCCOPY);
                BitBlt(hdc, 0, 0, rc.right, rc.bottom, hdcBuffer, 0, 0, SRCCOPY);
                SelectObject(hdcPicture, hOldPicture);
                DeleteObject(hBitmap);
            }
            SelectObject(hdcBuffer, hOldBuffer);
            DeleteObject(hBuffer);
            DeleteDC(hdcBuffer);
            DeleteDC(hdcPicture);
            ReleaseDC(m_hWnd, hdc);
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "CBMPWnd::ShowBMPWnd");
    }
    pTrace->Leave(TRACE_MODULE_CSP, "CBMPWnd", "ShowBMPWnd");
}
