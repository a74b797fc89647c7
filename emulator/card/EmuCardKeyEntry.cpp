// EmuCardKeyEntry.cpp
#include "EmuCardKeyEntry.h"

#include "EmuCardApdu.h"
#include "EmuCardRsa.h"
#include "EmuCardSecurity.h"
#include "EmuKeypadKeys.h"

#include <algorithm>

namespace {

const int kBackspaceCode = 66;

}  // namespace

void CEmuKeyEntry::Start(const uint8_t *pbAllowed, uint8_t bMaxLength, EEmuEntryKey eKey,
                         const std::vector<uint8_t> &vbKey)
{
    End();
    m_fActive = true;
    std::copy(pbAllowed, pbAllowed + sizeof(m_abAllowed), m_abAllowed);
    m_bMaxLength = bMaxLength;
    m_eKey = eKey;
    m_vbKey = vbKey;
}

void CEmuKeyEntry::End()
{
    m_fActive = false;
    m_fDone = false;
    std::fill(m_abAllowed, m_abAllowed + sizeof(m_abAllowed), 0);
    m_bMaxLength = 0;
    m_eKey = EEmuEntryKey::None;
    CEmuCardSecurity::Wipe(m_vbKey);
    CEmuCardSecurity::Wipe(m_vbTyped);
}

const char *CEmuKeyEntry::Refusal(uint8_t bChar) const
{
    const int nCode = emu::KeypadKeyCode(bChar);
    if (nCode < 0)
        return "not a key of the keypad";
    const bool fAllowed =
        nCode == kBackspaceCode || (m_abAllowed[nCode / 8] & (0x80 >> (nCode % 8))) != 0;
    if (!fAllowed)
        return "not allowed in this entry";
    if (emu::KeypadTypes(bChar) && m_vbTyped.size() >= m_bMaxLength)
        return "the entry is full";
    return nullptr;
}

void CEmuKeyEntry::Press(uint8_t bChar)
{
    if (bChar == emu::kKeyEnter || bChar == emu::kKeyEsc) {
        m_fDone = true;
    } else if (bChar == emu::kKeyBackspace) {
        if (!m_vbTyped.empty()) {
            m_vbTyped.back() = 0;
            m_vbTyped.pop_back();
        }
    } else {
        m_vbTyped.push_back(bChar);
    }
}

uint16_t CEmuKeyEntry::Result(uint8_t bMode, std::vector<uint8_t> &vbOut) const
{
    vbOut.clear();
    if (bMode > 2)
        return EmuSw::SW_WRONG_P1P2;
    static const EEmuEntryKey s_aeModeKey[] = {EEmuEntryKey::None, EEmuEntryKey::Symmetric,
                                               EEmuEntryKey::HostRsa};
    if (s_aeModeKey[bMode] != m_eKey)
        return EmuSw::SW_CONDITIONS;
    if (m_eKey == EEmuEntryKey::HostRsa)
        return CEmuCardRsa::EncryptPkcs1(m_vbKey, m_vbTyped, vbOut);
    vbOut = m_vbTyped;
    if (m_eKey == EEmuEntryKey::None)
        return EmuSw::SW_OK;
    vbOut.push_back(0x80);
    while (vbOut.size() % 8 != 0)
        vbOut.push_back(0x00);
    if (!CEmuCardSecurity::DesEcb(true, m_vbKey, vbOut)) {
        CEmuCardSecurity::Wipe(vbOut);
        return EmuSw::SW_CONDITIONS;  // a key of no DES length
    }
    return EmuSw::SW_OK;
}
