// KQTypes.h
//
// Fixed-width types for the code that must build without <windows.h>
// (parsers, status-word mapping, formatting). The Windows-bound code uses the
// platform's own DWORD/BYTE; these are the same widths.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::uint8_t KQBYTE;
typedef std::uint16_t KQWORD;
typedef std::uint32_t KQDWORD;
