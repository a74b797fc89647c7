// ScreenFont.cpp
//
// The GBK glyph numbering shared by the renderer, the font generator and the
// emulator. The ASCII table itself is generated at build time.
#include "ScreenFont.h"

namespace kqfont {

namespace {

// One row of lead bytes: its first and last lead byte, the glyphs a lead
// byte takes, the first trail byte of its numbering and the number of its
// first glyph.
struct SLeadRange {
    std::uint8_t bFirst, bLast;
    std::uint32_t ulPerLead;
    std::uint8_t bTrailBase;
    std::uint32_t ulBase;
};

const SLeadRange kRanges[] = {
    {0x81, 0xA0, 191, 0x40, 0},    {0xA1, 0xA7, 94, 0xA1, 6112},
    {0xA8, 0xA9, 176, 0x40, 6770}, {0xAA, 0xAF, 97, 0x40, 7123},
    {0xB0, 0xF7, 191, 0x40, 7705}, {0xF8, 0xFE, 97, 0x40, 21457},
};

}  // namespace

bool GbkGlyphNumber(std::uint8_t bLead, std::uint8_t bTrail, std::uint32_t &ulGlyph)
{
    for (const SLeadRange &r : kRanges) {
        if (bLead < r.bFirst || bLead > r.bLast)
            continue;
        // Trail bytes below 40 are never trail bytes; for the rows numbered
        // from A1 a trail byte 40-A0 gives a smaller number, never a
        // negative one.
        const std::int32_t nGlyph = static_cast<std::int32_t>((bLead - r.bFirst) * r.ulPerLead) +
                                    (bTrail - r.bTrailBase) + static_cast<std::int32_t>(r.ulBase);
        if (bTrail < 0x40 || nGlyph < 0)
            return false;
        ulGlyph = static_cast<std::uint32_t>(nGlyph);
        return true;
    }
    return false;
}

bool GbkPairOfGlyph(std::uint32_t ulGlyph, std::uint8_t &bLead, std::uint8_t &bTrail)
{
    for (const SLeadRange &r : kRanges) {
        const std::uint32_t ulCount = (r.bLast - r.bFirst + 1u) * r.ulPerLead;
        if (ulGlyph < r.ulBase || ulGlyph >= r.ulBase + ulCount)
            continue;
        const std::uint32_t ulIndex = ulGlyph - r.ulBase;
        bLead = static_cast<std::uint8_t>(r.bFirst + ulIndex / r.ulPerLead);
        bTrail = static_cast<std::uint8_t>(r.bTrailBase + ulIndex % r.ulPerLead);
        return true;
    }
    return false;
}

}  // namespace kqfont
