// EmuScreen.h
//
// CEmuScreen: the emulated token's 128 x 64 monochrome screen. A 1024-byte
// framebuffer of 8 pages (8 pixel rows each, page 0 at the top) by 128
// columns; a byte is one column of 8 pixels within a page, the most
// significant bit at the top (byte page * 128 + column).
//
// The screen command's data (after 80 52 00 00 and Lc):
//   02 00                      clear
//   02 04                      show the stored logo
//   83 03 row column + 128     draw a part of 64 columns x 2 pages: 4 blocks
//                              of 32 bytes, block j = columns 16j..16j+15;
//                              bytes 0-7 upper page of its left 8 columns,
//                              8-15 upper page of the right 8, 16-23 and
//                              24-31 the lower page; upper page at page row,
//                              first column at column
// A part that would fall off the screen (row > 6, column > 64) is refused
// with 6A80, a length that fits no form with 6700, other data with 6A80.
//
// The logo is a picture made here ("Kavru USB KEY" in the ASCII font,
// centred, in a frame), shown at power-on and by 02 04.
//
// History: the owner calls Record when the screen may have been looked at
// (a command that is not a screen command, a control request for the
// screen); the current frame is kept then if it was drawn since the last
// record and differs from the last kept one, so a clear and eight parts
// leave one entry, the finished screen. At most 256 entries, the oldest
// dropped. An entry's time is that of the last drawing before it was kept.
// Windows-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class CEmuScreen {
public:
    static const unsigned WIDTH = 128;
    static const unsigned HEIGHT = 64;
    static const unsigned PAGES = 8;
    static const std::size_t FRAME_BYTES = PAGES * WIDTH;  // 1024
    static const std::size_t PART_BYTES = 128;
    static const std::size_t MAX_HISTORY = 256;

    typedef std::array<std::uint8_t, FRAME_BYTES> Frame;
    // Milliseconds since 1970-01-01 UTC.
    typedef std::function<std::uint64_t()> ClockFn;

    struct SEntry {
        std::uint64_t ullTimeMs = 0;
        Frame frame{};
    };

    // An empty clock uses the system clock. The screen starts blank.
    explicit CEmuScreen(ClockFn fnClock = ClockFn());

    // One screen command's data; the status word.
    std::uint16_t Command(const std::vector<std::uint8_t> &vbData);
    void Clear();
    void ShowLogo();
    // Draws a part; false (nothing drawn) when it would fall off the screen.
    bool DrawPart(unsigned nRow, unsigned nColumn, const std::uint8_t *pbPart);

    const Frame &Current() const { return m_frame; }
    // The stored logo.
    static const Frame &Logo();
    // Pixel (x, y) of a frame, y = 0 at the top.
    static bool Lit(const Frame &frame, unsigned x, unsigned y);
    // 64 lines of 128 characters, '#' lit and '.' dark, each ending in '\n'.
    static std::string TextArt(const Frame &frame);

    // Keeps the current frame in the history when the rules above say so.
    void Record();
    const std::deque<SEntry> &History() const { return m_history; }
    void ClearHistory() { m_history.clear(); }

private:
    void Drawn();

    ClockFn m_fnClock;
    Frame m_frame{};
    bool m_fDrawn = false;          // drawn since the last Record
    std::uint64_t m_ullDrawnMs = 0;  // time of the last drawing
    std::deque<SEntry> m_history;
};
