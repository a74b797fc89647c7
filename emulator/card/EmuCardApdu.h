// EmuCardApdu.h
//
// The card's view of one command APDU: a short ISO 7816 command split into
// header, command data and expected length, and the status words the card
// answers with. Only short APDUs exist on this token (the library never sends
// extended lengths), so a command whose length bytes disagree with its size is
// malformed and answered 6700.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace EmuSw {
const uint16_t SW_OK = 0x9000;
const uint16_t SW_AUTH_FAILED = 0x6300;           // external authentication cryptogram wrong
const uint16_t SW_PIN_TRIES = 0x63C0;             // | tries left
const uint16_t SW_WRONG_LENGTH = 0x6700;
const uint16_t SW_INCOMPATIBLE_FILE = 0x6981;     // command does not fit the file's structure
const uint16_t SW_SECURITY = 0x6982;              // external authentication or PIN missing
const uint16_t SW_PIN_BLOCKED = 0x6983;
const uint16_t SW_CANCELLED = 0x6984;             // holder cancelled on the keypad
const uint16_t SW_CONDITIONS = 0x6985;            // no challenge pending, private key export
const uint16_t SW_NO_CURRENT_EF = 0x6986;
const uint16_t SW_SM_WRONG = 0x6988;              // MAC or secure-messaging block wrong
const uint16_t SW_WRONG_DATA = 0x6A80;
const uint16_t SW_FILE_NOT_FOUND = 0x6A82;
const uint16_t SW_RECORD_NOT_FOUND = 0x6A83;
const uint16_t SW_NO_SPACE = 0x6A84;
const uint16_t SW_WRONG_P1P2 = 0x6A86;
const uint16_t SW_REF_NOT_FOUND = 0x6A88;         // PIN or key not present
const uint16_t SW_OFFSET_OUTSIDE = 0x6B00;
const uint16_t SW_WRONG_LE = 0x6C00;              // | the right length
const uint16_t SW_UNKNOWN_INS = 0x6D00;
const uint16_t SW_UNKNOWN_CLA = 0x6E00;
const uint16_t SW_INTERNAL = 0x6F00;
}  // namespace EmuSw

struct SEmuApdu {
    uint8_t bCla = 0;
    uint8_t bIns = 0;
    uint8_t bP1 = 0;
    uint8_t bP2 = 0;
    bool fHasLc = false;
    std::vector<uint8_t> vbData;  // the Lc command bytes
    bool fHasLe = false;
    size_t cbLe = 0;  // 1 to 256 when fHasLe (a zero Le byte means 256)

    // P1 P2 as one 16-bit number (offsets, file ids).
    uint16_t P1P2() const { return static_cast<uint16_t>((bP1 << 8) | bP2); }
};

// Splits a short command APDU; false when it is shorter than a header or its
// Lc disagrees with its size.
bool ParseEmuApdu(const std::vector<uint8_t> &vbApdu, SEmuApdu &apdu);
