// SmReference.h
//
// An independent computation of the token's secure messaging with
// libcrypto's EVP two-key triple DES, written from the wire rules alone, so
// the tests compare the command layer's bytes with bytes it did not make.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <vector>

namespace smref {

typedef std::vector<std::uint8_t> Bytes;

// Two-key triple DES over whole blocks, no padding; CBC when pIv is given.
inline Bytes Tdes(bool fEncrypt, const std::uint8_t *pKey, const std::uint8_t *pIv,
                  const Bytes &in)
{
    Bytes out(in.size() + 16);
    int nLen = 0, nFinal = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, pIv ? EVP_des_ede_cbc() : EVP_des_ede_ecb(), nullptr, pKey, pIv,
                      fEncrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &nLen, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + nLen, &nFinal);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(nLen + nFinal));
    return out;
}

// L, the data, and 80 00.. to a multiple of 8 unless the block is full.
inline Bytes PlainBlock(const Bytes &data)
{
    Bytes block;
    block.push_back(static_cast<std::uint8_t>(data.size()));
    block.insert(block.end(), data.begin(), data.end());
    if (block.size() % 8 != 0) {
        block.push_back(0x80);
        while (block.size() % 8 != 0)
            block.push_back(0);
    }
    return block;
}

// The 4-byte MAC of a body: padded with 80 00.. (always the 80), CBC under
// the key with the challenge as IV, first 4 bytes of the last block.
inline Bytes Mac(const std::uint8_t *pKey, const Bytes &challenge, const Bytes &body)
{
    Bytes input(body);
    input.push_back(0x80);
    while (input.size() % 8 != 0)
        input.push_back(0);
    const Bytes cipher = Tdes(true, pKey, challenge.data(), input);
    return Bytes(cipher.end() - 8, cipher.end() - 4);
}

// The wrapped command: header, Lc, enciphered block, MAC.
inline Bytes Wrap(const std::uint8_t *pKey, const Bytes &header, const Bytes &data,
                  const Bytes &challenge)
{
    const Bytes block = Tdes(true, pKey, nullptr, PlainBlock(data));
    Bytes body(header);
    body.push_back(static_cast<std::uint8_t>(block.size() + 4));
    body.insert(body.end(), block.begin(), block.end());
    const Bytes mac = Mac(pKey, challenge, body);
    body.insert(body.end(), mac.begin(), mac.end());
    return body;
}

// An enciphered answer as the card sends it: the block of a raw plain
// buffer (not checked: tests build malformed ones too), then 4 MAC bytes.
inline Bytes EncipherAnswer(const std::uint8_t *pKey, const Bytes &rawBlock)
{
    Bytes answer = Tdes(true, pKey, nullptr, rawBlock);
    answer.insert(answer.end(), {0xA5, 0xA5, 0xA5, 0xA5});
    return answer;
}

}  // namespace smref
