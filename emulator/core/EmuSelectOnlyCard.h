// EmuSelectOnlyCard.h
//
// EmuSelectOnlyCard: the smallest card that lets the HID transport be tested
// end to end. It knows two files, the MF (3F00) and the application DF
// (5000), and one command: SELECT by file id (INS A4, Lc 2, any CLA, P1 and
// P2, an optional Le), answered 90 00 for those two ids. Everything else,
// a SELECT of another id included, is answered 6D 00 (instruction not
// supported). It has no state. Windows-free.
#pragma once

#include "EmuCard.h"

namespace emu {

class EmuSelectOnlyCard : public IEmuCard {
public:
    std::vector<std::uint8_t> ProcessApdu(const std::vector<std::uint8_t> &apdu) override;
};

}  // namespace emu
