// EmuCardTestSupport.h
//
// Helpers for the card tests: APDUs from hex text, one exchange split into
// data and status word, and the host side of external authentication and
// secure messaging written here with libcrypto (not with the card's code),
// so that the card is checked against an independent counterpart.
#pragma once

#include "EmuCardOs.h"

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

struct SCardAnswer {
    Bytes vbData;
    uint16_t wSw = 0;
};

// "00 A4 00 00 02 3F00" -> bytes (spaces ignored).
Bytes Hex(const char *pszHex);
// Sends one APDU; splits the answer.
SCardAnswer Send(CEmuCardOs &card, const Bytes &vbApdu);
// Sends and returns the status word only.
uint16_t SendSw(CEmuCardOs &card, const char *pszHex);

// Two-key triple DES (ECB or CBC with iv) without padding.
Bytes Des3(bool fCbc, bool fEncrypt, const Bytes &vbKey, const Bytes &vbIv, const Bytes &vbData);
Bytes SmKey();
Bytes ExtAuthKey();

// Selects MF and DF 5000 and authenticates with the issuer key.
void Authenticate(CEmuCardOs &card);
// VERIFY with PIN bytes; the status word.
uint16_t VerifyPin(CEmuCardOs &card, const std::string &strPin);
// A secure-messaging command: header, plain data, the card's 8-byte challenge.
Bytes SmWrap(const Bytes &vbHeader, const Bytes &vbPlain, const Bytes &vbChallenge);
// Fetches a challenge and sends the wrapped command.
SCardAnswer SendSm(CEmuCardOs &card, const Bytes &vbHeader, const Bytes &vbPlain,
                   Bytes *pvbChallenge = nullptr);
// Sends a chained command: CLA INS P1 P2, prefix, chain byte, 128-byte blocks.
SCardAnswer SendChained(CEmuCardOs &card, const Bytes &vbHeader, const Bytes &vbPrefix,
                        const Bytes &vbData, std::vector<SCardAnswer> *pAll = nullptr);
