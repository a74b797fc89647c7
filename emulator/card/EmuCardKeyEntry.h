// EmuCardKeyEntry.h
//
// CEmuKeyEntry: one keypad entry of the card (KEY IN START to KEY IN END):
// which keys it takes, how many characters, what the typed characters are
// protected with when they leave the card, and what was typed so far.
//
// Presses: a key whose code is not in the allowed-key bitmap is refused
// (Backspace, code 66, is always allowed); Backspace removes the last
// character; Enter and Esc end the typing (later presses wait for the next
// entry); any other key adds its character while fewer than the maximum
// length are typed, and is refused once the entry is full.
//
// The result (KEY IN END mode): 00 the characters as typed, only for an
// entry that named no key, so that a secret typed for a key never leaves
// the card in clear; 01 the characters padded 80 00.. to whole blocks,
// enciphered in ECB under the entry's symmetric key (DES, or two- or
// three-key triple DES by its length); 02 the characters encrypted under the
// host's RSA public key with PKCS #1 v1.5. A mode that does not fit the
// entry's key: 6985. The entry holds copies of the typed characters and of
// the key, wiped when it ends. Windows-free.
#pragma once

#include <cstdint>
#include <vector>

enum class EEmuEntryKey { None, Symmetric, HostRsa };

class CEmuKeyEntry {
public:
    CEmuKeyEntry() = default;
    ~CEmuKeyEntry() { End(); }
    CEmuKeyEntry(const CEmuKeyEntry &) = delete;
    CEmuKeyEntry &operator=(const CEmuKeyEntry &) = delete;

    // A new entry (the old one, if any, ends). pbAllowed: 10 bitmap bytes,
    // code k is bit 0x80 >> (k % 8) of byte k / 8. vbKey: the symmetric key's
    // value, or the host's public-key file content.
    void Start(const uint8_t *pbAllowed, uint8_t bMaxLength, EEmuEntryKey eKey,
               const std::vector<uint8_t> &vbKey);
    // Ends the entry and wipes what it held.
    void End();
    bool Active() const { return m_fActive; }
    // True once Enter or Esc was taken.
    bool Done() const { return m_fDone; }

    // Why a press of the character would be refused now, or null when the
    // entry takes it.
    const char *Refusal(uint8_t bChar) const;
    // Applies a press that Refusal accepted.
    void Press(uint8_t bChar);

    // The data KEY IN END answers for the mode (status word 9000), or 6985
    // when the mode does not fit the entry's key, 6A86 for an unknown mode.
    uint16_t Result(uint8_t bMode, std::vector<uint8_t> &vbOut) const;

private:
    bool m_fActive = false;
    bool m_fDone = false;
    uint8_t m_abAllowed[10] = {};
    uint8_t m_bMaxLength = 0;
    EEmuEntryKey m_eKey = EEmuEntryKey::None;
    std::vector<uint8_t> m_vbKey;
    std::vector<uint8_t> m_vbTyped;
};
