// Pavrel_MSCSP.cpp
#include "Pavrel_MSCSP.h"

#include "TraceWriter.h"

namespace {

const char kClass[] = "Pavrel_M$CSP";
const char kContainer[] = "Keyset in MSCSP used by Pavrel";
const char kProvider[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// Guards the context and its user count; statically initialised, so no
// set-up runs at load.
SRWLOCK g_lock = SRWLOCK_INIT;
HCRYPTPROV g_hProv = 0;
LONG g_lUsers = 0;
// The exchange pair is renewed once a process, at its first opening.
bool g_bPairRenewed = false;

// The platform's error of a failed call; never 0, so a failure cannot pass
// for success.
DWORD Result(BOOL bOk)
{
    if (bOk)
        return 0;
    DWORD dwErr = GetLastError();
    return dwErr ? dwErr : static_cast<DWORD>(NTE_FAIL);
}

// Opens the container, creating it when it does not exist yet (a second
// process creating it at the same moment makes the first open right again).
DWORD OpenContext(HCRYPTPROV *phProv)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CSP, kClass, "getContext");
    DWORD dwRet = Result(CryptAcquireContextA(phProv, kContainer, kProvider, PROV_RSA_FULL, 0));
    if (dwRet == static_cast<DWORD>(NTE_BAD_KEYSET)) {
        dwRet = Result(
            CryptAcquireContextA(phProv, kContainer, kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        if (dwRet == static_cast<DWORD>(NTE_EXISTS))
            dwRet = Result(CryptAcquireContextA(phProv, kContainer, kProvider, PROV_RSA_FULL, 0));
    }
    if (dwRet != 0) {
        *phProv = 0;
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                    "Pavrel_MSCSP::getContext CryptAcquireContext Failed,dwLastError=[%d]",
                    static_cast<int>(dwRet));
    } else if (!g_bPairRenewed) {
        // Later users fetch the pair with getUserKey(AT_KEYEXCHANGE); the
        // handle is not needed and a failure is not fatal.
        HCRYPTKEY hKey = 0;
        if (CryptGenKey(*phProv, AT_KEYEXCHANGE, 0x04000000 | CRYPT_EXPORTABLE, &hKey))
            CryptDestroyKey(hKey);
        g_bPairRenewed = true;
    }
    pTrace->Leave(TRACE_MODULE_CSP, kClass, "getContext");
    return dwRet;
}

}  // namespace

DWORD Pavrel_MSCSP::addUser()
{
    AcquireSRWLockExclusive(&g_lock);
    DWORD dwRet = 0;
    if (g_hProv == 0)
        dwRet = OpenContext(&g_hProv);
    if (dwRet == 0)
        ++g_lUsers;
    ReleaseSRWLockExclusive(&g_lock);
    return dwRet;
}

void Pavrel_MSCSP::releaseUser()
{
    AcquireSRWLockExclusive(&g_lock);
    if (g_lUsers > 0 && --g_lUsers == 0 && g_hProv != 0) {
        CryptReleaseContext(g_hProv, 0);
        g_hProv = 0;
    }
    ReleaseSRWLockExclusive(&g_lock);
}

HCRYPTPROV Pavrel_MSCSP::getContext()
{
    AcquireSRWLockShared(&g_lock);
    HCRYPTPROV hProv = g_hProv;
    ReleaseSRWLockShared(&g_lock);
    return hProv;
}

LONG Pavrel_MSCSP::getUserCount()
{
    AcquireSRWLockShared(&g_lock);
    LONG lUsers = g_lUsers;
    ReleaseSRWLockShared(&g_lock);
    return lUsers;
}

DWORD Pavrel_MSCSP::genRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer)
{
    return Result(CryptGenRandom(hProv, dwLen, pbBuffer));
}

DWORD Pavrel_MSCSP::genRandomAsUser(DWORD dwLen, BYTE *pbBuffer)
{
    DWORD dwRet = addUser();
    if (dwRet != 0)
        return dwRet;
    dwRet = genRandom(getContext(), dwLen, pbBuffer);
    releaseUser();
    return dwRet;
}

DWORD Pavrel_MSCSP::createHash(HCRYPTPROV hProv, ALG_ID algId, HCRYPTKEY hKey, DWORD dwFlags,
                               HCRYPTHASH *phHash)
{
    return Result(CryptCreateHash(hProv, algId, hKey, dwFlags, phHash));
}

DWORD Pavrel_MSCSP::destroyHash(HCRYPTHASH hHash) { return Result(CryptDestroyHash(hHash)); }

DWORD Pavrel_MSCSP::hashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen,
                             DWORD dwFlags)
{
    DWORD dwRet = Result(CryptHashData(hHash, pbData, dwDataLen, dwFlags));
    if (dwRet != 0)
        CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                                         "Pavrel_MSCSP::hashData Failed,dwLastError=[%d]",
                                         static_cast<int>(dwRet));
    return dwRet;
}

DWORD Pavrel_MSCSP::setHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData,
                                 DWORD dwFlags)
{
    return Result(CryptSetHashParam(hHash, dwParam, pbData, dwFlags));
}

DWORD Pavrel_MSCSP::getHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData,
                                 DWORD *pdwDataLen, DWORD dwFlags)
{
    return Result(CryptGetHashParam(hHash, dwParam, pbData, pdwDataLen, dwFlags));
}

DWORD Pavrel_MSCSP::genKey(HCRYPTPROV hProv, ALG_ID algId, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Result(CryptGenKey(hProv, algId, dwFlags, phKey));
}

DWORD Pavrel_MSCSP::getKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                DWORD dwFlags)
{
    return Result(CryptGetKeyParam(hKey, dwParam, pbData, pdwDataLen, dwFlags));
}

DWORD Pavrel_MSCSP::setKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData,
                                DWORD dwFlags)
{
    return Result(CryptSetKeyParam(hKey, dwParam, pbData, dwFlags));
}

DWORD Pavrel_MSCSP::getUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phKey)
{
    return Result(CryptGetUserKey(hProv, dwKeySpec, phKey));
}

DWORD Pavrel_MSCSP::importKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen,
                              HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Result(CryptImportKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey));
}

DWORD Pavrel_MSCSP::exportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                              DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen)
{
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CSP, kClass, "exportKey");
    return Result(CryptExportKey(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen));
}

DWORD Pavrel_MSCSP::destroyKey(HCRYPTKEY hKey) { return Result(CryptDestroyKey(hKey)); }

DWORD Pavrel_MSCSP::signHash(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                             DWORD dwFlags, BYTE *pbSignature, DWORD *pdwSigLen)
{
    return Result(
        CryptSignHashA(hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pdwSigLen));
}

DWORD Pavrel_MSCSP::verifySignature(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                    HCRYPTKEY hPubKey, LPCSTR szDescription, DWORD dwFlags)
{
    return Result(
        CryptVerifySignatureA(hHash, pbSignature, dwSigLen, hPubKey, szDescription, dwFlags));
}

DWORD Pavrel_MSCSP::encrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                            BYTE *pbData, DWORD *pdwDataLen, DWORD dwBufLen)
{
    return Result(CryptEncrypt(hKey, hHash, bFinal, dwFlags, pbData, pdwDataLen, dwBufLen));
}

DWORD Pavrel_MSCSP::decrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL bFinal, DWORD dwFlags,
                            BYTE *pbData, DWORD *pdwDataLen)
{
    return Result(CryptDecrypt(hKey, hHash, bFinal, dwFlags, pbData, pdwDataLen));
}

DWORD Pavrel_MSCSP::deriveKey(HCRYPTPROV hProv, ALG_ID algId, HCRYPTHASH hBaseData,
                              DWORD dwFlags, HCRYPTKEY *phKey)
{
    return Result(CryptDeriveKey(hProv, algId, hBaseData, dwFlags, phKey));
}

DWORD Pavrel_MSCSP::hashSessionKey(HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    return Result(CryptHashSessionKey(hHash, hKey, dwFlags));
}

DWORD Pavrel_MSCSP::getProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData,
                                 DWORD *pdwDataLen, DWORD dwFlags)
{
    DWORD dwRet = Result(CryptGetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags));
    if (dwRet != 0 && pbData != nullptr && pdwDataLen != nullptr)
        CTraceWriter::GetInstance()->LogHex(TRACE_MODULE_CSP, kClass, "getProvParam", "pbData",
                                            pbData, *pdwDataLen);
    return dwRet;
}
