// Pavrel_Main.cpp
//
// The CSP's exports: the 23 CP* functions CryptoAPI calls, DllMain and the
// registration pair. Each CP* function is a short checked frame: trace the
// arguments, find the provider of the handle, check what CryptoAPI leaves
// to the CSP (the kind of parameter, the flags), delegate to the provider
// and hand its code back (CCspEntryFrame).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CspEntryFrame.h"
#include "CspEntryPoints.h"
#include "ModuleFolder.h"
#include "Pavrel_ContainerText.h"
#include "Pavrel_Keyset.h"
#include "Pavrel_Provider.h"
#include "TraceWriter.h"
#include "UserConfig.h"

namespace
{

HINSTANCE g_hModule = nullptr;

const DWORD kBadFlags = static_cast<DWORD>(NTE_BAD_FLAGS);
const DWORD kBadUid = static_cast<DWORD>(NTE_BAD_UID);
const DWORD kBadType = static_cast<DWORD>(NTE_BAD_TYPE);

// The bits of a derive-key call's flags that are flags; the upper 16 bits
// carry the key length.
const DWORD kDeriveFlagBits = 0x0000FFFF;
const DWORD kDeriveKnownFlags = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x400;

// The version of the provider structure that adds the provider type and
// context fields, and the one that adds the provider's name.
const DWORD kVTableWithType = 2;
const DWORD kVTableWithName = 3;

// The provider's description as the provider operations take it.
std::string Narrow(LPCWSTR pwsz)
{
    if (pwsz == nullptr)
        return std::string();
    int nLen = WideCharToMultiByte(CP_ACP, 0, pwsz, -1, nullptr, 0, nullptr, nullptr);
    std::string str(nLen > 0 ? nLen : 1, '\0');
    if (nLen > 0)
        WideCharToMultiByte(CP_ACP, 0, pwsz, -1, &str[0], nLen, nullptr, nullptr);
    return str;
}

// Traces the provider structure's fields that its version holds. False
// when there is no structure to read.
bool TraceVTable(CCspEntryFrame &frame, const VTableProvStruc *pVTable)
{
    if (pVTable == nullptr) {
        frame.error("pVTable=[NULL]");
        return false;
    }
    frame.info("Version=[%d],FuncVerifyImage=[%p],FuncReturnhWnd=[%p]",
               static_cast<int>(pVTable->Version),
               reinterpret_cast<void *>(pVTable->FuncVerifyImage),
               reinterpret_cast<void *>(pVTable->FuncReturnhWnd));
    if (pVTable->Version >= kVTableWithType) {
        frame.info("dwProvType=[%d],pbContextInfo=[%p],cbContextInfo=[%d]",
                   static_cast<int>(pVTable->dwProvType),
                   static_cast<void *>(pVTable->pbContextInfo),
                   static_cast<int>(pVTable->cbContextInfo));
        if (pVTable->cbContextInfo != 0)
            frame.dump("pbContextInfo", pVTable->pbContextInfo, pVTable->cbContextInfo);
    }
    if (pVTable->Version >= kVTableWithName)
        frame.info("pszProvName=[%s]", pVTable->pszProvName ? pVTable->pszProvName : "");
    return true;
}

// The arguments of a key or hash parameter call.
void TraceParamArgs(CCspEntryFrame &frame, HCRYPTPROV hProv, const char *pszObject,
                    ULONG_PTR hObject, DWORD dwParam, DWORD dwFlags)
{
    frame.info("hProv=[0x%x],%s=[0x%x],dwParam=[%d],dwFlags=[%d]", static_cast<unsigned>(hProv),
               pszObject, static_cast<unsigned>(hObject), static_cast<int>(dwParam),
               static_cast<int>(dwFlags));
}

DWORD CheckAcquireFlags(CCspEntryFrame &frame, DWORD dwFlags, LPCSTR pszContainer)
{
    if (dwFlags & 0x0FFFFF87)
        return kBadFlags;
    const bool bNew = (dwFlags & CRYPT_NEWKEYSET) != 0;
    const bool bDelete = (dwFlags & CRYPT_DELETEKEYSET) != 0;
    const bool bVerify = (dwFlags & CRYPT_VERIFYCONTEXT) != 0;
    const bool bSilent = (dwFlags & CRYPT_SILENT) != 0;
    if ((bNew && (bDelete || bVerify || (bSilent && pszContainer == nullptr))) ||
        (bDelete && bVerify)) {
        frame.error("dwFlags=[%d]", static_cast<int>(dwFlags));
        return kBadFlags;
    }
    return 0;
}

// The blob types whose data holds a clear key.
bool IsClearKeyBlob(DWORD dwBlobType)
{
    return dwBlobType == PRIVATEKEYBLOB || dwBlobType == PLAINTEXTKEYBLOB ||
           dwBlobType == OPAQUEKEYBLOB;
}

bool IsClearKeyBlobData(const BYTE *pbData, DWORD dwLen)
{
    return pbData == nullptr || dwLen == 0 || IsClearKeyBlob(pbData[0]);
}

}  // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV *phProv, LPCSTR pszContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable)
{
    return CCspEntryFrame::Run("CPAcquireContext", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("pszContainer=[%s],dwFlags=[0x%x]", pszContainer ? pszContainer : "(null)",
                   static_cast<unsigned>(dwFlags));
        if (!TraceVTable(frame, pVTable))
            return ERROR_INVALID_PARAMETER;
        DWORD dwRet = CheckAcquireFlags(frame, dwFlags, pszContainer);
        if (dwRet != 0)
            return dwRet;
        const Pavrel_ContainerText text(pszContainer);
        const DWORD dwWork = dwFlags & ~static_cast<DWORD>(CRYPT_MACHINE_KEYSET);
        if (dwWork & CRYPT_DELETEKEYSET) {
            const BOOL bSilent = (dwWork & CRYPT_SILENT) ? TRUE : FALSE;
            CTraceWriter::GetInstance()->Log(
                TRACE_LEVEL_ARGS, TRACE_KIND_LINE, TRACE_MODULE_CSP,
                "[CPAcquireContext] [Pavrel_Keyset::deleteKeyset] readerName=[%s],"
                "keysetName=[%s],bSilent=[%d]",
                text.getReaderName().c_str(), text.getKeysetName().c_str(),
                static_cast<int>(bSilent));
            dwRet = Pavrel_Keyset::deleteKeyset(text.getReaderName(), text.getKeysetName(),
                                                text.getKeysetPath(), bSilent);
            frame.info("[Pavrel_Keyset::deleteKeyset] fOK=[%d]", dwRet == 0);
            return dwRet;
        }
        ULONG64 hProv = 0;
        dwRet = Pavrel_Keyset::GetKeyset(text.getReaderName(), text.getKeysetName(),
                                         text.getKeysetPath(), dwWork, phProv ? &hProv : nullptr);
        if (dwRet == 0)
            *phProv = static_cast<HCRYPTPROV>(hProv);
        frame.info("phProv=[0x%x],fOK=[%d]", static_cast<unsigned>(hProv), dwRet == 0);
        return dwRet;
    });
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPReleaseContext", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],dwFlags=[%d]", static_cast<unsigned>(hProv),
                   static_cast<int>(dwFlags));
        // CryptoAPI drops its context whatever the answer, so the provider
        // goes even when the flags are wrong.
        const DWORD dwRet = Pavrel_Keyset::Release(hProv);
        frame.info("[Pavrel_Keyset::Release] fOK=[%d]", dwRet == 0);
        return dwFlags != 0 ? kBadFlags : dwRet;
    });
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    return CCspEntryFrame::Run("CPGenKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],Algid=[0x%x],dwFlags=[%d]", static_cast<unsigned>(hProv),
                   static_cast<unsigned>(Algid), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr || pProvider->getKeyset() == nullptr)
            return kBadUid;
        if ((dwFlags & CRYPT_CREATE_SALT) && (dwFlags & CRYPT_NO_SALT))
            return kBadFlags;
        if (dwFlags & CRYPT_USER_PROTECTED) {
            if (pProvider->getKeyset()->isVerifyContext())
                return static_cast<DWORD>(NTE_PERM);
            if (pProvider->getKeyset()->isSilent())
                return static_cast<DWORD>(NTE_SILENT_CONTEXT);
        }
        return frame.result(
            "provider->genKey",
            pProvider->genKey(Algid, dwFlags & ~static_cast<DWORD>(CRYPT_USER_PROTECTED), phKey));
    });
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY *phKey)
{
    return CCspEntryFrame::Run("CPDeriveKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],Algid=[0x%x],hBaseData=[0x%x],dwFlags=[0x%x]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(Algid),
                   static_cast<unsigned>(hBaseData), static_cast<unsigned>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (phKey == nullptr)
            return ERROR_INVALID_PARAMETER;
        const DWORD dwFlagBits = dwFlags & kDeriveFlagBits;
        if (dwFlagBits != 0 && (dwFlagBits & kDeriveKnownFlags) == 0) {
            frame.error("ErrorType=[%s]", "dwFlags!=0");
            return kBadFlags;
        }
        if (((dwFlags & CRYPT_CREATE_SALT) && (dwFlags & CRYPT_NO_SALT)) ||
            ((dwFlags & CRYPT_EXPORTABLE) && (dwFlags & CRYPT_UPDATE_KEY))) {
            frame.error("ErrorType=[%s]", "dwFlags &");
            return kBadFlags;
        }
        return frame.result("provider->deriveKey",
                            pProvider->deriveKey(Algid, hBaseData, dwFlags, phKey));
    });
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey)
{
    return CCspEntryFrame::Run("CPDestroyKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hKey=[0x%x]", static_cast<unsigned>(hProv),
                   static_cast<unsigned>(hKey));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        return frame.result("provider->destroyKey", pProvider->destroyKey(hKey));
    });
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData,
                          DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPSetKeyParam", [&](CCspEntryFrame &frame) -> DWORD {
        TraceParamArgs(frame, hProv, "hKey", hKey, dwParam, dwFlags);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr) {
            frame.error("[Pavrel_Keyset::FindProvider] errorType=[%s]", "provider Null");
            return kBadUid;
        }
        const bool bKnown = (dwParam >= KP_IV && dwParam <= KP_PERMISSIONS) ||
                            dwParam == KP_SALT_EX || dwParam == KP_EFFECTIVE_KEYLEN ||
                            dwParam == KP_CERTIFICATE;
        if (!bKnown)
            return kBadType;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.result("provider->setKeyParam",
                            pProvider->setKeyParam(hKey, dwParam, pbData, dwFlags));
    });
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData,
                          DWORD *pcbDataLen, DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPGetKeyParam", [&](CCspEntryFrame &frame) -> DWORD {
        TraceParamArgs(frame, hProv, "hKey", hKey, dwParam, dwFlags);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        const bool bKnown = (dwParam >= 1 && dwParam <= 9) || dwParam == KP_EFFECTIVE_KEYLEN ||
                            dwParam == KP_CERTIFICATE;
        if (!bKnown)
            return kBadType;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.resultWithOutput(
            "provider->getKeyParam",
            pProvider->getKeyParam(hKey, dwParam, pbData, pcbDataLen, dwFlags), "pbData", pbData,
            pcbDataLen);
    });
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPSetProvParam", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],dwParam=[%d],dwFlags=[%d]", static_cast<unsigned>(hProv),
                   static_cast<int>(dwParam), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwParam == PP_KEYSET_SEC_DESCR) {
            if ((dwFlags & 0xF) == 0)
                return kBadFlags;
        } else if (dwParam != PP_KEYEXCHANGE_PIN) {
            return kBadType;
        }
        return frame.result("provider->setProvParam",
                            pProvider->setProvParam(dwParam, pbData, dwFlags));
    });
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pcbDataLen,
                           DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPGetProvParam", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],dwParam=[%d],dwFlags=[%d]", static_cast<unsigned>(hProv),
                   static_cast<int>(dwParam), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        const bool bKnown = (dwParam >= 1 && dwParam <= 6) || dwParam == 8 || dwParam == 16 ||
                            dwParam == 22 || (dwParam >= 34 && dwParam <= 36) || dwParam == 39;
        if (!bKnown)
            return kBadType;
        if (dwFlags != 0 && (dwFlags & (0x1 | 0x2 | 0x4 | 0x20)) == 0)
            return kBadFlags;
        return frame.resultWithOutput("provider->getProvParam",
                                      pProvider->getProvParam(dwParam, pbData, pcbDataLen, dwFlags),
                                      "pbData", pbData, pcbDataLen);
    });
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData,
                           DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPSetHashParam", [&](CCspEntryFrame &frame) -> DWORD {
        TraceParamArgs(frame, hProv, "hHash", hHash, dwParam, dwFlags);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.result("provider->setHashParam",
                            pProvider->setHashParam(hHash, dwParam, pbData, dwFlags));
    });
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData,
                           DWORD *pcbDataLen, DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPGetHashParam", [&](CCspEntryFrame &frame) -> DWORD {
        TraceParamArgs(frame, hProv, "hHash", hHash, dwParam, dwFlags);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.resultWithOutput(
            "provider->getHashParam",
            pProvider->getHashParam(hHash, dwParam, pbData, pcbDataLen, dwFlags), "pbData", pbData,
            pcbDataLen);
    });
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType,
                        DWORD dwFlags, BYTE *pbData, DWORD *pcbDataLen)
{
    return CCspEntryFrame::Run("CPExportKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hKey=[0x%x],hPubKey=[0x%x],dwBlobType=[%d],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hKey),
                   static_cast<unsigned>(hPubKey), static_cast<int>(dwBlobType),
                   static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwBlobType == PUBLICKEYBLOB && hPubKey != 0)
            return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
        const bool bAccepted = dwBlobType == SIMPLEBLOB || dwBlobType == PUBLICKEYBLOB ||
                               dwBlobType == PLAINTEXTKEYBLOB || dwBlobType == OPAQUEKEYBLOB ||
                               dwBlobType == SYMMETRICWRAPKEYBLOB;
        if (!bAccepted)
            return kBadType;
        if (dwFlags != 0 && (dwFlags & (0x2 | 0x4)) == 0)
            return kBadFlags;
        return frame.resultWithOutput(
            "provider->exportKey",
            pProvider->exportKey(hKey, hPubKey, dwBlobType, dwFlags, pbData, pcbDataLen), "pbData",
            pbData, pcbDataLen, IsClearKeyBlob(dwBlobType));
    });
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY *phKey)
{
    return CCspEntryFrame::Run("CPImportKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],cbDataLen=[%d],hPubKey=[0x%x],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<int>(cbDataLen),
                   static_cast<unsigned>(hPubKey), static_cast<int>(dwFlags));
        frame.dump("pbData", pbData, cbDataLen, IsClearKeyBlobData(pbData, cbDataLen));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0 && (dwFlags & (0x1 | 0x10)) == 0)
            return kBadFlags;
        return frame.result("provider->importKey",
                            pProvider->importKey(pbData, cbDataLen, hPubKey, dwFlags, phKey));
    });
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                      DWORD dwFlags, BYTE *pbData, DWORD *pcbDataLen, DWORD cbBufLen)
{
    return CCspEntryFrame::Run("CPEncrypt", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hKey=[0x%x],hHash=[0x%x],fFinal=[%d],dwFlags=[%d],cbBufLen=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hKey),
                   static_cast<unsigned>(hHash), static_cast<int>(fFinal),
                   static_cast<int>(dwFlags), static_cast<int>(cbBufLen));
        // The clear input is never shown.
        if (pcbDataLen != nullptr)
            frame.dump("pbData", pbData, *pcbDataLen, true);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.resultWithOutput(
            "provider->encrypt",
            pProvider->encrypt(hKey, hHash, fFinal, 0, pbData, pcbDataLen, cbBufLen), "pbData",
            pbData, pcbDataLen);
    });
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal,
                      DWORD dwFlags, BYTE *pbData, DWORD *pcbDataLen)
{
    return CCspEntryFrame::Run("CPDecrypt", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hKey=[0x%x],hHash=[0x%x],fFinal=[%d],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hKey),
                   static_cast<unsigned>(hHash), static_cast<int>(fFinal),
                   static_cast<int>(dwFlags));
        if (pcbDataLen != nullptr)
            frame.dump("pbData", pbData, *pcbDataLen);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0)
            return kBadFlags;
        // The decrypted data is never shown.
        return frame.resultWithOutput(
            "provider->decrypt", pProvider->decrypt(hKey, hHash, fFinal, 0, pbData, pcbDataLen),
            "pbData", pbData, pcbDataLen, true);
    });
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                         HCRYPTHASH *phHash)
{
    return CCspEntryFrame::Run("CPCreateHash", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],Algid=[0x%x],hKey=[0x%x],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(Algid),
                   static_cast<unsigned>(hKey), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0)
            return kBadFlags;
        return frame.result("provider->createHash",
                            pProvider->createHash(Algid, hKey, dwFlags, phHash));
    });
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbData, DWORD cbDataLen,
                       DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPHashData", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hHash=[0x%x],cbDataLen=[%d],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hHash),
                   static_cast<int>(cbDataLen), static_cast<int>(dwFlags));
        frame.dump("pbData", pbData, cbDataLen);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags != 0 && dwFlags != CRYPT_USERDATA)
            return kBadFlags;
        if (dwFlags == CRYPT_USERDATA && cbDataLen != 0)
            return static_cast<DWORD>(NTE_BAD_LEN);
        return frame.result("provider->hashData",
                            pProvider->hashData(hHash, pbData, cbDataLen, dwFlags));
    });
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPHashSessionKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hHash=[0x%x],hKey=[0x%x],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hHash),
                   static_cast<unsigned>(hKey), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwFlags > 1)
            return kBadFlags;
        return frame.result("provider->hashSessionKey",
                            pProvider->hashSessionKey(hHash, hKey, dwFlags));
    });
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                       DWORD dwFlags, BYTE *pbSignature, DWORD *pcbSigLen)
{
    return CCspEntryFrame::Run("CPSignHash", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hHash=[0x%x],dwKeySpec=[%d],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hHash),
                   static_cast<int>(dwKeySpec), static_cast<int>(dwFlags));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE)
            return static_cast<DWORD>(NTE_BAD_ALGID);
        if (dwFlags > 1)
            return kBadFlags;
        const std::string strDescription = Narrow(szDescription);
        return frame.resultWithOutput(
            "provider->signHash",
            pProvider->signHash(hHash, dwKeySpec, szDescription ? strDescription.c_str() : nullptr,
                                dwFlags, pbSignature, pcbSigLen),
            "pbSignature", pbSignature, pcbSigLen);
    });
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash)
{
    return CCspEntryFrame::Run("CPDestroyHash", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hHash=[0x%x]", static_cast<unsigned>(hProv),
                   static_cast<unsigned>(hHash));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        return frame.result("provider->destroyHash", pProvider->destroyHash(hHash));
    });
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE *pbSignature,
                              DWORD cbSigLen, HCRYPTKEY hPubKey, LPCWSTR szDescription,
                              DWORD dwFlags)
{
    return CCspEntryFrame::Run("CPVerifySignature", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],hHash=[0x%x],cbSigLen=[%d],hPubKey=[0x%x],dwFlags=[%d]",
                   static_cast<unsigned>(hProv), static_cast<unsigned>(hHash),
                   static_cast<int>(cbSigLen), static_cast<unsigned>(hPubKey),
                   static_cast<int>(dwFlags));
        frame.dump("pbSignature", pbSignature, cbSigLen);
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (pbSignature == nullptr || cbSigLen == 0)
            return ERROR_INVALID_PARAMETER;
        if (dwFlags > 1)
            return kBadFlags;
        const std::string strDescription = Narrow(szDescription);
        return frame.result(
            "provider->verifySignature",
            pProvider->verifySignature(hHash, pbSignature, cbSigLen, hPubKey,
                                       szDescription ? strDescription.c_str() : nullptr, dwFlags));
    });
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE *pbBuffer)
{
    return CCspEntryFrame::Run("CPGenRandom", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],cbLen=[%d]", static_cast<unsigned>(hProv),
                   static_cast<int>(cbLen));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        const DWORD dwRet =
            frame.result("provider->genRandom", pProvider->genRandom(cbLen, pbBuffer));
        // Random output may become a key: only its length is shown.
        if (dwRet == 0)
            frame.dump("pbBuffer", pbBuffer, cbLen, true);
        return dwRet;
    });
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey)
{
    return CCspEntryFrame::Run("CPGetUserKey", [&](CCspEntryFrame &frame) -> DWORD {
        frame.info("hProv=[0x%x],dwKeySpec=[%d]", static_cast<unsigned>(hProv),
                   static_cast<int>(dwKeySpec));
        Pavrel_Provider *pProvider = frame.findProvider(hProv);
        if (pProvider == nullptr)
            return kBadUid;
        if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE)
            return static_cast<DWORD>(NTE_BAD_KEY);
        return frame.result("provider->getUserKey", pProvider->getUserKey(dwKeySpec, phUserKey));
    });
}

// Registers this module as the provider (type PROV_RSA_FULL, no signature
// check) under its own path.
// The provider's registry entry is the installation's to write and remove;
// both exports only answer S_OK.
HRESULT WINAPI DllRegisterServer()
{
    return S_OK;
}

HRESULT WINAPI DllUnregisterServer()
{
    return S_OK;
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pvReserved)
{
    // advapi32 frees a CSP whose acquisition failed before the caller reads
    // the error: loading and unloading must not overwrite it.
    const DWORD dwLastError = GetLastError();
    CTraceWriter *pWriter = CTraceWriter::GetInstance();
    switch (dwReason) {
        case DLL_PROCESS_ATTACH: {
            g_hModule = hInstance;
            DisableThreadLibraryCalls(hInstance);
            pWriter->LoadTraceLibrary((KQModuleFolder(hInstance) + "KQUKeyLog.dll").c_str());
            CCspTraceScope scope("DllMain", "DLL_PROCESS_ATTACH");
            try {
                CUserConfig config;
                if (config.IsBindCpu())
                    CUserConfig::BindProcessToSecondProcessor();
            } catch (...) {
            }
            break;
        }
        case DLL_PROCESS_DETACH:
            // At process exit the other threads are gone, possibly inside the
            // keyset lock, and the libraries the keysets reach may be detached
            // already: the system reclaims everything, so only a FreeLibrary
            // runs the clean-up.
            if (pvReserved == nullptr) {
                {
                    CCspTraceScope scope("DllMain", "DLL_PROCESS_DETACH");
                    try {
                        Pavrel_Keyset::CleanupAtUnload();
                    } catch (...) {
                    }
                }
                pWriter->FreeTraceLibrary();
            }
            break;
        default:
            break;
    }
    SetLastError(dwLastError);
    return TRUE;
}

}  // extern "C"
