// EmuPng.h
//
// CEmuPng: a small PNG writer for pictures of the token's screen, on zlib's
// deflate and CRC-32 (no image library). Images are 8-bit palette images
// (colour type 3), one filter-free scanline after another.
// Windows-free.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "EmuScreen.h"

class CEmuPng {
public:
    typedef std::array<std::uint8_t, 3> Rgb;

    static const unsigned MIN_SCALE = 1;
    static const unsigned MAX_SCALE = 16;
    static const unsigned DEFAULT_SCALE = 4;
    // The screen's two colours, like a reflective LCD: lit pixels dark on a
    // light background.
    static const Rgb INK;
    static const Rgb BACKGROUND;

    // A palette image: width * height indices into the palette (at most 256
    // colours). Empty on failure (bad sizes, deflate error).
    static std::vector<std::uint8_t> Encode(unsigned nWidth, unsigned nHeight,
                                            const std::vector<std::uint8_t> &vbIndices,
                                            const std::vector<Rgb> &palette);
    // A screen frame, each pixel drawn as nScale x nScale (MIN..MAX_SCALE).
    static std::vector<std::uint8_t> Screen(const CEmuScreen::Frame &frame, unsigned nScale);
};
