// KQTokenEmuCtl.cpp
//
// KQTokenEmuCtl.exe: sends one control request to a running token emulator
// and prints its answer.
//
//   KQTokenEmuCtl [--pipe base] <command words...>
//
// The words are joined by single spaces into one request (EmuPipeProtocol.h
// lists the commands). The pipe base defaults to KQTOKENEMU_PIPE, else
// "KQTokenEmu". Exit code: 0 when the answer starts with "OK", 1 when it
// starts with "ERR" (or anything else, or the command line is wrong), 2
// when the emulator cannot be reached. The answer is printed byte for byte
// (lines end in "\n", not "\r\n"), with a final newline added when missing.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "EmuPipeIo.h"

namespace {

const DWORD kConnectTimeoutMs = 5000;

}  // namespace

int main(int argc, char **argv)
{
    std::string strBase = emu::PipeBaseFromEnvironment();
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--pipe") {
        strBase = argv[i + 1];
        i += 2;
    }
    std::string strCommand;
    for (; i < argc; ++i) {
        if (!strCommand.empty())
            strCommand += ' ';
        strCommand += argv[i];
    }
    if (strCommand.empty()) {
        std::fprintf(stderr, "usage: KQTokenEmuCtl [--pipe base] <command words...>\n");
        return 1;
    }

    std::string strAnswer;
    DWORD dwError = 0;
    if (!emu::ControlRequest(strBase, strCommand, kConnectTimeoutMs, strAnswer, &dwError)) {
        std::fprintf(stderr, "KQTokenEmuCtl: cannot reach the emulator on %s (error %lu)\n",
                     emu::ControlPipeName(strBase).c_str(), dwError);
        return 2;
    }
    // The answer as the emulator wrote it (its lines end in "\n" only).
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(strAnswer.data(), 1, strAnswer.size(), stdout);
    if (strAnswer.empty() || strAnswer.back() != '\n')
        std::fputc('\n', stdout);
    std::fflush(stdout);
    return strAnswer.compare(0, 2, "OK") == 0 ? 0 : 1;
}
