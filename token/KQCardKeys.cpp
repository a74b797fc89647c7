// KQCardKeys.cpp
//
// CKQCard: key sets, keys and certificates (slots 25, 28 to 30, 32 to 36 and
// 41 to 43). The token keeps them under DF 5000: EF 5031 indexes two key-set
// directories (dwKeySpec 0, and every other value), each a record
// file of 12-byte records naming a container's name, public-key,
// private-key and certificate files.
#include "KQCard.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "BaseCmd.h"
#include "CardKeys.h"
#include "KQCardFrame.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "TraceWriter.h"

namespace {

using kqcard::Fail;
using kqcard::FailFid;

const BYTE kDfHigh = 0x50, kDfLow = 0x00;
const BYTE kIndexEf = 0x31;  // EF 5031: directory descriptors
const BYTE kHolderPin = 1;

// Record flags (byte 0).
const BYTE kInUse = 0x08;
const BYTE kPrivatePresent = 0x20;
const BYTE kPublicPresent = 0x40;
const BYTE kCertificatePresent = 0x80;
const BYTE kKeysPresent = kPrivatePresent | kPublicPresent;

const DWORD kPubKeyBlobLength = 262;
const DWORD kMaxModulus = 256;
const DWORD kCertificateBuffer = 2048;
// Names and certificates are read and written in pieces of at most this.
const DWORD kPiece = 128;
// The name file is read as 255 bytes: a name and its terminator must fit.
const size_t kMaxContainerName = 254;
const DWORD kErrorMoreData = 234;  // ERROR_MORE_DATA

// Descriptor offset in EF 5031 of the directory that serves a key spec.
BYTE DescriptorOffset(DWORD dwKeySpec)
{
    return dwKeySpec == 0 ? 0 : 3;
}

void PutWord(BYTE *pb, WORD w)
{
    pb[0] = static_cast<BYTE>(w >> 8);
    pb[1] = static_cast<BYTE>(w);
}

}  // namespace

DWORD CKQCard::Authenticate(const char *pszDfFailure, const char *pszAuthFailure)
{
    DWORD dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        Fail(pszDfFailure);
        return dwRet;
    }
    if ((dwRet = ExternalAuthenticate()) != KQ_SCARD_S_SUCCESS)
        Fail(pszAuthFailure);
    return dwRet;
}

DWORD CKQCard::OpenDirectory(BYTE bOffset, const SDirectoryTexts &texts, BYTE abDescriptor[3])
{
    DWORD dwRet = m_psCard->SelectFile(0x02, kDfHigh, kIndexEf);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        Fail(texts.pszIndexSelect);
        return dwRet;
    }
    if ((dwRet = m_psCard->ReadBinary(bOffset, abDescriptor, 3)) != KQ_SCARD_S_SUCCESS) {
        Fail(texts.pszIndexRead);
        return dwRet;
    }
    if ((dwRet = m_psCard->SelectFile(0x02, abDescriptor[0], abDescriptor[1])) !=
        KQ_SCARD_S_SUCCESS)
        FailFid(texts.pszDirectorySelect, abDescriptor[0], abDescriptor[1]);
    return dwRet;
}

DWORD CKQCard::ReadRecordOf(const BYTE abDescriptor[3], BYTE bNo, const SDirectoryTexts &texts,
                            BYTE abRecord[KEYSET_RECORD_LENGTH])
{
    // Reading a name file changes the current file: select the directory
    // before every record.
    DWORD dwRet = m_psCard->SelectFile(0x02, abDescriptor[0], abDescriptor[1]);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        FailFid(texts.pszDirectorySelect, abDescriptor[0], abDescriptor[1]);
        return dwRet;
    }
    if ((dwRet = m_psCard->ReadRecord(bNo, abRecord, KEYSET_RECORD_LENGTH)) != KQ_SCARD_S_SUCCESS)
        Fail(texts.pszRecordRead);
    return dwRet;
}

DWORD CKQCard::WriteRecordOf(const BYTE abDescriptor[3], BYTE bNo, const BYTE *pbRecord,
                             const SDirectoryTexts &texts, const char *pszUpdateFailure)
{
    DWORD dwRet = m_psCard->SelectFile(0x02, abDescriptor[0], abDescriptor[1]);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        FailFid(texts.pszDirectorySelect, abDescriptor[0], abDescriptor[1]);
        return dwRet;
    }
    if ((dwRet = m_psCard->UpdateRecord(bNo, pbRecord, KEYSET_RECORD_LENGTH)) !=
        KQ_SCARD_S_SUCCESS)
        Fail(pszUpdateFailure);
    return dwRet;
}

DWORD CKQCard::ReadContainerName(const BYTE *pbRecord, char szName[256],
                                 const char *pszSelectFailure, const char *pszReadFailure)
{
    std::memset(szName, 0, 256);
    DWORD dwRet = m_psCard->SelectFile(0x02, pbRecord[4], pbRecord[5]);
    if (dwRet != KQ_SCARD_S_SUCCESS) {
        FailFid(pszSelectFailure, pbRecord[4], pbRecord[5]);
        return dwRet;
    }
    BYTE *pb = reinterpret_cast<BYTE *>(szName);
    if ((dwRet = m_psCard->ReadBinary(0, pb, 128)) != KQ_SCARD_S_SUCCESS ||
        (dwRet = m_psCard->ReadBinary(128, pb + 128, 127)) != KQ_SCARD_S_SUCCESS)
        Fail(pszReadFailure);
    szName[255] = '\0';
    return dwRet;
}

DWORD CKQCard::WriteInPieces(WORD wOffset, const BYTE *pbData, DWORD dwLen, bool bSecure)
{
    for (DWORD dwDone = 0; dwDone < dwLen;) {
        const DWORD dwPiece = dwLen - dwDone < kPiece ? dwLen - dwDone : kPiece;
        const WORD wAt = static_cast<WORD>(wOffset + dwDone);
        const DWORD dwRet = bSecure ? m_psCard->UpdateBinaryInCipherMac(wAt, pbData + dwDone, dwPiece)
                                    : m_psCard->UpdateBinary(wAt, pbData + dwDone, dwPiece);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        dwDone += dwPiece;
    }
    return KQ_SCARD_S_SUCCESS;
}

// ---------------------------------------------------------------------------
// Locating a container

DWORD CKQCard::GetFileIds(const char *pszContainer, int nKeySpec, BYTE *pbRecord, BYTE bSize,
                          BYTE *pbIndex)
{
    if (bSize < KEYSET_RECORD_LENGTH || pbRecord == nullptr) {
        Fail("CKQCard::GetFileIds byLen < 12");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    if (pszContainer == nullptr || pbIndex == nullptr) {
        Fail("CKQCard::GetFileIds Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("GetFileIds", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::GetFileIds SelectFile[0x50][0x31] Failed",
            "CKQCard::GetFileIds ReadBinary Failed", "CKQCard::GetFileIds SelectFile[%x][%x] Failed",
            "CKQCard::GetFileIds ReadRecord Failed"};
        DWORD dwRet = Authenticate("CKQCard::GetFileIds SelectFile [0x50][0x00] Failed",
                                   "CKQCard::GetFileIds ExternalAuthentication Failed");
        BYTE abDir[3];
        if (dwRet != KQ_SCARD_S_SUCCESS ||
            (dwRet = OpenDirectory(DescriptorOffset(static_cast<DWORD>(nKeySpec)), kTexts,
                                   abDir)) != KQ_SCARD_S_SUCCESS)
            return dwRet;
        for (BYTE bNo = 1; bNo <= abDir[2] && bNo != 0; ++bNo) {
            BYTE abRecord[KEYSET_RECORD_LENGTH];
            if ((dwRet = ReadRecordOf(abDir, bNo, kTexts, abRecord)) != KQ_SCARD_S_SUCCESS)
                return dwRet;
            if (!(abRecord[0] & kInUse))
                continue;
            char szName[256];
            if ((dwRet = ReadContainerName(abRecord, szName, kTexts.pszDirectorySelect,
                                           "CKQCard::GetFileIds ReadBinary Failed")) !=
                KQ_SCARD_S_SUCCESS)
                return dwRet;
            if (lstrcmpiA(szName, pszContainer) == 0) {
                std::memcpy(pbRecord, abRecord, KEYSET_RECORD_LENGTH);
                *pbIndex = bNo;
                return KQ_SCARD_S_SUCCESS;
            }
        }
        return KQ_SCARD_E_UNEXPECTED;
    });
}

DWORD CKQCard::GetKeysetIdObjectStatus(const char *pszContainer, DWORD dwKeySpec,
                                       WORD *pwStatus, WORD *pwKeyBits)
{
    return InLockedFrame("GetKeysetIdObjectStatus", [&]() -> DWORD {
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        BYTE bIndex = 0;
        if (GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord, sizeof(abRecord),
                       &bIndex) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GetKeysetIdObjectStatus GetFileIds Failed");
            return KQ_SCARD_E_NO_KEY_CONTAINER;
        }
        if (pwStatus != nullptr)
            *pwStatus = static_cast<WORD>((abRecord[0] << 8) | abRecord[1]);
        if (pwKeyBits != nullptr)
            *pwKeyBits = (abRecord[0] & kPublicPresent)
                             ? static_cast<WORD>((abRecord[2] << 8) | abRecord[3])
                             : 0;
        return KQ_SCARD_S_SUCCESS;
    });
}

// ---------------------------------------------------------------------------
// Container lists

DWORD CKQCard::ReadDirectoryEntries(const BYTE abDir[3], const SDirectoryTexts &texts,
                                    KEYSET_ID *pItems, const char *pszNameFailure)
{
    for (BYTE i = 0; i < abDir[2]; ++i) {
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        DWORD dwRet = ReadRecordOf(abDir, static_cast<BYTE>(i + 1), texts, abRecord);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        KEYSET_ID &item = pItems[i];
        item.wStatus = static_cast<WORD>((abRecord[0] << 8) | abRecord[1]);
        std::memset(item.szName, 0, sizeof(item.szName));
        if (abRecord[0] & kInUse) {
            char szName[256];
            if ((dwRet = ReadContainerName(abRecord, szName, texts.pszDirectorySelect,
                                           pszNameFailure)) != KQ_SCARD_S_SUCCESS)
                return dwRet;
            std::memcpy(item.szName, szName, sizeof(szName));
        }
    }
    return KQ_SCARD_S_SUCCESS;
}

DWORD CKQCard::ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    // *pdwCount: on input the room in pItems (entries), on output the count.
    if (pItems == nullptr || pdwCount == nullptr) {
        Fail("CKQCard::ReadKeysetIds Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("ReadKeysetIds", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::ReadKeysetIds SelectFile Failed", "CKQCard::ReadKeysetIds ReadBinary Failed",
            "CKQCard::ReadKeysetIds SelectFile [%x][%x]Failed",
            "CKQCard::ReadKeysetIds ReadRecord Failed"};
        DWORD dwRet = Authenticate("CKQCard::ReadKeysetIds SelectFile Failed",
                                   "CKQCard::ReadKeysetIds ExternalAuthentication Failed");
        BYTE abDir[3];
        if (dwRet != KQ_SCARD_S_SUCCESS || (dwRet = OpenDirectory(0, kTexts, abDir)) != 0)
            return dwRet;
        if (abDir[2] > *pdwCount) {
            Fail("CKQCard::ReadKeysetIds *pdwCount < Record Count");
            *pdwCount = abDir[2];
            return KQ_SCARD_E_INSUFFICIENT_BUFFER;
        }
        if ((dwRet = ReadDirectoryEntries(abDir, kTexts, pItems,
                                          "CKQCard::ReadKeysetIds ReadBinary Failed")) != 0)
            return dwRet;
        *pdwCount = abDir[2];
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::ReadAllKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    // *pdwCount: on input the room in pItems (entries); on output the
    // first directory's count (the second directory's entries follow it).
    if (pItems == nullptr || pdwCount == nullptr) {
        Fail("CKQCard::ReadAllKeysetIds Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("ReadAllKeysetIds", [&]() -> DWORD {
        static const SDirectoryTexts kFirst = {
            "CKQCard::ReadAllKeysetIds SelectFile Failed",
            "CKQCard::ReadAllKeysetIds ReadBinary Failed",
            "CKQCard::ReadAllKeysetIds SelectFile Failed",
            "CKQCard::ReadAllKeysetIds ReadRecord Failed"};
        static const SDirectoryTexts kSecond = {
            "CKQCard::ReadAllKeysetIds SelectFile[0x50][0x31] Failed",
            "CKQCard::ReadAllKeysetIds ReadBinary Failed",
            "CKQCard::ReadAllKeysetIds SelectFile Failed",
            "CKQCard::ReadAllKeysetIds ReadRecord Failed"};
        const DWORD dwRoom = *pdwCount;
        DWORD dwRet = Authenticate("CKQCard::ReadAllKeysetIds Failed",
                                   "CKQCard::ReadAllKeysetIds ExternalAuthentication Failed");
        BYTE abFirst[3], abSecond[3];
        if (dwRet != KQ_SCARD_S_SUCCESS || (dwRet = OpenDirectory(0, kFirst, abFirst)) != 0)
            return dwRet;
        if (abFirst[2] > dwRoom) {
            Fail("CKQCard::ReadAllKeysetIds *pdwCount < Record Count");
            *pdwCount = abFirst[2];
            return KQ_SCARD_E_INSUFFICIENT_BUFFER;
        }
        if ((dwRet = ReadDirectoryEntries(abFirst, kFirst, pItems,
                                          "CKQCard::ReadAllKeysetIds ReadBinary Failed")) != 0)
            return dwRet;
        if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ReadAllKeysetIds SelectFile[0x50][0x00] Failed");
            return dwRet;
        }
        if ((dwRet = OpenDirectory(3, kSecond, abSecond)) != KQ_SCARD_S_SUCCESS)
            return dwRet;
        if (static_cast<DWORD>(abFirst[2]) + abSecond[2] > dwRoom) {
            Fail("CKQCard::ReadAllKeysetIds *pdwCount < Record Count");
            *pdwCount = static_cast<DWORD>(abFirst[2]) + abSecond[2];
            return KQ_SCARD_E_INSUFFICIENT_BUFFER;
        }
        if ((dwRet = ReadDirectoryEntries(abSecond, kSecond, pItems + abFirst[2],
                                          "CKQCard::ReadAllKeysetIds ReadBinary Failed")) != 0)
            return dwRet;
        *pdwCount = abFirst[2];
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::WriteKeysetId(int nIndex, const char *pszContainer)
{
    if (pszContainer == nullptr || nIndex < 1 || nIndex > 255) {
        Fail("CKQCard::WriteKeysetId Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    // The name file is read back as 255 bytes: longer names would come back
    // cut (and the length byte would wrap), so they are refused.
    const size_t nName = std::strlen(pszContainer);
    if (nName > kMaxContainerName) {
        Fail("CKQCard::WriteKeysetId Container Name Too Long");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("WriteKeysetId", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::WriteKeysetId SelectFile [0x50] [0x31]Failed",
            "CKQCard::WriteKeysetId ReadBinary Failed",
            "CKQCard::WriteKeysetId SelectFile [%x] [%x]Failed",
            "CKQCard::WriteKeysetId ReadRecord Failed"};
        const BYTE bNo = static_cast<BYTE>(nIndex);
        for (int nPass = 0; nPass < 2; ++nPass) {
            DWORD dwRet;
            if (nPass == 0) {
                dwRet = Authenticate("CKQCard::WriteKeysetId Failed",
                                     "CKQCard::WriteKeysetId ExternalAuthentication Failed");
            } else if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != 0) {
                Fail("CKQCard::WriteKeysetId SelectFile [0x50] [0x00]Failed");
            }
            BYTE abDir[3];
            if (dwRet != KQ_SCARD_S_SUCCESS ||
                (dwRet = OpenDirectory(nPass == 0 ? 0 : 3, kTexts, abDir)) != 0)
                return dwRet;
            if (bNo > abDir[2]) {
                Fail("CKQCard::WriteKeysetId nIndex > Record Count");
                return KQ_SCARD_E_INVALID_PARAMETER;
            }
            BYTE abRecord[KEYSET_RECORD_LENGTH];
            if ((dwRet = ReadRecordOf(abDir, bNo, kTexts, abRecord)) != KQ_SCARD_S_SUCCESS)
                return dwRet;
            abRecord[0] = kInUse;
            abRecord[1] = abRecord[2] = abRecord[3] = 0;
            if ((dwRet = WriteRecordOf(abDir, bNo, abRecord, kTexts,
                                       "CKQCard::WriteKeysetId UpdateRecord Failed")) != 0)
                return dwRet;
            if ((dwRet = m_psCard->SelectFile(0x02, abRecord[4], abRecord[5])) != 0) {
                FailFid("CKQCard::WriteKeysetId SelectFile [%x] [%x] Failed", abRecord[4],
                        abRecord[5]);
                return dwRet;
            }
            if ((dwRet = WriteInPieces(0, reinterpret_cast<const BYTE *>(pszContainer),
                                       static_cast<DWORD>(nName + 1), false)) != 0) {
                Fail("CKQCard::WriteKeysetId UpdateBinary Failed");
                return dwRet;
            }
        }
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::DeleteKeySet(const char *pszContainer)
{
    if (pszContainer == nullptr) {
        Fail("CKQCard::DeleteKeySet Invalid Parameter");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("DeleteKeySet", [&]() -> DWORD {
        static const SDirectoryTexts kFirst = {
            "CKQCard::DeleteKeySet SelectFile 0x50,0x31 Faied",
            "CKQCard::DeleteKeySet ReadBinary Faied", "CKQCard::DeleteKeySet SelectFile [%x][%x]Faied",
            "CKQCard::DeleteKeySet ReadRecord Faied"};
        static const SDirectoryTexts kSecond = {
            "CKQCard::DeleteKeySet SelectFile [0x50][0x31]Faied",
            "CKQCard::DeleteKeySet ReadBinary Faied", "CKQCard::DeleteKeySet SelectFile [%x][%x]Faied",
            "CKQCard::DeleteKeySet ReadRecord Faied"};
        DWORD dwRet = Authenticate("CKQCard::DeleteKeySet SelectFile 0x50,0x00 Faied",
                                   "CKQCard::DeleteKeySet ExternalAuthentication Faied");
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        for (int nPass = 0; nPass < 2; ++nPass) {
            const SDirectoryTexts &texts = nPass == 0 ? kFirst : kSecond;
            if (nPass == 1 && (dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != 0) {
                Fail("CKQCard::DeleteKeySet SelectFile [0x50][0x00]Faied");
                return dwRet;
            }
            BYTE abDir[3];
            if ((dwRet = OpenDirectory(nPass == 0 ? 0 : 3, texts, abDir)) != 0)
                return dwRet;
            for (BYTE bNo = 1; bNo <= abDir[2] && bNo != 0; ++bNo) {
                BYTE abRecord[KEYSET_RECORD_LENGTH];
                if ((dwRet = ReadRecordOf(abDir, bNo, texts, abRecord)) != 0)
                    return dwRet;
                if (!(abRecord[0] & kInUse))
                    continue;
                char szName[256];
                if ((dwRet = ReadContainerName(abRecord, szName,
                                               "CKQCard::DeleteKeySet SelectFile Faied",
                                               "CKQCard::DeleteKeySet ReadBinary Faied")) != 0)
                    return dwRet;
                if (lstrcmpiA(szName, pszContainer) != 0)
                    continue;
                abRecord[0] = abRecord[1] = abRecord[2] = abRecord[3] = 0;
                if ((dwRet = WriteRecordOf(abDir, bNo, abRecord, texts,
                                           "CKQCard::DeleteKeySet UpdateRecord Faied")) != 0)
                    return dwRet;
                // The first directory holds a name once; the second may
                // hold it more than once.
                if (nPass == 0)
                    break;
            }
        }
        return KQ_SCARD_S_SUCCESS;
    });
}

// ---------------------------------------------------------------------------
// Keys

DWORD CKQCard::VerifyHolderPin(const char *pszFailure)
{
    const DWORD dwRet = m_psCard->VerifyPin(kHolderPin, nullptr, 0, nullptr);
    if (dwRet != KQ_SCARD_S_SUCCESS)
        Fail(pszFailure);
    return dwRet;
}

DWORD CKQCard::MarkRecord(DWORD dwKeySpec, BYTE bNo, BYTE bSetFlags, BYTE bClearFlags,
                          const BYTE *pbLengthField, const SDirectoryTexts &texts,
                          const char *pszUpdateFailure)
{
    BYTE abDir[3];
    DWORD dwRet = OpenDirectory(DescriptorOffset(dwKeySpec), texts, abDir);
    BYTE abRecord[KEYSET_RECORD_LENGTH];
    if (dwRet != KQ_SCARD_S_SUCCESS ||
        (dwRet = ReadRecordOf(abDir, bNo, texts, abRecord)) != KQ_SCARD_S_SUCCESS)
        return dwRet;
    abRecord[0] = static_cast<BYTE>((abRecord[0] | bSetFlags) & ~bClearFlags);
    if (pbLengthField != nullptr) {
        abRecord[2] = pbLengthField[0];
        abRecord[3] = pbLengthField[1];
    }
    return WriteRecordOf(abDir, bNo, abRecord, texts, pszUpdateFailure);
}

DWORD CKQCard::GenerateKeys(const char *pszContainer, KEYGEN_PARAM keyParam, DWORD dwKeySpec)
{
    return InLockedFrame("GenerateKeys", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::GenerateKeys SelectFile Failed", "CKQCard::GenerateKeys ReadBinary Failed",
            "CKQCard::GenerateKeys SelectFile [%x] [%x] Failed",
            "CKQCard::GenerateKeys ReadRecord Failed"};
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        BYTE bIndex = 0;
        DWORD dwRet = GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord,
                                 sizeof(abRecord), &bIndex);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GenerateKeys GetFileIds Failed");
            return dwRet;
        }
        // Only the sizes the token generates; another size must not quietly
        // become a 512-bit key.
        BYTE bSizeCode = 0;
        switch (keyParam.dwKeyBits) {
        case 512: bSizeCode = 1; break;
        case 1024: bSizeCode = 2; break;
        case 2048: bSizeCode = 3; break;
        default:
            Fail("CKQCard::GenerateKeys Unsupported Key Length");
            return KQ_SCARD_E_INVALID_PARAMETER;
        }
        if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GenerateKeys SelectFile [0x50] [0x00]Failed");
            return dwRet;
        }
        if ((dwRet = VerifyHolderPin("CKQCard::GenerateKeys VerifyPin Failed")) != 0)
            return dwRet;
        if ((dwRet = m_psCard->GenerateRsaKey(abRecord[6], abRecord[7], abRecord[8], abRecord[9],
                                              bSizeCode)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::GenerateKeys GenerateRsaKey Failed");
            return dwRet;
        }
        if ((dwRet = Authenticate("CKQCard::GenerateKeys SelectFile Failed",
                                  "CKQCard::GenerateKeys ExternalAuthentication Failed")) != 0)
            return dwRet;
        // Bytes 2-3 keep the caller's algorithm value: the provider compares
        // it with the dwKeySpec it asks for.
        BYTE abUsage[2];
        PutWord(abUsage, static_cast<WORD>(keyParam.dwAlgorithm));
        return MarkRecord(dwKeySpec, bIndex, kKeysPresent, 0, abUsage, kTexts,
                          "CKQCard::GenerateKeys UpdateRecord Failed");
    });
}

DWORD CKQCard::ImportKey(const char *pszContainer, DWORD dwKeySpec, DWORD dwKeyBits,
                         const BYTE *pbBlob, DWORD dwBlobLen)
{
    return InLockedFrame("ImportKey", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::ImportKey SelectFile Failed", "CKQCard::ImportKey ReadBinary Failed",
            "CKQCard::ImportKey SelectFile Failed", "CKQCard::ImportKey ReadRecord Failed"};
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        BYTE bIndex = 0;
        DWORD dwRet = GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord,
                                 sizeof(abRecord), &bIndex);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ImportKey GetFileIds Failed");
            return dwRet;
        }
        // The public part's length must lie inside the blob before either
        // part goes to the card.
        if (pbBlob == nullptr || dwBlobLen < 4) {
            Fail("CKQCard::ImportKey dwBlobLen < 4");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwPublic = (static_cast<DWORD>(pbBlob[0]) << 24) |
                               (static_cast<DWORD>(pbBlob[1]) << 16) |
                               (static_cast<DWORD>(pbBlob[2]) << 8) | pbBlob[3];
        if (dwPublic > dwBlobLen - 4) {
            Fail("CKQCard::ImportKey Public Key Length Out Of Blob");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if ((dwRet = VerifyHolderPin("CKQCard::ImportKey VerifyPin Failed")) != 0)
            return dwRet;
        if ((dwRet = m_psCard->ImportKey(abRecord[6], abRecord[7], pbBlob, dwPublic + 4)) != 0 ||
            (dwRet = m_psCard->ImportKey(abRecord[8], abRecord[9], pbBlob + dwPublic + 4,
                                         dwBlobLen - dwPublic - 4)) != 0) {
            Fail("CKQCard::ImportKey ImportKey Failed");
            return dwRet;
        }
        if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ImportKey SelectFile Failed");
            return dwRet;
        }
        BYTE abBits[2];
        PutWord(abBits, static_cast<WORD>(dwKeyBits));
        return MarkRecord(dwKeySpec, bIndex, kKeysPresent, 0, abBits, kTexts,
                          "CKQCard::ImportKey UpdateRecord Failed");
    });
}

DWORD CKQCard::LocateKeyPair(const char *pszContainer, DWORD dwKeySpec, const char *pszMethod,
                             BYTE abRecord[KEYSET_RECORD_LENGTH])
{
    char szText[128];
    BYTE bIndex = 0;
    if (GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord, KEYSET_RECORD_LENGTH,
                   &bIndex) != KQ_SCARD_S_SUCCESS) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s GetFileIds Failed", pszMethod);
        Fail(szText);
        return KQ_SCARD_E_NO_KEY_CONTAINER;
    }
    if ((abRecord[0] & kKeysPresent) != kKeysPresent) {
        std::snprintf(szText, sizeof(szText), "CKQCard::%s uRetStatus Is Invalid", pszMethod);
        Fail(szText);
        return KQ_SCARD_E_FILE_NOT_FOUND;
    }
    return KQ_SCARD_S_SUCCESS;
}

DWORD CKQCard::ReadPublicKey(const char *pszContainer, DWORD dwKeySpec, BYTE *pbBlob,
                             DWORD *pdwLen)
{
    if (pdwLen == nullptr || pbBlob == nullptr || *pdwLen < kPubKeyBlobLength) {
        Fail("CKQCard::ReadPublicKey ERROR_MORE_DATA");
        if (pdwLen != nullptr)
            *pdwLen = kPubKeyBlobLength;
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("ReadPublicKey", [&]() -> DWORD {
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        DWORD dwRet = LocateKeyPair(pszContainer, dwKeySpec, "ReadPublicKey", abRecord);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        if ((dwRet = VerifyHolderPin("CKQCard::ReadPublicKey VerifyPin Failed")) != 0)
            return dwRet;
        if ((dwRet = m_psCard->SelectFile(0x02, abRecord[6], abRecord[7])) != 0) {
            Fail("CKQCard::ReadPublicKey SelectFile Failed");
            return dwRet;
        }
        BYTE abExport[512];
        DWORD dwExport = sizeof(abExport);
        if ((dwRet = m_psCard->RsaPublicKeyExport(abRecord[6], abRecord[7], abExport,
                                                  &dwExport)) != KQ_SCARD_S_SUCCESS)
            return dwRet;
        if (dwExport < 4 + 2 || dwExport - 4 > kMaxModulus || (dwExport - 4) % 2 != 0) {
            Fail("CKQCard::ReadPublicKey Modulus Length Invalid");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD m = dwExport - 4;
        const BYTE *pbModulus = abExport + 4;
        BYTE abBlob[kPubKeyBlobLength] = {0};
        PutWord(abBlob, static_cast<WORD>(8 * m));
        // The modulus's 2-byte groups in reverse order, each group kept.
        for (DWORD k = 0; k < m; ++k) {
            const DWORD r = (k % 2 == 0) ? k + 1 : k - 1;  // index into the reversed modulus
            abBlob[2 + k] = pbModulus[m - 1 - r];
        }
        std::memcpy(abBlob + 258, abExport, 4);
        std::memcpy(pbBlob, abBlob, kPubKeyBlobLength);
        *pdwLen = kPubKeyBlobLength;
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::ComputeCrypt(const char *pszContainer, int nOp, DWORD dwKeySpec, const BYTE *pbIn,
                            DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen)
{
    return InLockedFrame("ComputeCrypt", [&]() -> DWORD {
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        DWORD dwRet = LocateKeyPair(pszContainer, dwKeySpec, "ComputeCrypt", abRecord);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ComputeCrypt SelectFile Failed");
            return dwRet;
        }
        if ((dwRet = VerifyHolderPin("CKQCard::ComputeCrypt VerifyPin Failed")) != 0)
            return dwRet;
        const BYTE *pbPublic = abRecord + 6;
        const BYTE *pbPrivate = abRecord + 8;
        switch (nOp) {
        case 0:
            return m_psCard->RsaVerifySignature(pbPublic[0], pbPublic[1], pbIn, dwInLen, pbOut,
                                                pdwOutLen);
        case 1:
            return m_psCard->RsaSignature(pbPrivate[0], pbPrivate[1], pbIn, dwInLen, pbOut,
                                          pdwOutLen);
        case 2:
            return m_psCard->RsaPubKeyEncryt(pbPublic[0], pbPublic[1], pbIn, dwInLen, pbOut,
                                             pdwOutLen);
        case 3:
            return m_psCard->RsaPrvKeyCrypt(pbPrivate[0], pbPrivate[1], pbIn, dwInLen, pbOut,
                                            pdwOutLen);
        default:
            return KQ_SCARD_E_UNSUPPORTED_FEATURE;
        }
    });
}

// ---------------------------------------------------------------------------
// Certificates

DWORD CKQCard::ReadCertificate(const char *pszContainer, DWORD dwKeySpec, BYTE *lpbCert,
                               DWORD *lpdwCertSize)
{
    if (lpdwCertSize == nullptr) {
        Fail("CKQCard::ReadCertificate lpdwCertSize == NULL");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("ReadCertificate", [&]() -> DWORD {
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        BYTE bIndex = 0;
        DWORD dwRet = GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord,
                                 sizeof(abRecord), &bIndex);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::ReadCertificate GetFileIds Failed");
            return dwRet;
        }
        if ((dwRet = Authenticate("CKQCard::ReadCertificate SelectFile Failed",
                                  "CKQCard::ReadCertificate ExternalAuthentication Failed")) != 0)
            return dwRet;
        if (!(abRecord[0] & kCertificatePresent)) {
            Fail("CKQCard::ReadCertificate !(bFileIds[0] & 0x80)");
            return KQ_SCARD_E_CERTIFICATE_UNAVAILABLE;
        }
        if ((dwRet = m_psCard->SelectFile(0x02, abRecord[10], abRecord[11])) != 0) {
            FailFid("CKQCard::ReadCertificate SelectFile [%x] [%x] Failed", abRecord[10],
                    abRecord[11]);
            return dwRet;
        }
        BYTE abHead[4];
        if ((dwRet = m_psCard->ReadBinaryInCipherMac(0, abHead, sizeof(abHead))) != 0) {
            Fail("CKQCard::ReadCertificate ReadBinaryInCipherMac Failed");
            return dwRet;
        }
        const DWORD dwSize = ((static_cast<DWORD>(abHead[2]) << 8) | abHead[3]) + 4;
        // The certificate file holds at most the working buffer.
        if (dwSize > kCertificateBuffer) {
            Fail("CKQCard::ReadCertificate Certificate Too Large");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (lpbCert == nullptr || *lpdwCertSize < dwSize) {
            Fail("CKQCard::ReadCertificate lpbCert == NULL || *lpdwCertSize < dwCertSize");
            *lpdwCertSize = dwSize;
            return kErrorMoreData;
        }
        *lpdwCertSize = dwSize;
        std::vector<BYTE> work(kCertificateBuffer, 0);
        for (DWORD dwDone = 0; dwDone < dwSize;) {
            const DWORD dwPiece = dwSize - dwDone < kPiece ? dwSize - dwDone : kPiece;
            if ((dwRet = m_psCard->ReadBinaryInCipherMac(static_cast<WORD>(dwDone),
                                                         work.data() + dwDone, dwPiece)) != 0) {
                Fail("CKQCard::ReadCertificate ReadBinaryInCipherMac Failed");
                return dwRet;
            }
            dwDone += dwPiece;
        }
        std::memcpy(lpbCert, work.data(), dwSize);
        return KQ_SCARD_S_SUCCESS;
    });
}

DWORD CKQCard::WriteCertificate(const char *pszContainer, DWORD dwKeySpec, const BYTE *pbCert,
                                DWORD dwCertLen)
{
    if (pbCert == nullptr || dwCertLen == 0 || dwCertLen > kCertificateBuffer) {
        Fail("CKQCard::WriteCertificate Invalid Certificate Length");
        return KQ_SCARD_E_INVALID_PARAMETER;
    }
    return InLockedFrame("WriteCertificate", [&]() -> DWORD {
        static const SDirectoryTexts kTexts = {
            "CKQCard::WriteCertificate SelectFile Failed",
            "CKQCard::WriteCertificate ReadBinary Failed",
            "CKQCard::WriteCertificate SelectFile Failed",
            "CKQCard::WriteCertificate ReadRecord Failed"};
        BYTE abRecord[KEYSET_RECORD_LENGTH];
        BYTE bIndex = 0;
        DWORD dwRet = GetFileIds(pszContainer, static_cast<int>(dwKeySpec), abRecord,
                                 sizeof(abRecord), &bIndex);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::WriteCertificate GetFileIds Failed");
            return dwRet;
        }
        if (bIndex == 0) {
            Fail("CKQCard::WriteCertificate dwIndex == 0");
            return KQ_SCARD_E_NO_KEY_CONTAINER;
        }
        if ((dwRet = Authenticate("CKQCard::WriteCertificate SelectFile Failed",
                                  "CKQCard::WriteCertificate ExternalAuthentication Failed")) != 0)
            return dwRet;
        if ((dwRet = VerifyHolderPin("CKQCard::WriteCertificate VerifyPin Failed")) != 0)
            return dwRet;
        // While the file is being rewritten the record must not claim a
        // certificate: a write that stops half-way leaves none marked.
        if ((dwRet = MarkRecord(dwKeySpec, bIndex, 0, kCertificatePresent, nullptr, kTexts,
                                "CKQCard::WriteCertificate UpdateRecord Failed")) != 0)
            return dwRet;
        if ((dwRet = m_psCard->SelectFile(0x02, abRecord[10], abRecord[11])) != 0) {
            Fail("CKQCard::WriteCertificate SelectFile Failed");
            return dwRet;
        }
        if ((dwRet = WriteInPieces(0, pbCert, dwCertLen, true)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::WriteCertificate UpdateBinaryInCipherMac Failed");
            return dwRet;
        }
        if ((dwRet = m_psCard->SelectFile(0x00, kDfHigh, kDfLow)) != KQ_SCARD_S_SUCCESS) {
            Fail("CKQCard::WriteCertificate SelectFile Failed");
            return dwRet;
        }
        return MarkRecord(dwKeySpec, bIndex, kCertificatePresent, 0, nullptr, kTexts,
                          "CKQCard::WriteCertificate UpdateRecord Failed");
    });
}
