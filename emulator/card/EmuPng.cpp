// EmuPng.cpp
#include "EmuPng.h"

#include <cstring>
#include <string>

#include <zlib.h>

namespace {

const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const std::uint8_t kColourPalette = 3;

void PutU32(std::vector<std::uint8_t> &out, std::uint32_t dw)
{
    for (int nShift = 24; nShift >= 0; nShift -= 8)
        out.push_back(static_cast<std::uint8_t>(dw >> nShift));
}

// Length, type, data, CRC of type and data.
void PutChunk(std::vector<std::uint8_t> &out, const char *pszType,
              const std::vector<std::uint8_t> &vbData)
{
    PutU32(out, static_cast<std::uint32_t>(vbData.size()));
    const std::size_t iType = out.size();
    out.insert(out.end(), pszType, pszType + 4);
    out.insert(out.end(), vbData.begin(), vbData.end());
    const uLong ulCrc = crc32(crc32(0L, Z_NULL, 0), out.data() + iType,
                              static_cast<uInt>(out.size() - iType));
    PutU32(out, static_cast<std::uint32_t>(ulCrc));
}

}  // namespace

const CEmuPng::Rgb CEmuPng::INK = {0x1C, 0x24, 0x1C};
const CEmuPng::Rgb CEmuPng::BACKGROUND = {0xC8, 0xD4, 0xB8};

std::vector<std::uint8_t> CEmuPng::Encode(unsigned nWidth, unsigned nHeight,
                                          const std::vector<std::uint8_t> &vbIndices,
                                          const std::vector<Rgb> &palette)
{
    if (nWidth == 0 || nHeight == 0 || nWidth > 1u << 16 || nHeight > 1u << 16 ||
        vbIndices.size() != static_cast<std::size_t>(nWidth) * nHeight || palette.empty() ||
        palette.size() > 256)
        return std::vector<std::uint8_t>();

    // Each scanline: filter type 0, then its indices.
    std::vector<std::uint8_t> vbRaw;
    vbRaw.reserve((nWidth + 1) * static_cast<std::size_t>(nHeight));
    for (unsigned y = 0; y < nHeight; ++y) {
        vbRaw.push_back(0);
        vbRaw.insert(vbRaw.end(), vbIndices.begin() + static_cast<long>(y) * nWidth,
                     vbIndices.begin() + static_cast<long>(y + 1) * nWidth);
    }
    uLongf cbDeflated = compressBound(static_cast<uLong>(vbRaw.size()));
    std::vector<std::uint8_t> vbDeflated(cbDeflated);
    if (compress2(vbDeflated.data(), &cbDeflated, vbRaw.data(), static_cast<uLong>(vbRaw.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return std::vector<std::uint8_t>();
    vbDeflated.resize(cbDeflated);

    std::vector<std::uint8_t> vbHeader;
    PutU32(vbHeader, nWidth);
    PutU32(vbHeader, nHeight);
    vbHeader.push_back(8);  // bit depth
    vbHeader.push_back(kColourPalette);
    vbHeader.push_back(0);  // deflate
    vbHeader.push_back(0);  // adaptive filtering
    vbHeader.push_back(0);  // no interlace
    std::vector<std::uint8_t> vbPalette;
    for (const Rgb &rgb : palette)
        vbPalette.insert(vbPalette.end(), rgb.begin(), rgb.end());

    std::vector<std::uint8_t> vbPng(kSignature, kSignature + sizeof(kSignature));
    PutChunk(vbPng, "IHDR", vbHeader);
    PutChunk(vbPng, "PLTE", vbPalette);
    PutChunk(vbPng, "IDAT", vbDeflated);
    PutChunk(vbPng, "IEND", std::vector<std::uint8_t>());
    return vbPng;
}

std::vector<std::uint8_t> CEmuPng::Screen(const CEmuScreen::Frame &frame, unsigned nScale)
{
    if (nScale < MIN_SCALE || nScale > MAX_SCALE)
        return std::vector<std::uint8_t>();
    const unsigned nWidth = CEmuScreen::WIDTH * nScale;
    const unsigned nHeight = CEmuScreen::HEIGHT * nScale;
    // Palette index 0 is the background, 1 a lit pixel.
    std::vector<std::uint8_t> vbIndices(static_cast<std::size_t>(nWidth) * nHeight);
    for (unsigned y = 0; y < nHeight; ++y)
        for (unsigned x = 0; x < nWidth; ++x)
            vbIndices[static_cast<std::size_t>(y) * nWidth + x] =
                CEmuScreen::Lit(frame, x / nScale, y / nScale) ? 1 : 0;
    return Encode(nWidth, nHeight, vbIndices, {BACKGROUND, INK});
}
