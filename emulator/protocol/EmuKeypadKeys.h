// EmuKeypadKeys.h
//
// The keys of the emulated token's keypad: each key has a code (its bit in a
// keypad entry's allowed-key bitmap) and the character the card answers for
// it. Shared by the card (which filters presses by code) and the scripted
// holder (which names keys by character on the control channel).
// Windows-free.
//
//   codes  0-9   '0'..'9'         codes 62 Esc 0x1B, 63 Enter 0x0D, 64 '*',
//   codes 10-35  'A'..'Z'               65 '+', 66 Backspace 0x08, 67 '.',
//   codes 36-61  'a'..'z'               68 '#'
#pragma once

#include <cstdint>

namespace emu {

const std::uint8_t kKeyEsc = 0x1B;
const std::uint8_t kKeyEnter = 0x0D;
const std::uint8_t kKeyBackspace = 0x08;
const int kKeyCodeCount = 69;

// The key code of a character, or -1 when no key of the keypad gives it.
inline int KeypadKeyCode(std::uint8_t bChar)
{
    static const std::uint8_t s_abSpecial[] = {kKeyEsc, kKeyEnter, '*', '+', kKeyBackspace,
                                               '.',     '#'};
    if (bChar >= '0' && bChar <= '9')
        return bChar - '0';
    if (bChar >= 'A' && bChar <= 'Z')
        return 10 + (bChar - 'A');
    if (bChar >= 'a' && bChar <= 'z')
        return 36 + (bChar - 'a');
    for (int i = 0; i < 7; ++i) {
        if (s_abSpecial[i] == bChar)
            return 62 + i;
    }
    return -1;
}

// True for the keys that are typed into an entry (not Enter, Esc, Backspace).
inline bool KeypadTypes(std::uint8_t bChar)
{
    return KeypadKeyCode(bChar) >= 0 && bChar != kKeyEsc && bChar != kKeyEnter &&
           bChar != kKeyBackspace;
}

}  // namespace emu
