// EmuHidDevice.cpp
#include "EmuHidDevice.h"

#include <algorithm>

#include "EmuLog.h"
#include "EmuPipeProtocol.h"
#include "EmuText.h"

namespace emu {

namespace {

const std::uint8_t kReportId = 3;
const std::uint8_t kCommandApdu = 0x0C;
const std::uint8_t kApduTag = 0xA1;
const std::uint8_t kBusy = 0xFF;
const std::size_t kDataOffset = 8;

}  // namespace

EmuHidDevice::EmuHidDevice(const std::string &strId, const EmuDeviceSettings &settings,
                           std::shared_ptr<IEmuCard> pCard, EmuLog *pLog)
    : m_strId(strId),
      m_settings(settings),
      m_pCard(std::move(pCard)),
      m_pLog(pLog),
      m_bPlugged(true),
      m_state(STATE_IDLE),
      m_dwExpectedRemaining(0),
      m_nAnswerOffset(0),
      m_dwBusyLeft(0),
      m_bBusyForever(false),
      m_bForceByte1(false),
      m_bByte1Value(0),
      m_dwLastSender(0),
      m_dwFailSetFeatures(0),
      m_dwFailGetFeatures(0)
{
    m_settings.dwReportLength =
        std::min(std::max(m_settings.dwReportLength, kMinReportLength), kMaxReportLength);
}

void EmuHidDevice::Log(const std::string &strEvent) const
{
    if (m_pLog != nullptr)
        m_pLog->Add(m_strId + " " + strEvent);
}

void EmuHidDevice::Reset()
{
    if (m_state == STATE_WAITING) {
        // The host gave up (or the token went): the card forgets the command.
        Log("DROP pending answer, the card's command is dropped");
        m_pCard->DropPending();
    }
    m_state = STATE_IDLE;
    m_request.clear();
    m_dwExpectedRemaining = 0;
    m_answer.clear();
    m_nAnswerOffset = 0;
    m_dwBusyLeft = 0;
    m_bBusyForever = false;
    m_bForceByte1 = false;
}

std::uint32_t EmuHidDevice::Refuse(const std::string &strWhy)
{
    Log("BAD " + strWhy);
    Reset();
    return kErrorInvalidParameter;
}

void EmuHidDevice::Unplug()
{
    m_bPlugged = false;
    Reset();
}

std::uint32_t EmuHidDevice::Caps(std::uint32_t &dwReportLength) const
{
    if (!m_bPlugged)
        return kErrorDeviceNotConnected;
    dwReportLength = m_settings.dwReportLength;
    return 0;
}

std::uint32_t EmuHidDevice::ProductString(std::uint32_t dwBufferBytes, std::u16string &str) const
{
    if (!m_bPlugged)
        return kErrorDeviceNotConnected;
    str = m_settings.strProduct.substr(0, dwBufferBytes / 2);
    return 0;
}

std::uint32_t EmuHidDevice::SetFeature(const std::uint8_t *pbReport, std::size_t n,
                                       std::uint32_t dwSender)
{
    if (!m_bPlugged)
        return kErrorDeviceNotConnected;
    if (m_dwFailSetFeatures > 0) {
        --m_dwFailSetFeatures;
        Log("FAULT setfeature failed (" + std::to_string(m_dwFailSetFeatures) + " more)");
        return kErrorGenFailure;
    }
    if (!IsToken())
        return kErrorInvalidFunction;
    const std::uint32_t dwR = m_settings.dwReportLength;
    if (pbReport == nullptr || n != dwR)
        return Refuse("setfeature length " + std::to_string(n) + ", expected " +
                      std::to_string(dwR));
    if (pbReport[0] != kReportId)
        return Refuse("setfeature report id " + std::to_string(pbReport[0]));
    if (pbReport[2] != kCommandApdu)
        return Refuse("setfeature command code " + HexString(pbReport + 2, 1));
    const bool bMore = pbReport[1] != 0;
    const std::uint32_t dwRemaining = (static_cast<std::uint32_t>(pbReport[3]) << 8) | pbReport[4];
    const std::uint32_t dwCount = (static_cast<std::uint32_t>(pbReport[5]) << 8) | pbReport[6];
    if (dwCount == 0 || dwCount > ChunkSize())
        return Refuse("setfeature data count " + std::to_string(dwCount) + ", chunk " +
                      std::to_string(ChunkSize()));
    if (dwRemaining == 0 || dwRemaining > kMaxRequestLength)
        return Refuse("setfeature remaining length " + std::to_string(dwRemaining));
    if (dwCount > dwRemaining)
        return Refuse("setfeature data count " + std::to_string(dwCount) + " above remaining " +
                      std::to_string(dwRemaining));
    if (!bMore && dwCount != dwRemaining)
        return Refuse("setfeature last report carries " + std::to_string(dwCount) + " of " +
                      std::to_string(dwRemaining) + " remaining bytes");
    if (bMore && dwCount == dwRemaining)
        return Refuse("setfeature more-follows flag with nothing left to send");

    const bool bContinues = m_state == STATE_RECEIVING && dwRemaining == m_dwExpectedRemaining;
    if (!bContinues) {
        if (m_state == STATE_RECEIVING)
            Log("DROP partial request, " + std::to_string(m_request.size()) + " bytes");
        else if (m_state == STATE_ANSWERING)
            Log("DROP unread answer, " + std::to_string(m_answer.size() - m_nAnswerOffset) +
                " bytes");
        Reset();
        m_state = STATE_RECEIVING;
        m_dwExpectedRemaining = dwRemaining;
        if (dwSender != 0 && dwSender != m_dwLastSender) {
            m_dwLastSender = dwSender;
            Log("SENDER session " + std::to_string(dwSender));
        }
    }
    m_request.insert(m_request.end(), pbReport + kDataOffset, pbReport + kDataOffset + dwCount);
    m_dwExpectedRemaining -= dwCount;
    if (!bMore)
        CompleteRequest();
    return 0;
}

std::vector<std::uint8_t> EmuHidDevice::StatusOnly(std::uint8_t bSw1, std::uint8_t bSw2)
{
    return {bSw1, bSw2};
}

std::vector<std::uint8_t> EmuHidDevice::CallCard(const std::vector<std::uint8_t> &apdu,
                                                 bool &bPending)
{
    Log("APDU " + HexString(m_pCard->LogForm(apdu)));
    if (m_refusal.dwLeft != 0 && apdu.size() >= 2 && apdu[1] == m_refusal.bIns &&
        --m_refusal.dwLeft == 0) {
        // The card never sees this command: a write that breaks off half-way.
        Log("FAULT applied refuse " + HexString(&m_refusal.bIns, 1));
        bPending = false;
        return CheckedResponse(StatusOnly(static_cast<std::uint8_t>(m_refusal.wSw >> 8),
                                          static_cast<std::uint8_t>(m_refusal.wSw)));
    }
    std::vector<std::uint8_t> response = m_pCard->ProcessApdu(apdu);
    bPending = m_pCard->AnswerPending();
    if (bPending) {
        Log("WAIT answer pending on the card");
        return std::vector<std::uint8_t>();
    }
    return CheckedResponse(std::move(response), &apdu);
}

std::vector<std::uint8_t> EmuHidDevice::CheckedResponse(std::vector<std::uint8_t> response,
                                                        const std::vector<std::uint8_t> *pApdu)
{
    // D = data + 3 must fit its 16 bits.
    if (response.size() < 2 || response.size() - 2 > 0xFFFFu - 3u) {
        Log("BAD card answer of " + std::to_string(response.size()) + " bytes, answering 6F00");
        response = StatusOnly(0x6F, 0x00);
    }
    Log("RESP " + HexString(pApdu != nullptr ? m_pCard->LogAnswer(*pApdu, response) : response));
    return response;
}

void EmuHidDevice::CompleteRequest()
{
    std::vector<std::uint8_t> body;
    body.swap(m_request);
    Reset();

    std::vector<std::uint8_t> response;
    const std::size_t nApdu =
        body.size() >= 3 ? ((static_cast<std::size_t>(body[1]) << 8) | body[2]) : 0;
    if (body.size() < 4 || body[0] != kApduTag || nApdu != body.size() - 3) {
        Log("BAD request body " + HexString(body) + ", answering 6700");
        response = StatusOnly(0x67, 0x00);
        Log("RESP " + HexString(response));
    } else {
        bool bPending = false;
        response = CallCard(std::vector<std::uint8_t>(body.begin() + 3, body.end()), bPending);
        if (bPending) {
            // Busy reports until the card has its answer (GetFeature polls it).
            m_state = STATE_WAITING;
            return;
        }
    }
    BuildAnswer(response);
}

void EmuHidDevice::BuildAnswer(const std::vector<std::uint8_t> &response)
{
    m_answer.clear();
    // Answer body: tag, D, data, SW1 SW2, trailing byte.
    const std::size_t nData = response.size() - 2;
    const std::uint32_t dwD = static_cast<std::uint32_t>(nData + 3);
    m_answer.reserve(response.size() + 4);
    m_answer.push_back(kApduTag);
    m_answer.push_back(static_cast<std::uint8_t>(dwD >> 8));
    m_answer.push_back(static_cast<std::uint8_t>(dwD));
    m_answer.insert(m_answer.end(), response.begin(), response.end());
    m_answer.push_back(0x00);

    AnswerFaults faults = m_faults;
    m_faults = AnswerFaults();
    if (faults.bLengthField) {
        m_answer[1] = static_cast<std::uint8_t>(faults.wLengthField >> 8);
        m_answer[2] = static_cast<std::uint8_t>(faults.wLengthField);
        Log("FAULT applied dfield " + std::to_string(faults.wLengthField));
    }
    if (faults.bAnswerLength) {
        m_answer.resize(faults.dwAnswerLength, 0x00);
        Log("FAULT applied length " + std::to_string(faults.dwAnswerLength));
    }
    if (faults.bByte1) {
        m_bForceByte1 = true;
        m_bByte1Value = faults.bByte1Value;
        Log("FAULT applied byte1 " + std::to_string(faults.bByte1Value));
    }
    m_dwBusyLeft = faults.bBusy ? faults.dwBusy : m_settings.dwBusyReports;
    m_bBusyForever = faults.bBusyForever;
    if (faults.bBusyForever)
        Log("FAULT applied busy forever");
    else if (faults.bBusy)
        Log("FAULT applied busy " + std::to_string(faults.dwBusy));
    m_nAnswerOffset = 0;
    m_state = STATE_ANSWERING;
}

std::uint32_t EmuHidDevice::GetFeature(const std::uint8_t *pbReport, std::size_t n,
                                       std::vector<std::uint8_t> &report)
{
    if (!m_bPlugged)
        return kErrorDeviceNotConnected;
    if (m_dwFailGetFeatures > 0) {
        --m_dwFailGetFeatures;
        Log("FAULT getfeature failed (" + std::to_string(m_dwFailGetFeatures) + " more)");
        return kErrorGenFailure;
    }
    if (!IsToken())
        return kErrorInvalidFunction;
    const std::uint32_t dwR = m_settings.dwReportLength;
    if (pbReport == nullptr || n != dwR)
        return Refuse("getfeature length " + std::to_string(n) + ", expected " +
                      std::to_string(dwR));
    if (pbReport[0] != kReportId)
        return Refuse("getfeature report id " + std::to_string(pbReport[0]));

    report.assign(dwR, 0);
    if (m_state == STATE_WAITING) {
        std::vector<std::uint8_t> response;
        if (!m_pCard->PollAnswer(response)) {
            report[0] = 1;
            report[2] = kBusy;
            return 0;
        }
        if (m_pCard->AnswerPending()) {
            // A card must not say both; treat it as still pending.
            report[0] = 1;
            report[2] = kBusy;
            return 0;
        }
        m_state = STATE_IDLE;
        BuildAnswer(CheckedResponse(std::move(response)));
    }
    if (m_state != STATE_ANSWERING) {
        // Nothing to hand out: an empty last report.
        Log("GETFEATURE with no answer pending");
        return 0;
    }
    if (m_bBusyForever || m_dwBusyLeft > 0) {
        if (!m_bBusyForever)
            --m_dwBusyLeft;
        report[0] = 1;
        report[2] = kBusy;
        return 0;
    }
    const std::size_t nLeft = m_answer.size() - m_nAnswerOffset;
    const std::size_t nCount = std::min<std::size_t>(nLeft, ChunkSize());
    std::copy(m_answer.begin() + static_cast<std::ptrdiff_t>(m_nAnswerOffset),
              m_answer.begin() + static_cast<std::ptrdiff_t>(m_nAnswerOffset + nCount),
              report.begin() + kDataOffset);
    m_nAnswerOffset += nCount;
    const bool bMore = m_nAnswerOffset < m_answer.size();
    report[0] = bMore ? 1 : 0;
    report[1] = m_bForceByte1 ? m_bByte1Value : static_cast<std::uint8_t>(nCount);
    if (!bMore)
        Reset();
    return 0;
}

void EmuHidDevice::FailSetFeatures(std::uint32_t n) { m_dwFailSetFeatures = n; }

void EmuHidDevice::FailGetFeatures(std::uint32_t n) { m_dwFailGetFeatures = n; }

void EmuHidDevice::BusyNextAnswer(std::uint32_t n)
{
    m_faults.bBusy = true;
    m_faults.dwBusy = n;
    m_faults.bBusyForever = false;
}

void EmuHidDevice::BusyForever()
{
    m_faults.bBusy = false;
    m_faults.bBusyForever = true;
}

void EmuHidDevice::ForceLengthField(std::uint16_t wD)
{
    m_faults.bLengthField = true;
    m_faults.wLengthField = wD;
}

void EmuHidDevice::ForceAnswerLength(std::uint32_t n)
{
    m_faults.bAnswerLength = true;
    m_faults.dwAnswerLength = std::min(n, kMaxForcedAnswerLength);
}

void EmuHidDevice::ForceByte1(std::uint8_t bValue)
{
    m_faults.bByte1 = true;
    m_faults.bByte1Value = bValue;
}

void EmuHidDevice::RefuseCommand(std::uint8_t bIns, std::uint32_t dwNth, std::uint16_t wSw)
{
    m_refusal.bIns = bIns;
    m_refusal.dwLeft = dwNth;
    m_refusal.wSw = wSw;
}

void EmuHidDevice::ClearFaults()
{
    m_refusal = Refusal();
    m_dwFailSetFeatures = 0;
    m_dwFailGetFeatures = 0;
    m_faults = AnswerFaults();
    // A "busy forever" already in progress ends too: the answer comes.
    m_bBusyForever = false;
    m_dwBusyLeft = 0;
}

}  // namespace emu
