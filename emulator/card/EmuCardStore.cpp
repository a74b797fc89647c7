// EmuCardStore.cpp
#include "EmuCardStore.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

const char MAGIC[8] = {'K', 'Q', 'E', 'M', 'U', 'C', 'R', 'D'};
const uint32_t FORMAT_VERSION = 1;
const size_t HEADER_SIZE = 16;
const size_t HASH_SIZE = SHA256_DIGEST_LENGTH;
const size_t MAX_FILE_SIZE = 4 * 1024 * 1024;

// Appends big-endian numbers and length-prefixed byte strings.
class CWriter {
public:
    void Put8(uint8_t b) { m_vb.push_back(b); }
    void Put16(uint16_t w)
    {
        Put8(static_cast<uint8_t>(w >> 8));
        Put8(static_cast<uint8_t>(w));
    }
    void Put32(uint32_t dw)
    {
        Put16(static_cast<uint16_t>(dw >> 16));
        Put16(static_cast<uint16_t>(dw));
    }
    void PutBytes8(const std::vector<uint8_t> &vb)
    {
        Put8(static_cast<uint8_t>(vb.size()));
        m_vb.insert(m_vb.end(), vb.begin(), vb.end());
    }
    void PutBytes32(const std::vector<uint8_t> &vb)
    {
        Put32(static_cast<uint32_t>(vb.size()));
        m_vb.insert(m_vb.end(), vb.begin(), vb.end());
    }
    std::vector<uint8_t> &Bytes() { return m_vb; }

private:
    std::vector<uint8_t> m_vb;
};

// Reads what CWriter wrote; every read checks the remaining length and a
// failed read makes every later one fail too.
class CReader {
public:
    CReader(const uint8_t *pb, size_t cb) : m_pb(pb), m_cb(cb) {}
    bool Get8(uint8_t &b)
    {
        if (!Need(1))
            return false;
        b = m_pb[m_iPos++];
        return true;
    }
    bool Get16(uint16_t &w)
    {
        uint8_t bHi = 0, bLo = 0;
        if (!Get8(bHi) || !Get8(bLo))
            return false;
        w = static_cast<uint16_t>((bHi << 8) | bLo);
        return true;
    }
    bool Get32(uint32_t &dw)
    {
        uint16_t wHi = 0, wLo = 0;
        if (!Get16(wHi) || !Get16(wLo))
            return false;
        dw = (static_cast<uint32_t>(wHi) << 16) | wLo;
        return true;
    }
    bool GetBytes(size_t cb, std::vector<uint8_t> &vb)
    {
        if (!Need(cb))
            return false;
        vb.assign(m_pb + m_iPos, m_pb + m_iPos + cb);
        m_iPos += cb;
        return true;
    }
    bool GetBytes8(std::vector<uint8_t> &vb)
    {
        uint8_t cb = 0;
        return Get8(cb) && GetBytes(cb, vb);
    }
    bool GetBytes32(std::vector<uint8_t> &vb)
    {
        uint32_t cb = 0;
        return Get32(cb) && GetBytes(cb, vb);
    }
    bool AtEnd() const { return m_fOk && m_iPos == m_cb; }

private:
    bool Need(size_t cb)
    {
        if (!m_fOk || cb > m_cb - m_iPos)
            m_fOk = false;
        return m_fOk;
    }
    const uint8_t *m_pb;
    size_t m_cb;
    size_t m_iPos = 0;
    bool m_fOk = true;
};

std::vector<uint8_t> Sha256(const uint8_t *pb, size_t cb)
{
    std::vector<uint8_t> vb(HASH_SIZE);
    SHA256(pb, cb, vb.data());
    return vb;
}

uint32_t GetBe32(const uint8_t *pb)
{
    return (static_cast<uint32_t>(pb[0]) << 24) | (static_cast<uint32_t>(pb[1]) << 16) |
           (static_cast<uint32_t>(pb[2]) << 8) | pb[3];
}

bool ParsePayload(CReader &reader, SEmuCardState &state, std::string &strError)
{
    uint8_t bCount = 0;
    uint16_t wFiles = 0;
    bool fOk = reader.GetBytes8(state.pin.vbPin) && reader.Get8(state.pin.bMaxTries) &&
               reader.Get8(state.pin.bTriesLeft);
    std::vector<uint8_t> vbSerial;
    fOk = fOk && reader.GetBytes8(vbSerial);
    state.strSerial.assign(vbSerial.begin(), vbSerial.end());

    fOk = fOk && reader.Get8(bCount);
    for (uint8_t i = 0; fOk && i < bCount; ++i) {
        uint8_t bItem = 0;
        std::vector<uint8_t> vb;
        fOk = reader.Get8(bItem) && reader.GetBytes8(vb);
        state.mConfig[bItem] = vb;
    }
    fOk = fOk && reader.Get8(bCount);
    for (uint8_t i = 0; fOk && i < bCount; ++i) {
        SEmuSymmetricKey key;
        fOk = reader.Get16(key.wKeyId) && reader.GetBytes8(key.vbName) &&
              reader.GetBytes8(key.vbValue);
        state.vSymmetricKeys.push_back(key);
    }
    fOk = fOk && reader.Get16(wFiles);
    std::vector<SEmuFile> vFiles;
    for (uint16_t i = 0; fOk && i < wFiles; ++i) {
        SEmuFile file;
        uint8_t bKind = 0;
        fOk = reader.Get16(file.wFid) && reader.Get16(file.wParent) && reader.Get8(bKind) &&
              reader.Get8(file.bRecordLen) && reader.GetBytes32(file.vbContent);
        file.eKind = static_cast<EEmuFileKind>(bKind);
        vFiles.push_back(std::move(file));
    }
    if (!fOk || !reader.AtEnd()) {
        strError = "state file payload is truncated or has trailing bytes";
        return false;
    }
    const SEmuPin &pin = state.pin;
    if (pin.vbPin.size() > 32 || pin.bTriesLeft > pin.bMaxTries || pin.bMaxTries > 15 ||
        pin.vbPin.empty() != (pin.bMaxTries == 0)) {
        strError = "state file holds an inconsistent PIN record";
        return false;
    }
    std::string strFsError;
    if (!state.fs.Assign(std::move(vFiles), strFsError)) {
        strError = "state file holds a broken file system: " + strFsError;
        return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> CEmuCardStore::Serialise(const SEmuCardState &state)
{
    CWriter payload;
    payload.PutBytes8(state.pin.vbPin);
    payload.Put8(state.pin.bMaxTries);
    payload.Put8(state.pin.bTriesLeft);
    payload.PutBytes8(std::vector<uint8_t>(state.strSerial.begin(),
                                           state.strSerial.begin() +
                                               std::min<size_t>(state.strSerial.size(), 255)));
    payload.Put8(static_cast<uint8_t>(state.mConfig.size()));
    for (const auto &item : state.mConfig) {
        payload.Put8(item.first);
        payload.PutBytes8(item.second);
    }
    payload.Put8(static_cast<uint8_t>(state.vSymmetricKeys.size()));
    for (const SEmuSymmetricKey &key : state.vSymmetricKeys) {
        payload.Put16(key.wKeyId);
        payload.PutBytes8(key.vbName);
        payload.PutBytes8(key.vbValue);
    }
    const std::vector<SEmuFile> &vFiles = state.fs.Files();
    payload.Put16(static_cast<uint16_t>(vFiles.size()));
    for (const SEmuFile &file : vFiles) {
        payload.Put16(file.wFid);
        payload.Put16(file.wParent);
        payload.Put8(static_cast<uint8_t>(file.eKind));
        payload.Put8(file.bRecordLen);
        payload.PutBytes32(file.vbContent);
    }

    CWriter out;
    out.Bytes().assign(MAGIC, MAGIC + sizeof(MAGIC));
    out.Put32(FORMAT_VERSION);
    out.Put32(static_cast<uint32_t>(payload.Bytes().size()));
    out.Bytes().insert(out.Bytes().end(), payload.Bytes().begin(), payload.Bytes().end());
    const std::vector<uint8_t> vbHash = Sha256(out.Bytes().data(), out.Bytes().size());
    out.Bytes().insert(out.Bytes().end(), vbHash.begin(), vbHash.end());
    return out.Bytes();
}

bool CEmuCardStore::Parse(const std::vector<uint8_t> &vbFile, SEmuCardState &state,
                          std::string &strError)
{
    if (vbFile.size() < HEADER_SIZE + HASH_SIZE ||
        std::memcmp(vbFile.data(), MAGIC, sizeof(MAGIC)) != 0) {
        strError = "not a token state file (bad magic or too short)";
        return false;
    }
    if (GetBe32(vbFile.data() + 8) != FORMAT_VERSION) {
        strError = "unsupported token state file version";
        return false;
    }
    const size_t cbPayload = GetBe32(vbFile.data() + 12);
    if (cbPayload != vbFile.size() - HEADER_SIZE - HASH_SIZE) {
        strError = "token state file is truncated or too long";
        return false;
    }
    const std::vector<uint8_t> vbHash = Sha256(vbFile.data(), HEADER_SIZE + cbPayload);
    if (std::memcmp(vbHash.data(), vbFile.data() + HEADER_SIZE + cbPayload, HASH_SIZE) != 0) {
        strError = "token state file is corrupt (checksum mismatch)";
        return false;
    }
    SEmuCardState parsed;
    CReader reader(vbFile.data() + HEADER_SIZE, cbPayload);
    if (!ParsePayload(reader, parsed, strError))
        return false;
    state = std::move(parsed);
    return true;
}

bool CEmuCardStore::Save(const SEmuCardState &state, const std::string &strPath,
                         std::string &strError)
{
    const std::vector<uint8_t> vbFile = Serialise(state);
    const std::string strTemp = strPath + ".tmp";
    {
        std::ofstream out(strTemp, std::ios::binary | std::ios::trunc);
        if (!out) {
            strError = "cannot create " + strTemp;
            return false;
        }
        out.write(reinterpret_cast<const char *>(vbFile.data()),
                  static_cast<std::streamsize>(vbFile.size()));
        out.close();
        if (!out) {
            strError = "cannot write " + strTemp;
            std::remove(strTemp.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(strTemp, strPath, ec);
    if (ec) {
        strError = "cannot replace " + strPath + ": " + ec.message();
        std::remove(strTemp.c_str());
        return false;
    }
    return true;
}

bool CEmuCardStore::Load(const std::string &strPath, SEmuCardState &state, std::string &strError)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in) {
        strError = "cannot open " + strPath;
        return false;
    }
    std::vector<uint8_t> vbFile;
    char achChunk[4096];
    while (in) {
        in.read(achChunk, sizeof(achChunk));
        vbFile.insert(vbFile.end(), achChunk, achChunk + in.gcount());
        if (vbFile.size() > MAX_FILE_SIZE) {
            strError = "token state file is too large";
            return false;
        }
    }
    if (in.bad()) {
        strError = "cannot read " + strPath;
        return false;
    }
    return Parse(vbFile, state, strError);
}
