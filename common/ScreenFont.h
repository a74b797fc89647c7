// ScreenFont.h
//
// The two fonts of the token's 128 x 64 screen, shared by the library that
// renders text lines and by the emulator that reads them back.
//
// ASCII: 128 glyphs of 16 bytes, 8 x 16 pixels, in code order (glyph c at
// byte 16 * c); bytes 0-7 are the upper page (columns 0 to 7), bytes 8-15 the
// lower page, each byte one column with its most significant bit at the top.
// The table is generated at build time from a system font package.
//
// GBK: the font file "GBK.dat", a run of 32-byte glyphs of 16 x 16 pixels
// (bytes 0-15 the upper page, columns 0 to 15; bytes 16-31 the lower page;
// least significant bit at the top), glyph n at file offset 32 * n. Which
// glyph a lead/trail byte pair uses follows the lead byte's range.
//
// Windows-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kqfont {

const std::size_t ASCII_GLYPH_BYTES = 16;
const std::size_t ASCII_FONT_BYTES = 128 * ASCII_GLYPH_BYTES;  // 2048
const std::size_t GBK_GLYPH_BYTES = 32;
// Glyphs in GBK.dat: every glyph number a lead byte 81-FE with its canonical
// trail bytes can give.
const std::uint32_t GBK_GLYPH_COUNT = 21457 + 7 * 97;  // 22136

// The built-in ASCII table (ASCII_FONT_BYTES bytes).
const std::uint8_t *AsciiFont();

// Glyph number of a GBK pair. False for a lead byte without a glyph range
// (below 81, and FF). No range test is made on the trail byte, so a number
// may lie beyond the file (the reader then gets zero bytes).
bool GbkGlyphNumber(std::uint8_t bLead, std::uint8_t bTrail, std::uint32_t &ulGlyph);

// The pair whose glyph this is, with the trail byte in the range the lead
// byte's row uses (40-FE, A1-FE, 40-EF or 40-A0). False beyond the last
// glyph.
bool GbkPairOfGlyph(std::uint32_t ulGlyph, std::uint8_t &bLead, std::uint8_t &bTrail);

// A GBK.dat byte in the screen's bit order (and back): the bits reversed,
// least significant at the top becoming most significant at the top.
inline std::uint8_t ReverseBits(std::uint8_t b)
{
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

}  // namespace kqfont
