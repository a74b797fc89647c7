// EmuScreen.cpp
#include "EmuScreen.h"

#include <chrono>
#include <cstring>

#include "EmuCardApdu.h"
#include "ScreenFont.h"

namespace {

const std::uint8_t kOpShort = 0x02;
const std::uint8_t kClear = 0x00;
const std::uint8_t kLogo = 0x04;
const std::uint8_t kOpPart = 0x83;
const std::uint8_t kPartHeader = 0x03;
const unsigned kLastRow = 6;
const unsigned kLastColumn = 64;
const char kLogoText[] = "Kavru USB KEY";

void SetPixel(CEmuScreen::Frame &frame, unsigned x, unsigned y)
{
    frame[(y / 8) * CEmuScreen::WIDTH + x] |= static_cast<std::uint8_t>(0x80 >> (y % 8));
}

CEmuScreen::Frame MakeLogo()
{
    CEmuScreen::Frame frame{};
    // The text on pages 3 and 4, the middle 16 pixel rows, centred across.
    const unsigned nChars = sizeof(kLogoText) - 1;
    const unsigned nLeft = (CEmuScreen::WIDTH - 8 * nChars) / 2;
    for (unsigned i = 0; i < nChars; ++i) {
        const std::uint8_t *pbGlyph =
            kqfont::AsciiFont() + kqfont::ASCII_GLYPH_BYTES * static_cast<unsigned char>(kLogoText[i]);
        std::memcpy(&frame[3 * CEmuScreen::WIDTH + nLeft + 8 * i], pbGlyph, 8);
        std::memcpy(&frame[4 * CEmuScreen::WIDTH + nLeft + 8 * i], pbGlyph + 8, 8);
    }
    // A frame two pixels inside the edge, its corners cut.
    for (unsigned x = 3; x < CEmuScreen::WIDTH - 3; ++x) {
        SetPixel(frame, x, 2);
        SetPixel(frame, x, CEmuScreen::HEIGHT - 3);
    }
    for (unsigned y = 3; y < CEmuScreen::HEIGHT - 3; ++y) {
        SetPixel(frame, 2, y);
        SetPixel(frame, CEmuScreen::WIDTH - 3, y);
    }
    return frame;
}

std::uint64_t SystemMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

CEmuScreen::CEmuScreen(ClockFn fnClock) : m_fnClock(std::move(fnClock))
{
    if (!m_fnClock)
        m_fnClock = SystemMs;
}

const CEmuScreen::Frame &CEmuScreen::Logo()
{
    static const Frame s_logo = MakeLogo();
    return s_logo;
}

std::uint16_t CEmuScreen::Command(const std::vector<std::uint8_t> &vbData)
{
    if (vbData.empty())
        return EmuSw::SW_WRONG_LENGTH;
    if (vbData[0] == kOpShort) {
        if (vbData.size() != 2)
            return EmuSw::SW_WRONG_LENGTH;
        if (vbData[1] == kClear)
            Clear();
        else if (vbData[1] == kLogo)
            ShowLogo();
        else
            return EmuSw::SW_WRONG_DATA;
        return EmuSw::SW_OK;
    }
    if (vbData[0] == kOpPart) {
        if (vbData.size() != 4 + PART_BYTES)
            return EmuSw::SW_WRONG_LENGTH;
        if (vbData[1] != kPartHeader)
            return EmuSw::SW_WRONG_DATA;
        return DrawPart(vbData[2], vbData[3], vbData.data() + 4) ? EmuSw::SW_OK
                                                                 : EmuSw::SW_WRONG_DATA;
    }
    return EmuSw::SW_WRONG_DATA;
}

void CEmuScreen::Clear()
{
    m_frame.fill(0);
    Drawn();
}

void CEmuScreen::ShowLogo()
{
    m_frame = Logo();
    Drawn();
}

bool CEmuScreen::DrawPart(unsigned nRow, unsigned nColumn, const std::uint8_t *pbPart)
{
    if (nRow > kLastRow || nColumn > kLastColumn)
        return false;
    for (unsigned j = 0; j < 4; ++j) {
        const std::uint8_t *pbBlock = pbPart + 32 * j;
        const unsigned nLeft = nColumn + 16 * j;
        // Left 8 columns then right 8, upper page then lower.
        std::memcpy(&m_frame[nRow * WIDTH + nLeft], pbBlock, 8);
        std::memcpy(&m_frame[nRow * WIDTH + nLeft + 8], pbBlock + 8, 8);
        std::memcpy(&m_frame[(nRow + 1) * WIDTH + nLeft], pbBlock + 16, 8);
        std::memcpy(&m_frame[(nRow + 1) * WIDTH + nLeft + 8], pbBlock + 24, 8);
    }
    Drawn();
    return true;
}

void CEmuScreen::Drawn()
{
    m_fDrawn = true;
    m_ullDrawnMs = m_fnClock();
}

bool CEmuScreen::Lit(const Frame &frame, unsigned x, unsigned y)
{
    return (frame[(y / 8) * WIDTH + x] & (0x80 >> (y % 8))) != 0;
}

std::string CEmuScreen::TextArt(const Frame &frame)
{
    std::string strArt;
    strArt.reserve(HEIGHT * (WIDTH + 1));
    for (unsigned y = 0; y < HEIGHT; ++y) {
        for (unsigned x = 0; x < WIDTH; ++x)
            strArt += Lit(frame, x, y) ? '#' : '.';
        strArt += '\n';
    }
    return strArt;
}

void CEmuScreen::Record()
{
    if (!m_fDrawn)
        return;
    m_fDrawn = false;
    if (!m_history.empty() && m_history.back().frame == m_frame)
        return;
    SEntry entry;
    entry.ullTimeMs = m_ullDrawnMs;
    entry.frame = m_frame;
    m_history.push_back(entry);
    if (m_history.size() > MAX_HISTORY)
        m_history.pop_front();
}
