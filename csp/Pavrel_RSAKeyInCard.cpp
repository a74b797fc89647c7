// Pavrel_RSAKeyInCard.cpp
#include "Pavrel_RSAKeyInCard.h"

#include <algorithm>
#include <cstring>

#include "Pavrel_CardAccess.h"
#include "Pavrel_ContainerText.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"
#include "Pavrel_MSCSP.h"
#include "TraceWriter.h"

const char PAVREL_NOTICE_WINDOW[] = "KQ_HRNL_MSGRECEIVER_WND";

namespace {

const char kClass[] = "Pavrel_RSAKeyInCard";
const char kDefaultContainer[] = "Kavru USB Key CSP DefaultContext";

// Moduli the public-key record can hold, in bytes; the card's output buffer
// is sized for the largest.
const DWORD kMinModulusLen = 64;
const DWORD kMaxModulusLen = 256;
// A type 1 or 2 block needs its two head bytes, eight padding bytes and the
// zero that ends them.
const DWORD kPkcs1Overhead = 11;
// Zero draws in a row after which the random source counts as broken.
const int kMaxZeroDraws = 64;

const WORD kStatusCertificate = 0x8000;
const DWORD kPermissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ;

const BYTE kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                           0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const BYTE kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                            0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

#define TRACE_CSP(level, ...) \
    CTraceWriter::GetInstance()->Log(level, TRACE_KIND_LINE, TRACE_MODULE_CSP, __VA_ARGS__)

int Code(DWORD dwCode) { return static_cast<int>(dwCode); }

DWORD ReadBigEndian32(const BYTE *pb)
{
    return (static_cast<DWORD>(pb[0]) << 24) | (static_cast<DWORD>(pb[1]) << 16) |
           (static_cast<DWORD>(pb[2]) << 8) | pb[3];
}

void Wipe(std::vector<BYTE> &vec)
{
    if (!vec.empty())
        SecureZeroMemory(vec.data(), vec.size());
}

// The DigestInfo prefix the hash's algorithm and the flags call for, then
// the hash value.
DWORD DigestInfo(Pavrel_Hash *pHash, DWORD dwFlags, std::vector<BYTE> &vecOut)
{
    vecOut.clear();
    if (dwFlags == 0 && pHash->getAlgId() == CALG_MD5)
        vecOut.assign(kMd5Prefix, kMd5Prefix + sizeof(kMd5Prefix));
    else if (dwFlags == 0 && pHash->getAlgId() == CALG_SHA1)
        vecOut.assign(kSha1Prefix, kSha1Prefix + sizeof(kSha1Prefix));
    return pHash->getHashValue(vecOut);
}

// 00 01, FF up to k - m - 1 bytes, 00, then the m bytes; k >= m + 11.
std::vector<BYTE> SignatureBlock(const std::vector<BYTE> &vecDigestInfo, DWORD k)
{
    std::vector<BYTE> vecBlock(k, 0xFF);
    vecBlock[0] = 0x00;
    vecBlock[1] = 0x01;
    vecBlock[k - vecDigestInfo.size() - 1] = 0x00;
    std::copy(vecDigestInfo.begin(), vecDigestInfo.end(), vecBlock.end() - vecDigestInfo.size());
    return vecBlock;
}

// An output the card may have stripped of its leading zeros, as k bytes.
bool PadToModulus(std::vector<BYTE> &vecOut, DWORD k)
{
    if (vecOut.size() > k)
        return false;
    vecOut.insert(vecOut.begin(), k - vecOut.size(), 0x00);
    return true;
}

DWORD SoftwareRandom(DWORD dwLen, BYTE *pbBuffer)
{
    // The card key holds no software key, so it counts as a user of the
    // software context only while it draws.
    return Pavrel_MSCSP::genRandomAsUser(dwLen, pbBuffer);
}

// The user's confirmation on the token's own screen: one dialogue object per
// signature.
int ConfirmOnToken(Pavrel_Hash *pHash, Pavrel_CardAccess *pCardAccess)
{
    Pavrel_DisplaySign displaySign;
    return displaySign.DisplaySign(pHash, pCardAccess);
}

PFN_PAVREL_CONFIRM_SIGN g_pfnConfirm = &ConfirmOnToken;
PFN_PAVREL_GEN_RANDOM g_pfnRandom = &SoftwareRandom;

// The confirmation's result as signHash's.
DWORD ConfirmationResult(int nResult)
{
    switch (nResult) {
    case 0: return 0;
    case -4: return static_cast<DWORD>(SCARD_E_CANCELLED);
    case -1: return static_cast<DWORD>(SCARD_F_COMM_ERROR);
    default: return static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR);
    }
}

int RunConfirmation(Pavrel_Hash *pHash, Pavrel_CardAccess *pCardAccess)
{
    try {
        return g_pfnConfirm(pHash, pCardAccess);
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CSP, "Pavrel_RSAKeyInCard::signHash confirmation");
        return -3;
    }
}

}  // namespace

Pavrel_RSAKeyInCard::Pavrel_RSAKeyInCard(ALG_ID algId, DWORD dwFlags,
                                         Pavrel_CardAccess *pCardAccess,
                                         const std::string &strKeysetName)
    : Pavrel_Key(algId, dwFlags, false), m_pCardAccess(pCardAccess), _keysetName(strKeysetName)
{
}

Pavrel_RSAKeyInCard::~Pavrel_RSAKeyInCard() {}

PFN_PAVREL_CONFIRM_SIGN Pavrel_RSAKeyInCard::setSignConfirmation(PFN_PAVREL_CONFIRM_SIGN pfn)
{
    PFN_PAVREL_CONFIRM_SIGN pfnOld = g_pfnConfirm;
    g_pfnConfirm = pfn ? pfn : &ConfirmOnToken;
    return pfnOld;
}

PFN_PAVREL_GEN_RANDOM Pavrel_RSAKeyInCard::setRandomSource(PFN_PAVREL_GEN_RANDOM pfn)
{
    PFN_PAVREL_GEN_RANDOM pfnOld = g_pfnRandom;
    g_pfnRandom = pfn ? pfn : &SoftwareRandom;
    return pfnOld;
}

// --- Card access -----------------------------------------------------------

DWORD Pavrel_RSAKeyInCard::readPublicKey(BYTE *pbBlob, DWORD *pdwModulusLen)
{
    DWORD dwLen = PAVREL_PUBKEY_BLOB_LEN;
    DWORD dwRet = m_pCardAccess->readPublicKey(_keysetName.c_str(), pbBlob, &dwLen, keyType());
    if (dwRet != 0)
        return dwRet;
    const DWORD k = ((static_cast<DWORD>(pbBlob[0]) << 8) | pbBlob[1]) / 8;
    if (dwLen != PAVREL_PUBKEY_BLOB_LEN || k < kMinModulusLen || k > kMaxModulusLen) {
        TRACE_CSP(
            TRACE_LEVEL_ERROR,
            "Pavrel_RSAKeyInCard::readPublicKey modulus length [%d] Invalid,GetLastError=[%d]",
            Code(k), Code(NTE_BAD_KEY));
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    *pdwModulusLen = k;
    return 0;
}

DWORD Pavrel_RSAKeyInCard::readModulusLen(DWORD *pdwModulusLen)
{
    BYTE abBlob[PAVREL_PUBKEY_BLOB_LEN];
    return readPublicKey(abBlob, pdwModulusLen);
}

DWORD Pavrel_RSAKeyInCard::compute(bool bPrivate, const BYTE *pbIn, DWORD dwInLen,
                                   std::vector<BYTE> &vecOut)
{
    // Operation numbers: 0 and 1 for the signature key, 2 and 3 for the
    // exchange key, the private one second.
    const int nOp = (keyType() ? 2 : 0) + (bPrivate ? 1 : 0);
    vecOut.assign(kMaxModulusLen, 0);
    DWORD dwOutLen = kMaxModulusLen;
    DWORD dwRet = m_pCardAccess->computeCrypt(_keysetName.c_str(), nOp, keyType(), pbIn, dwInLen,
                                              vecOut.data(), &dwOutLen);
    if (dwRet == 0 && dwOutLen > kMaxModulusLen)
        dwRet = static_cast<DWORD>(NTE_FAIL);
    if (dwRet != 0) {
        Wipe(vecOut);
        vecOut.clear();
        return dwRet;
    }
    vecOut.resize(dwOutLen);
    return 0;
}

// --- Key parameters ---------------------------------------------------------

DWORD Pavrel_RSAKeyInCard::getKeyLen()
{
    DWORD k = 0;
    return readModulusLen(&k) == 0 ? k * 8 : 0;
}

DWORD Pavrel_RSAKeyInCard::getBlockLen() { return getKeyLen(); }
DWORD Pavrel_RSAKeyInCard::getPermissions() { return kPermissions; }
DWORD Pavrel_RSAKeyInCard::setPermissions(const BYTE *) { return static_cast<DWORD>(NTE_PERM); }

DWORD Pavrel_RSAKeyInCard::exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD, BYTE *pbData,
                                     DWORD *pdwDataLen)
{
    if (hExpKey != 0)
        return static_cast<DWORD>(NTE_BAD_KEY);
    if (dwBlobType != PUBLICKEYBLOB)
        return static_cast<DWORD>(NTE_BAD_TYPE);
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    BYTE abBlob[PAVREL_PUBKEY_BLOB_LEN];
    DWORD k = 0;
    DWORD dwRet = readPublicKey(abBlob, &k);
    if (dwRet != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::exportKey readPublicKey Failed,_keysetName=[%s],"
                  "GetLastError=[%d]",
                  _keysetName.c_str(), Code(dwRet));
        return dwRet;
    }
    const DWORD dwHead = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    const DWORD dwNeeded = dwHead + k;
    if (pbData == nullptr) {
        *pdwDataLen = dwNeeded;
        return 0;
    }
    if (*pdwDataLen < dwNeeded) {
        *pdwDataLen = dwNeeded;
        return ERROR_MORE_DATA;
    }
    BLOBHEADER head = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
    RSAPUBKEY rsa = {0x31415352, k * 8, ReadBigEndian32(abBlob + 258)};
    std::memcpy(pbData, &head, sizeof(head));
    std::memcpy(pbData + sizeof(head), &rsa, sizeof(rsa));
    // The record swaps each byte pair of the little-endian modulus (the last
    // byte of an odd count pairs with a zero); swapping back gives it again.
    for (DWORD j = 0; j < k; ++j)
        pbData[dwHead + j] = abBlob[2 + (j ^ 1)];
    *pdwDataLen = dwNeeded;
    return 0;
}

// --- Encryption -------------------------------------------------------------

DWORD Pavrel_RSAKeyInCard::encrypt(BOOL, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen,
                                   DWORD dwBufLen)
{
    if (dwFlags != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR, "Pavrel_RSAKeyInCard::encrypt dwFlags != 0,GetLastError=[%d]",
                  Code(NTE_BAD_FLAGS));
        return static_cast<DWORD>(NTE_BAD_FLAGS);
    }
    if (pdwDataLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD k = 0;
    DWORD dwRet = readModulusLen(&k);
    if (dwRet != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::encrypt readPublicKey Failed,GetLastError=[%d]",
                  Code(dwRet));
        return dwRet;
    }
    if (pbData == nullptr) {
        *pdwDataLen = k;
        return 0;
    }
    const DWORD dwLen = *pdwDataLen;
    if (dwLen > k - 3) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::encrypt Data Invalid Failed,GetLastError=[%d]",
                  Code(NTE_BAD_DATA));
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (dwBufLen < k)
        return static_cast<DWORD>(NTE_BAD_LEN);

    // 00 02, non-zero random bytes, 00, the data.
    std::vector<BYTE> vecBlock(k, 0);
    vecBlock[1] = 0x02;
    const DWORD dwPadLen = k - dwLen - 3;
    for (DWORD i = 0; i < dwPadLen && dwRet == 0; ++i) {
        BYTE b = 0;
        for (int nDraw = 0; nDraw < kMaxZeroDraws && b == 0 && dwRet == 0; ++nDraw)
            dwRet = g_pfnRandom(1, &b);
        if (dwRet == 0 && b == 0)
            dwRet = static_cast<DWORD>(NTE_FAIL);
        vecBlock[2 + i] = b;
    }
    if (dwRet != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::encrypt genRandom Failed,GetLastError=[%d]", Code(dwRet));
        Wipe(vecBlock);
        return dwRet;
    }
    std::memcpy(vecBlock.data() + 3 + dwPadLen, pbData, dwLen);

    std::vector<BYTE> vecOut;
    dwRet = compute(false, vecBlock.data(), k, vecOut);
    Wipe(vecBlock);
    if (dwRet != 0)
        return dwRet;
    if (!PadToModulus(vecOut, k))
        return static_cast<DWORD>(NTE_FAIL);
    std::reverse_copy(vecOut.begin(), vecOut.end(), pbData);
    *pdwDataLen = k;
    return 0;
}

DWORD Pavrel_RSAKeyInCard::decrypt(BOOL, DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    if (dwFlags != 0)
        return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (pbData == nullptr || pdwDataLen == nullptr)
        return static_cast<DWORD>(NTE_BAD_DATA);
    DWORD k = 0;
    DWORD dwRet = readModulusLen(&k);
    if (dwRet != 0)
        return dwRet;
    const DWORD dwLen = *pdwDataLen;
    if (dwLen == 0 || dwLen > k)
        return static_cast<DWORD>(NTE_BAD_DATA);

    std::vector<BYTE> vecIn(pbData, pbData + dwLen);
    std::reverse(vecIn.begin(), vecIn.end());
    std::vector<BYTE> vecOut;
    dwRet = compute(true, vecIn.data(), dwLen, vecOut);
    if (dwRet != 0)
        return dwRet;
    // 00 02 (or 02 with the leading zero dropped), padding, 00, plaintext.
    DWORD dwStart = 0;
    if (vecOut.size() >= 2 && vecOut[0] == 0x00 && vecOut[1] == 0x02)
        dwStart = 2;
    else if (!vecOut.empty() && vecOut[0] == 0x02)
        dwStart = 1;
    auto itEnd = dwStart ? std::find(vecOut.begin() + dwStart, vecOut.end(), 0x00) : vecOut.end();
    if (itEnd == vecOut.end()) {
        Wipe(vecOut);
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    const DWORD dwPlainLen = static_cast<DWORD>(vecOut.end() - itEnd - 1);
    std::copy(itEnd + 1, vecOut.end(), pbData);
    *pdwDataLen = dwPlainLen;
    Wipe(vecOut);
    return 0;
}

// --- Signatures -------------------------------------------------------------

DWORD Pavrel_RSAKeyInCard::signHash(Pavrel_Hash *pHash, LPCSTR, DWORD dwFlags, BYTE *pbSignature,
                                    DWORD *pdwSigLen)
{
    if (pHash == nullptr)
        return static_cast<DWORD>(NTE_BAD_HASH);
    if (pdwSigLen == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> vecDigestInfo;
    DWORD dwRet = DigestInfo(pHash, dwFlags, vecDigestInfo);
    if (dwRet != 0)
        return dwRet;
    DWORD k = 0;
    if ((dwRet = readModulusLen(&k)) != 0)
        return dwRet;
    if (k < vecDigestInfo.size() + kPkcs1Overhead) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::signHash k=[%d] < m=[%d] + 11,GetLastError=[%d]", Code(k),
                  Code(vecDigestInfo.size()), Code(NTE_BAD_LEN));
        return static_cast<DWORD>(NTE_BAD_LEN);
    }
    if (pbSignature == nullptr) {
        *pdwSigLen = k;
        return 0;
    }
    if (*pdwSigLen < k) {
        *pdwSigLen = k;
        return ERROR_MORE_DATA;
    }

    const std::vector<BYTE> vecBlock = SignatureBlock(vecDigestInfo, k);
    std::vector<BYTE> vecOut;
    if ((dwRet = compute(true, vecBlock.data(), k, vecOut)) != 0)
        return dwRet;
    // A signature of any other length is no signature of this key; the user
    // is not asked to confirm it.
    if (vecOut.size() != k) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::signHash dwOutLen=[%d] != k=[%d],GetLastError=[%d]",
                  Code(vecOut.size()), Code(k), Code(NTE_FAIL));
        return static_cast<DWORD>(NTE_FAIL);
    }
    std::reverse(vecOut.begin(), vecOut.end());

    dwRet = ConfirmationResult(RunConfirmation(pHash, m_pCardAccess));
    if (dwRet != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_RSAKeyInCard::signHash confirmation Failed,GetLastError=[%d]",
                  Code(dwRet));
        return dwRet;
    }
    std::copy(vecOut.begin(), vecOut.end(), pbSignature);
    *pdwSigLen = k;
    return 0;
}

DWORD Pavrel_RSAKeyInCard::verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature,
                                           DWORD dwSigLen, LPCSTR, DWORD dwFlags)
{
    if (pHash == nullptr)
        return static_cast<DWORD>(NTE_BAD_HASH);
    if (pbSignature == nullptr)
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    std::vector<BYTE> vecDigestInfo;
    DWORD dwRet = DigestInfo(pHash, dwFlags, vecDigestInfo);
    if (dwRet != 0)
        return dwRet;
    DWORD k = 0;
    if ((dwRet = readModulusLen(&k)) != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_Key::verifySignature readPublicKey Failed,_keysetName=[%s],_algId=[%d],"
                  "GetLastError=[%d]",
                  _keysetName.c_str(), Code(_algId), Code(dwRet));
        return dwRet;
    }
    if (dwSigLen != k) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_Key::verifySignature dwInLen != uBitLen Failed,dwInLen=[%d],uBitLen=[%d],"
                  "GetLastError=[%d]",
                  Code(dwSigLen), Code(k), Code(NTE_BAD_SIGNATURE));
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    }
    if (k < vecDigestInfo.size() + kPkcs1Overhead)
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);

    std::vector<BYTE> vecIn(pbSignature, pbSignature + dwSigLen);
    std::reverse(vecIn.begin(), vecIn.end());
    std::vector<BYTE> vecOut;
    if ((dwRet = compute(false, vecIn.data(), dwSigLen, vecOut)) != 0) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_Key::verifySignature computeCrypt Failed,GetLastError=[%d]", Code(dwRet));
        return dwRet;
    }
    CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CSP, kClass, "verifySignature", "bOut",
                                        vecOut.data(), static_cast<DWORD>(vecOut.size()));
    // The whole block, padding included, must be the one this hash gives.
    if (!PadToModulus(vecOut, k) || vecOut != SignatureBlock(vecDigestInfo, k))
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    return 0;
}

// --- Certificates -----------------------------------------------------------

DWORD Pavrel_RSAKeyInCard::getCertificate(BYTE *pbCert, DWORD *pdwLen, BYTE byType)
{
    WORD wStatus = 0, wUsage = 0;
    DWORD dwRet =
        m_pCardAccess->getKeysetIdObjectStatus(_keysetName.c_str(), byType, &wStatus, &wUsage);
    if (dwRet != 0)
        return dwRet;
    if ((wStatus & kStatusCertificate) == 0)
        return static_cast<DWORD>(NTE_BAD_KEY);
    return m_pCardAccess->readCertificate(_keysetName.c_str(), byType, pbCert, pdwLen);
}

DWORD Pavrel_RSAKeyInCard::setCertificate(const BYTE *pbCert, DWORD dwLen, BYTE byType)
{
    WORD wStatus = 0, wUsage = 0;
    DWORD dwRet =
        m_pCardAccess->getKeysetIdObjectStatus(_keysetName.c_str(), byType, &wStatus, &wUsage);
    if (dwRet != 0)
        return dwRet;
    if ((dwRet = m_pCardAccess->writeCertificate(_keysetName.c_str(), byType, pbCert, dwLen)) != 0)
        return dwRet;

    // The token keeps only the container that got the certificate and the
    // default one.
    KEYSET_ID aItems[4];
    std::memset(aItems, 0, sizeof(aItems));
    DWORD dwCount = 4;
    if (m_pCardAccess->readKeysetIds(aItems, &dwCount) == 0) {
        for (DWORD i = 0; i < dwCount && i < 4; ++i) {
            // A name may fill its field without a NUL; cut short it would
            // not match this key's own container, which would be deleted.
            const std::string strName =
                Pavrel_ContainerText::boundedName(aItems[i].szName, sizeof(aItems[i].szName));
            if (!strName.empty() && lstrcmpiA(strName.c_str(), _keysetName.c_str()) != 0 &&
                lstrcmpiA(strName.c_str(), kDefaultContainer) != 0)
                m_pCardAccess->deleteKeyset(strName.c_str());
        }
    }
    noticeKeyManager();
    return 0;
}

void Pavrel_RSAKeyInCard::noticeKeyManager()
{
    HWND hWnd = FindWindowA(nullptr, PAVREL_NOTICE_WINDOW);
    if (hWnd == nullptr) {
        TRACE_CSP(TRACE_LEVEL_ERROR,
                  "Pavrel_Key::setCertificate FindWindow Failed,GetLastError=[%d]",
                  Code(GetLastError()));
        return;
    }
    char szDevice[260] = {0};
    if (!m_pCardAccess->GetDevicePath(szDevice, sizeof(szDevice))) {
        TRACE_CSP(TRACE_LEVEL_ERROR, "Pavrel_Key::setCertificate GetDevicePath Failed");
        return;
    }
    szDevice[sizeof(szDevice) - 1] = '\0';
    TRACE_CSP(TRACE_LEVEL_INFO,
              "Pavrel_Key::setCertificate GetDevicePath Success,szDeviceName=[%s]", szDevice);
    COPYDATASTRUCT cds;
    cds.dwData = 1;
    cds.cbData = static_cast<DWORD>(std::strlen(szDevice) + 1);
    cds.lpData = szDevice;
    // A key manager that does not answer must not hold up the application
    // that wrote the certificate.
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutA(hWnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds),
                        SMTO_ABORTIFHUNG | SMTO_BLOCK, PAVREL_NOTICE_TIMEOUT_MS, &dwResult);
}
