// BaseCmdPin.cpp
//
// The PIN commands of the command set: verification (with the PIN from the
// caller, from the cache, or typed on the token's keypad) and the two PIN
// changes that run entirely on the token's keypad. Every APDU that carries
// PIN bytes goes to the trace masked, and the cache is emptied after every
// completed verification so a cached PIN serves one verification at most.
//
// After a wrong PIN the message plug-in (Sendrow.dll beside this library)
// asks whether to try again; the next try is typed on the token's keypad.
#include "BaseCmd.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "BMPThread.h"
#include "BaseCmdInternal.h"
#include "HidManager.h"
#include "KQCeiAssistant.h"
#include "ModuleFolder.h"
#include "MsgShowInterface.h"
#include "ResultCodes.h"
#include "SoundThread.h"
#include "StatusWord.h"

namespace {

const DWORD kWaitPin = 5;
// SW2 of 63Cx: x tries left.
const BYTE kTriesBase = 0xC0;

// The message box texts (code page 936).
const char kCaption[] = "PIN Verify";
const char kConfirm[] = "\xC8\xB7\xC8\xCF";
const char kCancel[] = "\xC8\xA1\xCF\xFB";
const char kWrongPinFormat[] =
    "\xC4\xFA\xB5\xC4PIN\xC2\xEB\xCA\xE4\xC8\xEB\xD3\xD0\xCE\xF3\xA3\xAC\xBB\xB9\xD3\xD0%d"
    "\xB4\xCE\xBB\xFA\xBB\xE1\xA3\xAC\r\n\xC7\xEB\xBA\xCB\xB6\xD4\xBA\xF3\xD6\xD8\xD0\xC2"
    "\xCA\xE4\xC8\xEB";
const char kLockedText[] =
    "\xC4\xFA\xB5\xC4PIN\xC2\xEB\xCA\xE4\xC8\xEB\xB4\xED\xCE\xF3\xB4\xCE\xCA\xFD\xD2\xD1"
    "\xB3\xAC\xCF\xDE\xA3\xAC\xB0\xB2\xD4\xBF\xB1\xBB\xCB\xF8\xB6\xA8\xA3\xAC\r\n\xC7\xEB"
    "\xC1\xAA\xCF\xB5\xB7\xA2\xBF\xA8\xD0\xD0";

// Set by tests to a stand-in plug-in; empty: Sendrow.dll beside this module.
std::string g_strMessagePluginOverride;

// The drive and directory of this module, with its trailing separator.
std::string ModuleFolder();

// "<drive and directory of this module>Sendrow.dll".
std::string MessagePluginPath()
{
    if (!g_strMessagePluginOverride.empty())
        return g_strMessagePluginOverride;
    const std::string strFolder = ModuleFolder();
    return strFolder.empty() ? strFolder : strFolder + "Sendrow.dll";
}

std::string ModuleFolder()
{
    return KQFolderOfCode(reinterpret_cast<const void *>(&MessagePluginPath));
}

// The picture and the sound shown and played on the PC while the holder
// types the PIN on the token: "<folder>\KQVerifyPin.bmp" / ".wav".
class CKeypadPrompt {
public:
    CKeypadPrompt()
    {
        std::string strFolder = ModuleFolder();
        if (!strFolder.empty())
            strFolder.pop_back();  // no trailing separator
        m_bmp.ShowBMPWnd((strFolder + "\\KQVerifyPin.bmp").c_str());
        m_sound.Play((strFolder + "\\KQVerifyPin.wav").c_str());
    }
    // Both go as soon as the exchange returns, before the answer is judged.
    void Stop()
    {
        if (m_bStopped)
            return;
        m_bStopped = true;
        m_bmp.HideBMPWnd();
        m_sound.Stop();
    }
    ~CKeypadPrompt() { Stop(); }

private:
    CBMPThread m_bmp;
    CSoundThread m_sound;
    bool m_bStopped = false;
};

// One box of the message plug-in, loaded for it and unloaded after it. The
// answer is 2 (as if cancelled) when the plug-in or its object is missing.
int ShowPinMessage(const char *pszText, int nMode)
{
    const std::string strPath = MessagePluginPath();
    int nAnswer = MSGSHOW_SECOND_BUTTON;
    if (strPath.empty())
        return nAnswer;
    CKQCeiAssistant plugin(strPath.c_str());
    void *pObject = plugin.CreateObject();
    if (pObject == nullptr)
        return nAnswer;
    nAnswer = static_cast<CMsgShowInterface *>(pObject)->ShowMessage(kCaption, pszText, kConfirm,
                                                                       kCancel, nMode);
    plugin.DestroyObject(pObject);
    return nAnswer;
}

}  // namespace

void CBaseCmd::OverrideMessagePlugin(const char *pszPath)
{
    g_strMessagePluginOverride = pszPath != nullptr ? pszPath : "";
}

DWORD CBaseCmd::InnerVerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen,
                               BYTE *pbTriesLeft)
{
    CCmdTraceScope scope("innerVerifyPin");
    try {
        if ((pbPin == nullptr && dwPinLen > 0) || dwPinLen > CPinCache::MAX_PIN) {
            CMD_FAIL("CBaseCmd::innerVerifyPin Invalid PIN Length, dwPinLen=[%d]",
                     static_cast<int>(dwPinLen));
            return KQ_SCARD_E_INVALID_PARAMETER;
        }
        std::vector<BYTE> apdu = {0x00, 0x20, 0x01, bPinRef};
        DWORD dwWait = kWaitPin;
        if (dwPinLen > 0) {
            apdu.push_back(static_cast<BYTE>(dwPinLen));
            apdu.insert(apdu.end(), pbPin, pbPin + dwPinLen);
        } else if (m_pinCache.Length() > 0) {
            apdu.push_back(m_pinCache.Length());
            apdu.insert(apdu.end(), m_pinCache.Pin(), m_pinCache.Pin() + m_pinCache.Length());
        } else {
            // The token asks for the PIN on its own keypad; no time limit.
            apdu[2] = 0x00;
            apdu.push_back(0x00);
            dwWait = 0;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        BOOL bSent = FALSE;
        if (apdu[2] == 0x00) {
            CKeypadPrompt prompt;
            bSent = Exchange(apdu, answer, bSw1, bSw2, dwWait, HID_FLAG_SECRET_REQUEST);
            prompt.Stop();
        } else {
            bSent = Exchange(apdu, answer, bSw1, bSw2, dwWait, HID_FLAG_SECRET_REQUEST);
        }
        WipeBytes(apdu);
        if (!bSent) {
            CMD_FAIL("CBaseCmd::innerVerifyPin dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        m_pinCache.Wipe();
        if (bSw1 == 0x63) {
            if (bSw2 == 0x00) {
                CMD_FAIL("CBaseCmd::innerVerifyPin Sw1Sw2 == 63000");
                return KQ_SCARD_W_CHV_BLOCKED;
            }
            CMD_FAIL("CBaseCmd::innerVerifyPin bSw1 = 0x63, bSw2 = %d", bSw2);
            if (bSw2 < kTriesBase)
                return KQ_SCARD_E_UNEXPECTED;
            if (pbTriesLeft != nullptr)
                *pbTriesLeft = static_cast<BYTE>(bSw2 - kTriesBase);
            return bSw2 == kTriesBase ? KQ_SCARD_W_CHV_BLOCKED : KQ_SCARD_E_INVALID_CHV;
        }
        if (bSw1 == 0x69 && bSw2 == 0x83) {
            CMD_FAIL("CBaseCmd::innerVerifyPin bSw1==0x69 && bSw2==0x83");
            return KQ_SCARD_W_CHV_BLOCKED;
        }
        return StatusWordToResult(bSw1, bSw2);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::innerVerifyPin");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTriesLeft)
{
    CCmdTraceScope scope("VerifyPin");
    // The exchange catches on its own; this frame guards the rest.
    try {
        // The caller's tries-left byte is written only when the card told
        // the tries (63 Cx).
        BYTE bTries = 0;
        auto exchange = [&](const BYTE *pb, DWORD dwLen) {
            BYTE bAnswered = 0xFF;
            const DWORD dwResult = InnerVerifyPin(bPinRef, pb, dwLen, &bAnswered);
            if (bAnswered != 0xFF) {
                bTries = bAnswered;
                if (pbTriesLeft != nullptr)
                    *pbTriesLeft = bAnswered;
            }
            return dwResult;
        };
        DWORD dwRet = exchange(pbPin, dwPinLen);
        while (dwRet == KQ_SCARD_E_INVALID_CHV) {
            char szText[256];
            if (bTries != 0)
                std::snprintf(szText, sizeof(szText), kWrongPinFormat, static_cast<int>(bTries));
            else
                std::snprintf(szText, sizeof(szText), "%s", kLockedText);
            if (ShowPinMessage(szText, MSGSHOW_MODE_TWO_BUTTONS) != MSGSHOW_FIRST_BUTTON) {
                CMD_INFO("CBaseCmd::VerifyPin User Cancelled");
                break;
            }
            CMD_INFO("CBaseCmd::VerifyPin User Continue");
            // The PIN the caller gave was wrong: sending it again would only
            // burn the tries. The next try is typed on the token's keypad.
            dwRet = exchange(nullptr, 0);
        }
        if (dwRet == KQ_SCARD_W_CHV_BLOCKED)
            ShowPinMessage(kLockedText, MSGSHOW_MODE_ONE_BUTTON);
        return dwRet;
    } catch (...) {
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::changepin_baseXin(int *pnTriesLeft)
{
    CCmdTraceScope scope("ChangePin", "changepin_baseXin");
    try {
        const std::vector<BYTE> apdu = {0x84, 0xF4, 0x03, 0x0C, 0x00};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[changepin_baseXin] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (bSw1 != 0x63)
            return StatusWordToResult(bSw1, bSw2);
        if (bSw2 == 0x00) {
            CMD_FAIL("[changepin_baseXin] bSw2 == 0");
            return KQ_SCARD_W_CHV_BLOCKED;
        }
        CMD_FAIL("[changepin_baseXin] bSw1 == 0x63");
        if (bSw2 < kTriesBase)
            return KQ_SCARD_E_UNEXPECTED;
        if (pnTriesLeft != nullptr)
            *pnTriesLeft = bSw2 - kTriesBase;
        // A wrong old PIN that used the last try has locked the PIN, as in
        // verification.
        return bSw2 == kTriesBase ? KQ_SCARD_W_CHV_BLOCKED : KQ_SCARD_E_INVALID_CHV;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[changepin_baseXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ChangePin(const BYTE * /*pbUnused*/, DWORD /*dwUnused*/, BYTE *pbSw2)
{
    CCmdTraceScope scope("ChangePin");
    try {
        const std::vector<BYTE> apdu = {0x00, 0x04, 0x00, 0x00, 0x00};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[ChangePin] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (bSw1 != 0x63)
            return StatusWordToResult(bSw1, bSw2);
        if (bSw2 == 0x00) {
            CMD_FAIL("[ChangePin] bSw2 == 0");
            return KQ_SCARD_W_CHV_BLOCKED;
        }
        CMD_FAIL("[ChangePin] bSw1 == 0x63");
        if (pbSw2 != nullptr)
            *pbSw2 = bSw2;
        return KQ_SCARD_E_INVALID_CHV;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[ChangePin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}
