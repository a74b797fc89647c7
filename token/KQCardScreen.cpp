// KQCardScreen.cpp
//
// CKQCard: the token's screen and keypad, the symmetric and host key
// imports, and the command pass-through (slots 44 and 53 to 64). The
// rendering, the command bytes and the secure messaging are the command
// object's; this adds the parameter blocks, the allowed-key list, the lock
// and reconnect handling and the results. Each slot holds the device lock
// for its one call, so a keypad entry polled on one thread and ended on
// another never mixes two exchanges on the token.
#include "KQCard.h"

#include <cstring>
#include <vector>

#include "BaseCmd.h"
#include "BaseCmdInternal.h"
#include "KQCardFrame.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "TimerManager.h"
#include "TraceWriter.h"

namespace {

using kqcard::Fail;
using kqcard::FailFid;

const DWORD kEntryBuffer = 1000;
const DWORD kMaxEntryLength = 255;
const DWORD kScreenRow = 16;
// Host key files hold [n + 4][e][n], lengths big-endian; the key file is
// sized for a 2048-bit modulus.
const DWORD kMaxHostModulus = 256;
const DWORD kMaxHostContainer = 254;

// Key codes and the bit of their parameter mask that allows them.
struct SKeyBit {
    BYTE bCode;
    DWORD dwBit;  // 0: always allowed
};

void AllowGroup(BYTE abList[10], DWORD dwMask, BYTE bFirstCode, int nCount)
{
    for (int i = 0; i < nCount; ++i)
        if (dwMask & (1u << i)) {
            const int nCode = bFirstCode + i;
            abList[nCode / 8] |= static_cast<BYTE>(0x80 >> (nCode % 8));
        }
}

void PutBigEndian32(BYTE *pb, DWORD dw)
{
    pb[0] = static_cast<BYTE>(dw >> 24);
    pb[1] = static_cast<BYTE>(dw >> 16);
    pb[2] = static_cast<BYTE>(dw >> 8);
    pb[3] = static_cast<BYTE>(dw);
}

}  // namespace

void CKQCard::BuildAllowedKeyList(const KEYINSTART_PARAM &param, BYTE abList[10])
{
    std::memset(abList, 0, 10);
    AllowGroup(abList, param.dwNumberMask, 0, 10);
    AllowGroup(abList, param.dwUpperMask, 10, 26);
    AllowGroup(abList, param.dwLowerMask, 36, 26);
    static const SKeyBit kSpecial[] = {{62, 0x01}, {63, 0x02}, {64, 0x04}, {65, 0x08},
                                       {66, 0},    {67, 0x10}, {68, 0x20}};
    for (const SKeyBit &key : kSpecial)
        if (key.dwBit == 0 || (param.dwSpecialMask & key.dwBit))
            abList[key.bCode / 8] |= static_cast<BYTE>(0x80 >> (key.bCode % 8));
}

DWORD CKQCard::CreateFileSystem(const BYTE *pbApdu, DWORD dwLen)
{
    // dwLen counts the data bytes after the caller's header and Lc; it must
    // agree with that Lc, or the command would go out with data the caller
    // never meant (or read past its buffer).
    if (pbApdu == nullptr || dwLen > 255 || pbApdu[4] != dwLen) {
        Fail("CKQCard::CreateFileSystem dwLen != Lc");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("CreateFileSystem",
                         [&]() -> DWORD { return m_psCard->CreateFileSystem(pbApdu, dwLen); });
}

DWORD CKQCard::ClearScreen()
{
    return InLockedFrame("ClearScreen", [&]() -> DWORD { return m_psCard->ClearScreen(); });
}

DWORD CKQCard::SetDisplay(const char *pScreen)
{
    if (pScreen == nullptr)
        return 1;
    return InLockedFrame("SetDisplay", [&]() -> DWORD {
        const BYTE *pb = reinterpret_cast<const BYTE *>(pScreen);
        return m_psCard->SetDisplay(pb, kScreenRow, pb + kScreenRow, kScreenRow,
                                    pb + 2 * kScreenRow, kScreenRow, pb + 3 * kScreenRow,
                                    kScreenRow, 2);
    });
}

DWORD CKQCard::DelayDisplayLogo(int nMilliseconds)
{
    return InLockedFrame("DelayDisplayLogo", [&]() -> DWORD {
        CTimerManager::DelayDisplayLogo(m_szDevicePath, nMilliseconds);
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLine)
{
    return InLockedFrame("DisplayLine",
                         [&]() -> DWORD { return m_psCard->DisplayLine(pbText, dwLen, dwLine); });
}

DWORD CKQCard::DisplayLogo()
{
    return InLockedFrame("DisplayLogo", [&]() -> DWORD { return m_psCard->DisplayLogo(); });
}

DWORD CKQCard::GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                          BYTE bA4, BYTE *pbOut, DWORD *pdwOutLen)
{
    if (pbOut == nullptr || pdwOutLen == nullptr)
        return KQ_SCARD_E_INVALID_PARAMETER;
    return InLockedFrame("GetKeyData", [&]() -> DWORD {
        // The caller's room, as the command's one-byte length.
        BYTE bLen = static_cast<BYTE>(*pdwOutLen > 255 ? 255 : *pdwOutLen);
        const DWORD dwRet =
            m_psCard->GetKeyData(bA1, bA2, bA3, pbBlock, dwBlockLen, bA4, pbOut, &bLen);
        if (dwRet == KQ_SCARD_S_SUCCESS || dwRet == KQ_SCARD_E_INSUFFICIENT_BUFFER)
            *pdwOutLen = bLen;
        return dwRet;
    });
}

DWORD CKQCard::KeyInStart(const KEYINSTART_PARAM *pParam, void *pExtra)
{
    if (pParam == nullptr)
        return KQ_SCARD_E_INVALID_PARAMETER;
    return InLockedFrame(
        "KeyInStart",
        [&]() -> DWORD {
            BYTE abAllowed[10];
            BuildAllowedKeyList(*pParam, abAllowed);
            const BYTE bMode =
                pParam->dwMode >= 1 && pParam->dwMode <= 4 ? static_cast<BYTE>(pParam->dwMode) : 0;
            WORD wKeyId = 0;
            switch (pParam->dwKeyKind) {
            case 1: wKeyId = 0x6601; break;
            case 2: wKeyId = 0x6603; break;
            case 3: wKeyId = 0xA400; break;
            default: break;
            }
            const BYTE bKeyFlag = wKeyId != 0 ? 1 : 0;
            if (pParam->wMaxLen > kMaxEntryLength)
                return KQ_SCARD_E_UNEXPECTED;
            if (bKeyFlag != 0) {
                const DWORD dwRet =
                    Authenticate("CKQCard::KeyInStart SelectFile [0x50][0x00] Failed",
                                 "CKQCard::KeyInStart ExternalAuthentication Failed");
                if (dwRet != KQ_SCARD_S_SUCCESS)
                    return dwRet;
            }
            int nStatusWord = 0;
            int *pnStatusWord = pExtra != nullptr ? static_cast<int *>(pExtra) : &nStatusWord;
            return m_psCard->KeyInStart(bMode, static_cast<BYTE>(pParam->wMaxLen), abAllowed,
                                        0xFF, bKeyFlag, wKeyId, pParam->pszContainer,
                                        pnStatusWord);
        },
        true);
}

DWORD CKQCard::KeyIn(char *pKey, int *pState)
{
    if (pKey == nullptr)
        return KQ_SCARD_E_INVALID_PARAMETER;
    return InLockedFrame(
        "KeyIn",
        [&]() -> DWORD {
            int nStatusWord = 0;
            return m_psCard->KeyIn(pKey, pState != nullptr ? pState : &nStatusWord);
        },
        true);
}

DWORD CKQCard::KeyInEnd(int nType, BYTE *pbData, DWORD *pdwLen, void * /*pReserved*/)
{
    if (pdwLen == nullptr || (pbData == nullptr && *pdwLen > 0))
        return KQ_SCARD_E_INVALID_PARAMETER;
    return InLockedFrame(
        "KeyInEnd",
        [&]() -> DWORD {
            const BYTE bMode = nType == 2 ? 1 : nType == 3 ? 2 : 0;
            CLibraryBuffer entry(kEntryBuffer);
            if (entry.Get() == nullptr)
                return KQ_SCARD_E_NO_MEMORY;
            DWORD dwEntry = kEntryBuffer;
            const DWORD dwRet = m_psCard->KeyInEnd(bMode, entry.Get(), &dwEntry);
            if (dwRet != KQ_SCARD_S_SUCCESS) {
                Fail("CKQCard::KeyInEnd dwRet != S_OK");
                return dwRet;
            }
            if (*pdwLen < dwEntry) {
                Fail("CKQCard::KeyInEnd dwSize<dwKeyDataLen");
                *pdwLen = dwEntry;
                return KQ_SCARD_E_INSUFFICIENT_BUFFER;
            }
            if (dwEntry > 0)
                std::memcpy(pbData, entry.Get(), dwEntry);
            *pdwLen = dwEntry;
            return KQ_SCARD_S_SUCCESS;
        },
        true);
}

DWORD CKQCard::KeyInEndResult(KEYINEND_RESULT **ppResult, void * /*pReserved*/)
{
    if (ppResult == nullptr)
        return KQ_SCARD_E_INVALID_PARAMETER;
    return InLockedFrame(
        "KeyInEnd",
        [&]() -> DWORD {
            CLibraryBuffer entry(kEntryBuffer);
            if (entry.Get() == nullptr)
                return KQ_SCARD_E_NO_MEMORY;
            DWORD dwEntry = kEntryBuffer;
            const DWORD dwRet = m_psCard->KeyInEnd(entry.Get(), &dwEntry);
            if (dwRet != KQ_SCARD_S_SUCCESS) {
                Fail("CKQCard::KeyInEnd dwRet != S_OK");
                return dwRet;
            }
            KEYINEND_RESULT *pResult =
                static_cast<KEYINEND_RESULT *>(CMemoryManager::Alloc(sizeof(KEYINEND_RESULT)));
            if (pResult == nullptr)
                return KQ_SCARD_E_NO_MEMORY;
            pResult->pbData = nullptr;
            pResult->dwLen = dwEntry;
            if (dwEntry > 0) {
                pResult->pbData = static_cast<BYTE *>(CMemoryManager::AllocMore(pResult, dwEntry));
                if (pResult->pbData == nullptr) {
                    CMemoryManager::Free(pResult);
                    return KQ_SCARD_E_NO_MEMORY;
                }
                std::memcpy(pResult->pbData, entry.Get(), dwEntry);
            }
            *ppResult = pResult;
            return KQ_SCARD_S_SUCCESS;
        },
        true);
}

DWORD CKQCard::ImportSymmetricKey(int nType, const char *pszKeyName, const BYTE *pbKey,
                                  DWORD dwKeyLen)
{
    return InLockedFrame(
        "ImportSymmetricKey",
        [&]() -> DWORD {
            const DWORD dwRet = Authenticate(
                "CKQCard::ImportSymmetricKey SelectFile [0x50][0x00] Failed",
                "CKQCard::ImportSymmetricKey ExternalAuthentication Failed");
            if (dwRet != KQ_SCARD_S_SUCCESS)
                return dwRet;
            if (nType != 1 && nType != 2)
                return KQ_SCARD_E_UNEXPECTED;
            const WORD wKeyId = nType == 1 ? 0x6601 : 0x6603;
            const DWORD dwImport = m_psCard->ImportSymmetricKey(wKeyId, pszKeyName, pbKey, dwKeyLen);
            if (dwImport != KQ_SCARD_S_SUCCESS) {
                CTraceWriter::GetInstance()->Log(
                    TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CKQCard::ImportSymmetricKey m_psCard->ImportSymKey Failed dwRet=[0x%x]",
                    static_cast<unsigned>(dwImport));
                return KQ_SCARD_E_UNEXPECTED;
            }
            return KQ_SCARD_S_SUCCESS;
        },
        true);
}

DWORD CKQCard::ImportRsaPubKey(const char *pszContainer, DWORD dwExponent, const BYTE *pbModulus,
                               DWORD dwModulusLen)
{
    // The whole key must fit the key file and the name its file: nothing is
    // written unless both can be stored whole.
    if (pszContainer == nullptr || std::strlen(pszContainer) > kMaxHostContainer ||
        pbModulus == nullptr || dwModulusLen == 0 || dwModulusLen > kMaxHostModulus) {
        Fail("CKQCard::ImportRsaPubKey Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame(
        "ImportRsaPubKey",
        [&]() -> DWORD {
            static const SDirectoryTexts kTexts = {
                "CKQCard::ImportRsaPubKey SelectFile[0x50][0x31] Failed",
                "CKQCard::ImportRsaPubKey ReadBinary Failed",
                "CKQCard::ImportRsaPubKey SelectFile[%x][%x] Failed",
                "CKQCard::ImportRsaPubKey ReadRecord Failed"};
            DWORD dwRet = Authenticate("CKQCard::ImportRsaPubKey SelectFile [0x50][0x00] Failed",
                                       "CKQCard::ImportRsaPubKey ExternalAuthentication Failed");
            if (dwRet != KQ_SCARD_S_SUCCESS)
                return dwRet;
            BYTE abDir[3];
            if ((dwRet = OpenDirectory(9, kTexts, abDir)) != KQ_SCARD_S_SUCCESS)
                return dwRet;
            BYTE abRecord[KEYSET_RECORD_LENGTH];
            if ((dwRet = m_psCard->ReadRecord(1, abRecord, sizeof(abRecord))) !=
                KQ_SCARD_S_SUCCESS) {
                Fail(kTexts.pszRecordRead);
                return dwRet;
            }
            abRecord[0] = 0x00;
            abRecord[1] = 0x0C;
            abRecord[2] = 0xA4;
            abRecord[3] = 0x00;
            if ((dwRet = m_psCard->UpdateRecord(1, abRecord, sizeof(abRecord))) !=
                KQ_SCARD_S_SUCCESS) {
                Fail("CKQCard::ImportRsaPubKey UpdateRecord Failed");
                return dwRet;
            }
            if ((dwRet = m_psCard->SelectFile(0x02, abRecord[10], abRecord[11])) !=
                KQ_SCARD_S_SUCCESS) {
                FailFid("CKQCard::ImportRsaPubKey SelectFile [%x] [%x]Failed", abRecord[10],
                        abRecord[11]);
                return dwRet;
            }
            const DWORD dwName = static_cast<DWORD>(std::strlen(pszContainer)) + 1;
            if ((dwRet = WriteInPieces(0, reinterpret_cast<const BYTE *>(pszContainer), dwName,
                                       false)) != KQ_SCARD_S_SUCCESS) {
                Fail("CKQCard::ImportRsaPubKey UpdateBinary Failed");
                return dwRet;
            }
            if ((dwRet = m_psCard->SelectFile(0x02, abRecord[4], abRecord[5])) !=
                KQ_SCARD_S_SUCCESS) {
                FailFid("CKQCard::ImportRsaPubKey SelectFile [%x] [%x]Failed", abRecord[4],
                        abRecord[5]);
                return dwRet;
            }
            CLibraryBuffer key(dwModulusLen + 8);
            if (key.Get() == nullptr)
                return KQ_SCARD_E_NO_MEMORY;
            PutBigEndian32(key.Get(), dwModulusLen + 4);
            PutBigEndian32(key.Get() + 4, dwExponent);
            std::memcpy(key.Get() + 8, pbModulus, dwModulusLen);
            // In pieces that each fit one secure-messaging command, so a
            // 2048-bit key is stored whole.
            if ((dwRet = WriteInPieces(0, key.Get(), dwModulusLen + 8, true)) !=
                KQ_SCARD_S_SUCCESS) {
                Fail("CKQCard::ImportRsaPubKey UpdateBinaryInCipherMac Failed");
                return dwRet;
            }
            return KQ_SCARD_S_SUCCESS;
        },
        true);
}
