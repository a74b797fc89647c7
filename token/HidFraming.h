// HidFraming.h
//
// The token's HID wire format, host side: an exchange's request cut into
// feature reports (report id 3), answer reports put back together, and the
// APDU body (0xA1, length, APDU) wrapped and its answer unwrapped. Windows-
// free, so the transport's framing is also tested under the sanitizers; the
// HID manager sends and reads what this builds.
//
// Request report: [3][more][code][remaining hi][remaining lo][n hi][n lo][0]
// then n data bytes; answer report: [more][m][busy 0xFF][5 bytes] then m
// data bytes. Every report is R bytes (FeatureReportByteLength) and carries at
// most C = R - 9 data bytes.
#pragma once

#include <cstddef>
#include <vector>

#include "KQTypes.h"

const KQBYTE HID_REPORT_ID = 3;
const KQBYTE HID_COMMAND_APDU = 0x0C;
const KQBYTE HID_APDU_TAG = 0xA1;
const KQDWORD HID_DATA_OFFSET = 8;
// The smallest report that carries one data byte.
const KQDWORD HID_MIN_REPORT_LENGTH = 10;
// Requests are 1 to 256 bytes; the APDU body adds 3 bytes to the APDU.
const KQDWORD HID_MAX_REQUEST = 256;
const KQDWORD HID_MAX_APDU = HID_MAX_REQUEST - 3;
// The answer area: an answer of more bytes is refused.
const KQDWORD HID_MAX_ANSWER = 1024;
const KQBYTE HID_BUSY = 0xFF;

// Data bytes a report of dwReportLength carries (0 when too short).
KQDWORD HidChunkSize(KQDWORD dwReportLength);

// Cuts a request of dwLength bytes into reports of dwReportLength bytes.
// False (nothing built) for a report length under 10, or a request of 0 or
// more than 256 bytes.
bool BuildRequestReports(KQDWORD dwReportLength, const KQBYTE *pbRequest, KQDWORD dwLength,
                         KQBYTE bCommand, std::vector<std::vector<KQBYTE>> &reports);

enum HidAnswerReport {
    HID_ANSWER_BUSY,  // no data; poll again after the busy wait
    HID_ANSWER_MORE,  // data taken; poll again at once
    HID_ANSWER_LAST,  // data taken; the answer is complete
};

// Takes one answer report: a busy report adds nothing; any other adds
// min(byte 1, C) bytes to answer.
HidAnswerReport TakeAnswerReport(const KQBYTE *pbReport, KQDWORD dwReportLength,
                                 std::vector<KQBYTE> &answer);

// The request body of an APDU: 0xA1, length (big-endian), APDU. False for an
// empty APDU or one of more than 253 bytes.
bool WrapApdu(const KQBYTE *pbApdu, KQDWORD dwApduLength, std::vector<KQBYTE> &body);

enum HidUnwrapResult {
    HID_UNWRAP_OK,
    HID_UNWRAP_SHORT,        // fewer than 3 bytes received
    HID_UNWRAP_ZERO_LENGTH,  // length field D is 0
    HID_UNWRAP_BAD_LENGTH,   // D under 3, or D beyond the bytes received
};

// Unwraps an answer body of dwLength bytes: the status word from its third-
// and second-to-last bytes, the response data bytes 3 to D-1.
HidUnwrapResult UnwrapAnswer(const KQBYTE *pbAnswer, KQDWORD dwLength, KQWORD *pwSw,
                             KQDWORD *pdwDataOffset, KQDWORD *pdwDataLength);
