// EmuCardOsKeypad.cpp
//
// The card's keypad entry (KEY IN START, the poll, KEY IN END) and GET KEY
// DATA.
#include "EmuCardOs.h"

#include "EmuCardRsa.h"

namespace {

const size_t kStartFixedPart = 14;  // mode, length, bitmap, fixed byte, key flag
const uint16_t kHostKeyId = 0xA400;
const uint16_t kFirstSymmetricId = 0x6601;
const uint16_t kSecondSymmetricId = 0x6603;
// The enciphered answer (length byte and data padded to whole blocks, then
// the 4-byte MAC) must fit the 256 bytes of one short answer.
const size_t kMaxEnciphered = 247;
const size_t kKeyDataLength = 14;

}  // namespace

const SEmuSymmetricKey *CEmuCardOs::FindSymmetricKey(uint16_t wKeyId,
                                                     const std::vector<uint8_t> *pvbName) const
{
    for (const SEmuSymmetricKey &key : m_state.vSymmetricKeys) {
        if (key.wKeyId == wKeyId && (pvbName == nullptr || key.vbName == *pvbName))
            return &key;
    }
    return nullptr;
}

CEmuCardOs::SAnswer CEmuCardOs::KeyIn(const SEmuApdu &apdu)
{
    if (apdu.bP2 == 0x00 && apdu.bP1 == 0x01)
        return KeyInStart(apdu);
    if (apdu.bP2 == 0x00 && apdu.bP1 == 0x02)
        return KeyInPoll(apdu);
    SAnswer answer;
    answer.wSw = EmuSw::SW_WRONG_P1P2;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::KeyInStart(const SEmuApdu &apdu)
{
    m_entry.End();
    SAnswer answer;
    const std::vector<uint8_t> &vb = apdu.vbData;
    if (!apdu.fHasLc || vb.size() < kStartFixedPart) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    const uint8_t bKeyFlag = vb[13];
    if (bKeyFlag > 1) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    const size_t cbRef = bKeyFlag == 1 && vb.size() > 16 ? vb[16] : 0;
    const size_t cbExpected = bKeyFlag == 0 ? kStartFixedPart : kStartFixedPart + 3 + cbRef;
    if (vb.size() != cbExpected || (bKeyFlag == 1 && cbRef == 0)) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    EEmuEntryKey eKey = EEmuEntryKey::None;
    std::vector<uint8_t> vbKey;
    if (bKeyFlag == 1) {
        if (!m_security.IsAuthenticated()) {
            answer.wSw = EmuSw::SW_SECURITY;
            return answer;
        }
        const uint16_t wKeyId = static_cast<uint16_t>((vb[14] << 8) | vb[15]);
        const std::vector<uint8_t> vbRef(vb.begin() + 17, vb.end());
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
        if (wKeyId == kHostKeyId) {
            const SEmuFile *pFile =
                cbRef == 2 ? m_state.fs.FindInCurrentDf(static_cast<uint16_t>((vbRef[0] << 8) |
                                                                              vbRef[1]))
                           : nullptr;
            if (pFile != nullptr && pFile->eKind == EEmuFileKind::Transparent &&
                CEmuCardRsa::HostKeyFromFile(pFile->vbContent, vbKey))
                eKey = EEmuEntryKey::HostRsa;
        } else if (wKeyId == kFirstSymmetricId || wKeyId == kSecondSymmetricId) {
            const SEmuSymmetricKey *pKey = FindSymmetricKey(wKeyId, &vbRef);
            if (pKey != nullptr) {
                vbKey = pKey->vbValue;
                eKey = EEmuEntryKey::Symmetric;
            }
        }
        if (eKey == EEmuEntryKey::None)
            return answer;
        answer.wSw = EmuSw::SW_OK;
    }
    m_entry.Start(&vb[2], vb[1], eKey, vbKey);
    CEmuCardSecurity::Wipe(vbKey);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::KeyInPoll(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.fHasLc) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (!m_entry.Active()) {
        answer.wSw = EmuSw::SW_CONDITIONS;
        return answer;
    }
    uint8_t bChar = 0;
    if (m_entry.Done() || m_pUserInput == nullptr ||
        !m_pUserInput->PressKey([this](uint8_t b) { return m_entry.Refusal(b); }, bChar))
        bChar = 0;
    else
        m_entry.Press(bChar);
    answer.vbData.assign(1, bChar);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::KeyInEnd(const SEmuApdu &apdu)
{
    SAnswer answer;
    answer.wSw = m_security.TakeAnswerChallenge();  // single use, whatever follows
    if (answer.wSw == EmuSw::SW_OK && apdu.bP1 != 0x03)
        answer.wSw = EmuSw::SW_WRONG_P1P2;
    else if (answer.wSw == EmuSw::SW_OK && apdu.fHasLc)
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
    else if (answer.wSw == EmuSw::SW_OK && !m_entry.Active())
        answer.wSw = EmuSw::SW_CONDITIONS;
    if (answer.wSw != EmuSw::SW_OK)
        return answer;
    std::vector<uint8_t> vbResult;
    answer.wSw = m_entry.Result(apdu.bP2, vbResult);
    if (answer.wSw == EmuSw::SW_OK && vbResult.size() > kMaxEnciphered)
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
    if (answer.wSw == EmuSw::SW_OK) {
        answer.vbData = m_security.WrapAnswer(vbResult);
        if (answer.vbData.empty())
            answer.wSw = EmuSw::SW_INTERNAL;
        else
            m_entry.End();
    }
    CEmuCardSecurity::Wipe(vbResult);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::GetKeyData(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP1 != 0 || apdu.bP2 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!apdu.fHasLc || apdu.vbData.size() != kKeyDataLength) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    const uint8_t bWhich = apdu.vbData[0];
    if (bWhich != 1 && bWhich != 2) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    const SEmuSymmetricKey *pKey =
        FindSymmetricKey(bWhich == 1 ? kFirstSymmetricId : kSecondSymmetricId, nullptr);
    if (pKey == nullptr) {
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
        return answer;
    }
    answer.vbData = apdu.vbData;
    answer.vbData.push_back(0x80);
    answer.vbData.push_back(0x00);
    if (!CEmuCardSecurity::DesEcb(true, pKey->vbValue, answer.vbData))
        answer.wSw = EmuSw::SW_CONDITIONS;  // a key of no DES length
    return answer;
}
