// EmuScreenControl.h
//
// CEmuScreenControl: the emulator's "screen <id> ..." control commands on
// one token's screen (the words after the id; EmuPipeProtocol.h):
//   (none)                       text art of the current screen
//   text                         the decoded text
//   png <path> [n] [scale=S]     writes the current screen, or history
//                                entry n (0 = the oldest), as PNG
//   history                      one line per entry: index, time, first row
//   history clear
// Every command but "history clear" first records the current screen in
// the history (it has been looked at). Answers start "OK" or "ERR".
// Windows-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EmuScreen.h"
#include "EmuScreenText.h"

class CEmuScreenControl {
public:
    static std::string Answer(CEmuScreen &screen, const CEmuScreenText &text,
                              const std::vector<std::string> &words);
    // "2024-05-01T09:30:00.125Z" for milliseconds since 1970 UTC.
    static std::string FormatTime(std::uint64_t ullMs);

private:
    static std::string WritePng(CEmuScreen &screen, const std::vector<std::string> &words);
    static std::string ListHistory(const CEmuScreen &screen, const CEmuScreenText &text);
};
