// EmuCardOs.cpp
//
// Construction, the command dispatch, persistence and the file system
// commands (plain and secure-messaging binary and record access).
#include "EmuCardOs.h"

#include <algorithm>
#include <new>

namespace {

// Commands whose data are a PIN or key material: the log keeps header and Lc.
bool IsSensitive(uint8_t bIns)
{
    return bIns == 0x20 || bIns == 0x24 || bIns == 0x2C || bIns == 0x04 || bIns == 0xF4 ||
           bIns == 0xD2 || bIns == 0xD4;
}

}  // namespace

CEmuCardOs::CEmuCardOs(const SEmuCardOptions &options)
{
    m_state.strSerial = options.strSerial.substr(0, 32);
    if (options.fIssued) {
        m_state.fs.BuildIssued(options.strTokenName.substr(0, 64));
        const std::string strPin = options.strPin.empty() ? std::string("123456")
                                                          : options.strPin.substr(0, 32);
        m_state.pin.vbPin.assign(strPin.begin(), strPin.end());
        m_state.pin.bMaxTries = std::min<uint8_t>(std::max<uint8_t>(options.bPinTries, 1), 15);
        m_state.pin.bTriesLeft = m_state.pin.bMaxTries;
    }
    PowerOn();
}

SEmuCardOptions CEmuCardOs::IssuedOptions()
{
    return SEmuCardOptions();
}

SEmuCardOptions CEmuCardOs::BlankOptions()
{
    SEmuCardOptions options;
    options.fIssued = false;
    return options;
}

void CEmuCardOs::PowerOn()
{
    DropPending();
    m_security.PowerOn();
    m_state.fs.ResetSelection();
    m_chain = SChain();
    m_screen.ShowLogo();
    m_entry.End();
}

bool CEmuCardOs::Save(const std::string &strPath, std::string &strError) const
{
    return CEmuCardStore::Save(m_state, strPath, strError);
}

bool CEmuCardOs::Load(const std::string &strPath, std::string &strError)
{
    SEmuCardState loaded;
    if (!CEmuCardStore::Load(strPath, loaded, strError))
        return false;
    m_state = std::move(loaded);
    PowerOn();
    return true;
}

std::vector<uint8_t> CEmuCardOs::MaskForLog(const std::vector<uint8_t> &vbApdu)
{
    if (vbApdu.size() > 5 && IsSensitive(vbApdu[1]))
        return std::vector<uint8_t>(vbApdu.begin(), vbApdu.begin() + 5);
    return vbApdu;
}

std::vector<uint8_t> CEmuCardOs::MaskAnswerForLog(const std::vector<uint8_t> &vbApdu,
                                                  const std::vector<uint8_t> &vbAnswer)
{
    const bool fSecret = vbApdu.size() >= 3 && vbApdu[1] == 0x6E &&
                         (vbApdu[2] == 0x02 || vbApdu[2] == 0x03);
    if (fSecret && vbAnswer.size() > 2)
        return std::vector<uint8_t>(vbAnswer.end() - 2, vbAnswer.end());
    return vbAnswer;
}

std::vector<uint8_t> CEmuCardOs::ProcessApdu(const std::vector<uint8_t> &vbApdu)
{
    // The host sent something else: the holder's prompt is gone.
    DropPending();
    const bool fScreen = vbApdu.size() >= 2 && vbApdu[0] == 0x80 && vbApdu[1] == 0x52;
    if (!fScreen)
        m_screen.Record();
    SAnswer answer;
    try {
        SEmuApdu apdu;
        if (fScreen) {
            m_chain = SChain();
            answer = ScreenCommand(vbApdu);
        } else if (ParseEmuApdu(vbApdu, apdu)) {
            answer = Dispatch(apdu);
        } else {
            m_chain = SChain();
            answer.wSw = EmuSw::SW_WRONG_LENGTH;
        }
    } catch (const std::bad_alloc &) {
        DropPending();
        answer = SAnswer();
        answer.wSw = EmuSw::SW_INTERNAL;
    }
    if (answer.fPending) {
        m_vbKeypadCommand = MaskForLog(vbApdu);
        return std::vector<uint8_t>();
    }
    return Respond(answer, vbApdu);
}

bool CEmuCardOs::PollAnswer(std::vector<uint8_t> &vbResponse)
{
    if (m_eKeypad == KEYPAD_NONE)
        return false;
    SAnswer answer;
    try {
        answer = KeypadStep(m_eKeypad);
    } catch (const std::bad_alloc &) {
        DropPending();
        answer = SAnswer();
        answer.wSw = EmuSw::SW_INTERNAL;
    }
    if (answer.fPending)
        return false;
    std::vector<uint8_t> vbCommand;
    vbCommand.swap(m_vbKeypadCommand);
    vbResponse = Respond(answer, vbCommand);
    return true;
}

void CEmuCardOs::DropPending()
{
    if (m_eKeypad == KEYPAD_NONE)
        return;
    m_eKeypad = KEYPAD_NONE;
    m_vbKeypadCommand.clear();
    if (m_pUserInput != nullptr)
        m_pUserInput->Abandon();
}

std::vector<uint8_t> CEmuCardOs::Respond(SAnswer &answer, const std::vector<uint8_t> &vbCommand)
{
    if (answer.wSw != EmuSw::SW_OK)
        answer.vbData.clear();  // a failed command answers its status word alone
    std::vector<uint8_t> vbResponse = std::move(answer.vbData);
    vbResponse.push_back(static_cast<uint8_t>(answer.wSw >> 8));
    vbResponse.push_back(static_cast<uint8_t>(answer.wSw));
    if (m_fnLog)
        m_fnLog(MaskForLog(vbCommand), MaskAnswerForLog(vbCommand, vbResponse));
    return vbResponse;
}

CEmuCardOs::SAnswer CEmuCardOs::Dispatch(const SEmuApdu &apdu)
{
    typedef SAnswer (CEmuCardOs::*Handler)(const SEmuApdu &);
    struct SRoute {
        uint8_t bCla;
        uint8_t bIns;
        Handler pfn;
    };
    static const SRoute s_aRoutes[] = {
        {0x00, 0xA4, &CEmuCardOs::Select},
        {0x00, 0xB0, &CEmuCardOs::ReadBinary},
        {0x00, 0xD6, &CEmuCardOs::UpdateBinary},
        {0x00, 0xB2, &CEmuCardOs::ReadRecord},
        {0x00, 0xDC, &CEmuCardOs::UpdateRecord},
        {0x80, 0x84, &CEmuCardOs::GetChallenge},
        {0x00, 0x84, &CEmuCardOs::GetChallenge},
        {0x00, 0x82, &CEmuCardOs::ExternalAuthenticate},
        {0x84, 0xB0, &CEmuCardOs::SmReadBinary},
        {0x84, 0xD6, &CEmuCardOs::SmUpdateBinary},
        {0x84, 0xD4, &CEmuCardOs::ImportSymmetricKey},
        {0x00, 0x46, &CEmuCardOs::GenerateRsa},
        {0x00, 0xD2, &CEmuCardOs::ImportKey},
        {0x80, 0xD8, &CEmuCardOs::ExportPublicKey},
        {0x80, 0x2A, &CEmuCardOs::RsaOperation},
        {0x80, 0x21, &CEmuCardOs::PinTries},
        {0x00, 0x20, &CEmuCardOs::Verify},
        {0x00, 0x04, &CEmuCardOs::ChangePin},
        {0x84, 0xF4, &CEmuCardOs::ChangePin},
        {0x80, 0xF6, &CEmuCardOs::Information},
        {0x80, 0x09, &CEmuCardOs::SetConfig},
        {0x80, 0x6E, &CEmuCardOs::KeyIn},
        {0x84, 0x6E, &CEmuCardOs::KeyInEnd},
        {0x80, 0x5E, &CEmuCardOs::GetKeyData},
    };
    // Only the chained commands keep a chain across commands.
    if (apdu.bIns != 0xD2 && apdu.bIns != 0x2A)
        m_chain = SChain();

    SAnswer answer;
    if (apdu.bCla != 0x00 && apdu.bCla != 0x80 && apdu.bCla != 0x84) {
        answer.wSw = EmuSw::SW_UNKNOWN_CLA;
        return answer;
    }
    bool fInsKnown = false;
    for (const SRoute &route : s_aRoutes) {
        if (route.bIns != apdu.bIns)
            continue;
        fInsKnown = true;
        if (route.bCla == apdu.bCla)
            return (this->*route.pfn)(apdu);
    }
    answer.wSw = fInsKnown ? EmuSw::SW_UNKNOWN_CLA : EmuSw::SW_UNKNOWN_INS;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::Select(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (!apdu.fHasLc || apdu.vbData.size() != 2) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP2 != 0x00 && apdu.bP2 != 0x0C) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    const uint16_t wFid = static_cast<uint16_t>((apdu.vbData[0] << 8) | apdu.vbData[1]);
    bool fDirectory = false;
    answer.wSw = m_state.fs.Select(apdu.bP1, wFid, fDirectory);
    if (answer.wSw == EmuSw::SW_OK && fDirectory)
        m_security.ResetFlags();
    return answer;
}

SEmuFile *CEmuCardOs::CurrentEfOfKind(EEmuFileKind eKind, uint16_t &wSw)
{
    SEmuFile *pFile = m_state.fs.CurrentEf();
    if (pFile == nullptr)
        wSw = EmuSw::SW_NO_CURRENT_EF;
    else if (pFile->eKind != eKind)
        wSw = EmuSw::SW_INCOMPATIBLE_FILE;
    else
        return pFile;
    return nullptr;
}

CEmuCardOs::SAnswer CEmuCardOs::ReadBinary(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.fHasLc || !apdu.fHasLe) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP1 & 0x80) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;  // short file ids are not supported
        return answer;
    }
    const SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Transparent, answer.wSw);
    if (pFile == nullptr)
        return answer;
    const size_t iOffset = apdu.P1P2();
    const size_t cbSize = pFile->vbContent.size();
    if (iOffset >= cbSize) {
        answer.wSw = EmuSw::SW_OFFSET_OUTSIDE;
        return answer;
    }
    const size_t cbLeft = cbSize - iOffset;
    if (apdu.cbLe > cbLeft) {
        // cbLeft < Le <= 256, so the right length fits SW2.
        answer.wSw = static_cast<uint16_t>(EmuSw::SW_WRONG_LE | cbLeft);
        return answer;
    }
    answer.vbData.assign(pFile->vbContent.begin() + static_cast<long>(iOffset),
                         pFile->vbContent.begin() + static_cast<long>(iOffset + apdu.cbLe));
    return answer;
}

uint16_t CEmuCardOs::WriteIntoFile(SEmuFile &file, size_t iOffset,
                                   const std::vector<uint8_t> &vbData)
{
    const size_t cbSize = file.vbContent.size();
    if (iOffset >= cbSize)
        return EmuSw::SW_OFFSET_OUTSIDE;
    if (vbData.size() > cbSize - iOffset)
        return EmuSw::SW_NO_SPACE;
    std::copy(vbData.begin(), vbData.end(), file.vbContent.begin() + static_cast<long>(iOffset));
    return EmuSw::SW_OK;
}

CEmuCardOs::SAnswer CEmuCardOs::UpdateBinary(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (!apdu.fHasLc || apdu.fHasLe) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP1 & 0x80) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Transparent, answer.wSw);
    if (pFile == nullptr)
        return answer;
    if (!m_security.IsAuthenticated()) {
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    answer.wSw = WriteIntoFile(*pFile, apdu.P1P2(), apdu.vbData);
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::ReadRecord(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (apdu.fHasLc || !apdu.fHasLe) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP2 != 0x00 && apdu.bP2 != 0x04) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    const SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Record, answer.wSw);
    if (pFile == nullptr)
        return answer;
    const size_t cbRecord = pFile->bRecordLen;
    const size_t cRecords = pFile->vbContent.size() / cbRecord;
    if (apdu.bP1 == 0 || apdu.bP1 > cRecords) {
        answer.wSw = EmuSw::SW_RECORD_NOT_FOUND;
        return answer;
    }
    // Le 00 asks for the whole record; any other Le must be its length.
    if (apdu.cbLe != 256 && apdu.cbLe != cbRecord) {
        answer.wSw = static_cast<uint16_t>(EmuSw::SW_WRONG_LE | cbRecord);
        return answer;
    }
    const size_t iPos = (apdu.bP1 - 1) * cbRecord;
    answer.vbData.assign(pFile->vbContent.begin() + static_cast<long>(iPos),
                         pFile->vbContent.begin() + static_cast<long>(iPos + cbRecord));
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::UpdateRecord(const SEmuApdu &apdu)
{
    SAnswer answer;
    if (!apdu.fHasLc || apdu.fHasLe) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    if (apdu.bP2 != 0x00 && apdu.bP2 != 0x04) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Record, answer.wSw);
    if (pFile == nullptr)
        return answer;
    if (!m_security.IsAuthenticated()) {
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    const size_t cbRecord = pFile->bRecordLen;
    const size_t cRecords = pFile->vbContent.size() / cbRecord;
    if (apdu.bP1 == 0 || apdu.bP1 > cRecords) {
        answer.wSw = EmuSw::SW_RECORD_NOT_FOUND;
        return answer;
    }
    if (apdu.vbData.size() != cbRecord) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    std::copy(apdu.vbData.begin(), apdu.vbData.end(),
              pFile->vbContent.begin() + static_cast<long>((apdu.bP1 - 1) * cbRecord));
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::SmReadBinary(const SEmuApdu &apdu)
{
    SAnswer answer;
    std::vector<uint8_t> vbPlain;
    answer.wSw = m_security.UnwrapCommand(apdu, vbPlain);  // consumes the challenge
    if (answer.wSw != EmuSw::SW_OK)
        return answer;
    const SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Transparent, answer.wSw);
    if (pFile == nullptr)
        return answer;
    if (apdu.bP1 & 0x80) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    // The plain data's length is the number of bytes wanted.
    const size_t cbWanted = vbPlain.size();
    const size_t iOffset = apdu.P1P2();
    const size_t cbSize = pFile->vbContent.size();
    if (iOffset >= cbSize) {
        answer.wSw = EmuSw::SW_OFFSET_OUTSIDE;
        return answer;
    }
    if (cbWanted == 0 || cbWanted > cbSize - iOffset) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    const std::vector<uint8_t> vbData(
        pFile->vbContent.begin() + static_cast<long>(iOffset),
        pFile->vbContent.begin() + static_cast<long>(iOffset + cbWanted));
    answer.vbData = m_security.WrapAnswer(vbData);
    if (answer.vbData.empty())
        answer.wSw = EmuSw::SW_INTERNAL;
    return answer;
}

CEmuCardOs::SAnswer CEmuCardOs::SmUpdateBinary(const SEmuApdu &apdu)
{
    SAnswer answer;
    std::vector<uint8_t> vbPlain;
    answer.wSw = m_security.UnwrapCommand(apdu, vbPlain);
    if (answer.wSw != EmuSw::SW_OK)
        return answer;
    SEmuFile *pFile = CurrentEfOfKind(EEmuFileKind::Transparent, answer.wSw);
    if (pFile == nullptr)
        return answer;
    if (apdu.bP1 & 0x80) {
        answer.wSw = EmuSw::SW_WRONG_P1P2;
        return answer;
    }
    if (!m_security.IsAuthenticated()) {
        answer.wSw = EmuSw::SW_SECURITY;
        return answer;
    }
    if (vbPlain.empty() && apdu.P1P2() < pFile->vbContent.size()) {
        answer.wSw = EmuSw::SW_WRONG_LENGTH;
        return answer;
    }
    answer.wSw = WriteIntoFile(*pFile, apdu.P1P2(), vbPlain);
    return answer;
}
