// CardInterface.h
//
// CCardInterface: the token's command set as the card object binds it, 41
// virtual slots in a fixed order (CBaseCmd implements them, the card file
// cache derives from CBaseCmd and overrides some). The order is the binary
// interface every consumer is built against, so it never changes: slot 0 is
// an explicit method taking the delete flags rather than a C++ virtual
// destructor (g++ would emit two slots for one), and nothing may be inserted
// between the slots or grouped by name.
//
// Slots 1 to 40 return a smart-card result code, except SetDisplay and
// DisplayLine (0 or 1) and GetCachedPin (always 0).
#pragma once

#include <windows.h>

// Length of the device path field, terminator included.
const DWORD CARD_DEVICE_PATH_LENGTH = 260;

// Bit of the slot-0 flags that also frees the object's memory.
const unsigned int CARD_DELETE_MEMORY = 1;

class CCardInterface {
public:
    // Zero-fills the device path.
    CCardInterface();

    // Slot 0: runs the most derived destructor, then frees the object when
    // bit 0 of the flags is set (the object came from new). Each class below
    // overrides it so its own members are destroyed; returns this.
    virtual void *DeleteObject(unsigned int uFlags);
    // Slot 1: SELECT by file id; p1 00 for MF or a DF, 02 for an EF.
    virtual DWORD SelectFile(BYTE bP1, BYTE bFidHigh, BYTE bFidLow) = 0;
    // Slot 2: PIN change on the token's keypad (secure-messaging form).
    virtual DWORD changepin_baseXin(int *pnTriesLeft) = 0;
    // Slot 3: plain PIN change on the token's keypad; the two first
    // arguments are not used.
    virtual DWORD ChangePin(const BYTE *pbUnused, DWORD dwUnused, BYTE *pbSw2) = 0;
    // Slot 4: PIN verification from the caller, the cache or the keypad.
    virtual DWORD VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen,
                            BYTE *pbTriesLeft) = 0;
    // Slot 5: the PIN's two retry counters.
    virtual DWORD GetPinVerifyTimes(BYTE bPinRef, BYTE *pbFirst, BYTE *pbSecond) = 0;
    // Slot 6: proves the 16-byte authentication key to the card.
    virtual DWORD ExternalAuthentication(const BYTE *pbKey, DWORD dwKeyLen) = 0;
    // Slot 7: reads a record of the selected EF into buf (1 to 255 bytes).
    virtual DWORD ReadRecord(BYTE bRecordNo, BYTE *pbBuf, DWORD dwLen) = 0;
    // Slot 8: writes a record of the selected EF.
    virtual DWORD UpdateRecord(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen) = 0;
    // Slot 9: reads 1 to 255 bytes of the selected EF at the offset.
    virtual DWORD ReadBinary(WORD wOffset, BYTE *pbBuf, DWORD dwLen) = 0;
    // Slot 10: ReadBinary under secure messaging.
    virtual DWORD ReadBinaryInCipherMac(WORD wOffset, BYTE *pbBuf, DWORD dwLen) = 0;
    // Slot 11: writes bytes of the selected EF at the offset.
    virtual DWORD UpdateBinary(WORD wOffset, const BYTE *pbData, DWORD dwLen) = 0;
    // Slot 12: UpdateBinary under secure messaging.
    virtual DWORD UpdateBinaryInCipherMac(WORD wOffset, const BYTE *pbData, DWORD dwLen) = 0;
    // Slot 13: generates a key pair into the public and private key files
    // (b1 b2 and b3 b4); the size code sets how long the card works.
    virtual DWORD GenerateRsaKey(BYTE b1, BYTE b2, BYTE b3, BYTE b4, BYTE bSizeCode) = 0;
    // Slots 14 to 17: RSA with the key file, input chained in 128-byte
    // blocks. *pdwOutLen is the capacity of pbOut on input and the result
    // length on output.
    virtual DWORD RsaPubKeyEncryt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                                  BYTE *pbOut, DWORD *pdwOutLen) = 0;
    virtual DWORD RsaPrvKeyCrypt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                                 BYTE *pbOut, DWORD *pdwOutLen) = 0;
    virtual DWORD RsaVerifySignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn,
                                     DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen) = 0;
    virtual DWORD RsaSignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                               BYTE *pbOut, DWORD *pdwOutLen) = 0;
    // Slot 18: imports a key blob into the key file, chained.
    virtual DWORD ImportKey(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbData, DWORD dwLen) = 0;
    // Slots 19 to 24: device information; *pdwLen is the capacity on input.
    virtual DWORD GetUsbId(BYTE *pbBuf, DWORD *pdwLen) = 0;
    virtual DWORD GetCosVersion(BYTE *pbBuf, DWORD *pdwLen) = 0;
    virtual DWORD GetVendorInfo(BYTE *pbBuf, DWORD *pdwLen) = 0;
    virtual DWORD GetDeviceInfo(BYTE *pbBuf, DWORD *pdwLen) = 0;
    virtual DWORD GetChipId(BYTE *pbBuf, DWORD *pdwLen) = 0;
    virtual DWORD GetCFCAId(BYTE *pbBuf, DWORD *pdwLen) = 0;
    // Slot 25: the public-key record of the key file; *pdwOutLen is the
    // capacity on input.
    virtual DWORD RsaPublicKeyExport(BYTE bFidHigh, BYTE bFidLow, BYTE *pbOut,
                                     DWORD *pdwOutLen) = 0;
    // Slot 26: sends a caller-built command (the token reset script).
    virtual DWORD CreateFileSystem(const BYTE *pbApdu, DWORD dwLen) = 0;
    // Slot 27: draws four text lines on the token's screen; 0 or 1.
    virtual DWORD SetDisplay(const BYTE *pbLine0, BYTE bLen0, const BYTE *pbLine1, BYTE bLen1,
                             const BYTE *pbLine2, BYTE bLen2, const BYTE *pbLine3, BYTE bLen3,
                             BYTE bUnused) = 0;
    // Slot 28: draws a 128-byte part of the screen at page row and column.
    virtual DWORD DisplayPhoto(BYTE bRow, BYTE bColumn, const BYTE *pbPart) = 0;
    // Slot 29: shows the logo stored in the token.
    virtual DWORD DisplayLogo() = 0;
    // Slot 30: draws one text line; 0 or 1.
    virtual DWORD DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLineNo) = 0;
    // Slot 31: clears the token's screen.
    virtual DWORD ClearScreen() = 0;
    // Slot 32: the token's key-data command.
    virtual DWORD GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                             BYTE bA4, BYTE *pbOut, BYTE *pbOutLen) = 0;
    // Slot 33: a copy of the cached PIN in a buffer from the memory library.
    virtual DWORD GetCachedPin(BYTE **ppbPin, int *pnLen) = 0;
    // Slot 34: caches a PIN (at most 32 bytes) for the next verification.
    virtual DWORD SetCachedPin(const BYTE *pbPin, DWORD dwLen) = 0;
    // Slots 35 to 38: keypad entry: start, poll one key, end (two forms).
    virtual DWORD KeyInStart(BYTE bMode, BYTE bMaxLen, const BYTE *pbAllowedKeys, BYTE bFixed,
                             BYTE bKeyFlag, WORD wKeyId, const char *pszContainer,
                             int *pnStatusWord) = 0;
    virtual DWORD KeyIn(char *pcKey, int *pnStatusWord) = 0;
    // The two KeyInEnd forms stay adjacent, in this order, so g++ keeps
    // them in slots 37 and 38.
    virtual DWORD KeyInEnd(BYTE bMode, BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD KeyInEnd(BYTE *pbData, DWORD *pdwLen) = 0;
    // Slot 39: imports a named symmetric key under secure messaging.
    virtual DWORD ImportSymmetricKey(WORD wKeyId, const char *pszKeyName, const BYTE *pbKeyValue,
                                     DWORD dwKeyValueLen) = 0;
    // Slot 40: the token's configuration command (item 0: display language).
    virtual DWORD SetConfig(BYTE bItem, const BYTE *pbData, DWORD dwLen) = 0;

    const char *GetDevicePath() const { return m_szDevicePath; }

protected:
    // Not virtual (slot 0 does the virtual part); only DeleteObject and the
    // derived destructors reach it.
    ~CCardInterface() {}

    char m_szDevicePath[CARD_DEVICE_PATH_LENGTH];
};
