// SignSamples.h
//
// What the emulator tests of the sign confirmation share: the sample
// transfer they sign and the texts the token shows around the confirmation,
// in UTF-8 as the emulator reads the screen back.
#pragma once

#include <string>

#define SIGN_CONFIRMED_TEXT "\xE5\xB7\xB2\xE7\xA1\xAE\xE8\xAE\xA4..."
#define SIGN_CANCELLED_TEXT "\xE5\xB7\xB2\xE5\x8F\x96\xE6\xB6\x88..."
#define SIGN_TIMED_OUT_TEXT \
    "\xE5\xB7\xB2\xE8\xB6\x85\xE6\x97\xB6,\xE4\xBA\xA4\xE6\x98\x93\xE5\x8F\x96\xE6\xB6\x88"
#define SIGN_SECOND_TEXT \
    "\xE8\xAF\xB7\xE6\x82\xA8\xE5\x86\x8D\xE6\xAC\xA1\xE7\xA1\xAE\xE8\xAE\xA4\xE4\xBA\xA4\xE6\x98\x93"

// A transfer of four lines: "<type>", "Account:62220202", "00112233",
// "Sum:12.50".
inline std::string TransferXml(const std::string &strType)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SignData><TradeType name=\"" + strType +
           "\"/><Fields><a name=\"Account:\">6222020200112233</a>"
           "<b name=\"Sum:\">12.50</b></Fields></SignData>";
}

// "KQUKeyConfig.ini" for the confirmation: its time limit in milliseconds
// and whether the bitmap window shows on the PC.
inline std::string SignConfigText(unsigned long ulWaitTimeMs, bool bShowBitmap)
{
    return "[SIGN]\r\nWaitTime=" + std::to_string(ulWaitTimeMs) +
           "\r\n[NOTICE]\r\nShowBitmap=" + (bShowBitmap ? "1" : "0") + "\r\n";
}
