// EmuSelectOnlyCard.cpp
#include "EmuSelectOnlyCard.h"

namespace emu {

namespace {

const std::uint8_t kInsSelect = 0xA4;

}  // namespace

std::vector<std::uint8_t> EmuSelectOnlyCard::ProcessApdu(const std::vector<std::uint8_t> &apdu)
{
    // A SELECT by file id is CLA A4 P1 P2 02 hi lo, with or without one Le byte.
    const bool bSelectById = (apdu.size() == 7 || apdu.size() == 8) && apdu[1] == kInsSelect &&
                             apdu[4] == 0x02;
    if (bSelectById) {
        const unsigned nFileId = (static_cast<unsigned>(apdu[5]) << 8) | apdu[6];
        if (nFileId == 0x3F00 || nFileId == 0x5000)
            return {0x90, 0x00};
    }
    return {0x6D, 0x00};
}

}  // namespace emu
