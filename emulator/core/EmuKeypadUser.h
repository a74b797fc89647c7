// EmuKeypadUser.h
//
// EmuKeypadUser: the scripted holder at one token's keypad. The control
// channel queues what the holder will do ("user <id> pin|change|cancel|
// never|clear", EmuPipeProtocol.h); the card asks when a command needs the
// holder (VERIFY without PIN bytes, CHANGE PIN) and takes one script entry
// per request, in order:
//   pin <PIN>            types PIN for a PIN request
//   change <old> <new>   types both PINs for a change request
//   cancel               presses cancel
//   never                never finishes: the request stays open until the
//                        script is cleared (then it ends cancelled) or the
//                        host drops it (new request, unplug)
// With no entry queued the request is cancelled at once (6984 without busy
// reports). An entry of the other kind (pin for a change, change for a PIN)
// is used up and the request cancelled, so a wrong script shows as 6984 and
// in the report rather than as a PIN typed into the wrong prompt.
//
// Typing takes time: a request is answered at the kTypingPolls-th call after
// the one that asked (each call in between is one busy report to the host).
//
// Key presses for the card's keypad entries are queued apart from the
// script (at most kMaxUserPresses), in order:
//   press <key> [when <text>]  one press: a single character of the keypad
//                        (EmuKeypadKeys.h) or enter, esc, backspace; with
//                        "when" it waits at the head of the queue (holding
//                        up those behind it) until the token's screen text
//                        contains <text>
//   type <chars>         one press for each character
// Each poll of an entry takes presses from the head: one the entry refuses
// is used up and logged, the first it takes is the poll's key. "clear"
// drops the presses too.
//
// The log gets "<id> USER ..." lines (script entries, what was asked, what
// was typed, the keys pressed); PINs and typed characters appear there and
// in the report only as one '*' each (Enter, Esc and Backspace by name).
// Not thread-safe: the bus calls it under the token's slot lock, from both
// the control channel and the card. Windows-free.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace emu {

class EmuLog;

// Calls that answer "still typing" before a scripted request is answered.
const std::uint32_t kTypingPolls = 3;
// Script entries one token may have queued, and requests the report keeps.
const std::size_t kMaxUserScript = 64;
const std::size_t kMaxUserHistory = 32;
// Key presses one token may have queued.
const std::size_t kMaxUserPresses = 256;

enum class EmuUserStep { Typing, Entered, Cancelled };

class EmuKeypadUser {
public:
    // pLog may be null.
    EmuKeypadUser(const std::string &strId, EmuLog *pLog);

    // One script command: the words after "user <id>". False with the reason
    // when refused (nothing changes then).
    bool Command(const std::vector<std::string> &words, std::string &strError);
    // "user <id>": what is queued, the request in progress, what was asked.
    std::string Report() const;

    // The card's side. Called when a request starts and, while the answer
    // is Typing, again at every poll of the host; strings are set only with
    // Entered.
    EmuUserStep EnterPin(std::string &strPin);
    EmuUserStep EnterPinChange(std::string &strOld, std::string &strNew);
    // The host gave up on the request in progress.
    void Abandon();
    // The next press a keypad entry takes (see above): true with its
    // character. fnRefusal: why the entry would not take a character, or null.
    bool PressKey(const std::function<const char *(std::uint8_t)> &fnRefusal,
                  std::uint8_t &bChar);
    // The token's decoded screen (UTF-8, rows separated by '\n'), read for
    // presses that wait for a text. Called under the token's slot lock, so
    // it must not take that lock. Empty function: the screen shows nothing.
    void SetScreenText(std::function<std::string()> fnScreenText);

private:
    enum Kind { KIND_PIN, KIND_CHANGE, KIND_CANCEL, KIND_NEVER };
    struct Entry {
        Kind eKind = KIND_CANCEL;
        std::string strPin;
        std::string strNew;
    };
    enum Request { REQUEST_PIN, REQUEST_CHANGE };
    struct Press {
        std::uint8_t bChar = 0;
        std::string strWhen;  // empty: at once
    };

    EmuUserStep Step(Request eRequest, std::string &strFirst, std::string &strSecond);
    // Ends the request in progress; the outcome goes to the report.
    void Finish(const std::string &strOutcome);
    void Log(const std::string &strEvent) const;
    static std::string Describe(const Entry &entry);
    static std::string Describe(const Press &press);
    // Queues presses, all or (with the reason) none; strScript is how the
    // log shows the command.
    bool QueuePresses(const std::vector<Press> &presses, const std::string &strScript,
                      std::string &strError);
    static const char *RequestName(Request eRequest);

    std::string m_strId;
    EmuLog *m_pLog;
    std::deque<Entry> m_script;

    bool m_bActive;
    Request m_eActive;
    Entry m_active;
    std::uint32_t m_dwPollsLeft;
    bool m_bCleared;  // the script was cleared while a request was open

    std::deque<std::string> m_history;

    std::deque<Press> m_presses;
    std::function<std::string()> m_fnScreenText;
};

}  // namespace emu
