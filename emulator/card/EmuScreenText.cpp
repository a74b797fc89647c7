// EmuScreenText.cpp
#include "EmuScreenText.h"

#include <fstream>
#include <iterator>

#include "ScreenFont.h"

namespace {

const unsigned kLines = 4;
const unsigned kCells = 16;

}  // namespace

CEmuScreenText::CEmuScreenText() : CEmuScreenText(std::vector<std::uint8_t>(), GbkToUtf8Fn()) {}

CEmuScreenText::CEmuScreenText(const std::vector<std::uint8_t> &vbGbkFont, GbkToUtf8Fn fnToUtf8)
    : m_fnToUtf8(std::move(fnToUtf8))
{
    const std::uint8_t *pbAscii = kqfont::AsciiFont();
    for (unsigned c = 0x21; c <= 0x7E; ++c) {
        const std::string strGlyph(reinterpret_cast<const char *>(pbAscii) + 16 * c, 16);
        if (!Blank(strGlyph))
            m_ascii.emplace(strGlyph, static_cast<char>(c));
    }
    if (!m_fnToUtf8)
        return;
    const std::size_t cGlyphs = vbGbkFont.size() / kqfont::GBK_GLYPH_BYTES;
    for (std::size_t n = 0; n < cGlyphs; ++n) {
        // In screen bit order; the first of identical glyphs keeps its number.
        std::string strGlyph(kqfont::GBK_GLYPH_BYTES, '\0');
        for (std::size_t i = 0; i < kqfont::GBK_GLYPH_BYTES; ++i)
            strGlyph[i] = static_cast<char>(kqfont::ReverseBits(vbGbkFont[n * kqfont::GBK_GLYPH_BYTES + i]));
        if (!Blank(strGlyph))
            m_gbk.emplace(strGlyph, static_cast<std::uint32_t>(n));
    }
}

bool CEmuScreenText::ReadFile(const std::string &strPath, std::vector<std::uint8_t> &vbContent,
                              std::string &strError)
{
    std::ifstream file(strPath, std::ios::binary);
    if (!file) {
        strError = "cannot open " + strPath;
        return false;
    }
    vbContent.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        strError = "cannot read " + strPath;
        return false;
    }
    return true;
}

std::string CEmuScreenText::Cell(const CEmuScreen::Frame &frame, unsigned nLine, unsigned nCell)
{
    const char *pbFrame = reinterpret_cast<const char *>(frame.data());
    const std::size_t iUpper = 2 * nLine * CEmuScreen::WIDTH + 8 * nCell;
    return std::string(pbFrame + iUpper, 8) + std::string(pbFrame + iUpper + CEmuScreen::WIDTH, 8);
}

bool CEmuScreenText::Blank(const std::string &strCell)
{
    return strCell.find_first_not_of('\0') == std::string::npos;
}

char CEmuScreenText::AsciiOf(const std::string &strCell) const
{
    if (Blank(strCell))
        return ' ';
    const auto it = m_ascii.find(strCell);
    return it == m_ascii.end() ? '\0' : it->second;
}

std::string CEmuScreenText::DecodeLine(const CEmuScreen::Frame &frame, unsigned nLine) const
{
    std::string strLine;
    for (unsigned i = 0; i < kCells;) {
        const std::string strLeft = Cell(frame, nLine, i);
        const char cLeft = AsciiOf(strLeft);
        if (i + 1 < kCells && !m_gbk.empty()) {
            const std::string strRight = Cell(frame, nLine, i + 1);
            const bool fBothAscii = cLeft != '\0' && AsciiOf(strRight) != '\0';
            // The pair in GBK.dat order: upper left, upper right, lower left, lower right.
            const std::string strPair =
                strLeft.substr(0, 8) + strRight.substr(0, 8) + strLeft.substr(8) + strRight.substr(8);
            const auto it = fBothAscii ? m_gbk.end() : m_gbk.find(strPair);
            if (it != m_gbk.end()) {
                std::uint8_t bLead = 0, bTrail = 0;
                std::string strUtf8;
                if (kqfont::GbkPairOfGlyph(it->second, bLead, bTrail) &&
                    m_fnToUtf8(std::string{static_cast<char>(bLead), static_cast<char>(bTrail)},
                               strUtf8) &&
                    !strUtf8.empty())
                    strLine += strUtf8;
                else
                    strLine += '?';
                i += 2;
                continue;
            }
        }
        strLine += cLeft != '\0' ? cLeft : '?';
        ++i;
    }
    const std::size_t nEnd = strLine.find_last_not_of(' ');
    strLine.erase(nEnd == std::string::npos ? 0 : nEnd + 1);
    return strLine;
}

std::string CEmuScreenText::Decode(const CEmuScreen::Frame &frame) const
{
    std::string strText;
    for (unsigned k = 0; k < kLines; ++k) {
        if (k > 0)
            strText += '\n';
        strText += DecodeLine(frame, k);
    }
    return strText;
}
