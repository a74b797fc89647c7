// EmulatorPreload.h
//
// What the emulator's log shows of the file cache's preload on an issued
// token: the APDUs as hex text, and the check that a list of logged APDUs
// starts with them. The issued token's key-set directory is EF 5032 and
// record i names the container-name file 5040 + i.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Beginnings of the preload's APDUs for n key-set records. External
// authentication carries a fresh cryptogram, so only its header is fixed.
inline std::vector<std::string> PreloadApduPrefixes(int nRecords)
{
    std::vector<std::string> prefixes = {"00A40000023F00", "00A40000025000", "8084000010",
                                         "0082000110",     "00A40200025031", "00B0000003"};
    char szHex[32];
    for (int i = 1; i <= nRecords; ++i) {
        prefixes.push_back("00A40200025032");
        std::snprintf(szHex, sizeof(szHex), "00B2%02X000C", i);
        prefixes.push_back(szHex);
        std::snprintf(szHex, sizeof(szHex), "00A402000250%02X", 0x40 + i);
        prefixes.push_back(szHex);
        prefixes.push_back("00B0000080");
        prefixes.push_back("00B000807F");
    }
    return prefixes;
}

// True when apdus[nFrom...] begins with the preload of nRecords records.
inline bool StartsWithPreload(const std::vector<std::string> &apdus, std::size_t nFrom,
                              int nRecords)
{
    const std::vector<std::string> prefixes = PreloadApduPrefixes(nRecords);
    if (apdus.size() < nFrom + prefixes.size())
        return false;
    for (std::size_t i = 0; i < prefixes.size(); ++i)
        if (apdus[nFrom + i].compare(0, prefixes[i].size(), prefixes[i]) != 0)
            return false;
    return true;
}
