// EmuCardSecurity.h
//
// CEmuCardSecurity: the card's security state for the current directory
// selection (external authentication done, PIN verified), its pending
// challenge, and the card's side of external authentication and secure
// messaging. SEmuPin is the holder's PIN with its retry counter.
//
// Where only the host side is fixed, the card is its exact counterpart:
// - GET CHALLENGE (80 84 00 00 Le, Le 8 or 16) leaves one pending challenge.
//   It is single use: the next EXTERNAL AUTHENTICATE or secure-messaging
//   command consumes it whatever its result; a second attempt gets 6985.
// - EXTERNAL AUTHENTICATE (00 82 00 01 10 + 16 bytes) needs a pending 16-byte
//   challenge and checks the data against the challenge enciphered with
//   two-key triple DES in ECB under the external-authentication key
//   (GetExtAuthKey); wrong gives 6300. It is what allows writes.
// - Secure-messaging commands (CLA 84, Lc = block + 4) need a pending 8-byte
//   challenge. The card computes the MAC over CLA INS P1 P2 Lc and the
//   enciphered block, padded with 80 00.. to a multiple of 8 (always at least
//   the 80), two-key triple DES in CBC under the secure-messaging key
//   (GetSmKey) with the challenge as initial vector, first 4 bytes of the last
//   block; a mismatch gives 6988. The block deciphers (ECB) to a length byte L,
//   L data bytes and the 80 00.. padding (none when L + 1 is a multiple of 8).
// - An enciphered answer is built the same way: the plain block enciphered in
//   ECB, then a 4-byte MAC over that block by the same rule with the command's
//   challenge as initial vector (the library drops it unchecked). A command
//   that sends nothing enciphered but answers so (KEY IN END) takes the
//   pending 8-byte challenge for its answer alone.
// Both flags drop on every directory selection; the challenge does not.
#pragma once

#include "EmuCardApdu.h"

#include <cstdint>
#include <vector>

struct SEmuPin {
    std::vector<uint8_t> vbPin;  // empty: the token has no PIN (blank)
    uint8_t bMaxTries = 0;
    uint8_t bTriesLeft = 0;
};

class CEmuCardSecurity {
public:
    // Drops both flags (power-on and every directory selection).
    void ResetFlags();
    // Power-on: flags and the pending challenge.
    void PowerOn();

    // A fresh random challenge of cb bytes, which becomes the pending one.
    std::vector<uint8_t> NewChallenge(size_t cb);
    // Checks the host's cryptogram; consumes the challenge first.
    uint16_t ExternalAuthenticate(const SEmuApdu &apdu);
    // Checks and deciphers a secure-messaging command; consumes the challenge.
    uint16_t UnwrapCommand(const SEmuApdu &apdu, std::vector<uint8_t> &vbPlain);
    // Consumes the pending challenge as the answer's initial vector, for a
    // plain command with an enciphered answer; 6985 unless it had 8 bytes.
    uint16_t TakeAnswerChallenge();
    // The enciphered answer (block and MAC) for the last unwrapped command.
    std::vector<uint8_t> WrapAnswer(const std::vector<uint8_t> &vbPlain) const;

    bool IsAuthenticated() const { return m_fAuthenticated; }
    bool IsPinVerified() const { return m_fPinVerified; }

    // VERIFY with PIN bytes: 9000 and the flag set, 63Cx, or 6983 when locked.
    uint16_t VerifyPin(SEmuPin &pin, const std::vector<uint8_t> &vbGiven);

    // Two-key triple DES over whole 8-byte blocks; false on a bad length.
    static bool TripleDesEcb(bool fEncrypt, const uint8_t *pbKey, std::vector<uint8_t> &vbData);
    // DES (8-byte key), two-key or three-key triple DES (16 or 24 bytes) in
    // ECB over whole 8-byte blocks; false for another key or data length.
    static bool DesEcb(bool fEncrypt, const std::vector<uint8_t> &vbKey,
                       std::vector<uint8_t> &vbData);
    // Overwrites secret bytes and empties the vector.
    static void Wipe(std::vector<uint8_t> &vb);
    // The 4-byte MAC of body under key with the 8-byte initial vector.
    static std::vector<uint8_t> ComputeMac(const uint8_t *pbKey, const uint8_t *pbIv,
                                           const std::vector<uint8_t> &vbBody);

private:
    std::vector<uint8_t> m_vbChallenge;  // pending, empty when none
    std::vector<uint8_t> m_vbAnswerIv;   // challenge of the last unwrapped command
    bool m_fAuthenticated = false;
    bool m_fPinVerified = false;
};
