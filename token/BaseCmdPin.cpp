// BaseCmdPin.cpp
//
// The PIN commands of the command set: verification (with the PIN from the
// caller, from the cache, or typed on the token's keypad) and the two PIN
// changes that run entirely on the token's keypad. Every APDU that carries
// PIN bytes goes to the trace masked, and the cache is emptied after every
// completed verification so a cached PIN serves one verification at most.
//
// Not in this build yet: the bitmap and sound prompt shown on the PC during
// a keypad verification, and the message box that offers another try after
// a wrong PIN. Verification therefore behaves as without the message plug-in:
// a wrong PIN ends with SCARD_E_INVALID_CHV at once.
#include "BaseCmd.h"

#include "BaseCmdInternal.h"
#include "HidManager.h"
#include "ResultCodes.h"
#include "StatusWord.h"

namespace {

const DWORD kWaitPin = 5;
// SW2 of 63Cx: x tries left.
const BYTE kTriesBase = 0xC0;

}  // namespace

DWORD CBaseCmd::InnerVerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen,
                               BYTE *pbTriesLeft)
{
    CCmdTraceScope scope("innerVerifyPin");
    try {
        if ((pbPin == nullptr && dwPinLen > 0) || dwPinLen > CPinCache::MAX_PIN)
            return KQ_SCARD_E_UNEXPECTED;
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
        const BOOL bSent = Exchange(apdu, answer, bSw1, bSw2, dwWait, HID_FLAG_SECRET_REQUEST);
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
        return InnerVerifyPin(bPinRef, pbPin, dwPinLen, pbTriesLeft);
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
        return KQ_SCARD_E_INVALID_CHV;
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
