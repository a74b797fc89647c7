// EmuKeypadUser.cpp
#include "EmuKeypadUser.h"

#include "EmuKeypadKeys.h"
#include "EmuLog.h"

namespace emu {

namespace {

const std::size_t kMaxPinDigits = 32;
const char kUsage[] =
    "usage: user <id> [pin <PIN> | change <old> <new> | cancel | never | clear | "
    "press <key> [when <text>] | type <chars>] (PINs: 1 to 32 digits; keys: 0-9 A-Z a-z "
    "* + . # or enter, esc, backspace)";

bool ValidPin(const std::string &strPin)
{
    if (strPin.empty() || strPin.size() > kMaxPinDigits)
        return false;
    for (char c : strPin) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::string Masked(const std::string &strPin) { return std::string(strPin.size(), '*'); }

// The character of a key name of "press", or false.
bool ParseKey(const std::string &strName, std::uint8_t &bChar)
{
    if (strName == "enter")
        bChar = kKeyEnter;
    else if (strName == "esc")
        bChar = kKeyEsc;
    else if (strName == "backspace")
        bChar = kKeyBackspace;
    else if (strName.size() == 1 && KeypadTypes(static_cast<std::uint8_t>(strName[0])))
        bChar = static_cast<std::uint8_t>(strName[0]);
    else
        return false;
    return true;
}

// A key as the log and the report show it: typed characters masked.
std::string KeyName(std::uint8_t bChar)
{
    if (bChar == kKeyEnter)
        return "enter";
    if (bChar == kKeyEsc)
        return "esc";
    if (bChar == kKeyBackspace)
        return "backspace";
    return "*";
}

}  // namespace

EmuKeypadUser::EmuKeypadUser(const std::string &strId, EmuLog *pLog)
    : m_strId(strId),
      m_pLog(pLog),
      m_bActive(false),
      m_eActive(REQUEST_PIN),
      m_dwPollsLeft(0),
      m_bCleared(false)
{
}

void EmuKeypadUser::Log(const std::string &strEvent) const
{
    if (m_pLog != nullptr)
        m_pLog->Add(m_strId + " USER " + strEvent);
}

std::string EmuKeypadUser::Describe(const Entry &entry)
{
    switch (entry.eKind) {
    case KIND_PIN:
        return "pin " + Masked(entry.strPin);
    case KIND_CHANGE:
        return "change " + Masked(entry.strPin) + " " + Masked(entry.strNew);
    case KIND_CANCEL:
        return "cancel";
    case KIND_NEVER:
        break;
    }
    return "never";
}

const char *EmuKeypadUser::RequestName(Request eRequest)
{
    return eRequest == REQUEST_PIN ? "pin" : "change";
}

bool EmuKeypadUser::Command(const std::vector<std::string> &words, std::string &strError)
{
    Entry entry;
    const std::string strKind = words.empty() ? std::string() : words[0];
    if (strKind == "press" && (words.size() == 2 || (words.size() == 4 && words[2] == "when" &&
                                                     !words[3].empty()))) {
        std::vector<Press> presses(1);
        if (!ParseKey(words[1], presses[0].bChar)) {
            strError = kUsage;
            return false;
        }
        if (words.size() == 4)
            presses[0].strWhen = words[3];
        return QueuePresses(presses, Describe(presses[0]), strError);
    }
    if (strKind == "type" && words.size() == 2) {
        std::vector<Press> presses(words[1].size());
        for (std::size_t i = 0; i < presses.size(); ++i) {
            presses[i].bChar = static_cast<std::uint8_t>(words[1][i]);
            if (!KeypadTypes(presses[i].bChar)) {
                strError = kUsage;
                return false;
            }
        }
        return QueuePresses(presses, "type " + Masked(words[1]), strError);
    }
    if (strKind == "clear" && words.size() == 1) {
        m_script.clear();
        m_presses.clear();
        if (m_bActive)
            m_bCleared = true;  // the open request ends cancelled at its next poll
        Log("script clear");
        return true;
    }
    if (strKind == "pin" && words.size() == 2 && ValidPin(words[1])) {
        entry.eKind = KIND_PIN;
        entry.strPin = words[1];
    } else if (strKind == "change" && words.size() == 3 && ValidPin(words[1]) &&
               ValidPin(words[2])) {
        entry.eKind = KIND_CHANGE;
        entry.strPin = words[1];
        entry.strNew = words[2];
    } else if (strKind == "cancel" && words.size() == 1) {
        entry.eKind = KIND_CANCEL;
    } else if (strKind == "never" && words.size() == 1) {
        entry.eKind = KIND_NEVER;
    } else {
        strError = kUsage;
        return false;
    }
    if (m_script.size() >= kMaxUserScript) {
        strError = "script full (" + std::to_string(kMaxUserScript) + " entries)";
        return false;
    }
    m_script.push_back(entry);
    Log("script " + Describe(entry));
    return true;
}

std::string EmuKeypadUser::Describe(const Press &press)
{
    return "press " + KeyName(press.bChar) + (press.strWhen.empty() ? "" : " when " + press.strWhen);
}

bool EmuKeypadUser::QueuePresses(const std::vector<Press> &presses,
                                 const std::string &strScript, std::string &strError)
{
    if (presses.size() > kMaxUserPresses - m_presses.size()) {
        strError = "key presses full (" + std::to_string(kMaxUserPresses) + ")";
        return false;
    }
    m_presses.insert(m_presses.end(), presses.begin(), presses.end());
    Log("script " + strScript);
    return true;
}

void EmuKeypadUser::SetScreenText(std::function<std::string()> fnScreenText)
{
    m_fnScreenText = std::move(fnScreenText);
}

bool EmuKeypadUser::PressKey(const std::function<const char *(std::uint8_t)> &fnRefusal,
                             std::uint8_t &bChar)
{
    while (!m_presses.empty()) {
        if (!m_presses.front().strWhen.empty()) {
            const std::string strScreen = m_fnScreenText ? m_fnScreenText() : std::string();
            if (strScreen.find(m_presses.front().strWhen) == std::string::npos)
                return false;
        }
        const std::uint8_t bPressed = m_presses.front().bChar;
        m_presses.pop_front();
        const char *pszRefusal = fnRefusal(bPressed);
        if (pszRefusal != nullptr) {
            Log("pressed " + KeyName(bPressed) + ", ignored: " + pszRefusal);
            continue;
        }
        Log("pressed " + KeyName(bPressed));
        bChar = bPressed;
        return true;
    }
    return false;
}

std::string EmuKeypadUser::Report() const
{
    std::string strReport;
    for (const Entry &entry : m_script)
        strReport += "queued " + Describe(entry) + "\n";
    if (m_bActive)
        strReport += std::string("active ") + RequestName(m_eActive) + ": " +
                     Describe(m_active) + (m_bCleared ? " (cleared)" : "") + "\n";
    for (const std::string &strAsked : m_history)
        strReport += "asked " + strAsked + "\n";
    for (const Press &press : m_presses)
        strReport += "queued " + Describe(press) + "\n";
    return strReport;
}

void EmuKeypadUser::Finish(const std::string &strOutcome)
{
    m_history.push_back(std::string(RequestName(m_eActive)) + ": " + strOutcome);
    while (m_history.size() > kMaxUserHistory)
        m_history.pop_front();
    m_bActive = false;
    m_bCleared = false;
    m_active = Entry();
}

EmuUserStep EmuKeypadUser::Step(Request eRequest, std::string &strFirst, std::string &strSecond)
{
    if (!m_bActive || m_eActive != eRequest) {
        if (m_bActive) {
            // The card asked for something else: the old request is over.
            Log(std::string("dropped ") + RequestName(m_eActive));
            Finish("dropped");
        }
        Log(std::string("asked ") + RequestName(eRequest));
        m_eActive = eRequest;
        if (m_script.empty()) {
            m_bActive = true;
            Log("cancelled, nothing scripted");
            Finish("cancelled, nothing scripted");
            return EmuUserStep::Cancelled;
        }
        m_active = m_script.front();
        m_script.pop_front();
        m_bActive = true;
        const bool bWrongKind = (m_active.eKind == KIND_PIN && eRequest != REQUEST_PIN) ||
                                (m_active.eKind == KIND_CHANGE && eRequest != REQUEST_CHANGE);
        if (bWrongKind) {
            const std::string strWhy = "cancelled, script entry " + Describe(m_active) +
                                       " does not answer a " + RequestName(eRequest) +
                                       " request";
            Log(strWhy);
            Finish(strWhy);
            return EmuUserStep::Cancelled;
        }
        if (m_active.eKind == KIND_NEVER)
            Log("never finishes");
        m_dwPollsLeft = kTypingPolls;
        return EmuUserStep::Typing;
    }
    if (m_bCleared) {
        Log("cancelled, script cleared");
        Finish("cancelled, script cleared");
        return EmuUserStep::Cancelled;
    }
    if (m_active.eKind == KIND_NEVER)
        return EmuUserStep::Typing;
    if (m_dwPollsLeft > 1) {
        --m_dwPollsLeft;
        return EmuUserStep::Typing;
    }
    if (m_active.eKind == KIND_CANCEL) {
        Log("cancelled on the keypad");
        Finish("cancelled on the keypad");
        return EmuUserStep::Cancelled;
    }
    strFirst = m_active.strPin;
    strSecond = m_active.strNew;
    Log("typed " + Describe(m_active));
    Finish("typed " + Describe(m_active));
    return EmuUserStep::Entered;
}

EmuUserStep EmuKeypadUser::EnterPin(std::string &strPin)
{
    std::string strUnused;
    return Step(REQUEST_PIN, strPin, strUnused);
}

EmuUserStep EmuKeypadUser::EnterPinChange(std::string &strOld, std::string &strNew)
{
    return Step(REQUEST_CHANGE, strOld, strNew);
}

void EmuKeypadUser::Abandon()
{
    if (!m_bActive)
        return;
    Log(std::string("dropped ") + RequestName(m_eActive) + ", the host gave up");
    Finish("dropped by the host");
}

}  // namespace emu
