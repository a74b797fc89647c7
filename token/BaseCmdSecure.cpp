// BaseCmdSecure.cpp
//
// External authentication and the secure-messaging commands of the command
// set. Each secure-messaging command takes a fresh 8-byte challenge, wraps
// its data with the secure-messaging key (built at run time, never kept)
// through a crypto plug-in object made for that one wrapping, and sends it.
// When the plug-in is missing the wrapping fails and nothing is sent.
#include "BaseCmd.h"

#include <cstring>

#include "Algorithm.h"
#include "BaseCmdInternal.h"
#include "CardKeys.h"
#include "HidFraming.h"
#include "HidManager.h"
#include "ResultCodes.h"
#include "SecureMessaging.h"
#include "StatusWord.h"

namespace {

const DWORD kWaitExtAuth = 10;
const DWORD kWaitSymKey = 5;
const DWORD kExtAuthChallenge = 16;
const DWORD kMaxSymKeyPart = 32;

// Most data bytes one secure-messaging command carries with a 4-byte
// header: the wrapped command must fit the transport's APDU limit.
DWORD MaxSecureData()
{
    DWORD dwLen = SM_MAX_PLAIN;
    while (dwLen > 0 && SmWrappedLength(4, dwLen) > HID_MAX_APDU)
        --dwLen;
    return dwLen;
}

// The secure-messaging cipher over the crypto plug-in: one plug-in object
// and one copy of the key for one wrapping or unwrapping, the key wiped when
// the cipher goes.
class CPluginSmCipher : public CSmCipher {
public:
    CPluginSmCipher()
    {
        KQDWORD dwLen = sizeof(m_abKey);
        m_bKey = GetSmKey(m_abKey, &dwLen) && dwLen == CARD_KEY_LENGTH;
    }
    ~CPluginSmCipher() override
    {
        volatile BYTE *pb = m_abKey;
        for (DWORD i = 0; i < sizeof(m_abKey); ++i)
            pb[i] = 0;
    }

    bool Ecb(bool fEncrypt, KQBYTE *pbData, KQDWORD dwLen) override
    {
        DWORD dwOut = 0;
        return m_bKey &&
               m_algorithm.DES_ECB3_ENCRYPT(fEncrypt ? 1 : 0, pbData, &dwOut, dwLen, m_abKey,
                                            CARD_KEY_LENGTH) &&
               dwOut == dwLen;
    }
    bool Cbc(KQBYTE *pbData, KQDWORD dwLen, const KQBYTE *pbIv) override
    {
        DWORD dwOut = 0;
        return m_bKey &&
               m_algorithm.DES_EDE3_CBC_ENCRYPT(pbData, &dwOut, dwLen, m_abKey, CARD_KEY_LENGTH,
                                                pbIv, SM_CHALLENGE_LENGTH) &&
               dwOut == dwLen;
    }

private:
    CAlgorithm m_algorithm;
    BYTE m_abKey[CARD_KEY_LENGTH];
    bool m_bKey;
};

}  // namespace

BOOL CBaseCmd::CalEncryptedMacData(const BYTE *pbHeader, DWORD dwHeaderLen, const BYTE *pbData,
                                   DWORD dwDataLen, const BYTE *pbChallenge,
                                   DWORD dwChallengeLen, BYTE **ppbOut, DWORD *pdwOutLen)
{
    if (ppbOut == nullptr || pdwOutLen == nullptr)
        return FALSE;
    *ppbOut = nullptr;
    *pdwOutLen = 0;
    // Checked before the plug-in is loaded: a bad challenge costs nothing.
    if (pbChallenge == nullptr || dwChallengeLen != SM_CHALLENGE_LENGTH)
        return FALSE;
    std::vector<BYTE> wrapped;
    {
        CPluginSmCipher cipher;
        if (SmWrapCommand(cipher, pbHeader, dwHeaderLen, pbData, dwDataLen, pbChallenge,
                          dwChallengeLen, wrapped) != SM_WRAP_OK)
            return FALSE;
    }
    BYTE *pbOut = static_cast<BYTE *>(CMemoryManager::Alloc(static_cast<DWORD>(wrapped.size())));
    if (pbOut == nullptr)
        return FALSE;
    std::memcpy(pbOut, wrapped.data(), wrapped.size());
    *ppbOut = pbOut;
    *pdwOutLen = static_cast<DWORD>(wrapped.size());
    return TRUE;
}

BOOL CBaseCmd::DecryptCipherData(const BYTE *pbAnswer, DWORD dwAnswerLen, BYTE **ppbOut,
                                 DWORD *pdwOutLen)
{
    if (ppbOut == nullptr || pdwOutLen == nullptr)
        return FALSE;
    *ppbOut = nullptr;
    *pdwOutLen = 0;
    std::vector<BYTE> plain;
    {
        CPluginSmCipher cipher;
        if (SmUnwrapAnswer(cipher, pbAnswer, dwAnswerLen, plain) != SM_UNWRAP_OK)
            return FALSE;
    }
    if (plain.empty())
        return TRUE;
    BYTE *pbOut = static_cast<BYTE *>(CMemoryManager::Alloc(static_cast<DWORD>(plain.size())));
    if (pbOut == nullptr) {
        WipeBytes(plain);
        return FALSE;
    }
    std::memcpy(pbOut, plain.data(), plain.size());
    *ppbOut = pbOut;
    *pdwOutLen = static_cast<DWORD>(plain.size());
    WipeBytes(plain);
    return TRUE;
}

DWORD CBaseCmd::ExternalAuthentication(const BYTE *pbKey, DWORD dwKeyLen)
{
    CCmdTraceScope scope("ExternalAuthentication");
    try {
        // Only the 16-byte two-key triple-DES key is meaningful; any other
        // length would be read past or cut short by the cipher.
        if (pbKey == nullptr || dwKeyLen != CARD_KEY_LENGTH) {
            CMD_FAIL("[ExternalAuthentication] dwKeyLen != 16, dwKeyLen=[%d]",
                     static_cast<int>(dwKeyLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!GetChallenge(kExtAuthChallenge, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[ExternalAuthentication] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (bSw1 != 0x90 || bSw2 != 0x00 || answer.size() < kExtAuthChallenge) {
            CMD_FAIL("[ExternalAuthentication] GetChallenge Failed, recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x00, 0x82, 0x00, 0x01, kExtAuthChallenge};
        apdu.insert(apdu.end(), answer.begin(), answer.begin() + kExtAuthChallenge);
        {
            CAlgorithm algorithm;
            DWORD dwOut = 0;
            if (!algorithm.DES_ECB3_ENCRYPT(1, apdu.data() + 5, &dwOut, kExtAuthChallenge, pbKey,
                                            dwKeyLen) ||
                dwOut != kExtAuthChallenge) {
                CMD_FAIL("[ExternalAuthentication] DES_ECB3_ENCRYPT Failed");
                return KQ_SCARD_E_UNEXPECTED;
            }
        }
        if (!Exchange(apdu, answer, bSw1, bSw2, kWaitExtAuth)) {
            CMD_FAIL("[ExternalAuthentication] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[ExternalAuthentication] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[externalAuthenticationCommand]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ReadBinaryInCipherMac(WORD wOffset, BYTE *pbBuf, DWORD dwLen)
{
    CCmdTraceScope scope("ReadBinaryInCipherMac");
    try {
        if (pbBuf == nullptr || dwLen == 0 || dwLen > MaxSecureData()) {
            CMD_FAIL("[ReadBinaryInCipherMac] dwLen is invalid, dwLen=[%d]",
                     static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!GetChallenge(SM_CHALLENGE_LENGTH, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[ReadBinaryInCipherMac] dwRet is invalid, bySw1=%d, bySw2=%d", bSw1, bSw2);
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (answer.size() < SM_CHALLENGE_LENGTH) {
            CMD_FAIL("[ReadBinaryInCipherMac] recvApdu.size() < 8, recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        // The block states how many bytes are wanted: L zero bytes.
        const BYTE abHeader[4] = {0x84, 0xB0, static_cast<BYTE>(wOffset >> 8),
                                  static_cast<BYTE>(wOffset)};
        const std::vector<BYTE> zeros(dwLen, 0);
        BYTE *pbWrapped = nullptr;
        DWORD dwWrapped = 0;
        if (!CalEncryptedMacData(abHeader, sizeof(abHeader), zeros.data(), dwLen, answer.data(),
                                 SM_CHALLENGE_LENGTH, &pbWrapped, &dwWrapped)) {
            CMD_FAIL("[ReadBinaryInCipherMac] CalEncryptedMacData Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        CLibraryBuffer wrapped(pbWrapped, dwWrapped);
        const std::vector<BYTE> apdu(pbWrapped, pbWrapped + dwWrapped);
        if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[ReadBinaryInCipherMac] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[ReadBinaryInCipherMac] dwRet != SCARD_S_SUCCESS");
            return dwRet;
        }
        if (answer.size() <= SM_MAC_LENGTH) {
            CMD_FAIL("[ReadBinaryInCipherMac] recvApdu2.size() < 5");
            return KQ_SCARD_E_UNEXPECTED;
        }
        BYTE *pbPlain = nullptr;
        DWORD dwPlain = 0;
        if (!DecryptCipherData(answer.data(), static_cast<DWORD>(answer.size()), &pbPlain,
                               &dwPlain)) {
            CMD_FAIL("[ReadBinaryInCipherMac] DecryptCipherData Failed, recvApdu2.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        CLibraryBuffer plain(pbPlain, dwPlain);
        if (dwPlain > dwLen) {
            CMD_FAIL("[ReadBinaryInCipherMac] dwDecryptedDataLen > dwLen, dwDecryptedDataLen = %d",
                     static_cast<int>(dwPlain));
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (dwPlain > 0)
            std::memcpy(pbBuf, pbPlain, dwPlain);
        return KQ_SCARD_S_SUCCESS;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[read_binaryXX]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::UpdateBinaryInCipherMac(WORD wOffset, const BYTE *pbData, DWORD dwLen)
{
    CCmdTraceScope scope("UpdateBinaryInCipherMac");
    try {
        if ((pbData == nullptr && dwLen > 0) || dwLen > MaxSecureData()) {
            CMD_FAIL("[UpdateBinaryInCipherMac] dwLen is invalid, dwLen=[%d]",
                     static_cast<int>(dwLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!GetChallenge(SM_CHALLENGE_LENGTH, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[UpdateBinaryInCipherMac] dwRet is invalid");
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (answer.size() < SM_CHALLENGE_LENGTH) {
            CMD_FAIL("[UpdateBinaryInCipherMac] recvApdu.size() < 8, recvApdu.size() = %d",
                     static_cast<int>(answer.size()));
            return KQ_SCARD_E_UNEXPECTED;
        }
        const BYTE abHeader[4] = {0x84, 0xD6, static_cast<BYTE>(wOffset >> 8),
                                  static_cast<BYTE>(wOffset)};
        BYTE *pbWrapped = nullptr;
        DWORD dwWrapped = 0;
        if (!CalEncryptedMacData(abHeader, sizeof(abHeader), pbData, dwLen, answer.data(),
                                 SM_CHALLENGE_LENGTH, &pbWrapped, &dwWrapped)) {
            CMD_FAIL("[UpdateBinaryInCipherMac] CalEncryptedMacData Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        CLibraryBuffer wrapped(pbWrapped, dwWrapped);
        const std::vector<BYTE> apdu(pbWrapped, pbWrapped + dwWrapped);
        if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
            CMD_FAIL("[UpdateBinaryInCipherMac] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        const DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[UpdateBinaryInCipherMac] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[UpdateBinaryInCipherMac]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::ImportSymmetricKey(WORD wKeyId, const char *pszKeyName, const BYTE *pbKeyValue,
                                   DWORD dwKeyValueLen)
{
    CCmdTraceScope scope("ImportSymmetricKey");
    try {
        std::vector<BYTE> answer;
        BYTE bSw1 = 0, bSw2 = 0;
        if (!GetChallenge(SM_CHALLENGE_LENGTH, answer, bSw1, bSw2, kWaitSymKey)) {
            CMD_FAIL("[ImportSymmetricKey] SendRcvCmd Failed");
            return KQ_SCARD_E_UNEXPECTED;
        }
        DWORD dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS) {
            CMD_FAIL("[ImportSymmetricKey] dwRet[%d] != S_OK", static_cast<int>(dwRet));
            return dwRet;
        }
        if (answer.size() < SM_CHALLENGE_LENGTH) {
            CMD_FAIL("[ImportSymmetricKey] recvApdu.size() < 8");
            return KQ_SCARD_E_UNEXPECTED;
        }
        // The whole lengths are checked, not their low bytes: a 257-byte
        // name must not pass as a 1-byte one.
        const std::size_t nNameLen = pszKeyName ? std::strlen(pszKeyName) : 0;
        if (nNameLen < 1 || nNameLen > kMaxSymKeyPart) {
            CMD_FAIL("[ImportSymmetricKey] byKeyNameLen error byKeyNameLen=[%d]",
                     static_cast<int>(nNameLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        if (pbKeyValue == nullptr || dwKeyValueLen < 1 || dwKeyValueLen > kMaxSymKeyPart) {
            CMD_FAIL("[ImportSymmetricKey] byKeyValueLen error byKeyValueLen=[%d]",
                     static_cast<int>(dwKeyValueLen));
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> plain = {static_cast<BYTE>(wKeyId >> 8), static_cast<BYTE>(wKeyId),
                                   static_cast<BYTE>(nNameLen)};
        plain.insert(plain.end(), pszKeyName, pszKeyName + nNameLen);
        plain.push_back(static_cast<BYTE>(dwKeyValueLen));
        plain.insert(plain.end(), pbKeyValue, pbKeyValue + dwKeyValueLen);

        static const BYTE abHeader[4] = {0x84, 0xD4, 0x00, 0x00};
        BYTE *pbWrapped = nullptr;
        DWORD dwWrapped = 0;
        const BOOL bWrapped =
            CalEncryptedMacData(abHeader, sizeof(abHeader), plain.data(),
                                static_cast<DWORD>(plain.size()), answer.data(),
                                SM_CHALLENGE_LENGTH, &pbWrapped, &dwWrapped);
        WipeBytes(plain);
        if (!bWrapped) {
            CMD_FAIL("[ImportSymmetricKey] CalEncryptedMacData error");
            return KQ_SCARD_E_UNEXPECTED;
        }
        CLibraryBuffer wrapped(pbWrapped, dwWrapped);
        std::vector<BYTE> apdu(pbWrapped, pbWrapped + dwWrapped);
        // The default wait: the one set above was used by the challenge.
        const BOOL bSent = Exchange(apdu, answer, bSw1, bSw2, 0, HID_FLAG_SECRET_REQUEST);
        WipeBytes(apdu);
        if (!bSent) {
            CMD_FAIL("[ImportSymmetricKey] dwRet != SCARD_S_SUCCESS");
            return KQ_SCARD_E_UNEXPECTED;
        }
        dwRet = StatusWordToResult(bSw1, bSw2);
        if (dwRet != KQ_SCARD_S_SUCCESS)
            CMD_FAIL("[ImportSymmetricKey] dwRet != SCARD_S_SUCCESS");
        return dwRet;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[ImportSymmetricKey]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}
