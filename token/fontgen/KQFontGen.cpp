// KQFontGen.cpp
//
// Build-time generator of the token screen's two fonts from GNU Unifont
// (unifont.hex: "CODEPOINT:HEX" lines, 32 hex digits for an 8 x 16 glyph,
// 64 for a 16 x 16 one, one bit a pixel, rows from the top, most significant
// bit leftmost):
//   - the built-in ASCII table as a C++ source defining kqfont::AsciiFont():
//     bytes 0-7 the upper page columns 0-7, bytes 8-15 the lower page, each
//     byte one column, most significant bit at the top;
//   - GBK.dat: 32 bytes a glyph (bytes 0-15 the upper page columns 0-15,
//     16-31 the lower page, least significant bit at the top), glyph n for
//     the GBK pair kqfont::GbkPairOfGlyph(n), mapped to Unicode with iconv.
// A few ASCII glyphs are the token's reference glyphs and are fixed here.
//
// Usage: KQFontGen <unifont.hex> <AsciiFontTable.cpp> <GBK.dat>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ScreenFont.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// The glyph's pixel rows: 16 rows of 8 or 16 bits.
struct SGlyph {
    int nWidth = 0;
    unsigned rows[16] = {0};
};

bool ReadUnifont(const char *pszPath, std::map<unsigned, SGlyph> &glyphs)
{
    std::ifstream in(pszPath);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t nColon = line.find(':');
        if (nColon == std::string::npos)
            continue;
        const unsigned uCode = std::stoul(line.substr(0, nColon), nullptr, 16);
        const std::string hex = line.substr(nColon + 1);
        if (hex.size() != 32 && hex.size() != 64)
            continue;
        SGlyph glyph;
        glyph.nWidth = hex.size() == 32 ? 8 : 16;
        const std::size_t nDigits = glyph.nWidth / 4;
        for (int r = 0; r < 16; ++r)
            glyph.rows[r] = std::stoul(hex.substr(r * nDigits, nDigits), nullptr, 16);
        glyphs[uCode] = glyph;
    }
    return true;
}

bool Lit(const SGlyph &g, int nRow, int nColumn)
{
    return (g.rows[nRow] >> (g.nWidth - 1 - nColumn)) & 1;
}

// One page byte of column c, rows nTop..nTop+7.
unsigned char Column(const SGlyph &g, int nColumn, int nTop, bool bMsbTop)
{
    unsigned char b = 0;
    for (int i = 0; i < 8; ++i)
        if (nColumn < g.nWidth && Lit(g, nTop + i, nColumn))
            b |= bMsbTop ? static_cast<unsigned char>(0x80 >> i) : static_cast<unsigned char>(1 << i);
    return b;
}

Bytes AsciiTable(const std::map<unsigned, SGlyph> &glyphs)
{
    Bytes table(kqfont::ASCII_FONT_BYTES, 0);
    for (unsigned c = 0x21; c < 0x7F; ++c) {
        auto it = glyphs.find(c);
        if (it == glyphs.end())
            continue;
        for (int x = 0; x < 8; ++x) {
            table[16 * c + x] = Column(it->second, x, 0, true);
            table[16 * c + 8 + x] = Column(it->second, x, 8, true);
        }
    }
    // The token's reference glyphs.
    static const struct {
        unsigned c;
        unsigned char ab[16];
    } kFixed[] = {
        {0x00, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x01, 0x01}},
        {0x20, {0}},
        {0x30, {0x00, 0x07, 0x08, 0x10, 0x10, 0x08, 0x07, 0x00, 0x00, 0xF0, 0x08, 0x04, 0x04, 0x08,
                0xF0, 0x00}},
        {0x31, {0x00, 0x08, 0x08, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04, 0xFC, 0x04, 0x04,
                0x00, 0x00}},
        {0x41, {0x00, 0x00, 0x03, 0x1C, 0x07, 0x00, 0x00, 0x00, 0x04, 0x3C, 0xC4, 0x40, 0x40, 0xE4,
                0x1C, 0x04}},
    };
    for (const auto &f : kFixed)
        std::memcpy(&table[16 * f.c], f.ab, 16);
    return table;
}

// The Unicode code point of a GBK pair, or 0.
unsigned GbkToUnicode(iconv_t cd, unsigned char bLead, unsigned char bTrail)
{
    char in[2] = {static_cast<char>(bLead), static_cast<char>(bTrail)};
    unsigned char out[8] = {0};
    char *pIn = in, *pOut = reinterpret_cast<char *>(out);
    size_t nIn = 2, nOut = sizeof(out);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &pIn, &nIn, &pOut, &nOut) == static_cast<size_t>(-1) || sizeof(out) - nOut != 4)
        return 0;
    return static_cast<unsigned>(out[0]) << 24 | out[1] << 16 | out[2] << 8 | out[3];
}

Bytes GbkFont(const std::map<unsigned, SGlyph> &glyphs, iconv_t cd)
{
    Bytes font(kqfont::GBK_GLYPH_COUNT * kqfont::GBK_GLYPH_BYTES, 0);
    for (std::uint32_t n = 0; n < kqfont::GBK_GLYPH_COUNT; ++n) {
        std::uint8_t bLead = 0, bTrail = 0;
        if (!kqfont::GbkPairOfGlyph(n, bLead, bTrail))
            continue;
        const unsigned uCode = GbkToUnicode(cd, bLead, bTrail);
        auto it = uCode ? glyphs.find(uCode) : glyphs.end();
        if (it == glyphs.end())
            continue;
        unsigned char *pb = &font[n * kqfont::GBK_GLYPH_BYTES];
        for (int x = 0; x < 16; ++x) {
            pb[x] = Column(it->second, x, 0, false);
            pb[16 + x] = Column(it->second, x, 8, false);
        }
    }
    return font;
}

bool WriteFile(const char *pszPath, const std::string &strText)
{
    std::ofstream out(pszPath, std::ios::binary);
    out << strText;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: KQFontGen <unifont.hex> <ascii.cpp> <GBK.dat>\n");
        return 2;
    }
    std::map<unsigned, SGlyph> glyphs;
    if (!ReadUnifont(argv[1], glyphs) || glyphs.empty()) {
        std::fprintf(stderr, "KQFontGen: cannot read %s\n", argv[1]);
        return 1;
    }
    const Bytes ascii = AsciiTable(glyphs);
    std::string strSource =
        "// Generated at build time from GNU Unifont; do not edit.\n"
        "#include \"ScreenFont.h\"\n\nnamespace {\nconst std::uint8_t kAsciiFont[] = {\n";
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        char sz[8];
        std::snprintf(sz, sizeof(sz), "0x%02X,%s", ascii[i], i % 16 == 15 ? "\n" : " ");
        strSource += sz;
    }
    strSource += "};\n}  // namespace\n\nconst std::uint8_t *kqfont::AsciiFont() { return kAsciiFont; }\n";
    if (!WriteFile(argv[2], strSource)) {
        std::fprintf(stderr, "KQFontGen: cannot write %s\n", argv[2]);
        return 1;
    }
    iconv_t cd = iconv_open("UCS-4BE", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "KQFontGen: iconv has no GBK\n");
        return 1;
    }
    const Bytes gbk = GbkFont(glyphs, cd);
    iconv_close(cd);
    if (!WriteFile(argv[3], std::string(gbk.begin(), gbk.end()))) {
        std::fprintf(stderr, "KQFontGen: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
