// EmuHidDeviceTest.cpp
//
// The device side of the HID framing, driven report by report as the host
// drives it: request reassembly for several report lengths and request
// sizes, answer reports (busy first, the more flag, the byte counts), each
// fault, malformed reports and bodies, and the select-only card. The host
// side here is written from the wire format tables; one case also runs the
// token library's own framing (HidFraming) against the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "EmuHidDevice.h"
#include "EmuLog.h"
#include "EmuPipeProtocol.h"
#include "EmuSelectOnlyCard.h"
#include "HidFraming.h"

namespace {

using emu::EmuHidDevice;
using Bytes = std::vector<std::uint8_t>;

// A card that records the APDUs it gets and answers what it is told.
class RecordingCard : public emu::IEmuCard {
public:
    Bytes ProcessApdu(const Bytes &apdu) override
    {
        apdus.push_back(apdu);
        return answer;
    }
    std::vector<Bytes> apdus;
    Bytes answer = {0x90, 0x00};
};

// The request reports of a request body, cut as the wire format says.
std::vector<Bytes> RequestReports(std::uint32_t dwR, const Bytes &body)
{
    const std::size_t nChunk = dwR - 9;
    std::vector<Bytes> reports;
    std::size_t nSent = 0;
    while (nSent < body.size()) {
        const std::size_t nLeft = body.size() - nSent;
        const std::size_t nCount = std::min(nLeft, nChunk);
        Bytes report(dwR, 0);
        report[0] = 3;
        report[1] = nLeft > nChunk ? 1 : 0;
        report[2] = 0x0C;
        report[3] = static_cast<std::uint8_t>(nLeft >> 8);
        report[4] = static_cast<std::uint8_t>(nLeft);
        report[5] = static_cast<std::uint8_t>(nCount >> 8);
        report[6] = static_cast<std::uint8_t>(nCount);
        std::copy(body.begin() + nSent, body.begin() + nSent + nCount, report.begin() + 8);
        reports.push_back(report);
        nSent += nCount;
    }
    return reports;
}

Bytes ApduBody(const Bytes &apdu)
{
    Bytes body = {0xA1, static_cast<std::uint8_t>(apdu.size() >> 8),
                  static_cast<std::uint8_t>(apdu.size())};
    body.insert(body.end(), apdu.begin(), apdu.end());
    return body;
}

Bytes Pattern(std::size_t n, std::uint8_t bStart = 0)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(bStart + i);
    return bytes;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class Device : public ::testing::Test {
protected:
    void Make(std::uint32_t dwR = 65, std::uint32_t dwBusy = 1)
    {
        emu::EmuDeviceSettings settings;
        settings.dwReportLength = dwR;
        settings.dwBusyReports = dwBusy;
        settings.strProduct = u"KAVRU USB KEY_V0100_ID0123456789ABCDEF";
        card = std::make_shared<RecordingCard>();
        device.reset(new EmuHidDevice("t1", settings, card, &log));
    }

    std::uint32_t R() const { return device->ReportLength(); }
    std::size_t C() const { return device->ChunkSize(); }

    // Sends every report of the body; the first error, or 0.
    std::uint32_t Send(const Bytes &body)
    {
        for (const Bytes &report : RequestReports(R(), body)) {
            std::uint32_t dwError = device->SetFeature(report.data(), report.size());
            if (dwError != 0)
                return dwError;
        }
        return 0;
    }

    // One GetFeature as the host makes it: zeroed buffer, byte 0 = 3.
    Bytes Poll(std::uint32_t *pdwError = nullptr)
    {
        Bytes buffer(R(), 0);
        buffer[0] = 3;
        Bytes report;
        std::uint32_t dwError = device->GetFeature(buffer.data(), buffer.size(), report);
        if (pdwError != nullptr)
            *pdwError = dwError;
        else
            EXPECT_EQ(0u, dwError);
        return report;
    }

    // Polls until the last report; the answer body, and the reports seen.
    Bytes Receive(std::vector<Bytes> *pReports = nullptr, int nMaxPolls = 10000)
    {
        Bytes answer;
        for (int i = 0; i < nMaxPolls; ++i) {
            Bytes report = Poll();
            if (report.size() != R()) {
                ADD_FAILURE() << "report of " << report.size() << " bytes";
                return answer;
            }
            if (pReports != nullptr)
                pReports->push_back(report);
            if (report[2] == 0xFF)
                continue;
            const std::size_t nCount = std::min<std::size_t>(report[1], C());
            answer.insert(answer.end(), report.begin() + 8, report.begin() + 8 + nCount);
            if (report[0] == 0)
                return answer;
        }
        ADD_FAILURE() << "no last report";
        return answer;
    }

    bool LogHas(const std::string &strText) const
    {
        return log.Text().find(strText) != std::string::npos;
    }

    emu::EmuLog log;
    std::shared_ptr<RecordingCard> card;
    std::unique_ptr<EmuHidDevice> device;
};

// --- request reassembly ---------------------------------------------------

// Request sizes by code: 1, C, C + 1, 2C, 256.
std::size_t RequestLength(std::size_t nCode, std::size_t nChunk)
{
    switch (nCode) {
    case 1: return 1;
    case 2: return nChunk;
    case 3: return nChunk + 1;
    case 4: return 2 * nChunk;
    default: return 256;
    }
}

class Reassembly : public Device,
                   public ::testing::WithParamInterface<std::tuple<std::uint32_t, int>> {};

TEST_P(Reassembly, RequestArrivesWholeAndInOrder)
{
    Make(std::get<0>(GetParam()));
    const std::size_t nLength = RequestLength(static_cast<std::size_t>(std::get<1>(GetParam())), C());
    ASSERT_GE(nLength, 1u);
    ASSERT_LE(nLength, 256u);
    card->answer = {0x12, 0x34, 0x90, 0x00};
    Bytes body;
    if (nLength >= 4)
        body = ApduBody(Pattern(nLength - 3, 0x40));
    else
        body = Bytes(Pattern(nLength, 0xA1));  // too short for an APDU body

    std::vector<Bytes> reports = RequestReports(R(), body);
    EXPECT_EQ((nLength + C() - 1) / C(), reports.size());
    ASSERT_EQ(0u, Send(body));
    Bytes answer = Receive();
    if (nLength >= 4) {
        ASSERT_EQ(1u, card->apdus.size());
        EXPECT_EQ(Pattern(nLength - 3, 0x40), card->apdus[0]);
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x05, 0x12, 0x34, 0x90, 0x00, 0x00}), answer);
    } else {
        EXPECT_TRUE(card->apdus.empty());
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x67, 0x00, 0x00}), answer);
        EXPECT_TRUE(LogHas("t1 BAD request body"));
    }
}

INSTANTIATE_TEST_SUITE_P(ReportLengthsAndSizes, Reassembly,
                         ::testing::Combine(::testing::Values(65u, 33u, 10u),
                                            ::testing::Values(1, 2, 3, 4, 5)));

// With R = 65 a 57-byte request goes in two reports (the wire format's own example).
TEST_F(Device, FiftySevenBytesInTwoReportsOfSixtyFive)
{
    Make(65);
    Bytes body = ApduBody(Pattern(54));
    std::vector<Bytes> reports = RequestReports(65, body);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0u, device->SetFeature(reports[0].data(), reports[0].size()));
    EXPECT_TRUE(card->apdus.empty());
    EXPECT_EQ(0u, device->SetFeature(reports[1].data(), reports[1].size()));
    ASSERT_EQ(1u, card->apdus.size());
    EXPECT_EQ(Pattern(54), card->apdus[0]);
}

// --- answer reports -------------------------------------------------------

TEST_F(Device, AnswerComesAfterOneBusyReportInChunks)
{
    Make(33);  // C = 24
    card->answer = Pattern(100, 1);
    card->answer.push_back(0x90);
    card->answer.push_back(0x00);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));

    std::vector<Bytes> reports;
    Bytes answer = Receive(&reports);
    // N = 3 + 100 + 2 + 1 = 106 bytes: one busy report, then 24 24 24 24 10.
    ASSERT_EQ(6u, reports.size());
    Bytes busy(33, 0);
    busy[0] = 1;
    busy[2] = 0xFF;
    EXPECT_EQ(busy, reports[0]);
    const std::uint8_t abCounts[] = {24, 24, 24, 24, 10};
    for (int i = 0; i < 5; ++i) {
        const Bytes &report = reports[static_cast<std::size_t>(i) + 1];
        EXPECT_EQ(i < 4 ? 1 : 0, report[0]) << i;
        EXPECT_EQ(abCounts[i], report[1]) << i;
        EXPECT_EQ(0, report[2]) << i;
        for (std::size_t k = 3; k < 8; ++k)
            EXPECT_EQ(0, report[k]) << i;
        for (std::size_t k = 8 + abCounts[i]; k < 33; ++k)
            EXPECT_EQ(0, report[k]) << i << " byte " << k;
    }
    ASSERT_EQ(106u, answer.size());
    EXPECT_EQ(0xA1, answer[0]);
    EXPECT_EQ(0x00, answer[1]);
    EXPECT_EQ(103, answer[2]);
    EXPECT_EQ(Pattern(100, 1), Bytes(answer.begin() + 3, answer.begin() + 103));
    EXPECT_EQ(0x90, answer[103]);
    EXPECT_EQ(0x00, answer[104]);
    EXPECT_EQ(0x00, answer[105]);
}

TEST_F(Device, BusyCountIsASetting)
{
    for (std::uint32_t dwBusy : {0u, 1u, 3u}) {
        Make(65, dwBusy);
        ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
        std::vector<Bytes> reports;
        Receive(&reports);
        ASSERT_EQ(dwBusy + 1, reports.size()) << dwBusy;
        for (std::uint32_t i = 0; i < dwBusy; ++i)
            EXPECT_EQ(0xFF, reports[i][2]);
    }
}

TEST_F(Device, NoAnswerPendingGivesAnEmptyLastReport)
{
    Make();
    EXPECT_EQ(Bytes(65, 0), Poll());
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    Receive();
    // Read out: idle again.
    EXPECT_EQ(Bytes(65, 0), Poll());
    EXPECT_TRUE(LogHas("t1 GETFEATURE with no answer pending"));
}

TEST_F(Device, LogNamesEveryApduAndAnswer)
{
    Make();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    Receive();
    EXPECT_TRUE(LogHas("t1 APDU 00A40000023F00\n"));
    EXPECT_TRUE(LogHas("t1 RESP 9000\n"));
}

// The token library's framing, end to end against the device.
TEST_F(Device, HostFramingOfTheLibraryRoundTrips)
{
    for (std::uint32_t dwR : {65u, 33u, 10u}) {
        Make(dwR);
        card->answer = Pattern(40, 7);
        card->answer.push_back(0x61);
        card->answer.push_back(0x10);
        Bytes apdu = Pattern(200, 3);
        Bytes body;
        ASSERT_TRUE(WrapApdu(apdu.data(), static_cast<KQDWORD>(apdu.size()), body));
        std::vector<std::vector<KQBYTE>> reports;
        ASSERT_TRUE(BuildRequestReports(dwR, body.data(), static_cast<KQDWORD>(body.size()),
                                        HID_COMMAND_APDU, reports));
        for (const std::vector<KQBYTE> &report : reports)
            ASSERT_EQ(0u, device->SetFeature(report.data(), report.size())) << dwR;
        ASSERT_EQ(1u, card->apdus.size());
        EXPECT_EQ(apdu, card->apdus[0]);

        std::vector<KQBYTE> answer;
        HidAnswerReport kind = HID_ANSWER_BUSY;
        int nPolls = 0;
        do {
            Bytes report = Poll();
            ASSERT_EQ(dwR, report.size());
            kind = TakeAnswerReport(report.data(), dwR, answer);
        } while (kind != HID_ANSWER_LAST && ++nPolls < 1000);
        KQWORD wSw = 0;
        KQDWORD dwOffset = 0, dwLength = 0;
        ASSERT_EQ(HID_UNWRAP_OK, UnwrapAnswer(answer.data(), static_cast<KQDWORD>(answer.size()),
                                              &wSw, &dwOffset, &dwLength));
        EXPECT_EQ(0x6110, wSw);
        EXPECT_EQ(Pattern(40, 7), Bytes(answer.begin() + dwOffset,
                                        answer.begin() + dwOffset + dwLength));
    }
}

// --- faults ---------------------------------------------------------------

TEST_F(Device, SetFeatureFaultFailsTheNextCallsOnly)
{
    Make();
    device->FailSetFeatures(2);
    Bytes report = RequestReports(65, ApduBody(kSelectMf))[0];
    EXPECT_EQ(emu::kErrorGenFailure, device->SetFeature(report.data(), report.size()));
    EXPECT_EQ(emu::kErrorGenFailure, device->SetFeature(report.data(), report.size()));
    EXPECT_TRUE(card->apdus.empty());
    EXPECT_EQ(0u, device->SetFeature(report.data(), report.size()));
    EXPECT_EQ(1u, card->apdus.size());
    EXPECT_TRUE(LogHas("t1 FAULT setfeature failed"));
}

TEST_F(Device, GetFeatureFaultFailsWithoutLosingTheAnswer)
{
    Make(65, 0);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    device->FailGetFeatures(1);
    std::uint32_t dwError = 0;
    Poll(&dwError);
    EXPECT_EQ(emu::kErrorGenFailure, dwError);
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Receive());
}

TEST_F(Device, BusyFaultSetsTheBusyReportsOfTheNextAnswer)
{
    Make();
    device->BusyNextAnswer(5);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    std::vector<Bytes> reports;
    Receive(&reports);
    EXPECT_EQ(6u, reports.size());
    // One-shot: the next answer has the device's own single busy report.
    reports.clear();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    Receive(&reports);
    EXPECT_EQ(2u, reports.size());
}

TEST_F(Device, BusyForeverNeverAnswersUntilCleared)
{
    Make();
    device->BusyForever();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    for (int i = 0; i < 500; ++i) {
        Bytes report = Poll();
        ASSERT_EQ(0xFF, report[2]) << i;
        ASSERT_NE(0, report[0]);
    }
    device->ClearFaults();
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Receive());
}

TEST_F(Device, LengthFieldFault)
{
    Make();
    device->ForceLengthField(600);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x02, 0x58, 0x90, 0x00, 0x00}), Receive());
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Receive());
}

TEST_F(Device, AnswerLengthFaultCutsOrPads)
{
    Make(33);
    device->ForceAnswerLength(2);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x00}), Receive());

    device->ForceAnswerLength(1100);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    std::vector<Bytes> reports;
    Bytes answer = Receive(&reports);
    ASSERT_EQ(1100u, answer.size());
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Bytes(answer.begin(), answer.begin() + 6));
    EXPECT_TRUE(std::all_of(answer.begin() + 6, answer.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(1u + (1100 + 23) / 24, reports.size());

    device->ForceAnswerLength(0);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    reports.clear();
    EXPECT_TRUE(Receive(&reports).empty());
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(Bytes(33, 0), reports[1]);
}

TEST_F(Device, Byte1FaultMarksEveryReportOfTheNextAnswer)
{
    Make(33);
    card->answer = Pattern(60);
    card->answer.push_back(0x90);
    card->answer.push_back(0x00);
    device->ForceByte1(200);
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    std::vector<Bytes> reports;
    Bytes answer = Receive(&reports);
    // 66 bytes in 24 24 18: every data report says 200, the host takes C.
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(0, reports[0][1]);  // the busy report is not marked
    for (std::size_t i = 1; i < reports.size(); ++i)
        EXPECT_EQ(200, reports[i][1]);
    EXPECT_EQ(72u, answer.size());
    reports.clear();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    Receive(&reports);
    EXPECT_EQ(24, reports[1][1]);
}

TEST_F(Device, ClearEndsEveryFault)
{
    Make();
    device->FailSetFeatures(3);
    device->FailGetFeatures(3);
    device->ForceLengthField(0);
    device->ForceAnswerLength(1);
    device->ForceByte1(9);
    device->BusyForever();
    device->ClearFaults();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    std::vector<Bytes> reports;
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Receive(&reports));
    EXPECT_EQ(2u, reports.size());
}

// --- malformed reports and bodies -----------------------------------------

struct BadReport {
    const char *pszName;
    std::size_t nByte;  // byte to change, or 1000 for "length - 1", 1001 for "length + 1"
    std::uint8_t bValue;
};

class MalformedReport : public Device, public ::testing::WithParamInterface<BadReport> {};

TEST_P(MalformedReport, IsRefusedAndTheNextExchangeWorks)
{
    Make(33);
    const BadReport &bad = GetParam();
    // A two-report request, spoilt in its first report.
    Bytes body = ApduBody(Pattern(30));
    std::vector<Bytes> reports = RequestReports(33, body);
    ASSERT_EQ(2u, reports.size());
    Bytes report = reports[0];
    if (bad.nByte == 1000)
        report.pop_back();
    else if (bad.nByte == 1001)
        report.push_back(0);
    else
        report[bad.nByte] = bad.bValue;
    EXPECT_EQ(emu::kErrorInvalidParameter, device->SetFeature(report.data(), report.size()));
    EXPECT_TRUE(LogHas("t1 BAD setfeature")) << log.Text();
    EXPECT_TRUE(card->apdus.empty());
    EXPECT_EQ(Bytes(33, 0), Poll());

    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Receive());
}

INSTANTIATE_TEST_SUITE_P(
    Reports, MalformedReport,
    ::testing::Values(BadReport{"ReportId", 0, 2}, BadReport{"ShortReport", 1000, 0},
                      BadReport{"LongReport", 1001, 0}, BadReport{"CommandCode", 2, 0x0D},
                      BadReport{"DataCountAboveChunk", 6, 25}, BadReport{"DataCountZero", 6, 0},
                      BadReport{"RemainingZero", 4, 0}, BadReport{"RemainingAbove256", 3, 1},
                      BadReport{"CountAboveRemaining", 4, 10},
                      BadReport{"LastReportShortOfRemaining", 1, 0}),
    [](const ::testing::TestParamInfo<BadReport> &info) { return info.param.pszName; });

TEST_F(Device, MoreFlagWithNothingLeftIsRefused)
{
    Make(33);
    Bytes report = RequestReports(33, ApduBody(kSelectMf))[0];
    report[1] = 1;
    EXPECT_EQ(emu::kErrorInvalidParameter, device->SetFeature(report.data(), report.size()));
}

TEST_F(Device, NullReportIsRefused)
{
    Make();
    EXPECT_EQ(emu::kErrorInvalidParameter, device->SetFeature(nullptr, 65));
    Bytes report;
    EXPECT_EQ(emu::kErrorInvalidParameter, device->GetFeature(nullptr, 65, report));
}

TEST_F(Device, MalformedGetFeatureIsRefused)
{
    Make();
    Bytes report;
    Bytes buffer(64, 0);
    buffer[0] = 3;
    EXPECT_EQ(emu::kErrorInvalidParameter, device->GetFeature(buffer.data(), buffer.size(), report));
    buffer.assign(65, 0);
    buffer[0] = 1;
    EXPECT_EQ(emu::kErrorInvalidParameter, device->GetFeature(buffer.data(), buffer.size(), report));
    EXPECT_TRUE(LogHas("t1 BAD getfeature"));
}

TEST_F(Device, MalformedBodiesAreAnswered6700WithoutTheCard)
{
    Make();
    const Bytes aBodies[] = {
        {0xA2, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},  // tag
        {0xA1, 0x00, 0x08, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},  // length too big
        {0xA1, 0x00, 0x06, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},  // length too small
        {0xA1, 0x00, 0x00},                                            // empty APDU
        {0xA1},
    };
    for (const Bytes &body : aBodies) {
        ASSERT_EQ(0u, Send(body));
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x67, 0x00, 0x00}), Receive());
    }
    EXPECT_TRUE(card->apdus.empty());
    EXPECT_TRUE(LogHas("t1 BAD request body A2000700A40000023F00, answering 6700"));
}

TEST_F(Device, ShortCardAnswerBecomes6F00)
{
    Make();
    card->answer = {0x90};
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x6F, 0x00, 0x00}), Receive());
}

TEST_F(Device, NewRequestDropsAPartialOne)
{
    Make(33);
    std::vector<Bytes> reports = RequestReports(33, ApduBody(Pattern(60)));
    ASSERT_EQ(3u, reports.size());
    ASSERT_EQ(0u, device->SetFeature(reports[0].data(), reports[0].size()));
    // The host gave up and starts again with a new request.
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    ASSERT_EQ(1u, card->apdus.size());
    EXPECT_EQ(kSelectMf, card->apdus[0]);
    EXPECT_TRUE(LogHas("t1 DROP partial request, 24 bytes"));
    Receive();
}

TEST_F(Device, NewRequestDropsAnUnreadAnswer)
{
    Make();
    card->answer = {0x01, 0x90, 0x00};
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    Poll();  // busy
    card->answer = {0x02, 0x90, 0x00};
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x04, 0x02, 0x90, 0x00, 0x00}), Receive());
    EXPECT_TRUE(LogHas("t1 DROP unread answer"));
}

TEST_F(Device, GetFeatureDuringARequestIsAnEmptyReportAndTheRequestGoesOn)
{
    Make(33);
    std::vector<Bytes> reports = RequestReports(33, ApduBody(Pattern(30)));
    ASSERT_EQ(0u, device->SetFeature(reports[0].data(), reports[0].size()));
    EXPECT_EQ(Bytes(33, 0), Poll());
    ASSERT_EQ(0u, device->SetFeature(reports[1].data(), reports[1].size()));
    EXPECT_EQ(1u, card->apdus.size());
}

// --- plugging, caps, product string -----------------------------------------

TEST_F(Device, UnpluggedDeviceFailsEverything)
{
    Make();
    ASSERT_EQ(0u, Send(ApduBody(kSelectMf)));
    device->Unplug();
    EXPECT_FALSE(device->Plugged());
    Bytes report = RequestReports(65, ApduBody(kSelectMf))[0];
    EXPECT_EQ(emu::kErrorDeviceNotConnected, device->SetFeature(report.data(), report.size()));
    std::uint32_t dwError = 0;
    Poll(&dwError);
    EXPECT_EQ(emu::kErrorDeviceNotConnected, dwError);
    std::uint32_t dwR = 0;
    EXPECT_EQ(emu::kErrorDeviceNotConnected, device->Caps(dwR));
    std::u16string str;
    EXPECT_EQ(emu::kErrorDeviceNotConnected, device->ProductString(256, str));
}

TEST_F(Device, CapsAndProductString)
{
    Make(33);
    std::uint32_t dwR = 0;
    EXPECT_EQ(0u, device->Caps(dwR));
    EXPECT_EQ(33u, dwR);
    std::u16string str;
    EXPECT_EQ(0u, device->ProductString(260, str));
    EXPECT_EQ(u"KAVRU USB KEY_V0100_ID0123456789ABCDEF", str);
    EXPECT_EQ(0u, device->ProductString(9, str));
    EXPECT_EQ(u"KAVR", str);
    EXPECT_EQ(0u, device->ProductString(0, str));
    EXPECT_TRUE(str.empty());
}

TEST_F(Device, ReportLengthIsClamped)
{
    Make(5);
    EXPECT_EQ(emu::kMinReportLength, R());
    Make(100000);
    EXPECT_EQ(emu::kMaxReportLength, R());
}

TEST(NonTokenDevice, HasNoFeatureReportThree)
{
    emu::EmuDeviceSettings settings;
    settings.wVendorId = 0x046D;
    settings.wProductId = 0xC31C;
    EmuHidDevice device("kbd", settings, nullptr, nullptr);
    EXPECT_FALSE(device.IsToken());
    Bytes report = RequestReports(65, ApduBody(kSelectMf))[0];
    EXPECT_EQ(emu::kErrorInvalidFunction, device.SetFeature(report.data(), report.size()));
    Bytes answer;
    EXPECT_EQ(emu::kErrorInvalidFunction, device.GetFeature(report.data(), report.size(), answer));
    std::uint32_t dwR = 0;
    EXPECT_EQ(0u, device.Caps(dwR));
}

// --- the select-only card -------------------------------------------------

struct CardCase {
    Bytes apdu;
    Bytes answer;
};

class SelectOnlyCard : public ::testing::TestWithParam<CardCase> {};

TEST_P(SelectOnlyCard, Answers)
{
    emu::EmuSelectOnlyCard card;
    EXPECT_EQ(GetParam().answer, card.ProcessApdu(GetParam().apdu));
}

INSTANTIATE_TEST_SUITE_P(
    Apdus, SelectOnlyCard,
    ::testing::Values(
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x90, 0x00}},
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x00}, {0x90, 0x00}},
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, {0x90, 0x00}},  // Le
        CardCase{{0x80, 0xA4, 0x01, 0x0C, 0x02, 0x50, 0x00}, {0x90, 0x00}},        // P1 P2
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x01}, {0x6D, 0x00}},        // other id
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x03, 0x3F, 0x00, 0x01}, {0x6D, 0x00}},  // Lc 3
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F}, {0x6D, 0x00}},              // cut
        CardCase{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00, 0x00}, {0x6D, 0x00}},
        CardCase{{0x00, 0xB0, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x6D, 0x00}},        // INS
        CardCase{{0x80, 0xF6, 0x00, 0x00, 0x04}, {0x6D, 0x00}},
        CardCase{{0x00}, {0x6D, 0x00}}, CardCase{{}, {0x6D, 0x00}}));

}  // namespace
