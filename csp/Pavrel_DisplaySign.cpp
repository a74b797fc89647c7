// Pavrel_DisplaySign.cpp
#include "Pavrel_DisplaySign.h"

#include <cstdio>
#include <cstring>

#include "BMPThread.h"
#include "KQCardBase.h"
#include "Pavrel_CardAccess.h"
#include "Pavrel_Hash.h"
#include "PromptConfig.h"
#include "SoundThread.h"
#include "TraceWriter.h"
#include "XmlAnsiCodePage.h"

namespace {

const char kClass[] = "Pavrel_DisplaySign";
// The token renders GBK, whatever the PC's ANSI code page.
const UINT kTokenCodePage = 936;
const DWORD kDefaultWaitTime = 30000;
const int kLogoDelayMs = 3000;

Pavrel_DisplaySign::PFN_TICKS g_pfnTicks = nullptr;

DWORD Ticks() { return g_pfnTicks ? g_pfnTicks() : GetTickCount(); }

#define TRACE_CSP(level, ...) \
    CTraceWriter::GetInstance()->Log(level, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)

// The named mutex, opened or else made (not owned); null when neither works.
HANDLE OpenOrCreateMutex(const std::string &strName)
{
    HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, strName.c_str());
    if (hMutex == nullptr)
        hMutex = CreateMutexA(nullptr, FALSE, strName.c_str());
    return hMutex;
}

// The bitmap and the sound while the user decides; stopped once, at the
// latest when the dialogue is left on any path.
class CSignPrompts {
public:
    CSignPrompts(const char *pszBitmapPath, const char *pszSoundPath) : m_bRunning(true)
    {
        m_bmp.ShowBMPWnd(pszBitmapPath);
        m_sound.Play(pszSoundPath);
    }
    ~CSignPrompts() { Stop(); }
    void Stop()
    {
        if (!m_bRunning)
            return;
        m_bRunning = false;
        m_bmp.HideBMPWnd();
        m_sound.Stop();
    }

private:
    CBMPThread m_bmp;
    CSoundThread m_sound;
    bool m_bRunning;
};

}  // namespace

Pavrel_DisplaySign::CDisplayMutex::CDisplayMutex(HANDLE hMutex) : m_hMutex(hMutex), m_bOwned(false)
{
    if (m_hMutex == nullptr)
        return;
    // An owner that died holding the mutex left it to this thread.
    const DWORD dwWait = WaitForSingleObject(m_hMutex, INFINITE);
    m_bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
}

Pavrel_DisplaySign::CDisplayMutex::~CDisplayMutex()
{
    if (m_hMutex == nullptr)
        return;
    if (m_bOwned)
        ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
}

Pavrel_DisplaySign::Pavrel_DisplaySign() : m_hMutex(nullptr), m_dwWaitTime(kDefaultWaitTime)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, kClass, "Pavrel_DisplaySign");
    m_szBitmapPath[0] = '\0';
    m_szSoundPath[0] = '\0';
    try {
        const std::string strFolder = KQPromptModuleFolder();
        std::snprintf(m_szBitmapPath, sizeof(m_szBitmapPath), "%s\\KQSign.bmp", strFolder.c_str());
        std::snprintf(m_szSoundPath, sizeof(m_szSoundPath), "%s\\KQSign.wav", strFolder.c_str());
        char szConfig[260] = {0};
        std::snprintf(szConfig, sizeof(szConfig), "%s\\KQUKeyConfig.ini", strFolder.c_str());
        m_dwWaitTime = GetPrivateProfileIntA("SIGN", "WaitTime", kDefaultWaitTime, szConfig);
        TRACE_CSP(TRACE_LEVEL_INFO, "Pavrel_DisplaySign::Pavrel_DisplaySign m_dwWaitTime=[%d]",
                  static_cast<int>(m_dwWaitTime));
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_DisplaySign::Pavrel_DisplaySign");
    }
    pTrace->Leave(TRACE_MODULE_CSP, kClass, "Pavrel_DisplaySign");
}

Pavrel_DisplaySign::~Pavrel_DisplaySign() {}

void Pavrel_DisplaySign::setTickSource(PFN_TICKS pfnTicks) { g_pfnTicks = pfnTicks; }

std::string Pavrel_DisplaySign::DeviceMutexName(const char *pszPrefix,
                                                const std::string &strDevicePath)
{
    std::string strName = std::string(pszPrefix) + strDevicePath;
    for (char &c : strName) {
        if (c == '\\')
            c = '_';
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return strName;
}

int Pavrel_DisplaySign::DisplaySign(Pavrel_Hash *pHash, Pavrel_CardAccess *pCardAccess)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, kClass, "DisplaySign");
    try {
        if (pCardAccess == nullptr) {
            TRACE_CSP(TRACE_LEVEL_ARGS, "Pavrel_DisplaySign::DisplaySign pCardAccess==NULL");
            return SIGN_FAILED;
        }
        // The token that signed, by the path its card object is bound to:
        // the device name may be empty or name no token in particular.
        char szDevicePath[260] = {0};
        if (!pCardAccess->GetDevicePath(szDevicePath, sizeof(szDevicePath)) ||
            szDevicePath[0] == '\0') {
            TRACE_CSP(TRACE_LEVEL_ERROR, "Pavrel_DisplaySign::DisplaySign GetDevicePath Failed");
            return SIGN_FAILED;
        }
        m_hMutex = OpenOrCreateMutex(DeviceMutexName("MUTEX_DISPLAYSIGN_", szDevicePath));
        CDisplayMutex displayLock(m_hMutex);
        m_hMutex = nullptr;  // the lock closes it

        std::vector<BYTE> vecBytes;
        if (pHash == nullptr || pHash->getHashedBytes(vecBytes) != 0)
            vecBytes.clear();
        SignLines vecLines;
        const bool bSecond =
            SignLinesOf(vecBytes.data(), static_cast<DWORD>(vecBytes.size()), vecLines);

        // From the first page to the final text nothing else reaches this
        // token's screen or keypad.
        CDisplayMutex deviceLock(OpenOrCreateMutex(DeviceMutexName("MUTEX_CARD_", szDevicePath)));
        const int nResult = runDialogue(pCardAccess, vecLines, bSecond);
        pTrace->Leave(TRACE_MODULE_CSP, kClass, "DisplaySign");
        return nResult;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_DisplaySign::DisplaySign");
        return SIGN_EXCEPTION;
    }
}

int Pavrel_DisplaySign::runDialogue(Pavrel_CardAccess *pCardAccess, const SignLines &vecLines,
                                    bool bSecond)
{
    CSignPrompts prompts(m_szBitmapPath, m_szSoundPath);
    int nTop = 0;
    for (;;) {
        char abPage[CSignDataLayout::PAGE_BYTES];
        bool bEarlier = false;
        bool bLater = false;
        ComposeScreenData(vecLines, nTop, abPage, &bEarlier, &bLater);
        if (pCardAccess->clearScreen() != 0 || pCardAccess->setDisplay(abPage) != 0) {
            TRACE_CSP(TRACE_LEVEL_ERROR, "Pavrel_DisplaySign::DisplaySign setDisplay Failed");
            return SIGN_FAILED;
        }
        const int nAllowed = ALLOW_ENTER | ALLOW_ESC | (bEarlier ? ALLOW_UP : 0) |
                             (bLater ? ALLOW_DOWN : 0);
        const int nKey = getKey(pCardAccess, nAllowed, m_dwWaitTime);
        if (nKey == KEY_ENTER)
            break;
        if (nKey == KEY_UP) {
            --nTop;
        } else if (nKey == KEY_DOWN) {
            ++nTop;
        } else if (nKey == KEY_ESC || nKey == KEY_TIMEOUT) {
            prompts.Stop();
            showText(pCardAccess, nKey == KEY_ESC ? CSignDataLayout::kCancelled
                                                  : CSignDataLayout::kTimedOut);
            return SIGN_CANCELLED;
        } else {
            return SIGN_FAILED;
        }
    }
    prompts.Stop();

    if (bSecond) {
        const std::string strPage = CSignDataLayout::TextPage(CSignDataLayout::kSecondConfirm);
        pCardAccess->clearScreen();
        pCardAccess->setDisplay(strPage.c_str());
        if (getKey(pCardAccess, ALLOW_ENTER | ALLOW_ESC, m_dwWaitTime) != KEY_ENTER) {
            showText(pCardAccess, CSignDataLayout::kCancelled);
            return SIGN_CANCELLED;
        }
    }
    showText(pCardAccess, CSignDataLayout::kConfirmed);
    return SIGN_CONFIRMED;
}

void Pavrel_DisplaySign::showText(Pavrel_CardAccess *pCardAccess, const char *pszText)
{
    const std::string strPage = CSignDataLayout::TextPage(pszText);
    pCardAccess->clearScreen();
    pCardAccess->setDisplay(strPage.c_str());
    pCardAccess->delayDisplayLogo(kLogoDelayMs);
}

int Pavrel_DisplaySign::getKey(Pavrel_CardAccess *pCardAccess, int nAllowed, DWORD dwWaitTime)
{
    try {
        KEYINSTART_PARAM param = {};
        param.dwSpecialMask = ((nAllowed & ALLOW_ENTER) ? 0x02u : 0u) |
                              ((nAllowed & ALLOW_ESC) ? 0x01u : 0u) |
                              ((nAllowed & ALLOW_UP) ? 0x10u : 0u) |
                              ((nAllowed & ALLOW_DOWN) ? 0x20u : 0u);
        param.dwMode = 4;
        param.pszContainer = nullptr;
        param.dwKeyKind = 0;
        param.dwReserved = 0;
        param.wMaxLen = 1;
        if (pCardAccess->KeyInStart(&param, nullptr) != 0) {
            TRACE_CSP(TRACE_LEVEL_ARGS, "Pavrel_DisplaySign::getKey KeyInStart Failed");
            return KEY_FAILED;
        }
        const DWORD dwStart = Ticks();
        for (;;) {
            if (Ticks() - dwStart >= dwWaitTime) {
                TRACE_CSP(TRACE_LEVEL_ARGS, "Pavrel_DisplaySign::getKey KeyIn Timeout");
                return KEY_TIMEOUT;
            }
            char cKey = 0;
            int nState = 0;
            if (pCardAccess->KeyIn(&cKey, &nState) != 0) {
                TRACE_CSP(TRACE_LEVEL_ARGS, "Pavrel_DisplaySign::getKey KeyIn Failed");
                return KEY_FAILED;
            }
            switch (cKey) {
            case '\r':
                return KEY_ENTER;
            case 0x1B:
                return KEY_ESC;
            case '.':
                return KEY_UP;
            case '#':
                return KEY_DOWN;
            default:
                break;  // no key yet: poll again
            }
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_DisplaySign::getKey");
        return KEY_FAILED;
    }
}

int Pavrel_DisplaySign::ArrangeSignData(CXmlDocument &doc, SignLines &vecLines)
{
    try {
        CSignDataLayout::Arrange(doc, vecLines);
        return 1;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_DisplaySign::ArrangeSignData");
        return 0;
    }
}

void Pavrel_DisplaySign::PadSignData(SignLines &vecLines) { CSignDataLayout::Pad(vecLines); }

int Pavrel_DisplaySign::ComposeScreenData(const SignLines &vecLines, int nTop, char *pPage,
                                          bool *pbEarlier, bool *pbLater)
{
    return CSignDataLayout::Compose(vecLines, nTop, pPage, pbEarlier, pbLater);
}

std::string Pavrel_DisplaySign::Utf8ToAnsi(const BYTE *pbData, DWORD dwLen)
{
    if (pbData == nullptr || dwLen == 0 || dwLen > 0x7FFFFFFF)
        return std::string();
    const char *psz = reinterpret_cast<const char *>(pbData);
    const int nLen = static_cast<int>(dwLen);
    // Bytes that are not UTF-8 give nothing to show, not a guess.
    const int cchWide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, psz, nLen, nullptr, 0);
    if (cchWide <= 0)
        return std::string();
    std::vector<WCHAR> vecWide(static_cast<size_t>(cchWide));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, psz, nLen, vecWide.data(), cchWide) !=
        cchWide)
        return std::string();
    const int cbAnsi = WideCharToMultiByte(kTokenCodePage, 0, vecWide.data(), cchWide, nullptr, 0,
                                           nullptr, nullptr);
    if (cbAnsi <= 0)
        return std::string();
    std::string strAnsi(static_cast<size_t>(cbAnsi), '\0');
    if (WideCharToMultiByte(kTokenCodePage, 0, vecWide.data(), cchWide, &strAnsi[0], cbAnsi,
                            nullptr, nullptr) != cbAnsi)
        return std::string();
    return strAnsi;
}

bool Pavrel_DisplaySign::SignLinesOf(const BYTE *pbData, DWORD dwLen, SignLines &vecLines)
{
    const std::string strText = Utf8ToAnsi(pbData, dwLen);
    const CXmlAnsiCodePage converter(kTokenCodePage);
    return CSignDataLayout::BuildLines(strText, &converter, &ArrangeSignData, vecLines);
}
