// HidFraming.cpp
#include "HidFraming.h"

#include <algorithm>

KQDWORD HidChunkSize(KQDWORD dwReportLength)
{
    return dwReportLength < HID_MIN_REPORT_LENGTH ? 0 : dwReportLength - 9;
}

bool BuildRequestReports(KQDWORD dwReportLength, const KQBYTE *pbRequest, KQDWORD dwLength,
                         KQBYTE bCommand, std::vector<std::vector<KQBYTE>> &reports)
{
    reports.clear();
    const KQDWORD dwChunk = HidChunkSize(dwReportLength);
    if (dwChunk == 0 || pbRequest == nullptr || dwLength == 0 || dwLength > HID_MAX_REQUEST)
        return false;
    KQDWORD dwSent = 0;
    while (dwSent < dwLength) {
        const KQDWORD dwLeft = dwLength - dwSent;
        const KQDWORD dwCount = std::min(dwLeft, dwChunk);
        std::vector<KQBYTE> report(dwReportLength, 0);
        report[0] = HID_REPORT_ID;
        report[1] = dwLeft > dwChunk ? 1 : 0;
        report[2] = bCommand;
        report[3] = static_cast<KQBYTE>(dwLeft >> 8);
        report[4] = static_cast<KQBYTE>(dwLeft);
        report[5] = static_cast<KQBYTE>(dwCount >> 8);
        report[6] = static_cast<KQBYTE>(dwCount);
        std::copy(pbRequest + dwSent, pbRequest + dwSent + dwCount,
                  report.begin() + HID_DATA_OFFSET);
        reports.push_back(report);
        dwSent += dwCount;
    }
    return true;
}

HidAnswerReport TakeAnswerReport(const KQBYTE *pbReport, KQDWORD dwReportLength,
                                 std::vector<KQBYTE> &answer)
{
    if (pbReport[2] == HID_BUSY)
        return HID_ANSWER_BUSY;
    const KQDWORD dwCount = std::min<KQDWORD>(pbReport[1], HidChunkSize(dwReportLength));
    answer.insert(answer.end(), pbReport + HID_DATA_OFFSET, pbReport + HID_DATA_OFFSET + dwCount);
    return pbReport[0] != 0 ? HID_ANSWER_MORE : HID_ANSWER_LAST;
}

bool WrapApdu(const KQBYTE *pbApdu, KQDWORD dwApduLength, std::vector<KQBYTE> &body)
{
    body.clear();
    if (pbApdu == nullptr || dwApduLength == 0 || dwApduLength > HID_MAX_APDU)
        return false;
    body.reserve(dwApduLength + 3);
    body.push_back(HID_APDU_TAG);
    body.push_back(static_cast<KQBYTE>(dwApduLength >> 8));
    body.push_back(static_cast<KQBYTE>(dwApduLength));
    body.insert(body.end(), pbApdu, pbApdu + dwApduLength);
    return true;
}

HidUnwrapResult UnwrapAnswer(const KQBYTE *pbAnswer, KQDWORD dwLength, KQWORD *pwSw,
                             KQDWORD *pdwDataOffset, KQDWORD *pdwDataLength)
{
    if (dwLength < 3)
        return HID_UNWRAP_SHORT;
    const KQDWORD dwField = (static_cast<KQDWORD>(pbAnswer[1]) << 8) | pbAnswer[2];
    if (dwField == 0)
        return HID_UNWRAP_ZERO_LENGTH;
    if (dwField < 3 || dwField > dwLength)
        return HID_UNWRAP_BAD_LENGTH;
    *pwSw = static_cast<KQWORD>((pbAnswer[dwLength - 3] << 8) | pbAnswer[dwLength - 2]);
    *pdwDataOffset = 3;
    *pdwDataLength = dwField - 3;
    return HID_UNWRAP_OK;
}
