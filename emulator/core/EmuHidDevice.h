// EmuHidDevice.h
//
// EmuHidDevice: one virtual HID device on the emulator's bus, and the device
// side of the token's feature-report framing. The host writes a request as feature reports with report id 3
// (SetFeature) and polls the answer (GetFeature); this class puts the
// request back together, hands the APDU inside it to the card behind the
// device (IEmuCard), and cuts the answer into reports. Faults set from the
// control channel make it misbehave in the ways the host must survive.
//
// Request report (R bytes): [3][more][0x0C][remaining hi][remaining lo]
// [n hi][n lo][0] then n data bytes, n <= C = R - 9. The reassembled request
// is the APDU body: 0xA1, APDU length (big-endian, 2 bytes), APDU.
// Answer body: 0xA1, D = response data length + 3 (big-endian, 2 bytes),
// response data, SW1 SW2, 0x00. Answer report (R bytes): [more][m][busy]
// [5 zero bytes] then m answer bytes, m <= C; a busy report is
// [1][0][0xFF] and zeros.
//
// Behaviour the wire format leaves open, as this device defines it:
// - Report level. SetFeature is refused (ERROR_INVALID_PARAMETER, logged
//   "BAD", any partial request and unread answer dropped) for a length other
//   than R, a report id other than 3, a command code other than 0x0C, a data
//   count of 0 or above C, a remaining length of 0 or above 256, a data count
//   above the remaining length, a last report (more = 0) whose data count is
//   not the remaining length, or a "more" report that leaves nothing to
//   follow. GetFeature is refused the same way for a length other than R or
//   a report id other than 3.
// - A report whose remaining length is not what the request being assembled
//   still expects starts a new request (the host gave up on the old one; the
//   old part is dropped and logged). A new request also drops an answer not
//   yet read out.
// - Body level. A complete request that is not a well-formed APDU body
//   (shorter than 4 bytes, first byte not 0xA1, APDU length not the number
//   of bytes that follow) is logged "BAD" and answered like an APDU with
//   status word 67 00 and no data; the card is not called.
// - A card answer shorter than the two status bytes, or too long for the
//   length field, is answered 6F 00.
// - GetFeature with no answer pending (idle, or a request half received)
//   returns an all-zero report: an empty last report.
// - While the answer is pending the device returns busy reports: the
//   device's busy count (default 1) before each answer, or a fault's count.
// - A card that has no answer yet (the holder is still at the keypad,
//   IEmuCard::AnswerPending) is asked again at every GetFeature; each poll
//   gets a busy report until the answer is ready, and then the answer is
//   sent as any other (its busy count and one-shot faults included). A new
//   request, a malformed report or Unplug while the card has no answer makes
//   the card drop the command (logged "DROP pending answer").
// - A device that is not a token (no card) fails SetFeature and GetFeature
//   with ERROR_INVALID_FUNCTION, as a HID device without feature report 3.
// - Unplugged, every operation fails with ERROR_DEVICE_NOT_CONNECTED; an
//   unplugged device never comes back (a re-plug makes a new one).
//
// Not thread-safe: the bus serialises every call on one token's devices.
// Windows-free; errors are Win32 codes from EmuPipeProtocol.h (0 = success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EmuCard.h"

namespace emu {

class EmuLog;

const std::uint32_t kMinReportLength = 10;
const std::uint32_t kMaxReportLength = 4096;
const std::uint32_t kDefaultReportLength = 65;
const std::uint32_t kMaxRequestLength = 256;
const std::uint32_t kMaxForcedAnswerLength = 65535;
const std::uint16_t kTokenVendorId = 0x0925;
const std::uint16_t kTokenProductId = 0x1234;

// What a device is plugged as.
struct EmuDeviceSettings {
    std::uint16_t wVendorId = kTokenVendorId;
    std::uint16_t wProductId = kTokenProductId;
    // FeatureReportByteLength R, counting the report id byte.
    std::uint32_t dwReportLength = kDefaultReportLength;
    // Busy reports before each answer.
    std::uint32_t dwBusyReports = 1;
    std::u16string strProduct;
};

class EmuHidDevice {
public:
    // pCard null: not a token. pLog may be null. dwReportLength must lie in
    // [kMinReportLength, kMaxReportLength] (the bus checks; it is clamped).
    EmuHidDevice(const std::string &strId, const EmuDeviceSettings &settings,
                 std::shared_ptr<IEmuCard> pCard, EmuLog *pLog);

    const std::string &Id() const { return m_strId; }
    const EmuDeviceSettings &Settings() const { return m_settings; }
    std::uint32_t ReportLength() const { return m_settings.dwReportLength; }
    // Data bytes a report carries: R - 9.
    std::uint32_t ChunkSize() const { return m_settings.dwReportLength - 9; }
    bool Plugged() const { return m_bPlugged; }
    bool IsToken() const { return m_pCard != nullptr; }

    // Pulls the device: every later call fails; pending state is dropped.
    void Unplug();

    // HidP_GetCaps' FeatureReportByteLength.
    std::uint32_t Caps(std::uint32_t &dwReportLength) const;
    // HidD_SetFeature with one report of n bytes. dwSender names the bus
    // session that sends it (0: unknown); whenever a request starts from
    // another session than the one before, the log says so ("<id> SENDER
    // session N"), so a log shows whose APDUs follow.
    std::uint32_t SetFeature(const std::uint8_t *pbReport, std::size_t n,
                             std::uint32_t dwSender = 0);
    // HidD_GetFeature with a buffer of n bytes whose byte 0 is the report id;
    // report receives exactly R bytes on success.
    std::uint32_t GetFeature(const std::uint8_t *pbReport, std::size_t n,
                             std::vector<std::uint8_t> &report);
    // HidD_GetProductString into a buffer of dwBufferBytes: at most
    // dwBufferBytes / 2 characters, no terminator.
    std::uint32_t ProductString(std::uint32_t dwBufferBytes, std::u16string &str) const;

    // Faults (control channel "fault <id> ...").
    void FailSetFeatures(std::uint32_t n);      // next n SetFeature calls fail
    void FailGetFeatures(std::uint32_t n);      // next n GetFeature calls fail
    void BusyNextAnswer(std::uint32_t n);       // n busy reports before the next answer
    void BusyForever();                         // the next answer never comes
    void ForceLengthField(std::uint16_t wD);    // next answer's D field
    void ForceAnswerLength(std::uint32_t n);    // next answer body cut or zero-padded to n
    void ForceByte1(std::uint8_t bValue);       // byte 1 of every report of the next answer
    // The dwNth next command with this INS is answered wSw without reaching
    // the card.
    void RefuseCommand(std::uint8_t bIns, std::uint32_t dwNth, std::uint16_t wSw);
    void ClearFaults();

private:
    enum State {
        STATE_IDLE,       // no request, no answer
        STATE_RECEIVING,  // request reports arriving
        STATE_WAITING,    // the card has no answer yet: busy reports, poll the card
        STATE_ANSWERING,  // answer built; busy reports, then the answer reports
    };

    // One-shot faults for the next answer, taken when it is built.
    struct AnswerFaults {
        bool bBusy = false;
        std::uint32_t dwBusy = 0;
        bool bBusyForever = false;
        bool bLengthField = false;
        std::uint16_t wLengthField = 0;
        bool bAnswerLength = false;
        std::uint32_t dwAnswerLength = 0;
        bool bByte1 = false;
        std::uint8_t bByte1Value = 0;
    };

    void Log(const std::string &strEvent) const;
    // Refuses a malformed report: logs, drops the exchange, returns the error.
    std::uint32_t Refuse(const std::string &strWhy);
    void Reset();
    // The request is complete: build the answer body and arm the busy reports.
    void CompleteRequest();
    // Status word only answer (67 00, 6F 00).
    static std::vector<std::uint8_t> StatusOnly(std::uint8_t bSw1, std::uint8_t bSw2);
    // Hands the APDU to the card; bPending when its answer is not ready.
    std::vector<std::uint8_t> CallCard(const std::vector<std::uint8_t> &apdu, bool &bPending);
    // The card's answer, logged, or 6F 00 when it cannot be framed.
    // pApdu: the command, for the card's log form of the answer (null: the
    // answer is logged as it is).
    std::vector<std::uint8_t> CheckedResponse(std::vector<std::uint8_t> response,
                                              const std::vector<std::uint8_t> *pApdu = nullptr);
    // Frames the answer, applies the one-shot faults, arms the busy reports.
    void BuildAnswer(const std::vector<std::uint8_t> &response);

    std::string m_strId;
    EmuDeviceSettings m_settings;
    std::shared_ptr<IEmuCard> m_pCard;
    EmuLog *m_pLog;
    bool m_bPlugged;

    State m_state;
    std::vector<std::uint8_t> m_request;
    std::uint32_t m_dwExpectedRemaining;
    std::vector<std::uint8_t> m_answer;
    std::size_t m_nAnswerOffset;
    std::uint32_t m_dwBusyLeft;
    bool m_bBusyForever;
    bool m_bForceByte1;
    std::uint8_t m_bByte1Value;

    std::uint32_t m_dwLastSender;

    std::uint32_t m_dwFailSetFeatures;
    std::uint32_t m_dwFailGetFeatures;
    AnswerFaults m_faults;
    struct Refusal {
        std::uint8_t bIns = 0;
        std::uint32_t dwLeft = 0;  // 0: none armed
        std::uint16_t wSw = 0;
    };
    Refusal m_refusal;
};

}  // namespace emu
