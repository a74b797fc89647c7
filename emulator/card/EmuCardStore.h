// EmuCardStore.h
//
// SEmuCardState is everything a virtual token keeps across power cycles (file
// tree, PIN and retry counter, serial number, configuration items, symmetric
// keys); CEmuCardStore writes it to and reads it from a state file.
//
// File format (numbers big-endian): "KQEMUCRD", format version (4 bytes),
// payload length (4 bytes), payload, SHA-256 of everything before it. The
// file is written to "<path>.tmp" and renamed over the path, so a crash never
// leaves half a state behind. Reading refuses a file whose magic, version,
// length or hash is wrong, or whose payload does not parse to a consistent
// state, with a reason; it never touches the caller's state then.
#pragma once

#include "EmuCardFileSystem.h"
#include "EmuCardSecurity.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct SEmuSymmetricKey {
    uint16_t wKeyId = 0;
    std::vector<uint8_t> vbName;   // 1 to 32 bytes
    std::vector<uint8_t> vbValue;  // 1 to 32 bytes
};

struct SEmuCardState {
    CEmuFileSystem fs;
    SEmuPin pin;
    std::string strSerial;
    std::map<uint8_t, std::vector<uint8_t>> mConfig;  // SET CONFIG items (0: language id)
    std::vector<SEmuSymmetricKey> vSymmetricKeys;
};

class CEmuCardStore {
public:
    // The state file's bytes.
    static std::vector<uint8_t> Serialise(const SEmuCardState &state);
    // Parses state file bytes into state; false with the reason.
    static bool Parse(const std::vector<uint8_t> &vbFile, SEmuCardState &state,
                      std::string &strError);
    // Serialises and writes atomically (temporary file, then rename).
    static bool Save(const SEmuCardState &state, const std::string &strPath,
                     std::string &strError);
    // Reads and parses the file; state is untouched on failure.
    static bool Load(const std::string &strPath, SEmuCardState &state, std::string &strError);
};
