// BaseCmdScreen.cpp
//
// The screen commands of the command set. The token draws no text itself:
// each text line of 16 cells is rendered here into a 256-byte bitmap (ASCII
// from the built-in 8 x 16 font, GBK pairs from the 16 x 16 font file
// GBK.dat) and sent in two parts of 64 columns with the screen command
// 80 52 00 00.
#include "BaseCmd.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "BaseCmdInternal.h"
#include "ResultCodes.h"
#include "ScreenFont.h"
#include "StatusWord.h"

namespace {

const DWORD kLineCells = 16;
const DWORD kLineBitmap = 256;
const DWORD kPartBytes = 128;
const DWORD kScreenBytes = 4 * kLineBitmap;
const DWORD kLastLine = 3;
const BYTE kLeadFirst = 0x80;
// After a lead byte, every byte from here up is its trail byte (GBK trail
// bytes run from 40 to FE).
const BYTE kTrailFirst = 0x40;

// Set by tests: the font file to read in place of the installed one.
std::string g_strGbkOverride;

std::string GbkFontPath()
{
    if (!g_strGbkOverride.empty())
        return g_strGbkOverride;
    char szFolder[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT,
                                szFolder)))
        szFolder[0] = '\0';
    char szPath[MAX_PATH + 64];
    std::snprintf(szPath, sizeof(szPath), "%s\\KQFT\\HRNL\\KQPT20\\GBK.dat", szFolder);
    return szPath;
}

// One 32-byte GBK glyph, bit order turned to the screen's (most significant
// bit at the top). The file is opened for each character; a short read
// leaves the rest zero. False when the pair has no glyph range or the file
// cannot be opened.
bool ReadGbkGlyph(const std::string &strPath, BYTE bLead, BYTE bTrail, BYTE abGlyph[32])
{
    std::uint32_t ulGlyph = 0;
    if (!kqfont::GbkGlyphNumber(bLead, bTrail, ulGlyph))
        return false;
    std::memset(abGlyph, 0, kqfont::GBK_GLYPH_BYTES);
    FILE *pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    if (std::fseek(pFile, static_cast<long>(ulGlyph * kqfont::GBK_GLYPH_BYTES), SEEK_SET) == 0)
        std::fread(abGlyph, 1, kqfont::GBK_GLYPH_BYTES, pFile);
    std::fclose(pFile);
    for (DWORD i = 0; i < kqfont::GBK_GLYPH_BYTES; ++i)
        abGlyph[i] = kqfont::ReverseBits(abGlyph[i]);
    return true;
}

// The 8 upper-page and 8 lower-page columns of text position i in the line
// bitmap: block i / 2, the left or right half of it.
BYTE *UpperCell(BYTE *pbBitmap, DWORD i) { return pbBitmap + (i / 2) * 32 + (i % 2) * 8; }
BYTE *LowerCell(BYTE *pbBitmap, DWORD i) { return UpperCell(pbBitmap, i) + 16; }

}  // namespace

void CBaseCmd::OverrideGbkFontPath(const char *pszPath)
{
    g_strGbkOverride = pszPath != nullptr ? pszPath : "";
}

BOOL CBaseCmd::PacketLineData(const BYTE *pbText, DWORD dwTextLen, BYTE *pbOut, DWORD dwOutLen)
{
    if (pbText == nullptr || pbOut == nullptr || dwTextLen != kLineCells ||
        dwOutLen != kLineBitmap)
        return FALSE;
    const std::string strPath = GbkFontPath();
    BYTE abFont[kqfont::ASCII_FONT_BYTES];
    std::memcpy(abFont, kqfont::AsciiFont(), sizeof(abFont));
    BYTE abBitmap[kLineBitmap] = {0};

    bool bLeadPending = false;
    for (DWORD i = 0; i < kLineCells; ++i) {
        const BYTE b = pbText[i];
        if (bLeadPending && b >= kTrailFirst) {
            BYTE abGlyph[kqfont::GBK_GLYPH_BYTES];
            if (!ReadGbkGlyph(strPath, pbText[i - 1], b, abGlyph))
                return FALSE;
            std::memcpy(UpperCell(abBitmap, i - 1), abGlyph, 8);
            std::memcpy(UpperCell(abBitmap, i), abGlyph + 8, 8);
            std::memcpy(LowerCell(abBitmap, i - 1), abGlyph + 16, 8);
            std::memcpy(LowerCell(abBitmap, i), abGlyph + 24, 8);
            bLeadPending = false;
        } else if (b >= kLeadFirst) {
            // A lead byte: drawn with its trail. A lead byte in the last
            // position leaves that cell blank.
            bLeadPending = true;
        } else {
            // ASCII; a lead byte before it stays pending.
            const BYTE *pbGlyph = abFont + b * kqfont::ASCII_GLYPH_BYTES;
            std::memcpy(UpperCell(abBitmap, i), pbGlyph, 8);
            std::memcpy(LowerCell(abBitmap, i), pbGlyph + 8, 8);
        }
    }
    std::memcpy(pbOut, abBitmap, kLineBitmap);
    return TRUE;
}

DWORD CBaseCmd::ScreenCommand(const std::vector<BYTE> &apdu, const char *pszFailure)
{
    std::vector<BYTE> answer;
    BYTE bSw1 = 0, bSw2 = 0;
    if (!Exchange(apdu, answer, bSw1, bSw2, 0)) {
        CMD_FAIL("%s", pszFailure);
        return KQ_SCARD_E_UNEXPECTED;
    }
    return StatusWordToResult(bSw1, bSw2);
}

DWORD CBaseCmd::ClearScreen()
{
    CCmdTraceScope scope("ClearScreen");
    try {
        return ScreenCommand({0x80, 0x52, 0x00, 0x00, 0x02, 0x00},
                             "[ClearScreen] dwRet != SCARD_S_SUCCESS");
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[ClearScreen]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::DisplayLogo()
{
    CCmdTraceScope scope("DisplayLogo");
    try {
        return ScreenCommand({0x80, 0x52, 0x00, 0x00, 0x02, 0x04},
                             "CBaseCmd::DisplayLogo dwRet != 0");
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::DisplayLogo");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::DisplayPhoto(BYTE bRow, BYTE bColumn, const BYTE *pbPart)
{
    CCmdTraceScope scope("DisplayPhoto");
    try {
        if (pbPart == nullptr) {
            CMD_FAIL("[DisplayPhoto] dwRet != 0");
            return KQ_SCARD_E_UNEXPECTED;
        }
        std::vector<BYTE> apdu = {0x80, 0x52, 0x00, 0x00, 0x83, 0x03, bRow, bColumn};
        apdu.insert(apdu.end(), pbPart, pbPart + kPartBytes);
        return ScreenCommand(apdu, "[DisplayPhoto] dwRet != 0");
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "[DisplayPhoto]");
        return KQ_SCARD_E_UNEXPECTED;
    }
}

DWORD CBaseCmd::DisplayLine(const BYTE *pbText, DWORD dwLen, DWORD dwLineNo)
{
    CCmdTraceScope scope("DisplayLine");
    try {
        if (pbText == nullptr) {
            CMD_FAIL("CBaseCmd::DisplayLine lpbLineData==NULL");
            return 1;
        }
        if (dwLen > kLineCells) {
            CMD_FAIL("CBaseCmd::DisplayLine dwLen>16");
            return 1;
        }
        // Line numbers beyond the last line would put the parts at rows the
        // screen does not have (or, from the low byte, at another line).
        if (dwLineNo > kLastLine) {
            CMD_FAIL("CBaseCmd::DisplayLine dwLineNo>3");
            return 1;
        }
        BYTE abText[kLineCells] = {0};
        if (dwLen > 0)
            std::memcpy(abText, pbText, dwLen);
        BYTE abBitmap[kLineBitmap];
        if (!PacketLineData(abText, kLineCells, abBitmap, kLineBitmap)) {
            CMD_FAIL("CBaseCmd::DisplayLine PacketLineData Failed");
            return 1;
        }
        const BYTE bRow = static_cast<BYTE>(2 * dwLineNo);
        DisplayPhoto(bRow, 0, abBitmap);
        DisplayPhoto(bRow, 64, abBitmap + kPartBytes);
        return 0;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::DisplayLine");
        return 1;
    }
}

DWORD CBaseCmd::SetDisplay(const BYTE *pbLine0, BYTE bLen0, const BYTE *pbLine1, BYTE bLen1,
                           const BYTE *pbLine2, BYTE bLen2, const BYTE *pbLine3, BYTE bLen3,
                           BYTE /*bUnused*/)
{
    CCmdTraceScope scope("SetDisplay");
    try {
        const BYTE *apbLines[4] = {pbLine0, pbLine1, pbLine2, pbLine3};
        const BYTE abLens[4] = {bLen0, bLen1, bLen2, bLen3};
        BYTE abScreen[kScreenBytes];
        for (DWORD n = 0; n < 4; ++n) {
            // A line longer than its 16 cells is refused, never read past.
            if (abLens[n] > kLineCells || (apbLines[n] == nullptr && abLens[n] > 0)) {
                CMD_FAIL("CBaseCmd::SetDisplay dwLen>16");
                return 1;
            }
            BYTE abText[kLineCells] = {0};
            if (abLens[n] > 0)
                std::memcpy(abText, apbLines[n], abLens[n]);
            if (!PacketLineData(abText, kLineCells, abScreen + n * kLineBitmap, kLineBitmap)) {
                CMD_FAIL("CBaseCmd::SetDisplay PacketLineData Failed");
                return 1;
            }
        }
        for (DWORD p = 0; p < 8; ++p)
            DisplayPhoto(static_cast<BYTE>(2 * (p / 2)), static_cast<BYTE>(64 * (p % 2)),
                         abScreen + p * kPartBytes);
        return 0;
    } catch (...) {
        TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CBaseCmd::SetDisplay");
        return 1;
    }
}
