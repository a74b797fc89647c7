// BaseCmdKeypad.cpp
//
// The keypad-entry commands (KEY IN START, the poll, KEY IN END), GET KEY
// DATA, and the lookup of the host RSA key file that an entry may name. The
// library keeps no entry state: the token does, and each call here is one
// exchange (two for KEY IN END, which fetches a challenge first).
#include "BaseCmd.h"

#include <cstring>

#include "BaseCmdInternal.h"
#include "CardKeys.h"
#include "HidFraming.h"
#include "HidManager.h"
#include "ResultCodes.h"
#include "SecureMessaging.h"
#include "StatusWord.h"

namespace {

const DWORD kWaitKeypad = 5;
const WORD kHostKeyId = 0xA400;
const DWORD kAllowedKeyBytes = 10;
const DWORD kKeyDataBlock = 10;
const BYTE kKeyRecordInUse = 0x04 | 0x08;
const DWORD kKeyRecordLength = 12;

WORD StatusWord(BYTE bSw1, BYTE bSw2) { return static_cast<WORD>(bSw1 << 8 | bSw2); }

}  // namespace

DWORD CBaseCmd::GetRsaKeyFid(WORD wKeyId, const char *pszContainer, BYTE *pbFidHigh,
                             BYTE *pbFidLow)
{
    CCmdTraceScope scope("GetRsaKeyFid");
    try {
        if (pszContainer == nullptr || pbFidHigh == nullptr || pbFidLow == nullptr) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid Invalid Parameter");
            return KQ_SCARD_E_UNEXPECTED;
        }
        DWORD dwRet = SelectFile(0x00, 0x50, 0x00);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid SelectFile [0x50][0x00] Failed");
            return dwRet;
        }
        BYTE abKey[16];
        KQDWORD dwKeyLen = sizeof(abKey);
        if (!GetExtAuthKey(abKey, &dwKeyLen)) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid ExternalAuthentication Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        dwRet = ExternalAuthentication(abKey, dwKeyLen);
        SecureZeroMemory(abKey, sizeof(abKey));
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid ExternalAuthentication Failed");
            return dwRet;
        }
        if ((dwRet = SelectFile(0x02, 0x50, 0x31)) != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid SelectFile[0x50][0x31] Failed");
            return dwRet;
        }
        BYTE abDir[3];
        if ((dwRet = ReadBinary(9, abDir, sizeof(abDir))) != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::GetRsaKeyFid ReadBinary Failed");
            return dwRet;
        }
        for (int nNo = 0; nNo <= abDir[2]; ++nNo) {
            // Record 0 stands for the first selection of the directory.
            if ((dwRet = SelectFile(0x02, abDir[0], abDir[1])) != KQ_SCARD_S_SUCCESS) {
                CMD_FAIL("CBaseCmd::GetRsaKeyFid SelectFile[%x][%x] Failed", abDir[0], abDir[1]);
                return dwRet;
            }
            if (nNo == 0)
                continue;
            BYTE abRecord[kKeyRecordLength];
            if ((dwRet = ReadRecord(static_cast<BYTE>(nNo), abRecord, sizeof(abRecord))) != KQ_SCARD_S_SUCCESS) {
                CMD_FAIL("CBaseCmd::GetRsaKeyFid ReadRecord Failed");
                return dwRet;
            }
            if ((abRecord[1] & kKeyRecordInUse) == 0 ||
                StatusWord(abRecord[2], abRecord[3]) != wKeyId)
                continue;
            if ((dwRet = SelectFile(0x02, abRecord[10], abRecord[11])) != KQ_SCARD_S_SUCCESS) {
                CMD_FAIL("CBaseCmd::GetRsaKeyFid  SelectFile[%x][%x] Failed", abRecord[10],
                         abRecord[11]);
                return dwRet;
            }
            char szName[256] = {0};
            BYTE *pbName = reinterpret_cast<BYTE *>(szName);
            if ((dwRet = ReadBinary(0, pbName, 128)) != KQ_SCARD_S_SUCCESS ||
                (dwRet = ReadBinary(128, pbName + 128, 127)) != KQ_SCARD_S_SUCCESS) {
                CMD_FAIL("CBaseCmd::GetRsaKeyFid ReadBinary Failed");
                return dwRet;
            }
            if (lstrcmpiA(szName, pszContainer) == 0) {
                *pbFidHigh = abRecord[4];
                *pbFidLow = abRecord[5];
                return KQ_SCARD_S_SUCCESS;
            }
        }
        return KQ_SCARD_E_UNEXPECTED;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[GetRsaKeyFid]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::KeyInStart(BYTE bMode, BYTE bMaxLen, const BYTE *pbAllowedKeys, BYTE bFixed,
                           BYTE bKeyFlag, WORD wKeyId, const char *pszContainer,
                           int *pnStatusWord)
{
    CCmdTraceScope scope("KeyInStart");
    try {
        if (pbAllowedKeys == nullptr || pnStatusWord == nullptr) {
            CMD_FAIL("[KeyInStart] Invalid Parameter");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> data = {bMode, bMaxLen};
        data.insert(data.end(), pbAllowedKeys, pbAllowedKeys + kAllowedKeyBytes);
        data.push_back(bFixed);
        data.push_back(bKeyFlag);
        if (bKeyFlag == 1) {
            data.push_back(static_cast<BYTE>(wKeyId >> 8));
            data.push_back(static_cast<BYTE>(wKeyId));
            if (wKeyId == kHostKeyId) {
                BYTE bHigh = 0, bLow = 0;
                const DWORD dwRet = GetRsaKeyFid(kHostKeyId, pszContainer, &bHigh, &bLow);
                if (dwRet != KQ_SCARD_S_SUCCESS) {
                    CMD_FAIL("[KeyInStart] GetRsaKeyFid != S_OK, dwRetCode = [%d]",
                             static_cast<int>(dwRet));
                    return KQ_SCARD_E_UNEXPECTED;
                }
                data.push_back(2);
                data.push_back(bHigh);
                data.push_back(bLow);
            } else {
                // The name goes with a one-byte length: a longer one would be
                // announced as its low byte and cut.
                const std::size_t nName = pszContainer ? std::strlen(pszContainer) : 0;
                if (nName > HID_MAX_APDU - 5 - data.size() - 1) {
                    CMD_FAIL("[KeyInStart] Container Name Too Long");
                    return KQ_SCARD_E_UNEXPECTED;
                }
                data.push_back(static_cast<BYTE>(nName));
                data.insert(data.end(), pszContainer, pszContainer + nName);
            }
        }
        std::vector<BYTE> apdu = {0x80, 0x6E, 0x01, 0x00, static_cast<BYTE>(data.size())};
        apdu.insert(apdu.end(), data.begin(), data.end());
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitKeypad)) {
            CMD_FAIL("[KeyInStart] SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        *pnStatusWord = StatusWord(bSw1, bSw2);
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[KeyInStart] dwRet[%d] != S_OK", static_cast<int>(dwRet));
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[KeyInStart]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::KeyIn(char *pcKey, int *pnStatusWord)
{
    CCmdTraceScope scope("KeyIn");
    try {
        if (pcKey == nullptr || pnStatusWord == nullptr) {
            CMD_FAIL("[KeyIn] Invalid Parameter");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        // The answer is the key typed: a secret while a password is entered.
        if (!Exchange({0x80, 0x6E, 0x02, 0x00, 0x00}, answer, bSw1, bSw2, kWaitKeypad,
                      HID_FLAG_SECRET_ANSWER)) {
            CMD_FAIL("[KeyIn] SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        *pnStatusWord = StatusWord(bSw1, bSw2);
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[KeyIn] dwRet[%d] != S_OK", static_cast<int>(dwRet));
            return dwRet;
        }
        if (answer.empty()) {
            CMD_FAIL("[KeyIn] recvApdu.size() <= 0");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (answer.size() != 1)
            CTraceWriter::GetInstance()->Log(TRACE_LEVEL_WARNING, TRACE_KIND_LINE,
                                             TRACE_MODULE_CARD, "[KeyIn] recvApdu.size() != 1");
        *pcKey = static_cast<char>(answer[0]);
        WipeBytes(answer);
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[KeyIn]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::KeyInEndExchange(BYTE bMode, BYTE *pbData, DWORD *pdwLen)
{
    CCmdTraceScope scope("KeyInEnd");
    try {
        if (pbData == nullptr || pdwLen == nullptr) {
            CMD_FAIL("CBaseCmd::KeyInEnd Invalid Parameter");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!GetChallenge(SM_CHALLENGE_LENGTH, answer, bSw1, bSw2, kWaitKeypad)) {
            CMD_FAIL("CBaseCmd::KeyInEnd SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::KeyInEnd dwRet[%d] != S_OK", static_cast<int>(dwRet));
            return dwRet;
        }
        if (answer.size() < SM_CHALLENGE_LENGTH) {
            CMD_FAIL("UKey::KeyInEnd GetRandom recvApdu.size()<8");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (!Exchange({0x84, 0x6E, 0x03, bMode, 0x00}, answer, bSw1, bSw2, 0,
                      HID_FLAG_SECRET_ANSWER)) {
            CMD_FAIL("CBaseCmd::KeyInEnd SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("CBaseCmd::KeyInEnd dwRet[%d] != S_OK", static_cast<int>(dwRet));
            return dwRet;
        }
        BYTE *pbPlain = nullptr;
        DWORD dwPlain = 0;
        const BOOL bPlain = DecryptCipherData(answer.data(), static_cast<DWORD>(answer.size()),
                                              &pbPlain, &dwPlain);
        WipeBytes(answer);
        if (!bPlain) {
            CMD_FAIL("CBaseCmd::KeyInEnd DecryptCipherData Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        CLibraryBuffer plain(pbPlain, dwPlain);
        if (dwPlain > *pdwLen) {
            CMD_FAIL("CBaseCmd::KeyInEnd dwDecryptedDataLen>dwDataLen");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (dwPlain > 0)
            std::memcpy(pbData, pbPlain, dwPlain);
        *pdwLen = dwPlain;
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::KeyInEnd");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::KeyInEnd(BYTE bMode, BYTE *pbData, DWORD *pdwLen)
{
    return KeyInEndExchange(bMode, pbData, pdwLen);
}

DWORD CBaseCmd::KeyInEnd(BYTE *pbData, DWORD *pdwLen)
{
    return KeyInEndExchange(0x00, pbData, pdwLen);
}

DWORD CBaseCmd::GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                           BYTE bA4, BYTE *pbOut, BYTE *pbOutLen)
{
    CCmdTraceScope scope("GetKeyData");
    try {
        if (pbOut == nullptr || pbOutLen == nullptr || (pbBlock == nullptr && dwBlockLen > 0)) {
            CMD_FAIL("[GetKeyData] Invalid Parameter");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x80, 0x5E, 0x00, 0x00, 0x0E, bA1, bA2, bA3};
        BYTE abBlock[kKeyDataBlock] = {0};
        if (dwBlockLen > 0)
            std::memcpy(abBlock, pbBlock, dwBlockLen < kKeyDataBlock ? dwBlockLen : kKeyDataBlock);
        apdu.insert(apdu.end(), abBlock, abBlock + kKeyDataBlock);
        apdu.push_back(bA4);
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitKeypad)) {
            CMD_FAIL("[GetKeyData] SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[GetKeyData] dwRet[%d] != S_OK", static_cast<int>(dwRet));
            return dwRet;
        }
        // *pbOutLen brings the room of pbOut: a longer answer is refused with
        // the length it needs, not written past the caller's buffer.
        if (answer.size() > *pbOutLen) {
            CMD_FAIL("[GetKeyData] *pbOutLen < recvApdu.size(), recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            *pbOutLen = static_cast<BYTE>(answer.size() > 255 ? 255 : answer.size());
            return KQ_SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (!answer.empty())
            std::memcpy(pbOut, answer.data(), answer.size());
        *pbOutLen = static_cast<BYTE>(answer.size());
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[GetKeyData]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}
