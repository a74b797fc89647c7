// EmuText.h
//
// Small text helpers of the emulator core: hex dumps for the APDU log, the
// natural order of device ids (bus order), number parsing for control
// commands, and UTF-8 to UTF-16 for product strings. Windows-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// Upper-case hex, two digits a byte, no separators ("00A40000023F00").
std::string HexString(const std::uint8_t *pb, std::size_t n);
std::string HexString(const std::vector<std::uint8_t> &bytes);

// Natural order: digit runs compare by value ("t2" < "t10"), the rest byte
// by byte; ties broken by the plain byte order so that the order is total.
bool NaturalLess(const std::string &a, const std::string &b);

// ASCII case-insensitive equality (device paths, as CreateFile compares them).
bool EqualNoCase(const std::string &a, const std::string &b);
std::string ToLowerAscii(std::string s);
std::string ToUpperAscii(std::string s);

// Whole-string unsigned decimal or hex (no sign, no prefix) within
// [0, nMax]; false for anything else.
bool ParseDecimal(const std::string &s, std::uint32_t nMax, std::uint32_t &nValue);
bool ParseHex(const std::string &s, std::uint32_t nMax, std::uint32_t &nValue);

// UTF-8 to UTF-16 code units; a byte that does not start a valid sequence
// stands for itself (Latin-1), so any input converts.
std::u16string Utf8ToUtf16(const std::string &s);

}  // namespace emu
