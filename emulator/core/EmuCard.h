// EmuCard.h
//
// IEmuCard: the card behind a virtual HID token. The HID device (EmuHidDevice)
// unwraps each APDU exchange from its feature reports and hands the APDU to
// the card; the card answers with its response data followed by SW1 SW2.
// The first card is EmuSelectOnlyCard; a full card operating system replaces
// it behind this same interface. A card belongs to a token id, not to one
// plugging of it, so its state survives unplug and re-plug.
//
// Calls into one card are serialised by the bus (one at a time per token), so
// a card needs no lock of its own for its state. Windows-free.
#pragma once

#include <cstdint>
#include <vector>

namespace emu {

class IEmuCard {
public:
    virtual ~IEmuCard() {}

    // One command APDU (CLA INS P1 P2 [Lc data] [Le], 1 to 253 bytes) in,
    // response data followed by SW1 SW2 out (at least the two status bytes).
    virtual std::vector<std::uint8_t> ProcessApdu(const std::vector<std::uint8_t> &apdu) = 0;
    // The command as the bus log may show it: a card whose commands carry
    // secrets (PINs, key material) cuts them away here.
    virtual std::vector<std::uint8_t> LogForm(const std::vector<std::uint8_t> &apdu) const
    {
        return apdu;
    }
};

}  // namespace emu
