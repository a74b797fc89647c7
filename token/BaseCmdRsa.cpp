// BaseCmdRsa.cpp
//
// The key commands of the command set: key-pair generation, the four
// chained RSA operations, key import and public-key export. Input longer
// than one block goes in 128-byte blocks, each with a chain byte (00 more
// follow, 01 last).
#include "BaseCmd.h"

#include <cstring>

#include "BaseCmdInternal.h"
#include "HidManager.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "StatusWord.h"

namespace {

const DWORD kChainBlock = 128;
const BYTE kChainMore = 0x00;
const BYTE kChainLast = 0x01;
// Wait before every block of a key import.
const DWORD kWaitImport = 20;
// ImportKey takes its length as a signed 16-bit number.
const DWORD kMaxImport = 0x7FFF;

}  // namespace

struct CBaseCmd::SRsaOperation {
    BYTE bP1;
    BYTE bP2;
    const char *pszName;
    const char *pszNoBuffer;  // trace when the last block's buffer cannot be had
    DWORD dwAnswerFlags;      // HID_FLAG_SECRET_ANSWER where the result is plain text
};

DWORD CBaseCmd::GenerateRsaKey(BYTE b1, BYTE b2, BYTE b3, BYTE b4, BYTE bSizeCode)
{
    CCmdTraceScope scope("GenerateRsaKey");
    try {
        // Size codes 1, 2, 3 are 512, 1024 and 2048 bits; the card works
        // longer on larger keys before its first answer is worth polling.
        const DWORD dwWait = bSizeCode == 3 ? 200 : bSizeCode == 2 ? 100 : 80;
        const std::vector<BYTE> apdu = {0x00, 0x46, 0x00, 0x00, 0x05, b1, b2, b3, b4, bSizeCode};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, dwWait)) {
            CMD_FAIL("[generate_rsakeyXin] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[generate_rsakeyXin] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[generate_rsakeyXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::RsaChained(const SRsaOperation &op, BYTE bFidHigh, BYTE bFidLow,
                           const BYTE *pbIn, DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen)
{
    if ((pbIn == nullptr && dwInLen > 0) || pbOut == nullptr || pdwOutLen == nullptr) {
        CMD_FAIL("[%s] invalid parameter", op.pszName);
        return KQ_SCARD_E_UNEXPECTED;
    }
    // *pdwOutLen brings the capacity of pbOut: no block may be written past it.
    const DWORD dwCapacity = *pdwOutLen;
    *pdwOutLen = 0;
    DWORD dwRead = 0, dwWritten = 0;
    std::vector<BYTE> answer;
    BYTE bSw1 = 0, bSw2 = 0;

    // Sends one block and appends its answer; 0 or the failure code.
    auto sendBlock = [&](const std::vector<BYTE> &apdu) -> DWORD {
        if (!Exchange(apdu, answer, bSw1, bSw2, 0, op.dwAnswerFlags)) {
            CMD_FAIL("[%s] dwRet != SCARD_S_SUCCESS", op.pszName);
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[%s] dwRet != S_OK", op.pszName);
            return dwRet;
        }
        if (answer.size() > dwCapacity - dwWritten) {
            CMD_FAIL("[%s] dwOutLen too small, dwOutLen=[%d]", op.pszName,
                     static_cast<int>(dwCapacity));
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (!answer.empty())
            std::memcpy(pbOut + dwWritten, answer.data(), answer.size());
        dwWritten += static_cast<DWORD>(answer.size());
        *pdwOutLen = dwWritten;
        return KQ_SCARD_S_SUCCESS;
    };

    while (dwInLen - dwRead > kChainBlock) {
        std::vector<BYTE> apdu = {0x80, 0x2A, op.bP1, op.bP2, kChainBlock + 3, bFidHigh, bFidLow,
                                  kChainMore};
        apdu.insert(apdu.end(), pbIn + dwRead, pbIn + dwRead + kChainBlock);
        const DWORD dwRet = sendBlock(apdu);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            return dwRet;
        dwRead += kChainBlock;
    }

    const DWORD dwRest = dwInLen - dwRead;
    CLibraryBuffer last(dwRest + 8);
    if (last.Get() == nullptr) {
        CMD_FAIL("%s", op.pszNoBuffer);
        return KQ_SCARD_E_UNEXPECTED;
    }
    BYTE *pb = last.Get();
    pb[0] = 0x80;
    pb[1] = 0x2A;
    pb[2] = op.bP1;
    pb[3] = op.bP2;
    pb[4] = static_cast<BYTE>(dwRest + 3);
    pb[5] = bFidHigh;
    pb[6] = bFidLow;
    pb[7] = kChainLast;
    if (dwRest > 0)
        std::memcpy(pb + 8, pbIn + dwRead, dwRest);
    return sendBlock(std::vector<BYTE>(pb, pb + dwRest + 8));
}

DWORD CBaseCmd::RsaPubKeyEncryt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                                BYTE *pbOut, DWORD *pdwOutLen)
{
    CCmdTraceScope scope("RsaPubKeyEncryt");
    try {
        static const SRsaOperation op = {0x86, 0x80, "RsaPubKeyEncryt",
                                         "[RsaPubKeyEncryt] !byPreData", HID_FLAG_NONE};
        return RsaChained(op, bFidHigh, bFidLow, pbIn, dwInLen, pbOut, pdwOutLen);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[rsa_pubactXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::RsaPrvKeyCrypt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                               BYTE *pbOut, DWORD *pdwOutLen)
{
    CCmdTraceScope scope("RsaPrvKeyCrypt");
    try {
        // A private-key decryption answers with the plain text (often a
        // session key): it is not dumped.
        static const SRsaOperation op = {0x80, 0x86, "RsaPrvKeyCrypt",
                                         "[RsaPrvKeyCrypt] !byPreData", HID_FLAG_SECRET_ANSWER};
        return RsaChained(op, bFidHigh, bFidLow, pbIn, dwInLen, pbOut, pdwOutLen);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[rsa_prvactXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::RsaVerifySignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn,
                                   DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen)
{
    CCmdTraceScope scope("RsaVerifySignature");
    try {
        static const SRsaOperation op = {0x00, 0xA8, "RsaVerifySignature",
                                         "[RsaVerifySignature] byPreData==NULL", HID_FLAG_NONE};
        return RsaChained(op, bFidHigh, bFidLow, pbIn, dwInLen, pbOut, pdwOutLen);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[rsa_VerifySignature]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::RsaSignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                             BYTE *pbOut, DWORD *pdwOutLen)
{
    CCmdTraceScope scope("RsaSignature");
    try {
        static const SRsaOperation op = {0x9E, 0x9A, "RsaSignature",
                                         "[RsaSignature] byPreData==NULL", HID_FLAG_NONE};
        return RsaChained(op, bFidHigh, bFidLow, pbIn, dwInLen, pbOut, pdwOutLen);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[rsa_Signature]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ImportKey(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbData, DWORD dwLen)
{
    CCmdTraceScope scope("ImportKey");
    try {
        if ((pbData == nullptr && dwLen > 0) || dwLen > kMaxImport) {
            CMD_FAIL("[ImportKey] dwLen is invalid, dwLen=[%d]", static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        DWORD dwRead = 0;
        for (;;) {
            const DWORD dwRest = dwLen - dwRead;
            const bool bLast = dwRest <= kChainBlock;
            const DWORD dwChunk = bLast ? dwRest : kChainBlock;
            std::vector<BYTE> apdu = {0x00, 0xD2, bFidHigh, bFidLow,
                                      static_cast<BYTE>(dwChunk + 1),
                                      bLast ? kChainLast : kChainMore};
            apdu.insert(apdu.end(), pbData + dwRead, pbData + dwRead + dwChunk);
            std::vector<BYTE> answer;
            BYTE bSw1 = 0, bSw2 = 0;
            // Key material: the trace shows the header only.
            const BOOL bSent =
                Exchange(apdu, answer, bSw1, bSw2, kWaitImport, HID_FLAG_SECRET_REQUEST);
            WipeBytes(apdu);
            if (!bSent) {
                CMD_FAIL("[ImportKey] dwRet != SCARD_S_SUCCESS");
                return KQ_SCARD_E_UNEXPECTED;
            }
            const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
            if (dwRet != KQ_SCARD_S_SUCCESS) {
                CMD_FAIL("[ImportKey] dwRet != S_OK");
                return dwRet;
            }
            if (bLast)
                return KQ_SCARD_S_SUCCESS;
            dwRead += kChainBlock;
        }
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[read_recordXin]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::RsaPublicKeyExport(BYTE bFidHigh, BYTE bFidLow, BYTE *pbOut, DWORD *pdwOutLen)
{
    CCmdTraceScope scope("RsaPublicKeyExport");
    try {
        if (pbOut == nullptr || pdwOutLen == nullptr)
            return KQ_SCARD_E_UNEXPECTED;
        const std::vector<BYTE> apdu = {0x80, 0xD8, bFidHigh, bFidLow, 0x00};
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[RsaPublicKeyExport] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[RsaPublicKeyExport] dwRet != S_OK");
            return dwRet;
        }
        // *pdwOutLen brings the capacity of pbOut.
        if (answer.size() > *pdwOutLen) {
            CMD_FAIL("[RsaPublicKeyExport] dwOutLen too small, dwOutLen=[%d], recvApdu.size()=[%d]",
                     static_cast<int>(*pdwOutLen), static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (!answer.empty())
            std::memcpy(pbOut, answer.data(), answer.size());
        *pdwOutLen = static_cast<DWORD>(answer.size());
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[rsa_PubkeyExport]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}
