// BaseCmd.h
//
// CBaseCmd: the token's command set for one open connection, bound to one
// device path. Each command builds its APDU in one place, sends it through
// the HID manager (the only way to the token), with the first-poll wait the
// command needs, and turns the answer's status word into a result code. It
// knows nothing of files or key sets: callers pass file ids, record numbers,
// offsets and key file ids. It holds the PIN cache, and it is the base of
// the card file cache, which overrides the slots that select, read and write
// files (each override may call the CBaseCmd version to reach the token).
//
// Secure messaging (BaseCmdSecure.cpp) wraps the command data with the
// secure-messaging key and a fresh challenge for every command; nothing is
// ever sent in clear when the crypto plug-in is missing. Every APDU carrying
// a PIN or key material goes to the trace masked.
//
// One thread at a time: the card object calls it under the device mutex.
#pragma once

#include <windows.h>

#include <vector>

#include "CardInterface.h"

class CBaseCmd : public CCardInterface {
public:
    // Copies at most 259 characters of the path; the PIN cache starts empty.
    explicit CBaseCmd(const char *pszDevicePath);

    // Runs ~CBaseCmd; a derived class overrides this again so that its own
    // destructor runs (the C++ destructors are not virtual).
    void *DeleteObject(unsigned int uFlags) override;
    DWORD SelectFile(BYTE bP1, BYTE bFidHigh, BYTE bFidLow) override;
    DWORD changepin_baseXin(int *pnTriesLeft) override;
    DWORD ChangePin(const BYTE *pbUnused, DWORD dwUnused, BYTE *pbSw2) override;
    DWORD VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTriesLeft) override;
    DWORD GetPinVerifyTimes(BYTE bPinRef, BYTE *pbFirst, BYTE *pbSecond) override;
    DWORD ExternalAuthentication(const BYTE *pbKey, DWORD dwKeyLen) override;
    DWORD ReadRecord(BYTE bRecordNo, BYTE *pbBuf, DWORD dwLen) override;
    DWORD UpdateRecord(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen) override;
    DWORD ReadBinary(WORD wOffset, BYTE *pbBuf, DWORD dwLen) override;
    DWORD ReadBinaryInCipherMac(WORD wOffset, BYTE *pbBuf, DWORD dwLen) override;
    DWORD UpdateBinary(WORD wOffset, const BYTE *pbData, DWORD dwLen) override;
    DWORD UpdateBinaryInCipherMac(WORD wOffset, const BYTE *pbData, DWORD dwLen) override;
    DWORD GenerateRsaKey(BYTE b1, BYTE b2, BYTE b3, BYTE b4, BYTE bSizeCode) override;
    DWORD RsaPubKeyEncryt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                          BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD RsaPrvKeyCrypt(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                         BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD RsaVerifySignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                             BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD RsaSignature(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn, DWORD dwInLen,
                       BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD ImportKey(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbData, DWORD dwLen) override;
    DWORD GetUsbId(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD GetCosVersion(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD GetVendorInfo(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD GetDeviceInfo(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD GetChipId(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD GetCFCAId(BYTE *pbBuf, DWORD *pdwLen) override;
    DWORD RsaPublicKeyExport(BYTE bFidHigh, BYTE bFidLow, BYTE *pbOut, DWORD *pdwOutLen) override;
    DWORD CreateFileSystem(const BYTE *pbApdu, DWORD dwLen) override;
    DWORD SetDisplay(const BYTE *pbLine0, BYTE bLen0, const BYTE *pbLine1, BYTE bLen1,
                     const BYTE *pbLine2, BYTE bLen2, const BYTE *pbLine3, BYTE bLen3,
                     BYTE bUnused) override;
    DWORD DisplayPhoto(BYTE bRow, BYTE bColumn, const BYTE *pbPart) override;
    DWORD DisplayLogo() override;
    DWORD DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLineNo) override;
    DWORD ClearScreen() override;
    DWORD GetKeyData(BYTE bA1, BYTE bA2, BYTE bA3, const BYTE *pbBlock, DWORD dwBlockLen,
                     BYTE bA4, BYTE *pbOut, BYTE *pbOutLen) override;
    DWORD GetCachedPin(BYTE **ppbPin, int *pnLen) override;
    DWORD SetCachedPin(const BYTE *pbPin, DWORD dwLen) override;
    DWORD KeyInStart(BYTE bMode, BYTE bMaxLen, const BYTE *pbAllowedKeys, BYTE bFixed,
                     BYTE bKeyFlag, WORD wKeyId, const char *pszContainer,
                     int *pnStatusWord) override;
    DWORD KeyIn(char *pcKey, int *pnStatusWord) override;
    DWORD KeyInEnd(BYTE bMode, BYTE *pbData, DWORD *pdwLen) override;
    DWORD KeyInEnd(BYTE *pbData, DWORD *pdwLen) override;
    DWORD ImportSymmetricKey(WORD wKeyId, const char *pszKeyName, const BYTE *pbKeyValue,
                             DWORD dwKeyValueLen) override;
    DWORD SetConfig(BYTE bItem, const BYTE *pbData, DWORD dwLen) override;

    // Renders one text line of 16 bytes into the 256-byte line bitmap: ASCII
    // from the built-in font, GBK pairs (a lead byte 80 or above, then its
    // trail byte 40 or above) from GBK.dat. False for other sizes, a pair
    // without a glyph, or a missing font file.
    static BOOL PacketLineData(const BYTE *pbText, DWORD dwTextLen, BYTE *pbOut, DWORD dwOutLen);
    // Tests point the renderer at another GBK font file (null: the installed
    // one under Program Files).
    static void OverrideGbkFontPath(const char *pszPath);

    // Wraps a command for secure messaging: header, Lc, enciphered block and
    // MAC in a new buffer from the memory library (the caller frees it
    // there). False, with nothing produced, for a challenge length other than
    // 8, data too long for one command, or a missing crypto plug-in.
    BOOL CalEncryptedMacData(const BYTE *pbHeader, DWORD dwHeaderLen, const BYTE *pbData,
                             DWORD dwDataLen, const BYTE *pbChallenge, DWORD dwChallengeLen,
                             BYTE **ppbOut, DWORD *pdwOutLen);
    // Unwraps an enciphered answer: the plain data in a new buffer from the
    // memory library (null when there are none) and its length. False when
    // the answer is malformed or cannot be deciphered.
    BOOL DecryptCipherData(const BYTE *pbAnswer, DWORD dwAnswerLen, BYTE **ppbOut,
                           DWORD *pdwOutLen);

    // The cached PIN: 32 bytes and a length (0 = empty). Its contents are
    // wiped before they are replaced and when the cache goes.
    class CPinCache {
    public:
        CPinCache();
        virtual ~CPinCache();
        // Overwrites the PIN bytes and empties the cache.
        void Wipe();
        // Replaces the cached PIN; false (cache unchanged) above 32 bytes.
        bool Set(const BYTE *pbPin, DWORD dwLen);
        const BYTE *Pin() const { return m_abPin; }
        BYTE Length() const { return m_bLen; }

        static const DWORD MAX_PIN = 32;

    private:
        BYTE m_abPin[MAX_PIN];
        BYTE m_bLen;
    };

protected:
    // The C++ destructor is reached only through slot 0 and the destructors
    // of derived classes.
    ~CBaseCmd();

    // One exchange: sets the first-poll wait when dwWait is not 0 (a
    // failed SetTimeOut sends nothing), sends the APDU and returns the
    // response data and status word. False when nothing usable came back.
    BOOL Exchange(const std::vector<BYTE> &apdu, std::vector<BYTE> &answer, BYTE &bSw1,
                  BYTE &bSw2, DWORD dwWait, DWORD dwFlags = 0);
    // GET CHALLENGE for dwLen bytes (8 for secure messaging, 16 for
    // external authentication).
    BOOL GetChallenge(DWORD dwLen, std::vector<BYTE> &answer, BYTE &bSw1, BYTE &bSw2,
                      DWORD dwWait);

private:
    CBaseCmd(const CBaseCmd &) = delete;
    CBaseCmd &operator=(const CBaseCmd &) = delete;

    // The four chained RSA operations, told apart by P1 P2 and trace names.
    struct SRsaOperation;
    DWORD RsaChained(const SRsaOperation &op, BYTE bFidHigh, BYTE bFidLow, const BYTE *pbIn,
                     DWORD dwInLen, BYTE *pbOut, DWORD *pdwOutLen);
    // The five device-information commands that differ only in P2 and name.
    DWORD GetDeviceValue(BYTE bP2, const char *pszName, BYTE *pbBuf, DWORD *pdwLen);
    // One PIN verification exchange with the PIN given, cached, or typed on
    // the keypad.
public:
    // Tests point PIN verification at a stand-in message plug-in (null:
    // back to Sendrow.dll beside this module).
    static void OverrideMessagePlugin(const char *pszPath);

private:
    // One screen command; a failed exchange traced with the text.
    DWORD ScreenCommand(const std::vector<BYTE> &apdu, const char *pszFailure);
    // The key file (id bytes) of the record with this key id whose name file
    // holds the container's name, in the directory at offset 9 of EF 5031.
    DWORD GetRsaKeyFid(WORD wKeyId, const char *pszContainer, BYTE *pbFidHigh, BYTE *pbFidLow);
    // Both KEY IN END forms: challenge, end command, unwrapped entry data.
    DWORD KeyInEndExchange(BYTE bMode, BYTE *pbData, DWORD *pdwLen);
    DWORD InnerVerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTriesLeft);

    CPinCache m_pinCache;
};
