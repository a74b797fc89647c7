// EmuCardRsa.h
//
// CEmuCardRsa: the card's RSA engine on the contents of its key files, with
// libcrypto (EVP key generation, BN arithmetic for the raw operations: the
// card never pads, the host builds every block).
//
// Key file contents (the same bytes whether generated on the card or
// imported, all numbers big-endian):
//   public-key file:  [n + 4 (4 bytes)][e (4 bytes)][modulus, n bytes]
//   private-key file: [5h (4 bytes)][p][q][d mod (p-1)][d mod (q-1)][q^-1 mod p],
//                     h = n / 2 bytes each (the private exponent is not kept;
//                     private operations use the CRT).
// The export record is [e (4 bytes)][modulus]. A host's public key is kept
// in a transparent file in the public-key file format, zero-filled after it.
#pragma once

#include <cstdint>
#include <vector>

class CEmuCardRsa {
public:
    // Generates a key pair of 512, 1024 or 2048 bits into both file contents.
    static bool Generate(unsigned uBits, std::vector<uint8_t> &vbPublic,
                         std::vector<uint8_t> &vbPrivate);
    // True when the bytes are a well-formed public-key file content.
    static bool IsValidPublic(const std::vector<uint8_t> &vbPublic);
    // True when the bytes are a consistent private-key file content.
    static bool IsValidPrivate(const std::vector<uint8_t> &vbPrivate);
    // The export record of a valid public-key file.
    static std::vector<uint8_t> ExportRecord(const std::vector<uint8_t> &vbPublic);

    // Raw public operation (in^e mod n), answer as long as the modulus.
    // Status word: 9000, 6700 input longer than the modulus, 6A80 input >= n.
    static uint16_t PublicOp(const std::vector<uint8_t> &vbPublic,
                             const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut);
    // The public-key file content at the start of a host-key file; false
    // when the file holds no well-formed key.
    static bool HostKeyFromFile(const std::vector<uint8_t> &vbFile,
                                std::vector<uint8_t> &vbPublic);
    // PKCS #1 v1.5 encryption (block type 2, random non-zero padding) under
    // a public-key file content. 6700 when the input is longer than the
    // modulus less 11 bytes.
    static uint16_t EncryptPkcs1(const std::vector<uint8_t> &vbPublic,
                                 const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut);
    // Raw private operation (in^d mod n by the CRT), same status words.
    static uint16_t PrivateOp(const std::vector<uint8_t> &vbPrivate,
                              const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut);
};
