// EmuScreenText.h
//
// CEmuScreenText: reads back the text a screen shows, for the tests and for
// the keypad holder's "when the screen shows" conditions. Each of the four
// text lines (line k = pages 2k and 2k + 1) has 16 cells of 8 x 16 pixels.
// A cell that is blank reads as a space; a cell equal to an ASCII glyph of
// codes 20-7E of the library's table reads as that character; two cells
// together equal to a glyph of GBK.dat read as that GBK character (turned
// into UTF-8 by the injected converter); anything else reads as '?'. Where
// both cells of a pair are ASCII (or blank) and the pair is also a GBK
// glyph, the ASCII reading wins. The result is UTF-8: four rows separated by
// '\n', each without trailing spaces.
//
// The GBK font is the content of GBK.dat (glyphs stored with the least
// significant bit at the top); without it (or without converter) only ASCII
// is read. Immutable once made, so tokens on several threads may share one.
// Windows-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "EmuScreen.h"

class CEmuScreenText {
public:
    // GBK bytes (one or more pairs) in, UTF-8 out; false when not convertible.
    typedef std::function<bool(const std::string &strGbk, std::string &strUtf8)> GbkToUtf8Fn;

    // ASCII only.
    CEmuScreenText();
    // With the bytes of a GBK.dat (a run of 32-byte glyphs, glyph n at 32n).
    CEmuScreenText(const std::vector<std::uint8_t> &vbGbkFont, GbkToUtf8Fn fnToUtf8);

    // The whole content of a file; false with the reason.
    static bool ReadFile(const std::string &strPath, std::vector<std::uint8_t> &vbContent,
                         std::string &strError);

    // Distinct non-blank GBK glyphs known.
    std::size_t GbkGlyphs() const { return m_gbk.size(); }
    std::string Decode(const CEmuScreen::Frame &frame) const;

private:
    // A cell's 16 bytes (upper page columns, then lower) or a pair's 32
    // (upper left, upper right, lower left, lower right), as a map key.
    static std::string Cell(const CEmuScreen::Frame &frame, unsigned nLine, unsigned nCell);
    static bool Blank(const std::string &strCell);
    // The ASCII character of a cell, or 0.
    char AsciiOf(const std::string &strCell) const;
    std::string DecodeLine(const CEmuScreen::Frame &frame, unsigned nLine) const;

    std::unordered_map<std::string, char> m_ascii;
    std::unordered_map<std::string, std::uint32_t> m_gbk;  // glyph -> glyph number
    GbkToUtf8Fn m_fnToUtf8;
};
