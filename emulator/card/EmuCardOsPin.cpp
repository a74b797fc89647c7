// EmuCardOsPin.cpp
//
// The card's challenge, external authentication, PIN, device-information,
// configuration and symmetric-key commands.
#include "EmuCardOs.h"

#include <openssl/sha.h>

#include <algorithm>

namespace {

const size_t MAX_PIN_LEN = 32;
const size_t MAX_CONFIG_ITEMS = 16;
const size_t MAX_CONFIG_LEN = 32;
const size_t MAX_SYMMETRIC_KEYS = 16;

std::vector<uint8_t> Text(const char *psz)
{
    const std::string str(psz);
    return std::vector<uint8_t>(str.begin(), str.end());
}

}  // namespace

CEmuCardOs::SAnswer CEmuCardOs::GetChallenge(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP1 != 0 || apdu.bP2 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (apdu.fHasLc || !apdu.fHasLe || (apdu.cbLe != 8 && apdu.cbLe != 16)) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    answer.vbData = m_security.NewChallenge(apdu.cbLe);
    if (answer.vbData.empty())
        answer.wSw = EmuSw::SW_INTERNAL;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::ExternalAuthenticate(const SEmuApdu &apdu)
{
    SAnswer answer;
    answer.wSw = m_security.ExternalAuthenticate(apdu);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::PinTries(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP1 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (apdu.fHasLc) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP2 != 0x01 || m_state.pin.vbPin.empty()) {
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
        return answer;
    }
    if (apdu.fHasLe && apdu.cbLe != 256 && apdu.cbLe != 2) {
        answer.wSw = static_cast<uint16_t>(EmuSw::SW_WRONG_LE | 2);
        return answer;
    }
    answer.vbData = {m_state.pin.bMaxTries, m_state.pin.bTriesLeft};
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::Verify(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP2 != 0x01 || m_state.pin.vbPin.empty()) {
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
        return answer;
    }
    SEmuPin &pin = m_state.pin;
    if (apdu.bP1 == 0x01) {
        if (apdu.vbData.size() > MAX_PIN_LEN || apdu.fHasLe) {
            answer.wSw = EmuSw::SW_WRONG_LENGTH;
            return answer;
        }
        if (apdu.vbData.empty()) {
            // No PIN bytes: only the state (verified, tries left or locked).
            if (pin.bTriesLeft == 0)
                answer.wSw = EmuSw::SW_PIN_BLOCKED;
            else if (!m_security.IsPinVerified())
                answer.wSw = static_cast<uint16_t>(EmuSw::SW_PIN_TRIES | pin.bTriesLeft);
            return answer;
        }
        answer.wSw = m_security.VerifyPin(pin, apdu.vbData);
        return answer;
    }
    if (apdu.bP1 != 0x00 || apdu.fHasLc) {
        answer.wSw = apdu.bP1 != 0x00 ? EmuSw::SW_WRONG_P1P2 : EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    // P1 00: the holder types the PIN on the token.
    if (m_pUserInput == nullptr) {
        answer.wSw = EmuSw::SW_UNKNOWN_INS;
        return answer;
    }
    if (pin.bTriesLeft == 0) {
        answer.wSw = EmuSw::SW_PIN_BLOCKED;
        return answer;
    }
    return KeypadStep(KEYPAD_VERIFY);
}

CEmuCardOs::SAnswer CEmuCardOs::ChangePin(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (m_pUserInput == nullptr) {
        answer.wSw = EmuSw::SW_UNKNOWN_INS;
        return answer;
    }
    if (apdu.fHasLc) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    SEmuPin &pin = m_state.pin;
    if (pin.vbPin.empty()) {
        answer.wSw = EmuSw::SW_REF_NOT_FOUND;
        return answer;
    }
    if (pin.bTriesLeft == 0) {
        answer.wSw = EmuSw::SW_PIN_BLOCKED;
        return answer;
    }
    return KeypadStep(KEYPAD_CHANGE);
}

CEmuCardOs::SAnswer CEmuCardOs::KeypadStep(EKeypad eKind)
{
    SAnswer answer;
    std::string strFirst;
    std::string strSecond;
    const EEmuUserAnswer eAnswer = eKind == KEYPAD_VERIFY
                                       ? m_pUserInput->EnterPin(strFirst)
                                       : m_pUserInput->EnterPinChange(strFirst, strSecond);
    if (eAnswer == EEmuUserAnswer::Pending) {
        m_eKeypad = eKind;
        answer.fPending = true;
        return answer;
    }
    m_eKeypad = KEYPAD_NONE;
    if (eAnswer != EEmuUserAnswer::Entered) {
        answer.wSw = EmuSw::SW_CANCELLED;
        return answer;
    }
    SEmuPin &pin = m_state.pin;
    std::vector<uint8_t> vbGiven(strFirst.begin(), strFirst.end());
    answer.wSw = m_security.VerifyPin(pin, vbGiven);
    std::fill(vbGiven.begin(), vbGiven.end(), 0);
    std::fill(strFirst.begin(), strFirst.end(), '\0');
    if (eKind == KEYPAD_VERIFY || answer.wSw != EmuSw::SW_OK) {
        std::fill(strSecond.begin(), strSecond.end(), '\0');
        return answer;
    }
    if (strSecond.empty() || strSecond.size() > MAX_PIN_LEN) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    pin.vbPin.assign(strSecond.begin(), strSecond.end());
    std::fill(strSecond.begin(), strSecond.end(), '\0');
    pin.bTriesLeft = pin.bMaxTries;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::Information(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP1 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (apdu.fHasLc) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    uint8_t abDigest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const uint8_t *>(m_state.strSerial.data()), m_state.strSerial.size(),
           abDigest);
    switch (apdu.bP2) {
    case 0x00:  // USB serial number
        answer.vbData.assign(m_state.strSerial.begin(), m_state.strSerial.end());
        break;
    case 0x01:
        answer.vbData = Text("KQEMU COS 1.00");
        break;
    case 0x02:
        answer.vbData = Text("KQ Token Emulator");
        break;
    case 0x03:
        answer.vbData = Text("KQ USB KEY RSA2048");
        break;
    case 0x04:  // certification-authority identifier
        answer.vbData.assign(abDigest + 8, abDigest + 16);
        break;
    case 0x80:  // chip serial number, derived from the token's serial
        answer.vbData.assign(abDigest, abDigest + 8);
        break;
    default:
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (apdu.fHasLe && apdu.cbLe != 256 && apdu.cbLe < answer.vbData.size())
        answer.wSw = static_cast<uint16_t>(EmuSw::SW_WRONG_LE | answer.vbData.size());
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::SetConfig(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.bP2 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!apdu.fHasLc || apdu.fHasLe || apdu.vbData.size() > MAX_CONFIG_LEN ||
        (apdu.bP1 == 0 && apdu.vbData.size() != 2)) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (m_state.mConfig.count(apdu.bP1) == 0 && m_state.mConfig.size() >= MAX_CONFIG_ITEMS) {
        answer.wSw = EmuSw::SW_NO_SPACE;
        return answer;
    }
    m_state.mConfig[apdu.bP1] = apdu.vbData;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::ImportSymmetricKey(const SEmuApdu &apdu)
{
    SAnswer answer;
    std::vector<uint8_t> vbPlain;
    answer.wSw = m_security.UnwrapCommand(apdu, vbPlain);
    if (answer.wSw != EmuSw::SW_OK)
        return answer;
    if (apdu.bP1 != 0 || apdu.bP2 != 0) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!m_security.IsAuthenticated()) {
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    // key id (2), name length, name, value length, value.
    SEmuSymmetricKey key;
    const size_t cb = vbPlain.size();
    size_t iPos = 3;
    const size_t cbName = cb >= 3 ? vbPlain[2] : 0;
    const bool fNameOk = cbName >= 1 && cbName <= 32 && iPos + cbName < cb;
    const size_t cbValue = fNameOk ? vbPlain[iPos + cbName] : 0;
    if (!fNameOk || cbValue < 1 || cbValue > 32 || iPos + cbName + 1 + cbValue != cb) {
        answer.wSw = EmuSw::SW_WRONG_DATA;
        return answer;
    }
    key.wKeyId = static_cast<uint16_t>((vbPlain[0] << 8) | vbPlain[1]);
    key.vbName.assign(vbPlain.begin() + 3, vbPlain.begin() + static_cast<long>(3 + cbName));
    iPos += cbName + 1;
    key.vbValue.assign(vbPlain.begin() + static_cast<long>(iPos), vbPlain.end());
    for (SEmuSymmetricKey &existing : m_state.vSymmetricKeys) {
        if (existing.wKeyId == key.wKeyId && existing.vbName == key.vbName) {
            existing = key;
            return answer;
        }
    }
    if (m_state.vSymmetricKeys.size() >= MAX_SYMMETRIC_KEYS) {
        answer.wSw = EmuSw::SW_NO_SPACE;
        return answer;
    }
    m_state.vSymmetricKeys.push_back(key);
    return answer;
}
