// EmuCardOsScreen.cpp
//
// The card's screen command 80 52 00 00. Its bytes after the header are not
// an Lc and data ("02 00" clears, "83 03 row column" + 128 bytes draws), so
// the command is taken whole rather than as an ISO command.
#include "EmuCardOs.h"

CEmuCardOs::SAnswer CEmuCardOs::ScreenCommand(const std::vector<uint8_t> &vbApdu)
{
    SAnswer answer;
    if (vbApdu.size() < 4)
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
    else if (vbApdu[2] != 0x00 || vbApdu[3] != 0x00)
        answer.wSw = EmuSw::SW_WRONG_P1P2;
    else
        answer.wSw = m_screen.Command(std::vector<uint8_t>(vbApdu.begin() + 4, vbApdu.end()));
    return answer;
}
