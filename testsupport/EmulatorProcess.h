// EmulatorProcess.h
//
// EmulatorProcess: one token emulator (KQTokenEmu.exe from the test's output
// folder) for the lifetime of the object. The constructor picks a pipe base
// unique to this test process and object ("KQTokenEmu-<pid>-<counter>"),
// sets KQTOKENEMU_PIPE in this process to it (so the emulator-bound HID port
// in the test, and every child process the test starts, use this emulator),
// starts the emulator with no console window and its output to NUL, and
// waits (at most 20 s) until its control pipe answers. The destructor asks
// it to quit, ends it if it does not, and gives KQTOKENEMU_PIPE back its
// earlier value. Objects may follow one another in one test program, and
// test programs may run in parallel. The emulator also ends by itself if the
// test process dies.
#pragma once

#include <string>
#include <vector>

class EmulatorProcess {
public:
    // nTokens tokens plugged at start ("t1", "t2", ...), with report length
    // nReportLength.
    explicit EmulatorProcess(int nTokens = 1, int nReportLength = 65);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;

    // True when the emulator runs and answered its control pipe.
    bool Started() const;
    // One control request; the full answer text ("OK..." / "ERR ..."), or
    // "ERR emulator not reachable (error N)".
    std::string Control(const std::string &strCommand) const;
    // Device paths of the plugged tokens (vid 0925, pid 1234), from "list",
    // in id (bus) order.
    std::vector<std::string> DevicePaths() const;
    // The pipe base this emulator serves.
    std::string PipeBase() const;
    // Waits until token strId's screen shows strRow as its first row (the
    // plug's logo, say): true, or false once ulMs have passed.
    bool WaitForFirstRow(const std::string &strId, const std::string &strRow,
                         unsigned long ulMs) const;

private:
    std::string m_strBase;
    void *m_hProcess;
    bool m_bStarted;
    bool m_bHadPrevious;
    std::string m_strPrevious;
};
