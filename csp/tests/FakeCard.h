// FakeCard.h
//
// A card object for the CSP's tests: the connection and certificate slots
// answer from fields the test sets and count their calls; every other slot
// answers SCARD_E_UNEXPECTED. FakeCardFactory binds the fixture
// "Corlisk.dll" beside the test program to hand these objects out.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "KQCardBase.h"

class FakeCard : public KQCardBase {
public:
    // What the card answers.
    DWORD dwOpenResult = 0;
    DWORD dwReopenResult = 0;
    BOOL bConnected = TRUE;
    std::vector<BYTE> vecCertificate;  // empty: no certificate
    std::vector<BYTE> vecPublicKey = std::vector<BYTE>(262, 0xCA);
    std::vector<BYTE> vecCryptOut;
    // What was asked of it.
    int nOpens = 0;
    int nCloses = 0;
    int nReadPublicKey = 0;
    std::string strOpenedName;
    std::vector<BYTE> vecPinSent;
    BYTE bPinRef = 0;
    // Called inside CloseConnection.
    void (*pfnOnClose)() = nullptr;

    void *DeleteObject(unsigned int uFlags) override;
    DWORD OpenConnByContainerDefault(const char *pszContainer) override
    {
        strOpenedName = pszContainer ? pszContainer : "";
        return ++nOpens == 1 ? dwOpenResult : dwReopenResult;
    }
    BOOL IsConnected() override { return bConnected; }
    DWORD CloseConnection() override
    {
        ++nCloses;
        if (pfnOnClose)
            pfnOnClose();
        return 0;
    }
    DWORD ReadCertificate(const char *, DWORD, BYTE *pbCert, DWORD *pdwLen) override
    {
        if (vecCertificate.empty())
            return SCARD_E_FILE_NOT_FOUND;
        if (*pdwLen < vecCertificate.size()) {
            *pdwLen = static_cast<DWORD>(vecCertificate.size());
            return ERROR_MORE_DATA;
        }
        memcpy(pbCert, vecCertificate.data(), vecCertificate.size());
        *pdwLen = static_cast<DWORD>(vecCertificate.size());
        return 0;
    }
    DWORD ReadPublicKey(const char *, DWORD, BYTE *pbBlob, DWORD *pdwLen) override
    {
        ++nReadPublicKey;
        memcpy(pbBlob, vecPublicKey.data(), vecPublicKey.size());
        *pdwLen = static_cast<DWORD>(vecPublicKey.size());
        return 0;
    }
    DWORD VerifyPin(BYTE bRef, const BYTE *pbPin, DWORD dwLen, BYTE *pbTries) override
    {
        bPinRef = bRef;
        vecPinSent.assign(pbPin, pbPin + dwLen);
        *pbTries = 6;
        return 0;
    }
    DWORD ImportKey(const char *, DWORD, DWORD, const BYTE *, DWORD) override { return 0; }
    DWORD ComputeCrypt(const char *, int, DWORD, const BYTE *, DWORD, BYTE *pbOut,
                       DWORD *pdwOutLen) override
    {
        memcpy(pbOut, vecCryptOut.data(), vecCryptOut.size());
        *pdwOutLen = static_cast<DWORD>(vecCryptOut.size());
        return 0;
    }

#define KQ_FAKE_UNUSED(sig) \
    sig override { return SCARD_E_UNEXPECTED; }
    KQ_FAKE_UNUSED(DWORD OpenConnection(const char *))
    KQ_FAKE_UNUSED(DWORD AttachConnection(const char *))
    KQ_FAKE_UNUSED(DWORD OpenConnectionByDeviceId(const char *))
    KQ_FAKE_UNUSED(DWORD OpenConnectionEx(const char *, int))
    KQ_FAKE_UNUSED(DWORD OpenConnByContainer(const char *, int))
    KQ_FAKE_UNUSED(DWORD OpenConnectionByDeviceIdEx(const char *, int))
    KQ_FAKE_UNUSED(DWORD ConvertToFullName(const char *, char *, DWORD *))
    KQ_FAKE_UNUSED(DWORD ReConnect())
    KQ_FAKE_UNUSED(BOOL GetDevicePath(char *, DWORD))
    KQ_FAKE_UNUSED(BOOL GetDeviceId(char *, DWORD))
    KQ_FAKE_UNUSED(DWORD GetFileSystemStatus(int *))
    KQ_FAKE_UNUSED(BOOL IsDevOnLine(const char *))
    KQ_FAKE_UNUSED(int GetUKeyCount())
    KQ_FAKE_UNUSED(BOOL GetUKeyDevicePath(int, char *, DWORD))
    KQ_FAKE_UNUSED(DWORD GetPinStatus(int *))
    KQ_FAKE_UNUSED(DWORD GetPinVerifyTimes(BYTE *, BYTE *))
    KQ_FAKE_UNUSED(DWORD GetATR(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD ChangePin(int *))
    KQ_FAKE_UNUSED(DWORD ChangePinName(const char *))
    KQ_FAKE_UNUSED(DWORD GetPinName(char *, DWORD))
    KQ_FAKE_UNUSED(DWORD DeleteKeySet(const char *))
    KQ_FAKE_UNUSED(DWORD Reserved26())
    KQ_FAKE_UNUSED(DWORD Reserved27())
    KQ_FAKE_UNUSED(DWORD GenerateKeys(const char *, KEYGEN_PARAM, DWORD))
    KQ_FAKE_UNUSED(DWORD Reserved31())
    KQ_FAKE_UNUSED(DWORD ReadKeysetIds(KEYSET_ID *, DWORD *))
    KQ_FAKE_UNUSED(DWORD ReadAllKeysetIds(KEYSET_ID *, DWORD *))
    KQ_FAKE_UNUSED(DWORD WriteKeysetId(int, const char *))
    KQ_FAKE_UNUSED(DWORD GetFileIds(const char *, int, BYTE *, BYTE, BYTE *))
    KQ_FAKE_UNUSED(DWORD GetKeysetIdObjectStatus(const char *, DWORD, WORD *, WORD *))
    KQ_FAKE_UNUSED(DWORD Reserved37())
    KQ_FAKE_UNUSED(DWORD Reserved38())
    KQ_FAKE_UNUSED(DWORD Reserved39())
    KQ_FAKE_UNUSED(DWORD Reserved40())
    KQ_FAKE_UNUSED(DWORD WriteCertificate(const char *, DWORD, const BYTE *, DWORD))
    KQ_FAKE_UNUSED(DWORD CreateFileSystem(const BYTE *, DWORD))
    KQ_FAKE_UNUSED(DWORD GetSupportedRsaKeyLength(BYTE *))
    KQ_FAKE_UNUSED(DWORD GetCFCAKeyLength(BYTE *))
    KQ_FAKE_UNUSED(DWORD GetUsbSn(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD GetCosVersion(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD GetVendorInfo(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD GetDeviceInfo(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD GetChipSn(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD GetCFCAId(BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD ClearScreen())
    KQ_FAKE_UNUSED(DWORD SetDisplay(const char *))
    KQ_FAKE_UNUSED(DWORD DelayDisplayLogo(int))
    KQ_FAKE_UNUSED(DWORD DisplayLine(const BYTE *, DWORD, DWORD))
    KQ_FAKE_UNUSED(DWORD DisplayLogo())
    KQ_FAKE_UNUSED(DWORD GetKeyData(BYTE, BYTE, BYTE, const BYTE *, DWORD, BYTE, BYTE *, DWORD *))
    KQ_FAKE_UNUSED(DWORD KeyInStart(const KEYINSTART_PARAM *, void *))
    KQ_FAKE_UNUSED(DWORD KeyIn(char *, int *))
    KQ_FAKE_UNUSED(DWORD KeyInEnd(int, BYTE *, DWORD *, void *))
    KQ_FAKE_UNUSED(DWORD KeyInEndResult(KEYINEND_RESULT **, void *))
    KQ_FAKE_UNUSED(DWORD ImportSymmetricKey(int, const char *, const BYTE *, DWORD))
    KQ_FAKE_UNUSED(DWORD ImportRsaPubKey(const char *, DWORD, const BYTE *, DWORD))
    KQ_FAKE_UNUSED(DWORD SetLanguageId(WORD))
#undef KQ_FAKE_UNUSED

    virtual ~FakeCard() {}
};

// Hands out FakeCard objects through the fixture library and keeps every
// one it made (destroyed ones too) so tests can look at them afterwards.
class FakeCardFactory {
public:
    // Binds the fixture beside the test program; false when it is missing.
    static bool Install(const std::string &strLibraryPath);
    // The settings the next card is made with.
    static FakeCard &NextCard();
    // Makes the cards in place of copying NextCard (a fake of its own kind);
    // null goes back to copying.
    static void SetMaker(FakeCard *(*pfnMake)());
    // Cards made so far, in order.
    static const std::vector<FakeCard *> &Made();
    // Whether a made card was handed back to CeiDestroyObject.
    static bool Destroyed(const FakeCard *pCard);
};
