// EmuCardOsAdapter.h
//
// Puts the card operating system (CEmuCardOs) behind a virtual token of the
// bus. With a state file the card is loaded from it when the token is first
// plugged and saved after every command, so a token keeps its PIN, keys and
// certificates across emulator runs. A state file that cannot be read is
// refused: the card then starts as issued and the damaged file is left
// alone (never overwritten), with the reason in the emulator's log.
//
// The keypad: the card's user-input hook is the token's scripted holder
// (EmuKeypadUser, attached by the bus): its PINs for the PIN commands, its
// key presses for keypad entries. A keypad command that the holder
// has not finished is answered through PollAnswer; its outcome (tries, a
// new PIN) is saved when it comes, as after any other command.
//
// The screen: "screen <id> ..." control commands (CEmuScreenControl) and the
// decoded text, read with the emulator's one shared decoder (ASCII only when
// none is given).
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EmuCard.h"
#include "EmuCardOs.h"
#include "EmuKeypadUser.h"
#include "EmuLog.h"
#include "EmuScreenControl.h"
#include "EmuScreenText.h"

class CEmuCardOsAdapter : public emu::IEmuCard, private IEmuCardUserInput {
public:
    // strStatePath empty: the card lives in memory only. bBlank: a token
    // without state file starts blank instead of issued. pText: the screen
    // text decoder (null: ASCII only).
    CEmuCardOsAdapter(const std::string &strId, const std::string &strStatePath, bool bBlank,
                      emu::EmuLog &log,
                      std::shared_ptr<const CEmuScreenText> pText = nullptr)
        : m_card(bBlank ? CEmuCardOs::BlankOptions() : CEmuCardOs::IssuedOptions()),
          m_strStatePath(strStatePath),
          m_pText(pText ? std::move(pText) : std::make_shared<const CEmuScreenText>())
    {
        // A token seen for the first time has no file yet: it starts as
        // issued and gets one with its first command.
        if (!m_strStatePath.empty() && std::ifstream(m_strStatePath).good()) {
            std::string strError;
            if (m_card.Load(m_strStatePath, strError)) {
                log.Add(strId + " STATE loaded " + m_strStatePath);
            } else {
                log.Add(strId + " STATE refused " + m_strStatePath + ": " + strError);
                m_strStatePath.clear();
            }
        }
    }

    CEmuCardOsAdapter(const CEmuCardOsAdapter &) = delete;
    CEmuCardOsAdapter &operator=(const CEmuCardOsAdapter &) = delete;

    std::vector<std::uint8_t> ProcessApdu(const std::vector<std::uint8_t> &apdu) override
    {
        std::vector<std::uint8_t> answer = m_card.ProcessApdu(apdu);
        if (!m_card.AnswerPending())
            Save();
        return answer;
    }

    bool AnswerPending() const override { return m_card.AnswerPending(); }

    bool PollAnswer(std::vector<std::uint8_t> &response) override
    {
        if (!m_card.PollAnswer(response))
            return false;
        Save();
        return true;
    }

    void DropPending() override { m_card.DropPending(); }

    void AttachKeypadUser(std::shared_ptr<emu::EmuKeypadUser> pUser) override
    {
        m_card.DropPending();
        m_pUser = std::move(pUser);
        m_card.SetUserInput(m_pUser ? this : nullptr);
    }

    std::vector<std::uint8_t> LogForm(const std::vector<std::uint8_t> &apdu) const override
    {
        return CEmuCardOs::MaskForLog(apdu);
    }

    void PowerOn() override { m_card.PowerOn(); }

    std::string ScreenControl(const std::vector<std::string> &words) override
    {
        return CEmuScreenControl::Answer(m_card.Screen(), *m_pText, words);
    }

    std::string ScreenText() override { return m_pText->Decode(m_card.Screen().Current()); }

    std::vector<std::uint8_t> LogAnswer(const std::vector<std::uint8_t> &apdu,
                                        const std::vector<std::uint8_t> &response) const override
    {
        return CEmuCardOs::MaskAnswerForLog(apdu, response);
    }

private:
    void Save()
    {
        if (!m_strStatePath.empty()) {
            std::string strError;
            m_card.Save(m_strStatePath, strError);
        }
    }

    static EEmuUserAnswer Answer(emu::EmuUserStep eStep)
    {
        switch (eStep) {
        case emu::EmuUserStep::Entered:
            return EEmuUserAnswer::Entered;
        case emu::EmuUserStep::Typing:
            return EEmuUserAnswer::Pending;
        case emu::EmuUserStep::Cancelled:
            break;
        }
        return EEmuUserAnswer::Cancelled;
    }

    // IEmuCardUserInput: the scripted holder.
    EEmuUserAnswer EnterPin(std::string &strPin) override
    {
        return Answer(m_pUser->EnterPin(strPin));
    }
    EEmuUserAnswer EnterPinChange(std::string &strOldPin, std::string &strNewPin) override
    {
        return Answer(m_pUser->EnterPinChange(strOldPin, strNewPin));
    }
    void Abandon() override { m_pUser->Abandon(); }
    bool PressKey(const std::function<const char *(std::uint8_t)> &fnRefusal,
                  std::uint8_t &bChar) override
    {
        return m_pUser->PressKey(fnRefusal, bChar);
    }

    // Declared before the card, which calls it until the card is gone.
    std::shared_ptr<emu::EmuKeypadUser> m_pUser;
    CEmuCardOs m_card;
    std::string m_strStatePath;
    std::shared_ptr<const CEmuScreenText> m_pText;
};
