// EmuLog.h
//
// EmuLog: the emulator's event log, read through the control command "log".
// One line per event, "<device id> <EVENT> <details>": every APDU and its
// answer ("t1 APDU 00A40000023F00", "t1 RESP 9000"; PINs and key data cut
// to the command header), plug, unplug, open and close of a session ("t1
// OPEN session 3 pid 1234", the pid when the pipe tells it), the session
// the next requests come from whenever it changes ("t1 SENDER session 3"),
// faults set and applied, malformed reports, the scripted keypad holder
// ("t1 USER asked pin", "t1 USER typed pin ******", "t1 USER pressed *":
// PINs and typed keys masked, see EmuKeypadUser.h). Lines are kept until
// "log clear"; when the kept text passes a cap the oldest lines go (so a
// "log" answer always fits one control message) and a line says so.
// Thread-safe: every method takes the log's own lock, which is taken last
// (no other lock is taken while it is held). Windows-free.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace emu {

class EmuLog {
public:
    // nMaxBytes: cap of the kept text (line bytes plus one newline each).
    explicit EmuLog(std::size_t nMaxBytes = 3 * 1024 * 1024);

    // Appends one line (a newline inside it is replaced by a space).
    void Add(const std::string &strLine);
    // Every kept line, each followed by "\n".
    std::string Text() const;
    void Clear();
    // Called with each new line outside the log's lock (the server echoes
    // lines to its console); set before the log is shared between threads.
    void SetEcho(std::function<void(const std::string &)> echo);

private:
    mutable std::mutex m_mutex;
    std::deque<std::string> m_lines;
    std::size_t m_nBytes;
    std::size_t m_nMaxBytes;
    std::size_t m_nDropped;
    std::function<void(const std::string &)> m_echo;
};

}  // namespace emu
