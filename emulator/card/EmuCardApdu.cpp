// EmuCardApdu.cpp
#include "EmuCardApdu.h"

bool ParseEmuApdu(const std::vector<uint8_t> &vbApdu, SEmuApdu &apdu)
{
    apdu = SEmuApdu();
    const size_t cb = vbApdu.size();
    if (cb < 4)
        return false;
    apdu.bCla = vbApdu[0];
    apdu.bIns = vbApdu[1];
    apdu.bP1 = vbApdu[2];
    apdu.bP2 = vbApdu[3];
    if (cb == 4)
        return true;
    if (cb == 5) {
        // The fifth byte alone is Le (P3 of a command without data).
        apdu.fHasLe = true;
        apdu.cbLe = vbApdu[4] == 0 ? 256 : vbApdu[4];
        return true;
    }
    const size_t cbLc = vbApdu[4];
    if (cbLc == 0)
        return false;  // extended length: not spoken by this token
    if (cb != 5 + cbLc && cb != 6 + cbLc)
        return false;
    apdu.fHasLc = true;
    apdu.vbData.assign(vbApdu.begin() + 5, vbApdu.begin() + 5 + cbLc);
    if (cb == 6 + cbLc) {
        apdu.fHasLe = true;
        apdu.cbLe = vbApdu[cb - 1] == 0 ? 256 : vbApdu[cb - 1];
    }
    return true;
}
