// EmuScreenControl.cpp
#include "EmuScreenControl.h"

#include <cstdio>
#include <fstream>

#include "EmuPng.h"

namespace {

const char kUsage[] =
    "ERR usage: screen <id> [text | png <path> [n] [scale=S] | history [clear]]";

// A decimal number up to nMax; false for anything else.
bool ParseNumber(const std::string &str, unsigned long nMax, unsigned long &nValue)
{
    if (str.empty() || str.size() > 9 || str.find_first_not_of("0123456789") != std::string::npos)
        return false;
    nValue = std::stoul(str);
    return nValue <= nMax;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(long long nDays, long long &nYear, unsigned &nMonth, unsigned &nDay)
{
    nDays += 719468;
    const long long nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const unsigned nDoe = static_cast<unsigned>(nDays - nEra * 146097);
    const unsigned nYoe = (nDoe - nDoe / 1460 + nDoe / 36524 - nDoe / 146096) / 365;
    const unsigned nDoy = nDoe - (365 * nYoe + nYoe / 4 - nYoe / 100);
    const unsigned nMp = (5 * nDoy + 2) / 153;
    nDay = nDoy - (153 * nMp + 2) / 5 + 1;
    nMonth = nMp < 10 ? nMp + 3 : nMp - 9;
    nYear = static_cast<long long>(nYoe) + nEra * 400 + (nMonth <= 2 ? 1 : 0);
}

}  // namespace

std::string CEmuScreenControl::FormatTime(std::uint64_t ullMs)
{
    const std::uint64_t ullSeconds = ullMs / 1000;
    long long nYear = 0;
    unsigned nMonth = 0, nDay = 0;
    CivilFromDays(static_cast<long long>(ullSeconds / 86400), nYear, nMonth, nDay);
    const unsigned nSecondOfDay = static_cast<unsigned>(ullSeconds % 86400);
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", nYear, nMonth, nDay,
                  nSecondOfDay / 3600, nSecondOfDay / 60 % 60, nSecondOfDay % 60,
                  static_cast<unsigned>(ullMs % 1000));
    return sz;
}

std::string CEmuScreenControl::Answer(CEmuScreen &screen, const CEmuScreenText &text,
                                      const std::vector<std::string> &words)
{
    if (words.size() == 2 && words[0] == "history" && words[1] == "clear") {
        screen.ClearHistory();
        return "OK";
    }
    screen.Record();
    if (words.empty())
        return "OK\n" + CEmuScreen::TextArt(screen.Current());
    if (words.size() == 1 && words[0] == "text")
        return "OK\n" + text.Decode(screen.Current());
    if (words.size() == 1 && words[0] == "history")
        return ListHistory(screen, text);
    if (words[0] == "png")
        return WritePng(screen, words);
    return kUsage;
}

std::string CEmuScreenControl::WritePng(CEmuScreen &screen, const std::vector<std::string> &words)
{
    if (words.size() < 2 || words.size() > 4)
        return kUsage;
    const std::string &strPath = words[1];
    unsigned long nScale = CEmuPng::DEFAULT_SCALE;
    bool fEntry = false, fScale = false;
    unsigned long nEntry = 0;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (!fScale && w.compare(0, 6, "scale=") == 0) {
            if (!ParseNumber(w.substr(6), CEmuPng::MAX_SCALE, nScale) || nScale < CEmuPng::MIN_SCALE)
                return "ERR scale must be 1 to 16: " + w;
            fScale = true;
        } else if (!fEntry && !fScale && ParseNumber(w, 0xFFFFFFFFul, nEntry)) {
            fEntry = true;
        } else {
            return kUsage;
        }
    }
    const CEmuScreen::Frame *pFrame = &screen.Current();
    if (fEntry) {
        if (nEntry >= screen.History().size())
            return "ERR no history entry " + std::to_string(nEntry) + " (" +
                   std::to_string(screen.History().size()) + " kept)";
        pFrame = &screen.History()[nEntry].frame;
    }
    const std::vector<std::uint8_t> vbPng = CEmuPng::Screen(*pFrame, static_cast<unsigned>(nScale));
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    if (!file || vbPng.empty() ||
        !file.write(reinterpret_cast<const char *>(vbPng.data()), static_cast<long>(vbPng.size())) ||
        !file.flush())
        return "ERR cannot write " + strPath;
    return "OK " + strPath;
}

std::string CEmuScreenControl::ListHistory(const CEmuScreen &screen, const CEmuScreenText &text)
{
    std::string strAnswer = "OK\n";
    unsigned nIndex = 0;
    for (const CEmuScreen::SEntry &entry : screen.History()) {
        const std::string strText = text.Decode(entry.frame);
        strAnswer += std::to_string(nIndex++) + " " + FormatTime(entry.ullTimeMs) + " " +
                     strText.substr(0, strText.find('\n')) + "\n";
    }
    return strAnswer;
}
