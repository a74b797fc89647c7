// KQCardPin.cpp
//
// CKQCard: the holder's PIN and its state, the token's display name, the key
// lengths it supports, its identification blocks, its answer-to-reset and its
// menu language (slots 18 to 24, 45 to 52 and 65). Each runs in the locked
// frame: device lock, reopen of a dropped connection, catch-all.
#include "KQCard.h"

#include <cstdio>
#include <cstring>

#include "BaseCmd.h"
#include "CardKeys.h"
#include "CardMutex.h"
#include "HidManager.h"
#include "KQCardFrame.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

namespace {

using kqcard::Fail;

// Application directory and its files used here.
const BYTE kMfHigh = 0x3F, kMfLow = 0x00;
const BYTE kDfHigh = 0x50, kDfLow = 0x00;
const BYTE kKeyLengthsEf = 0x02;  // EF 5002: supported key length codes
const BYTE kPinStateEf = 0x03;    // EF 5003: bit 7 of byte 0, PIN changed
const BYTE kNameEf = 0x04;        // EF 5004: the token's 64-byte name
const DWORD kNameField = 64;
const BYTE kHolderPin = 1;

}  // namespace

DWORD CKQCard::ReadyForCommand(const char *pszReconnectFailure, bool bGoOnAfterFailedReconnect)
{
    if (ReConnectIfDropped() != KQ_SCARD_S_SUCCESS && !bGoOnAfterFailedReconnect) {
        Fail(pszReconnectFailure);
        return KQ_SCARD_E_NO_SMARTCARD;
    }
    // An attached object (or an unknown connection kind) has no command
    // object to send with.
    if (m_psCard == nullptr) {
        Fail("CKQCard m_psCard==NULL");
        return KQ_SCARD_E_UNEXPECTED;
    }
    return KQ_SCARD_S_SUCCESS;
}

DWORD CKQCard::ExternalAuthenticate()
{
    BYTE abKey[16];
    KQDWORD dwKeyLen = sizeof(abKey);
    if (!GetExtAuthKey(abKey, &dwKeyLen))
        return KQ_SCARD_E_UNEXPECTED;
    const DWORD dwRet = m_psCard->ExternalAuthentication(abKey, dwKeyLen);
    SecureZeroMemory(abKey, sizeof(abKey));
    return dwRet;
}

DWORD CKQCard::SelectPinStateFile(const char *pszDfFailure, const char *pszAuthFailure,
                                  const char *pszEfFailure)
{
    DWORD dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        Fail(pszDfFailure);
        return dwRet;
    }
    if ((dwRet = ExternalAuthenticate()) != KQ_SCARD_S_SUCCESS) {
        Fail(pszAuthFailure);
        return dwRet;
    }
    if ((dwRet = m_psCard->SelectFile(0x02, kDfHigh, kPinStateEf)) != KQ_SCARD_S_SUCCESS)
        Fail(pszEfFailure);
    return dwRet;
}

DWORD CKQCard::GetPinStatus(int *lpPinStatus)
{
    if (lpPinStatus == nullptr) {
        Fail("CKQCard::GetPinStatus lpPinStatus==NULL");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("GetPinStatus", [&]() -> DWORD {
        DWORD dwRet = SelectPinStateFile("CKQCard::GetPinStatus SelectFile Failed",
                                         "CKQCard::GetPinStatus ExternalAuthentication Failed",
                                         "CKQCard::GetPinStatus SelectFile Failed");
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        BYTE bState = 0;
        if ((dwRet = m_psCard->ReadBinary(0, &bState, 1)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GetPinStatus ReadBinary Failed");
            return dwRet;
        }
        *lpPinStatus = static_cast<BYTE>(bState >> 7);
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::GetPinVerifyTimes(BYTE *pbFirst, BYTE *pbSecond)
{
    return InLockedFrame("GetPinVerifyTimes", [&]() -> DWORD {
        DWORD dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GetPinVerifyTimes SelectFile Failed");
            return dwRet;
        }
        BYTE bFirst = 0, bSecond = 0;
        if ((dwRet = m_psCard->GetPinVerifyTimes(kHolderPin, &bFirst, &bSecond)) !=
            KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GetPinVerifyTimes GetPinVerifyTimes Failed");
            return dwRet;
        }
        if (pbFirst != nullptr)
            *pbFirst = bFirst;
        if (pbSecond != nullptr)
            *pbSecond = bSecond;
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::GetATR(BYTE *pbAtr, DWORD *pdwLen)
{
    return InLockedFrame("GetATR", [&]() -> DWORD {
        if (!CHidManager::GetInstance()->GetAtr(m_szDevicePath, pbAtr, pdwLen)) {
            Fail("CKQCard::GetATR GetAtr Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTries)
{
    // Every failure is the generic code, whatever the step reported.
    return InLockedFrame("VerifyPin", [&]() -> DWORD {
        if (m_psCard->SelectFile(0x00, kMfHigh, kMfLow) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::VerifyPin SelectFile 0x00,0x3f Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (m_psCard->SelectFile(0x00, kDfHigh, kDfLow) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::VerifyPin SelectFile 0x50,0x00 Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (m_psCard->VerifyPin(bPinRef, pbPin, dwPinLen, pbTries) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::VerifyPin VerifyPin Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::ChangePin(int *pnTries)
{
    return InLockedFrame("ChangePin", [&]() -> DWORD {
        DWORD dwRet = m_psCard->changepin_baseXin(pnTries);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE,
                                             TRACE_MODULE_CARD,
                                             "CKQCard::ChangePin ChangePin Faied,dwRet=[%d]",
                                             static_cast<int>(dwRet));
            return dwRet;
        }
        // The holder changed the PIN: bit 7 of EF 5003 says so from now on.
        if ((dwRet = m_psCard->SelectFile(0x00, kMfHigh, kMfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ChangePin SelectFile Faied,0x00,0x3f");
            return dwRet;
        }
        dwRet = SelectPinStateFile("CKQCard::ChangePin SelectFile Faied,0x00,0x50",
                                   "CKQCard::ChangePin ExternalAuthentication Faied",
                                   "CKQCard::ChangePin SelectFile Faied,0x02,0x50");
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        BYTE bState = 0;
        if ((dwRet = m_psCard->ReadBinary(0, &bState, 1)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ChangePin ReadBinary Faied");
            return dwRet;
        }
        bState = static_cast<BYTE>(bState | 0x80);
        if ((dwRet = m_psCard->UpdateBinary(0, &bState, 1)) != KQ_SCARD_S_SUCCESS)
            Fail("CKQCard::ChangePin UpdateBinary Faied");
        return dwRet;
    });
}

DWORD CKQCard::SelectNameFile(const char *pszMethod)
{
    char szText[128];
    if (m_psCard->SelectFile(0x00, kMfHigh, kMfLow) != KQ_SCARD_S_SUCCESS) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s SelectFile 0x3f, 0x00 Faied", pszMethod);
        Fail(szText);
        return KQ_SCARD_E_UNEXPECTED;
    }
    if (m_psCard->SelectFile(0x00, kDfHigh, kDfLow) != KQ_SCARD_S_SUCCESS) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s SelectFile 0x50,0x00 Faied", pszMethod);
        Fail(szText);
        return KQ_SCARD_E_UNEXPECTED;
    }
    DWORD dwRet = ExternalAuthenticate();
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s ExternalAuthentication Faied",
                      pszMethod);
        Fail(szText);
        return dwRet;
    }
    if ((dwRet = m_psCard->SelectFile(0x02, kDfHigh, kNameEf)) != KQ_SCARD_S_SUCCESS) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s SelectFile 0x50,0x04 Faied", pszMethod);
        Fail(szText);
    }
    return dwRet;
}

DWORD CKQCard::ChangePinName(const char *pszKeyName)
{
    if (pszKeyName == nullptr) {
        Fail("CKQCard::ChangePinName pszKeyName==NULL");
        return KQ_SCARD_E_UNEXPECTED;
    }
    return InLockedFrame("ChangePinName", [&]() -> DWORD {
        DWORD dwRet = SelectNameFile("ChangePinName");
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        const size_t nName = std::strlen(pszKeyName);
        if (nName > kNameField) {
            Fail("CKQCard::ChangePinName dwKeyNameSize > 64");
            return KQ_SCARD_E_UNEXPECTED;
        }
        BYTE *pbField = static_cast<BYTE *>(CMemoryManager::Alloc(kNameField));
        if (pbField == nullptr) {
            Fail("CKQCard::ChangePinName Alloc Faied");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::memset(pbField, 0, kNameField);
        std::memcpy(pbField, pszKeyName, nName);
        dwRet = m_psCard->UpdateBinary(0, pbField, kNameField);
        CMemoryManager::Free(pbField);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            Fail("CKQCard::ChangePinName UpdateBinary Faied");
        return dwRet;
    });
}

DWORD CKQCard::GetPinName(char *pszKeyName, DWORD dwMaxLen)
{
    if (pszKeyName == nullptr) {
        Fail("CKQCard::GetPinName pszKeyName==NULL");
        return KQ_SCARD_E_UNEXPECTED;
    }
    if (dwMaxLen == 0) {
        Fail("CKQCard::GetPinName dwMaxLen==0");
        return KQ_SCARD_E_UNEXPECTED;
    }
    return InLockedFrame("GetPinName", [&]() -> DWORD {
        DWORD dwRet = SelectNameFile("GetPinName");
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        BYTE abField[kNameField] = {0};
        if ((dwRet = m_psCard->ReadBinary(0, abField, kNameField)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GetPinName ReadBinary Faied");
            return dwRet;
        }
        DWORD dwName = 0;
        while (dwName < kNameField && abField[dwName] != 0)
            ++dwName;
        if (dwMaxLen < dwName + 1) {
            Fail("CKQCard::GetPinName byOrignData >dwMaxLen");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::memcpy(pszKeyName, abField, dwName);
        pszKeyName[dwName] = '\0';
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::ReadKeyLengthCode(WORD wOffset, BYTE *pbValue, const char *pszMethod,
                                 const char *pszDfFailure)
{
    return InLockedFrame(pszMethod, [&]() -> DWORD {
        char szText[128];
        if (pbValue == nullptr) {
            std::snprintf(szText, sizeof(szText), "CKQCard::%s pbValue==NULL", pszMethod);
            Fail(szText);
            return KQ_SCARD_E_INVALID_PARAMETER;
        }
        DWORD dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail(pszDfFailure);
            return dwRet;
        }
        if ((dwRet = m_psCard->SelectFile(0x02, kDfHigh, kKeyLengthsEf)) != KQ_SCARD_S_SUCCESS) {
            std::snprintf(szText, sizeof(szText), "CKQCard::%s SelectFile Failed", pszMethod);
            Fail(szText);
            return dwRet;
        }
        if ((dwRet = m_psCard->ReadBinary(wOffset, pbValue, 1)) != KQ_SCARD_S_SUCCESS) {
            std::snprintf(szText, sizeof(szText), "CKQCard::%s ReadBinary Failed", pszMethod);
            Fail(szText);
        }
        return dwRet;
    });
}

DWORD CKQCard::GetSupportedRsaKeyLength(BYTE *pbValue)
{
    return ReadKeyLengthCode(0, pbValue, "GetSupportedRsaKeyLength",
                             "CKQCard::GetSupportedRsaKeyLength SelectFile Failed");
}

DWORD CKQCard::GetCFCAKeyLength(BYTE *pbValue)
{
    return ReadKeyLengthCode(1, pbValue, "GetCFCAKeyLength",
                             "CKQCard::GetCFCAKeyLength GetCFCAKeyLength Failed");
}

// The device-information slots: the command set's query of the same kind,
// its result unchanged.
DWORD CKQCard::QueryDevice(const char *pszMethod, DWORD (CBaseCmd::*pfnQuery)(BYTE *, DWORD *),
                           BYTE *pbData, DWORD *pdwLen)
{
    return InLockedFrame(pszMethod, [&]() -> DWORD { return (m_psCard->*pfnQuery)(pbData, pdwLen); });
}

DWORD CKQCard::GetUsbSn(BYTE *pbData, DWORD *pdwLen)
{
    return QueryDevice("GetUsbSn", &CBaseCmd::GetUsbId, pbData, pdwLen);
}

DWORD CKQCard::GetCosVersion(BYTE *pbData, DWORD *pdwLen)
{
    return QueryDevice("GetCosVersion", &CBaseCmd::GetCosVersion, pbData, pdwLen);
}

DWORD CKQCard::GetVendorInfo(BYTE *pbData, DWORD *pdwLen)
{
    return QueryDevice("GetVendorInfo", &CBaseCmd::GetVendorInfo, pbData, pdwLen);
}

DWORD CKQCard::GetDeviceInfo(BYTE *pbData, DWORD *pdwLen)
{
    return QueryDevice("GetDeviceInfo", &CBaseCmd::GetDeviceInfo, pbData, pdwLen);
}

DWORD CKQCard::GetChipSn(BYTE *pbData, DWORD *pdwLen)
{
    return QueryDevice("GetChipSn", &CBaseCmd::GetChipId, pbData, pdwLen);
}

DWORD CKQCard::GetCFCAId(BYTE *pbData, DWORD *pdwLen)
{
    const DWORD dwRet = QueryDevice("GetCFCAId", &CBaseCmd::GetCFCAId, pbData, pdwLen);
    if (dwRet != KQ_SCARD_S_SUCCESS)
        Fail("CKQCard::GetCFCAId GetCFCAId Failed");
    return dwRet;
}

DWORD CKQCard::SetLanguageId(WORD fwLanguageId)
{
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                                     "CKQCard::SetLanguageId fwLanguageId=[%d]",
                                     static_cast<int>(fwLanguageId));
    return InLockedFrame("SetLanguageId", [&]() -> DWORD {
        const BYTE abId[2] = {static_cast<BYTE>(fwLanguageId >> 8),
                              static_cast<BYTE>(fwLanguageId)};
        const DWORD dwRet = m_psCard->SetConfig(0, abId, sizeof(abId));
        if (dwRet != KQ_SCARD_S_SUCCESS)
            Fail("CKQCard::SetLanguageId SetConfig Faied");
        return dwRet;
    });
}
