// KQCard.h
//
// CKQCard: the card object behind KQCardBase. One object is bound to one
// token by its HID device path. It owns the command object of the open
// connection (replaced on every open, so file and key caches start afresh;
// only the cached PIN is carried over) and a handle to the token's device
// lock, the named mutex "MUTEX_CARD_<path>" shared by every process and card
// object on the same token. Each locked operation holds that lock for exactly
// one call; operations that need the token reopen a dropped connection first.
//
// An object is used by one thread at a time. Nothing is thrown out of it:
// every operation ends in a result code (or FALSE/0 for its BOOL and count
// slots) and a catch-all frame.
#pragma once

#include <windows.h>

#include "KQCardBase.h"

class CBaseCmd;

// Longest device path the object binds: "MUTEX_CARD_" plus the path and its
// terminator must fit the 260-byte lock-name buffer.
const DWORD KQCARD_MAX_DEVICE_PATH = 248;

class CKQCard : public KQCardBase {
public:
    // Zeroes the path; no lock, no command object.
    CKQCard();

    // Slot 0: closes the connection, frees the lock handle and the command
    // object, and frees the object when bit 0 of the flags is set.
    void *DeleteObject(unsigned int uFlags) override;

    DWORD OpenConnection(const char *pszDevicePath) override;
    DWORD AttachConnection(const char *pszDevicePath) override;
    DWORD OpenConnectionByDeviceId(const char *pszDeviceId) override;
    DWORD OpenConnByContainerDefault(const char *pszContainer) override;
    DWORD OpenConnectionEx(const char *pszDevicePath, int eType) override;
    DWORD OpenConnByContainer(const char *pszContainer, int eType) override;
    DWORD OpenConnectionByDeviceIdEx(const char *pszDeviceId, int eType) override;
    DWORD ConvertToFullName(const char *pszName, char *pszFullName, DWORD *pdwLen) override;
    BOOL IsConnected() override;
    DWORD ReConnect() override;
    DWORD CloseConnection() override;
    BOOL GetDevicePath(char *pszDevicePath, DWORD dwLen) override;
    BOOL GetDeviceId(char *pszDeviceId, DWORD dwLen) override;
    DWORD GetFileSystemStatus(int *lpFileSystemStatus) override;
    BOOL IsDevOnLine(const char *pszDevicePath) override;
    int GetUKeyCount() override;
    BOOL GetUKeyDevicePath(int nIndex, char *pszDevicePath, DWORD dwLen) override;

    DWORD GetPinStatus(int *lpPinStatus) override;
    DWORD GetPinVerifyTimes(BYTE *pbFirst, BYTE *pbSecond) override;
    DWORD GetATR(BYTE *pbAtr, DWORD *pdwLen) override;
    DWORD VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTries) override;
    DWORD ChangePin(int *pnTries) override;
    DWORD ChangePinName(const char *pszKeyName) override;
    DWORD GetPinName(char *pszKeyName, DWORD dwMaxLen) override;
    DWORD DeleteKeySet(const char *pszContainer) override;
    DWORD Reserved26() override;
    DWORD Reserved27() override;
    DWORD ImportKey(const char *pszContainer, DWORD dwKeySpec, DWORD dwKeyBits,
                    const BYTE *pbBlob, DWORD dwBlobLen) override;
    DWORD GenerateKeys(const char *pszContainer, KEYGEN_PARAM keyParam,
                       DWORD dwKeySpec) override;
    DWORD ReadPublicKey(const char *pszContainer, DWORD dwKeySpec, BYTE *pbBlob,
                        DWORD *pdwLen) override;
    DWORD Reserved31() override;
    DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) override;
    DWORD ReadAllKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) override;
    DWORD WriteKeysetId(int nIndex, const char *pszContainer) override;
    DWORD GetFileIds(const char *pszContainer, int nKeySpec, BYTE *pbRecord, BYTE bSize,
                     BYTE *pbIndex) override;
    DWORD GetKeysetIdObjectStatus(const char *pszContainer, DWORD dwKeySpec, WORD *pwStatus,
                                  WORD *pwKeyBits) override;
    DWORD Reserved37() override;
    DWORD Reserved38() override;
    DWORD Reserved39() override;
    DWORD Reserved40() override;
    DWORD ComputeCrypt(const char *pszContainer, int nOp, DWORD dwKeySpec, const BYTE *pbIn,
                       DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD ReadCertificate(const char *pszContainer, DWORD dwKeySpec, BYTE *lpbCert,
                          DWORD *lpdwCertSize) override;
    DWORD WriteCertificate(const char *pszContainer, DWORD dwKeySpec, const BYTE *pbCert,
                           DWORD dwCertLen) override;
    DWORD CreateFileSystem(const BYTE *pbApdu, DWORD dwLen) override;
    DWORD GetSupportedRsaKeyLength(BYTE *pbValue) override;
    DWORD GetCFCAKeyLength(BYTE *pbValue) override;
    DWORD GetUsbSn(BYTE *pbData, DWORD *pdwLen) override;
    DWORD GetCosVersion(BYTE *pbData, DWORD *pdwLen) override;
    DWORD GetVendorInfo(BYTE *pbData, DWORD *pdwLen) override;
    DWORD GetDeviceInfo(BYTE *pbData, DWORD *pdwLen) override;
    DWORD GetChipSn(BYTE *pbData, DWORD *pdwLen) override;
    DWORD GetCFCAId(BYTE *pbData, DWORD *pdwLen) override;
    DWORD ClearScreen() override;
    DWORD SetDisplay(const char *pScreen) override;
    DWORD DelayDisplayLogo(int nMilliseconds) override;
    DWORD DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLine) override;
    DWORD DisplayLogo() override;
    DWORD GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                     BYTE bA4, BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD KeyInStart(const KEYINSTART_PARAM *pParam, void *pExtra) override;
    DWORD KeyIn(char *pKey, int *pState) override;
    DWORD KeyInEnd(int nType, BYTE *pbData, DWORD *pdwLen, void *pReserved) override;
    DWORD KeyInEndResult(KEYINEND_RESULT **ppResult, void *pReserved) override;
    DWORD ImportSymmetricKey(int nType, const char *pszKeyName, const BYTE *pbKey,
                             DWORD dwKeyLen) override;
    DWORD ImportRsaPubKey(const char *pszContainer, DWORD dwExponent, const BYTE *pbModulus,
                          DWORD dwModulusLen) override;
    DWORD SetLanguageId(WORD fwLanguageId) override;

    // The 10-byte allowed-key list of a keypad entry: key code k is bit
    // 0x80 >> (k % 8) of byte k / 8; key code 66 is always allowed.
    static void BuildAllowedKeyList(const KEYINSTART_PARAM &param, BYTE abList[10]);

    // The device lock name of a path before upper-casing: "MUTEX_CARD_<path>"
    // with every '\' turned into '_' (the lock is opened by the upper-cased
    // name). False when it does not fit dwLen.
    static BOOL BuildMutexName(const char *pszDevicePath, char *pszName, DWORD dwLen);

protected:
    // Reached only through slot 0.
    ~CKQCard();

private:
    CKQCard(const CKQCard &) = delete;
    CKQCard &operator=(const CKQCard &) = delete;

    // Step 3 of the locked frame: reopens the connection when it dropped.
    // Returns the reopen's result (0 when nothing had to be done).
    DWORD ReConnectIfDropped();
    // Drops the lock handle (released and closed) unless it is the lock of
    // pszNewName, which an operation of this thread may be holding.
    void ReplaceMutex(const char *pszNewName);
    // The frame of the reserved slots: lock taken and released, 0.
    DWORD ReservedUnderLock(const char *pszMethod);

    // Inside the lock: reopens a dropped connection (its failure traced with
    // the text, 0x8010000C, unless bGoOnAfterFailedReconnect) and checks
    // that there is a command object.
    DWORD ReadyForCommand(const char *pszReconnectFailure, bool bGoOnAfterFailedReconnect = false);
    // The common frame around a slot's body: trace, device lock, reopen,
    // catch-all. The keypad and key-import slots try the reopen and go on
    // whatever it gives (bGoOn).
    template <class Body>
    DWORD InLockedFrame(const char *pszMethod, Body body, bool bGoOn = false);
    // External authentication of the selected directory with the issuer's key.
    DWORD ExternalAuthenticate();
    // DF 5000, external authentication, EF 5003, each failure with its text.
    DWORD SelectPinStateFile(const char *pszDfFailure, const char *pszAuthFailure,
                             const char *pszEfFailure);
    // MF, DF 5000, external authentication, EF 5004, traced for the slot.
    DWORD SelectNameFile(const char *pszMethod);
    // One byte of EF 5002 (0: supported RSA length, 1: CFCA key length).
    DWORD ReadKeyLengthCode(WORD wOffset, BYTE *pbValue, const char *pszMethod,
                            const char *pszDfFailure);
    // Key sets (KQCardKeys.cpp). Failure texts of a directory walk.
    struct SDirectoryTexts {
        const char *pszIndexSelect;      // EF 5031
        const char *pszIndexRead;        // its descriptor
        const char *pszDirectorySelect;  // the directory: format with its two id bytes
        const char *pszRecordRead;
    };
    static const BYTE KEYSET_RECORD_LENGTH = 12;
    // Select DF 5000, then external authentication.
    DWORD Authenticate(const char *pszDfFailure, const char *pszAuthFailure);
    // EF 5031, the descriptor at bOffset, the directory selected as EF.
    DWORD OpenDirectory(BYTE bOffset, const SDirectoryTexts &texts, BYTE abDescriptor[3]);
    DWORD ReadRecordOf(const BYTE abDescriptor[3], BYTE bNo, const SDirectoryTexts &texts,
                       BYTE abRecord[KEYSET_RECORD_LENGTH]);
    DWORD WriteRecordOf(const BYTE abDescriptor[3], BYTE bNo, const BYTE *pbRecord,
                        const SDirectoryTexts &texts, const char *pszUpdateFailure);
    // The record's name file read as 255 bytes, NUL-terminated.
    DWORD ReadContainerName(const BYTE *pbRecord, char szName[256], const char *pszSelectFailure,
                            const char *pszReadFailure);
    // Writes to the selected EF in pieces of at most 128 bytes.
    DWORD WriteInPieces(WORD wOffset, const BYTE *pbData, DWORD dwLen, bool bSecure);
    // Status and name of each record of the open directory into pItems.
    DWORD ReadDirectoryEntries(const BYTE abDir[3], const SDirectoryTexts &texts,
                               KEYSET_ID *pItems, const char *pszNameFailure);
    // The PIN check: cached PIN or the token's keypad.
    DWORD VerifyHolderPin(const char *pszFailure);
    // Sets and clears flags of record bNo (and its bytes 2-3 when given).
    DWORD MarkRecord(DWORD dwKeySpec, BYTE bNo, BYTE bSetFlags, BYTE bClearFlags,
                     const BYTE *pbLengthField, const SDirectoryTexts &texts,
                     const char *pszUpdateFailure);
    // The container's record, which must hold both keys.
    DWORD LocateKeyPair(const char *pszContainer, DWORD dwKeySpec, const char *pszMethod,
                        BYTE abRecord[KEYSET_RECORD_LENGTH]);
    // A device-information query of the command object under the frame.
    DWORD QueryDevice(const char *pszMethod, DWORD (CBaseCmd::*pfnQuery)(BYTE *, DWORD *),
                      BYTE *pbData, DWORD *pdwLen);

    char m_szDevicePath[260];
    CBaseCmd *m_psCard;
    HANDLE m_hCardMutex;
    char m_szMutexName[260];
};
