// EmuCardOsAdapter.h
//
// Puts the card operating system (CEmuCardOs) behind a virtual token of the
// bus. With a state file the card is loaded from it when the token is first
// plugged and saved after every command, so a token keeps its PIN, keys and
// certificates across emulator runs. A state file that cannot be read is
// refused: the card then starts as issued and the damaged file is left
// alone (never overwritten), with the reason in the emulator's log.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EmuCard.h"
#include "EmuCardOs.h"
#include "EmuLog.h"

class CEmuCardOsAdapter : public emu::IEmuCard {
public:
    // strStatePath empty: the card lives in memory only. bBlank: a token
    // without state file starts blank instead of issued.
    CEmuCardOsAdapter(const std::string &strId, const std::string &strStatePath, bool bBlank,
                      emu::EmuLog &log)
        : m_card(bBlank ? CEmuCardOs::BlankOptions() : CEmuCardOs::IssuedOptions()),
          m_strStatePath(strStatePath)
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

    std::vector<std::uint8_t> ProcessApdu(const std::vector<std::uint8_t> &apdu) override
    {
        std::vector<std::uint8_t> answer = m_card.ProcessApdu(apdu);
        if (!m_strStatePath.empty()) {
            std::string strError;
            m_card.Save(m_strStatePath, strError);
        }
        return answer;
    }

    std::vector<std::uint8_t> LogForm(const std::vector<std::uint8_t> &apdu) const override
    {
        return CEmuCardOs::MaskForLog(apdu);
    }

private:
    CEmuCardOs m_card;
    std::string m_strStatePath;
};
