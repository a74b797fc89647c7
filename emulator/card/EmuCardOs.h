// EmuCardOs.h
//
// CEmuCardOs: the operating system of the emulated token's chip. It answers
// every command APDU the token access library sends (file system, security
// state, secure messaging, RSA, PIN, device information) with response data
// followed by SW1 SW2, persists the token to a state file and reports every
// exchange to a log hook. It never answers 61xx: every answer is complete.
//
// A new token comes either as a bank issues it (the file system of
// CEmuFileSystem::BuildIssued, PIN "123456" with 6 tries, the name
// "KQ USB Key", no keys) or blank (no file system: every selection 6A82).
//
// Access rules: a SELECT of a directory drops external authentication and PIN
// verification. UPDATE BINARY / UPDATE RECORD and secure-messaging writes need
// external authentication; GENERATE, IMPORT KEY and the private-key
// operations need the PIN; public-key export and public operations need
// nothing. Key files cannot be read or written as binary files (6981).
//
// Commands (CLA INS):
//   00 A4 SELECT, 00 B0/D6 READ/UPDATE BINARY (6Cxx gives the right Le),
//   00 B2/DC READ/UPDATE RECORD, 80 84 GET CHALLENGE, 00 82 EXTERNAL
//   AUTHENTICATE, 84 B0/D6 secure-messaging READ/UPDATE BINARY, 84 D4 import
//   symmetric key, 00 46 GENERATE RSA (size code 1/2/3 = 512/1024/2048),
//   00 D2 IMPORT KEY (chained: 00 more, 01 last), 80 D8 EXPORT public key,
//   80 2A raw RSA, chained, P1 P2 = 86 80 public encrypt, 80 86 private
//   decrypt, 00 A8 verify (public), 9E 9A sign (private); 80 21 PIN tries
//   (answer: max tries, tries left), 00 20 VERIFY, 80 F6 device information,
//   80 09 SET CONFIG, 80 6E / 84 6E keypad entry, 80 5E GET KEY DATA,
//   80 52 screen (not ISO-framed: the bytes after P1 P2 are CEmuScreen's
//   command data; P1 P2 other than 00 00: 6A86).
//   VERIFY without PIN bytes (P1 00) and the PIN changes
//   (00 04, 84 F4) need the holder at the keypad: they go to the user-input
//   hook and are answered 6D00 while none is set. Everything else: 6D00
//   (unknown INS) or 6E00 (unknown CLA).
//
// Keypad commands. A locked PIN answers 6983 without asking the holder.
// While the holder types, the command stays open (AnswerPending) and every
// PollAnswer asks the hook again; nothing blocks. The answer: VERIFY 9000
// (PIN verified) or 63Cx (wrong, x tries left; 63C0 when that locked it);
// CHANGE 9000 (the old PIN was right and the new one, 1 to 32 bytes, is set
// with the tries reset; a new PIN out of range gives 6A80 and changes
// nothing but the tries) or 63Cx for a wrong old PIN; 6984 when the holder
// cancelled. Another command, DropPending or PowerOn while one is open drops
// it (the hook hears Abandon). The log hook sees a keypad command when its
// answer is given.
//
// The screen shows the logo at every power-on. Any command that is not a
// screen command first records the screen in its history (the holder has
// seen the finished picture by then).
// Keypad entry (the entry itself: EmuCardKeyEntry.h). The token keeps the
// entry between commands, so other commands (other processes) may come
// between its steps; a power cycle ends it.
//   80 6E 01 00 Lc KEY IN START: mode, maximum length, 10-byte allowed-key
//     bitmap, fixed byte, key flag 00 (14 bytes in all) or 01 followed by the
//     key id, the reference length and the reference: 6601/6603 and the
//     symmetric key's name, or A400, 02 and the host-key file id (in the
//     current directory). A named key needs external authentication (6982)
//     and must exist (6A88). The mode and fixed byte do not change how this
//     token's keypad behaves. Every KEY IN START ends the entry before it,
//     accepted or not.
//   80 6E 02 00 Le  poll: one byte, the character of the key the holder
//     pressed (the user-input hook's PressKey), 00 while none is pending and
//     once Enter or Esc ended the typing.
//   84 6E 03 mode Le  KEY IN END, after GET CHALLENGE for 8 bytes (6985
//     without): the entry's result for the mode, as an enciphered answer
//     (EmuCardSecurity.h) whose block starts with the result's length. The
//     whole answer must fit 256 bytes, so results longer than 247 bytes give
//     6700. A refused KEY IN END leaves the entry open; one that answers
//     ends it.
//   Poll and KEY IN END without an entry: 6985.
//   80 5E 00 00 0E GET KEY DATA: the 14 data bytes padded 80 00 to 16 and
//     enciphered in ECB under a symmetric key. What the arguments mean is the
//     token's own; this one takes the first data byte as the key's choice
//     (1: the first key imported with id 6601, 2: with id 6603; none: 6A88,
//     another value 6A80); the other bytes are only enciphered.
// The log shows neither the poll's key nor KEY IN END's data.
#pragma once

#include "EmuCardApdu.h"
#include "EmuCardKeyEntry.h"
#include "EmuCardSecurity.h"
#include "EmuCardStore.h"
#include "EmuScreen.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How the holder answered a request on the token's keypad (Pending: still
// typing, ask again at the next poll).
enum class EEmuUserAnswer { Entered, Cancelled, Pending };

// The holder at the token's keypad and screen, driven by the emulator (its
// scripted key presses). Calls come from inside ProcessApdu and PollAnswer:
// once when a keypad command arrives and, while the answer is Pending, again
// at every poll until it is Entered or Cancelled, or Abandon ends it.
class IEmuCardUserInput {
public:
    virtual ~IEmuCardUserInput() = default;
    // The holder types the PIN for a VERIFY without PIN bytes.
    virtual EEmuUserAnswer EnterPin(std::string &strPin) = 0;
    // The holder types the old PIN and the new one.
    virtual EEmuUserAnswer EnterPinChange(std::string &strOldPin, std::string &strNewPin) = 0;
    // The open request is over without an answer (dropped by the host).
    virtual void Abandon() {}
    // The next key the holder presses during a keypad entry, when one is
    // ready: true with its character. fnRefusal says why the entry would not
    // take a character (null: it takes it); a refused press is used up and
    // the next one considered.
    virtual bool PressKey(const std::function<const char *(uint8_t)> &fnRefusal, uint8_t &bChar)
    {
        (void)fnRefusal;
        (void)bChar;
        return false;
    }
};

struct SEmuCardOptions {
    bool fIssued = true;                     // false: blank, no file system
    std::string strPin = "123456";           // 1 to 32 bytes
    uint8_t bPinTries = 6;                   // 1 to 15
    std::string strTokenName = "KQ USB Key"; // at most 64 bytes
    std::string strSerial = "KQEMU00000000001";
};

class CEmuCardOs {
public:
    // Receives each command and its answer as the log shows them (MaskForLog,
    // MaskAnswerForLog).
    typedef std::function<void(const std::vector<uint8_t> &vbCommand,
                               const std::vector<uint8_t> &vbAnswer)>
        ApduLogFn;

    // A new token made with these options (defaults: issued).
    explicit CEmuCardOs(const SEmuCardOptions &options = SEmuCardOptions());

    // Options of a token as the bank issues it, and of a blank one.
    static SEmuCardOptions IssuedOptions();
    static SEmuCardOptions BlankOptions();

    // One command APDU in, response data followed by SW1 SW2 out.
    std::vector<uint8_t> ProcessApdu(const std::vector<uint8_t> &vbApdu);
    // Power cycle (unplug and plug): security state, challenge, chains and
    // selection are lost; files, PIN and counters stay.
    void PowerOn();

    // Writes the token's persistent state to the file atomically.
    bool Save(const std::string &strPath, std::string &strError) const;
    // Replaces the token's state with the file's; on failure nothing changes.
    bool Load(const std::string &strPath, std::string &strError);

    // True while a keypad command waits for the holder; ProcessApdu then
    // answered nothing (an empty vector).
    bool AnswerPending() const { return m_eKeypad != KEYPAD_NONE; }
    // One host poll while AnswerPending: true with the answer once the
    // holder is done. False, and nothing changes, when no command is open.
    bool PollAnswer(std::vector<uint8_t> &vbResponse);
    // Drops the open keypad command, if any.
    void DropPending();

    // The log hook (empty function: no log).
    void SetApduLog(ApduLogFn fnLog) { m_fnLog = std::move(fnLog); }
    // The keypad hook (not owned; null: keypad commands answer 6D00).
    void SetUserInput(IEmuCardUserInput *pInput) { m_pUserInput = pInput; }

    // The token's screen (not persisted: every power-on shows the logo).
    CEmuScreen &Screen() { return m_screen; }

    // The command as the log shows it: PIN and key data reduced to header and Lc.
    static std::vector<uint8_t> MaskForLog(const std::vector<uint8_t> &vbApdu);
    // The answer as the log shows it: the keypad entry's keys and result
    // reduced to the status word.
    static std::vector<uint8_t> MaskAnswerForLog(const std::vector<uint8_t> &vbApdu,
                                                 const std::vector<uint8_t> &vbAnswer);

private:
    struct SAnswer {
        std::vector<uint8_t> vbData;
        uint16_t wSw = EmuSw::SW_OK;
        bool fPending = false;  // keypad command still open
    };
    enum EKeypad { KEYPAD_NONE, KEYPAD_VERIFY, KEYPAD_CHANGE };
    // Asks the holder (again); the answer, or fPending.
    SAnswer KeypadStep(EKeypad eKind);
    // Response bytes from an answer, reported to the log hook.
    std::vector<uint8_t> Respond(SAnswer &answer, const std::vector<uint8_t> &vbCommand);
    // The selected EF when it is of the kind; null with the status word
    // (no current EF, or incompatible file) otherwise.
    SEmuFile *CurrentEfOfKind(EEmuFileKind eKind, uint16_t &wSw);
    // Writes the bytes at the offset of a transparent file: 6B00 for an
    // offset outside it, 6A84 when they do not fit.
    static uint16_t WriteIntoFile(SEmuFile &file, size_t iOffset,
                                  const std::vector<uint8_t> &vbData);

    // A chained command in progress (IMPORT KEY or raw RSA).
    struct SChain {
        bool fActive = false;
        uint8_t bIns = 0;
        uint16_t wP1P2 = 0;
        uint16_t wFid = 0;
        std::vector<uint8_t> vbData;
    };

    SAnswer Dispatch(const SEmuApdu &apdu);

    // File system commands (EmuCardOs.cpp).
    SAnswer Select(const SEmuApdu &apdu);
    SAnswer ReadBinary(const SEmuApdu &apdu);
    SAnswer UpdateBinary(const SEmuApdu &apdu);
    SAnswer ReadRecord(const SEmuApdu &apdu);
    SAnswer UpdateRecord(const SEmuApdu &apdu);
    SAnswer SmReadBinary(const SEmuApdu &apdu);
    SAnswer SmUpdateBinary(const SEmuApdu &apdu);
    // Challenge, PIN, information and configuration (EmuCardOsPin.cpp).
    SAnswer GetChallenge(const SEmuApdu &apdu);
    SAnswer ExternalAuthenticate(const SEmuApdu &apdu);
    SAnswer PinTries(const SEmuApdu &apdu);
    SAnswer Verify(const SEmuApdu &apdu);
    SAnswer ChangePin(const SEmuApdu &apdu);
    SAnswer Information(const SEmuApdu &apdu);
    SAnswer SetConfig(const SEmuApdu &apdu);
    SAnswer ImportSymmetricKey(const SEmuApdu &apdu);
    // The screen command, whole (EmuCardOsScreen.cpp).
    SAnswer ScreenCommand(const std::vector<uint8_t> &vbApdu);
    // Keypad entry and GET KEY DATA (EmuCardOsKeypad.cpp).
    SAnswer KeyIn(const SEmuApdu &apdu);
    SAnswer KeyInStart(const SEmuApdu &apdu);
    SAnswer KeyInPoll(const SEmuApdu &apdu);
    SAnswer KeyInEnd(const SEmuApdu &apdu);
    SAnswer GetKeyData(const SEmuApdu &apdu);
    // The first symmetric key with this id and, when pvbName is given, name.
    const SEmuSymmetricKey *FindSymmetricKey(uint16_t wKeyId,
                                             const std::vector<uint8_t> *pvbName) const;
    // Key commands (EmuCardOsKeys.cpp).
    SAnswer GenerateRsa(const SEmuApdu &apdu);
    SAnswer ImportKey(const SEmuApdu &apdu);
    SAnswer ExportPublicKey(const SEmuApdu &apdu);
    SAnswer RsaOperation(const SEmuApdu &apdu);
    // Adds a block to the chain; true when it was the last one.
    uint16_t AddChainBlock(uint8_t bIns, uint16_t wP1P2, uint16_t wFid, uint8_t bChain,
                           const uint8_t *pbData, size_t cbData, size_t cbMax, bool &fLast);

    SEmuCardState m_state;
    CEmuCardSecurity m_security;
    SChain m_chain;
    CEmuScreen m_screen;
    ApduLogFn m_fnLog;
    IEmuCardUserInput *m_pUserInput = nullptr;
    EKeypad m_eKeypad = KEYPAD_NONE;
    std::vector<uint8_t> m_vbKeypadCommand;  // the open command as logged
    CEmuKeyEntry m_entry;
};
