// SecureMessaging.cpp
#include "SecureMessaging.h"

namespace {

// Overwrites a buffer that held plain data, in a way the compiler keeps.
void Wipe(std::vector<KQBYTE> &data)
{
    volatile KQBYTE *pb = data.data();
    for (std::size_t i = 0; i < data.size(); ++i)
        pb[i] = 0;
}

}  // namespace

KQDWORD SmPlainBlockLength(KQDWORD dwDataLen) { return (dwDataLen + SM_BLOCK) / SM_BLOCK * SM_BLOCK; }

KQDWORD SmWrappedLength(KQDWORD dwHeaderLen, KQDWORD dwDataLen)
{
    return dwHeaderLen + 1 + SmPlainBlockLength(dwDataLen) + SM_MAC_LENGTH;
}

bool SmBuildPlainBlock(const KQBYTE *pbData, KQDWORD dwDataLen, std::vector<KQBYTE> &block)
{
    if (dwDataLen > SM_MAX_PLAIN || (pbData == nullptr && dwDataLen > 0))
        return false;
    block.assign(SmPlainBlockLength(dwDataLen), 0);
    block[0] = static_cast<KQBYTE>(dwDataLen);
    for (KQDWORD i = 0; i < dwDataLen; ++i)
        block[1 + i] = pbData[i];
    // With L + 1 a multiple of 8 the block is full and carries no padding.
    if ((dwDataLen + 1) % SM_BLOCK != 0)
        block[1 + dwDataLen] = 0x80;
    return true;
}

std::vector<KQBYTE> SmMacInput(const std::vector<KQBYTE> &body)
{
    std::vector<KQBYTE> input(body);
    input.push_back(0x80);
    while (input.size() % SM_BLOCK != 0)
        input.push_back(0);
    return input;
}

SmWrapResult SmWrapCommand(CSmCipher &cipher, const KQBYTE *pbHeader, KQDWORD dwHeaderLen,
                           const KQBYTE *pbData, KQDWORD dwDataLen, const KQBYTE *pbChallenge,
                           KQDWORD dwChallengeLen, std::vector<KQBYTE> &wrapped)
{
    wrapped.clear();
    if (pbChallenge == nullptr || dwChallengeLen != SM_CHALLENGE_LENGTH)
        return SM_WRAP_BAD_CHALLENGE;
    if (pbHeader == nullptr && dwHeaderLen > 0)
        return SM_WRAP_BAD_LENGTH;
    std::vector<KQBYTE> block;
    if (!SmBuildPlainBlock(pbData, dwDataLen, block))
        return SM_WRAP_BAD_LENGTH;
    // Lc states the block and the MAC in one byte.
    if (block.size() + SM_MAC_LENGTH > 0xFF) {
        Wipe(block);
        return SM_WRAP_BAD_LENGTH;
    }
    if (!cipher.Ecb(true, block.data(), static_cast<KQDWORD>(block.size()))) {
        Wipe(block);
        return SM_WRAP_CIPHER_FAILED;
    }

    std::vector<KQBYTE> body(pbHeader, pbHeader + dwHeaderLen);
    body.push_back(static_cast<KQBYTE>(block.size() + SM_MAC_LENGTH));
    body.insert(body.end(), block.begin(), block.end());

    std::vector<KQBYTE> mac = SmMacInput(body);
    if (!cipher.Cbc(mac.data(), static_cast<KQDWORD>(mac.size()), pbChallenge))
        return SM_WRAP_CIPHER_FAILED;
    const std::size_t nLast = mac.size() - SM_BLOCK;
    body.insert(body.end(), mac.begin() + nLast, mac.begin() + nLast + SM_MAC_LENGTH);
    wrapped.swap(body);
    return SM_WRAP_OK;
}

SmUnwrapResult SmUnwrapAnswer(CSmCipher &cipher, const KQBYTE *pbAnswer, KQDWORD dwLen,
                              std::vector<KQBYTE> &plain)
{
    plain.clear();
    if (pbAnswer == nullptr || dwLen < SM_BLOCK + SM_MAC_LENGTH ||
        (dwLen - SM_MAC_LENGTH) % SM_BLOCK != 0)
        return SM_UNWRAP_BAD_LENGTH;
    std::vector<KQBYTE> block(pbAnswer, pbAnswer + (dwLen - SM_MAC_LENGTH));
    if (!cipher.Ecb(false, block.data(), static_cast<KQDWORD>(block.size()))) {
        Wipe(block);
        return SM_UNWRAP_CIPHER_FAILED;
    }
    const KQDWORD dwPlain = block[0];
    if (dwPlain > block.size() - 1) {
        Wipe(block);
        return SM_UNWRAP_BAD_CONTENT;
    }
    plain.assign(block.begin() + 1, block.begin() + 1 + dwPlain);
    Wipe(block);
    return SM_UNWRAP_OK;
}
