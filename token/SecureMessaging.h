// SecureMessaging.h
//
// The host side of the token's secure messaging, without Windows: the plain
// block (length byte, data, 80 00.. padding), the wrapped command (header,
// Lc, enciphered block, 4-byte MAC over header, Lc and block with the card's
// 8-byte challenge as initial vector) and the checked unwrapping of an
// enciphered answer. The triple-DES operations come from a CSmCipher, so the
// command layer plugs in the outside crypto plug-in and the native tests plug
// in libcrypto; the key stays inside the cipher.
//
// Everything that arrives from the token is length-checked before use: a
// truncated or oddly sized answer, or a length byte pointing past the
// deciphered block, is refused rather than read past its end.
#pragma once

#include <vector>

#include "KQTypes.h"

// Two-key triple DES under the secure-messaging key, in place, over whole
// 8-byte blocks. False when the operation could not be done (then the data
// must not be sent).
class CSmCipher {
public:
    virtual ~CSmCipher() {}
    // ECB; fEncrypt true enciphers, false deciphers.
    virtual bool Ecb(bool fEncrypt, KQBYTE *pbData, KQDWORD dwLen) = 0;
    // CBC encryption with the 8-byte initial vector.
    virtual bool Cbc(KQBYTE *pbData, KQDWORD dwLen, const KQBYTE *pbIv) = 0;
};

const KQDWORD SM_CHALLENGE_LENGTH = 8;
const KQDWORD SM_MAC_LENGTH = 4;
const KQDWORD SM_BLOCK = 8;
// Most data bytes one plain block can state (its length byte).
const KQDWORD SM_MAX_PLAIN = 255;

// Size of the plain block for L data bytes: (L + 8) rounded down to 8.
KQDWORD SmPlainBlockLength(KQDWORD dwDataLen);
// Total length of the wrapped command for a header and L data bytes.
KQDWORD SmWrappedLength(KQDWORD dwHeaderLen, KQDWORD dwDataLen);

// The plain block: L, the L data bytes, then 80 00.. unless L + 1 is already
// a multiple of 8. False for L above 255 or null data with L > 0.
bool SmBuildPlainBlock(const KQBYTE *pbData, KQDWORD dwDataLen, std::vector<KQBYTE> &block);

// The MAC input of a command body: the body, 80, zero bytes up to a multiple
// of 8 (a body already a multiple of 8 gets a whole extra block).
std::vector<KQBYTE> SmMacInput(const std::vector<KQBYTE> &body);

enum SmWrapResult {
    SM_WRAP_OK,
    SM_WRAP_BAD_CHALLENGE,  // challenge length not 8
    SM_WRAP_BAD_LENGTH,     // data too long for one block or for Lc
    SM_WRAP_CIPHER_FAILED,  // the cipher refused: nothing may be sent
};

// Wraps the command: header bytes, Lc = enciphered length + 4, the plain
// block enciphered in ECB, the MAC. Nothing is produced unless SM_WRAP_OK.
SmWrapResult SmWrapCommand(CSmCipher &cipher, const KQBYTE *pbHeader, KQDWORD dwHeaderLen,
                           const KQBYTE *pbData, KQDWORD dwDataLen, const KQBYTE *pbChallenge,
                           KQDWORD dwChallengeLen, std::vector<KQBYTE> &wrapped);

enum SmUnwrapResult {
    SM_UNWRAP_OK,
    SM_UNWRAP_BAD_LENGTH,    // not a whole number of blocks plus the MAC
    SM_UNWRAP_CIPHER_FAILED,
    SM_UNWRAP_BAD_CONTENT,   // the length byte points past the block
};

// Unwraps an enciphered answer (blocks, then the 4-byte MAC, which is not
// checked): the n plain bytes that the first deciphered byte announces.
SmUnwrapResult SmUnwrapAnswer(CSmCipher &cipher, const KQBYTE *pbAnswer, KQDWORD dwLen,
                              std::vector<KQBYTE> &plain);
