// KQCardBase.h
//
// KQCardBase: the card object's interface, the only door through which the
// other deliverables reach a token. Consumers get an object from the token
// access library's CeiGetObject(0) and call its operations by their place in
// the virtual table, so the 66 slots below keep this order in every build
// (x64 and x86) and nothing may be inserted, removed or regrouped:
//
// - slot 0 is an explicit virtual taking the delete flags, not a C++ virtual
//   destructor (g++ would emit two slots for one destructor);
// - the two keypad-end operations (slots 61 and 62) carry distinct names so
//   no compiler groups overloads and shifts the table;
// - operations use the compiler's default member calling convention (thiscall
//   on x86), the same one every consumer is built with.
//
// Results are 32-bit smart-card result codes (0 = success) unless the slot's
// comment says BOOL or count; those return FALSE or 0 on every failure.
// Every consumer includes this one header.
#pragma once

#include <windows.h>

// Bit of the slot-0 flags that also frees the object's memory.
const unsigned int KQCARD_DELETE_MEMORY = 1;

// Connection kinds of OpenConnectionEx and the other long open forms.
enum {
    KQCARD_CONN_CACHED = 0,     // command object with its file cache filled at open
    KQCARD_CONN_DEFAULT = 1,    // the same as 0; the short open forms use it
    KQCARD_CONN_ON_DEMAND = 2,  // command object whose file cache fills on demand
};

#pragma pack(push, 1)
// One container-list entry in the caller's memory (262 bytes): the status
// (0x0800 in use, 0x8000 certificate present) and the NUL-terminated name.
struct KEYSET_ID {
    WORD wStatus;
    char szName[260];
};
#pragma pack(pop)

// Argument of GenerateKeys, passed by value as one 64-bit quantity.
struct KEYGEN_PARAM {
    DWORD dwAlgorithm;  // algorithm value
    DWORD dwKeyBits;    // key length in bits
};

// Keypad-entry parameters read by KeyInStart.
struct KEYINSTART_PARAM {
    DWORD dwNumberMask;     // bit i (0..9) allows key code i
    DWORD dwLowerMask;      // bit i (0..25) allows key code 36 + i
    DWORD dwUpperMask;      // bit i (0..25) allows key code 10 + i
    DWORD dwSpecialMask;    // bits 0..3: key codes 62..65, bit 4: 67, bit 5: 68
    DWORD dwMode;           // entry mode 1..4, anything else is sent as 0
    const char *pszContainer;
    DWORD dwKeyKind;        // 1: key 0x6601, 2: key 0x6603, 3: key 0xA400, else none
    DWORD dwReserved;
    WORD wMaxLen;           // at most 255
};

// Result of KeyInEndResult: the entry data and its length, allocated through
// the memory library as one chained block (freeing the record frees both).
struct KEYINEND_RESULT {
    BYTE *pbData;
    DWORD dwLen;
};

class KQCardBase {
public:
    // Slot 0: runs the object's destructor and frees it when bit 0 of the
    // flags is set; returns this.
    virtual void *DeleteObject(unsigned int uFlags) = 0;

    // Slot 1: OpenConnectionEx(path, 1).
    virtual DWORD OpenConnection(const char *pszDevicePath) = 0;
    // Slot 2: binds a fresh object to a token this process already opened.
    virtual DWORD AttachConnection(const char *pszDevicePath) = 0;
    // Slot 3: OpenConnectionByDeviceIdEx(id, 1).
    virtual DWORD OpenConnectionByDeviceId(const char *pszDeviceId) = 0;
    // Slot 4: OpenConnByContainer(container, 1).
    virtual DWORD OpenConnByContainerDefault(const char *pszContainer) = 0;
    // Slot 5: opens the token at the path, or the first present token.
    virtual DWORD OpenConnectionEx(const char *pszDevicePath, int eType) = 0;
    // Slot 6: opens the token named by a device id written with '#' for '\'.
    virtual DWORD OpenConnByContainer(const char *pszContainer, int eType) = 0;
    // Slot 7: opens the token of a device instance id.
    virtual DWORD OpenConnectionByDeviceIdEx(const char *pszDeviceId, int eType) = 0;
    // Slot 8: builds "\\.\<device part>\<name>".
    virtual DWORD ConvertToFullName(const char *pszName, char *pszFullName, DWORD *pdwLen) = 0;
    // Slot 9 (BOOL): this process holds the token and it still answers.
    virtual BOOL IsConnected() = 0;
    // Slot 10: reopens the bound path with connection kind 1.
    virtual DWORD ReConnect() = 0;
    // Slot 11: drops the HID connection and the device lock handle.
    virtual DWORD CloseConnection() = 0;
    // Slot 12 (BOOL): copies the bound device path.
    virtual BOOL GetDevicePath(char *pszDevicePath, DWORD dwLen) = 0;
    // Slot 13 (BOOL): copies the device instance id of the bound path.
    virtual BOOL GetDeviceId(char *pszDeviceId, DWORD dwLen) = 0;
    // Slot 14: 1 in *lpFileSystemStatus when the master file can be selected.
    virtual DWORD GetFileSystemStatus(int *lpFileSystemStatus) = 0;
    // Slot 15 (BOOL): this process holds the token at the given path.
    virtual BOOL IsDevOnLine(const char *pszDevicePath) = 0;
    // Slot 16 (count): present tokens from a fresh enumeration.
    virtual int GetUKeyCount() = 0;
    // Slot 17 (BOOL): path of the token at nIndex of the last count.
    virtual BOOL GetUKeyDevicePath(int nIndex, char *pszDevicePath, DWORD dwLen) = 0;

    // Slots 18 to 24: PIN.
    virtual DWORD GetPinStatus(int *lpPinStatus) = 0;
    virtual DWORD GetPinVerifyTimes(BYTE *pbFirst, BYTE *pbSecond) = 0;
    virtual DWORD GetATR(BYTE *pbAtr, DWORD *pdwLen) = 0;
    virtual DWORD VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTries) = 0;
    virtual DWORD ChangePin(int *pnTries) = 0;
    virtual DWORD ChangePinName(const char *pszKeyName) = 0;
    virtual DWORD GetPinName(char *pszKeyName, DWORD dwMaxLen) = 0;
    // Slot 25: removes a container and its keys.
    virtual DWORD DeleteKeySet(const char *pszContainer) = 0;
    // Slots 26, 27: take the device lock and return 0.
    virtual DWORD Reserved26() = 0;
    virtual DWORD Reserved27() = 0;
    // Slots 28 to 30: keys of a container.
    virtual DWORD ImportKey(const char *pszContainer, DWORD dwKeySpec, DWORD dwKeyBits,
                            const BYTE *pbBlob, DWORD dwBlobLen) = 0;
    virtual DWORD GenerateKeys(const char *pszContainer, KEYGEN_PARAM keyParam,
                               DWORD dwKeySpec) = 0;
    virtual DWORD ReadPublicKey(const char *pszContainer, DWORD dwKeySpec, BYTE *pbBlob,
                                DWORD *pdwLen) = 0;
    // Slot 31: returns 0, takes no lock.
    virtual DWORD Reserved31() = 0;
    // Slots 32 to 36: the container list.
    virtual DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) = 0;
    virtual DWORD ReadAllKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) = 0;
    virtual DWORD WriteKeysetId(int nIndex, const char *pszContainer) = 0;
    virtual DWORD GetFileIds(const char *pszContainer, int nKeySpec, BYTE *pbRecord, BYTE bSize,
                             BYTE *pbIndex) = 0;
    virtual DWORD GetKeysetIdObjectStatus(const char *pszContainer, DWORD dwKeySpec,
                                          WORD *pwStatus, WORD *pwKeyBits) = 0;
    // Slots 37 to 40: take the device lock and return 0.
    virtual DWORD Reserved37() = 0;
    virtual DWORD Reserved38() = 0;
    virtual DWORD Reserved39() = 0;
    virtual DWORD Reserved40() = 0;
    // Slots 41 to 43: RSA operation and certificates.
    virtual DWORD ComputeCrypt(const char *pszContainer, int nOp, DWORD dwKeySpec,
                               const BYTE *pbIn, DWORD dwInLen, BYTE *pbOut,
                               DWORD *pdwOutLen) = 0;
    virtual DWORD ReadCertificate(const char *pszContainer, DWORD dwKeySpec, BYTE *lpbCert,
                                  DWORD *lpdwCertSize) = 0;
    virtual DWORD WriteCertificate(const char *pszContainer, DWORD dwKeySpec,
                                   const BYTE *pbCert, DWORD dwCertLen) = 0;
    // Slot 44: sends a caller-built command (the token reset script).
    virtual DWORD CreateFileSystem(const BYTE *pbApdu, DWORD dwLen) = 0;
    // Slots 45 to 52: device information.
    virtual DWORD GetSupportedRsaKeyLength(BYTE *pbValue) = 0;
    virtual DWORD GetCFCAKeyLength(BYTE *pbValue) = 0;
    virtual DWORD GetUsbSn(BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD GetCosVersion(BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD GetVendorInfo(BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD GetDeviceInfo(BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD GetChipSn(BYTE *pbData, DWORD *pdwLen) = 0;
    virtual DWORD GetCFCAId(BYTE *pbData, DWORD *pdwLen) = 0;
    // Slots 53 to 57: the token's screen.
    virtual DWORD ClearScreen() = 0;
    virtual DWORD SetDisplay(const char *pScreen) = 0;  // 4 rows of 16 bytes
    virtual DWORD DelayDisplayLogo(int nMilliseconds) = 0;
    virtual DWORD DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLine) = 0;
    virtual DWORD DisplayLogo() = 0;
    // Slot 58: the token's key-data command.
    virtual DWORD GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                             BYTE bA4, BYTE *pbOut, DWORD *pdwOutLen) = 0;
    // Slots 59 to 62: keypad entry: start, one key, end (two forms).
    virtual DWORD KeyInStart(const KEYINSTART_PARAM *pParam, void *pExtra) = 0;
    virtual DWORD KeyIn(char *pKey, int *pState) = 0;
    virtual DWORD KeyInEnd(int nType, BYTE *pbData, DWORD *pdwLen, void *pReserved) = 0;
    virtual DWORD KeyInEndResult(KEYINEND_RESULT **ppResult, void *pReserved) = 0;
    // Slots 63, 64: keys imported for the keypad's secure entry.
    virtual DWORD ImportSymmetricKey(int nType, const char *pszKeyName, const BYTE *pbKey,
                                     DWORD dwKeyLen) = 0;
    virtual DWORD ImportRsaPubKey(const char *pszContainer, DWORD dwExponent,
                                  const BYTE *pbModulus, DWORD dwModulusLen) = 0;
    // Slot 65: the token's display language.
    virtual DWORD SetLanguageId(WORD fwLanguageId) = 0;

protected:
    // Not virtual: slot 0 does the virtual part, so the table has no
    // destructor entries.
    ~KQCardBase() {}
};
