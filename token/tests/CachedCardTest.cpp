// CachedCardTest.cpp
//
// The card file cache against a scripted port through the real HID manager:
// which APDUs a sequence of selects, reads, writes and exports sends (or
// that it sends none), the one-shot security flags, stale keys after import
// and generation, the caller's buffer length on a cache hit, and the preload
// for 0 to 4 key sets.
#include "BaseCmdFixture.h"

#include <cstring>
#include <functional>

#include "CachedCard.h"
#include "CaseName.h"
#include "ResultCodes.h"
#include "StatusWord.h"

namespace {

const CardAnswer kOk = {{}, 0x9000};

Bytes Select(BYTE bP1, BYTE bHi, BYTE bLo) { return {0x00, 0xA4, bP1, 0x00, 0x02, bHi, bLo}; }
Bytes ReadBin(WORD wOffset, BYTE bLen)
{
    return {0x00, 0xB0, static_cast<BYTE>(wOffset >> 8), static_cast<BYTE>(wOffset), bLen};
}
Bytes ReadRec(BYTE bNo, BYTE bLen) { return {0x00, 0xB2, bNo, 0x00, bLen}; }
Bytes Export(BYTE bHi, BYTE bLo) { return {0x80, 0xD8, bHi, bLo, 0x00}; }
const Bytes kGetChallenge16 = {0x80, 0x84, 0x00, 0x00, 0x10};
// EXTERNAL AUTHENTICATE carries a cryptogram of the challenge: compared by
// its header.
const Bytes kExtAuthHeader = {0x00, 0x82, 0x00, 0x01, 0x10};
const Bytes kPin = {0x31, 0x32, 0x33, 0x34};

// Bytes 0, 1, 2, ... n-1 plus a seed, to tell reads apart.
Bytes Pattern(std::size_t n, BYTE bSeed)
{
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<BYTE>(bSeed + i);
    return data;
}

class CachedCardTest : public CommandTest {
protected:
    void TearDown() override
    {
        if (m_pCard != nullptr)
            m_pCard->DeleteObject(CARD_DELETE_MEMORY);
        m_pCard = nullptr;
        CommandTest::TearDown();
    }
    void Create(bool bPreload) { m_pCard = new CCachedCard(m_strPath.c_str(), bPreload); }

    // The APDUs sent, EXTERNAL AUTHENTICATE cut to its header.
    std::vector<Bytes> SentHeaders()
    {
        std::vector<Bytes> apdus = Sent();
        for (Bytes &apdu : apdus)
            if (apdu.size() > 5 && apdu[1] == 0x82)
                apdu.resize(5);
        return apdus;
    }
    std::size_t SentCount() { return Sent().size(); }

    CCachedCard *m_pCard = nullptr;
};

// ---------------------------------------------------------------------------
// Hit and miss tables: a sequence of operations, all the card's answers
// queued up front, and the exact APDUs that went out.

struct SequenceCase {
    const char *pszName;
    std::vector<CardAnswer> answers;
    // Runs the operations; pushes each result, may fill the output.
    std::function<void(CCachedCard &, std::vector<DWORD> &, Bytes &)> run;
    std::vector<Bytes> apdus;
    std::vector<DWORD> results;
    Bytes output;
    const char *pszTrace;  // a line that must be traced, or null
};

class CacheSequences : public CachedCardTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(CacheSequences, SendOnlyWhatTheCacheCannotAnswer)
{
    const SequenceCase &c = GetParam();
    Create(false);
    Queue(c.answers);
    std::vector<DWORD> results;
    Bytes output;
    c.run(*m_pCard, results, output);
    EXPECT_EQ(c.apdus, SentHeaders());
    EXPECT_EQ(c.results, results);
    EXPECT_EQ(c.output, output);
    if (c.pszTrace != nullptr) {
        EXPECT_TRUE(TraceHas(c.pszTrace)) << c.pszTrace;
    }
}

// Reads dwLen bytes at the offset into a fresh buffer preset to EE.
DWORD ReadInto(CCachedCard &card, bool bSecure, WORD wOffset, DWORD dwLen, Bytes &out)
{
    out.assign(dwLen, 0xEE);
    return bSecure ? card.ReadBinaryInCipherMac(wOffset, out.data(), dwLen)
                   : card.ReadBinary(wOffset, out.data(), dwLen);
}
DWORD ReadRecordInto(CCachedCard &card, BYTE bNo, DWORD dwLen, Bytes &out)
{
    out.assign(dwLen, 0xEE);
    return card.ReadRecord(bNo, out.data(), dwLen);
}
DWORD ExportInto(CCachedCard &card, BYTE bHi, BYTE bLo, DWORD dwCapacity, Bytes &out)
{
    out.assign(dwCapacity, 0xEE);
    DWORD dwLen = dwCapacity;
    const DWORD dwRet = card.RsaPublicKeyExport(bHi, bLo, out.data(), &dwLen);
    out.resize(dwLen);
    return dwRet;
}

const Bytes kKeyA = Pattern(10, 0xA0);
const Bytes kKeyB = Pattern(10, 0xB0);
const Bytes kRec12 = Pattern(12, 0x10);

const SequenceCase kSequences[] = {
    {"MfAndDfSelectedEfDeferredToRead",
     {kOk, kOk, kOk, {{1, 2, 3}, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x3F, 0x00));
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 3, out));
     },
     {Select(0, 0x3F, 0x00), Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 3)},
     {0, 0, 0, 0}, {1, 2, 3}, nullptr},
    {"SameDfTwiceOneSelect", {kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(0, 0x50, 0x00));
     },
     {Select(0, 0x50, 0x00)}, {0, 0}, {}, "CCachedCard::SelectFile Equal Working DF"},
    {"FailedDfSelectChangesNothing", {{{}, 0x6A82}, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(0, 0x50, 0x00));
     },
     {Select(0, 0x50, 0x00), Select(0, 0x50, 0x00)}, {KQ_SCARD_E_FILE_NOT_FOUND, 0}, {}, nullptr},
    {"ReadInsideCachedRangeFromCache", {kOk, kOk, {Pattern(10, 0x40), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 10, out));
         r.push_back(ReadInto(card, false, 2, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 10)}, {0, 0, 0, 0},
     {0x42, 0x43, 0x44, 0x45}, "CCachedCard::ReadBinary Get From Cache"},
    {"ReadPastCachedEndGoesToCard",
     {kOk, kOk, {Pattern(4, 0x40), 0x9000}, {Pattern(4, 0x60), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 4, out));
         r.push_back(ReadInto(card, false, 2, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 4), ReadBin(2, 4)}, {0, 0, 0, 0},
     Pattern(4, 0x60), nullptr},
    {"WriteLeavesGapBeforeIt",
     {kOk, kOk, kOk, {Pattern(4, 0x70), 0x9000}, {Pattern(6, 0x80), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xD0, 0xD1, 0xD2, 0xD3};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(card.UpdateBinary(10, ab, 4));
         r.push_back(ReadInto(card, false, 0, 4, out));   // in the gap
         r.push_back(ReadInto(card, false, 8, 6, out));   // overlaps the gap's end
         r.push_back(ReadInto(card, false, 10, 4, out));  // the written bytes
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31),
      {0x00, 0xD6, 0x00, 0x0A, 0x04, 0xD0, 0xD1, 0xD2, 0xD3}, ReadBin(0, 4), ReadBin(8, 6)},
     {0, 0, 0, 0, 0, 0}, {0x82, 0x83, 0x84, 0x85}, nullptr},
    {"ReadFillsGapThenWholeRangeFromCache",
     {kOk, kOk, kOk, {Pattern(10, 0x20), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xD0, 0xD1};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(card.UpdateBinary(10, ab, 2));
         r.push_back(ReadInto(card, false, 0, 10, out));
         r.push_back(ReadInto(card, false, 8, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), {0x00, 0xD6, 0x00, 0x0A, 0x02, 0xD0, 0xD1},
      ReadBin(0, 10)},
     {0, 0, 0, 0, 0}, {0x28, 0x29, 0xD0, 0xD1}, nullptr},
    // A write inside a gap splits it: the written bytes are held, both
    // remaining parts are still read from the card.
    {"WriteInsideGapSplitsIt",
     {kOk, kOk, kOk, kOk, {Pattern(2, 0x60), 0x9000}, {Pattern(2, 0x70), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xD0, 0xD1};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(card.UpdateBinary(20, ab, 2));
         r.push_back(card.UpdateBinary(5, ab, 2));
         r.push_back(ReadInto(card, false, 5, 2, out));  // held
         r.push_back(ReadInto(card, false, 4, 2, out));  // left part
         r.push_back(ReadInto(card, false, 7, 2, out));  // right part
         r.push_back(ReadInto(card, false, 4, 4, out));  // now all held
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), {0x00, 0xD6, 0x00, 0x14, 0x02, 0xD0, 0xD1},
      {0x00, 0xD6, 0x00, 0x05, 0x02, 0xD0, 0xD1}, ReadBin(4, 2), ReadBin(7, 2)},
     {0, 0, 0, 0, 0, 0, 0, 0}, {0x60, 0x61, 0xD1, 0x70}, nullptr},
    {"FailedReadDropsCachedFile",
     {kOk, kOk, {Pattern(4, 0x40), 0x9000}, {{}, 0x6B00}, {Pattern(4, 0x50), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 4, out));
         r.push_back(ReadInto(card, false, 4, 4, out));
         r.push_back(ReadInto(card, false, 0, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 4), ReadBin(4, 4), ReadBin(0, 4)},
     {0, 0, 0, StatusWordToResult(0x6B, 0x00), 0}, Pattern(4, 0x50), nullptr},
    {"FailedWriteDropsCachedFile",
     {kOk, kOk, {Pattern(4, 0x40), 0x9000}, {{}, 0x6985}, {Pattern(4, 0x50), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xD0};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 4, out));
         r.push_back(card.UpdateBinary(0, ab, 1));
         r.push_back(ReadInto(card, false, 0, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 4),
      {0x00, 0xD6, 0x00, 0x00, 0x01, 0xD0}, ReadBin(0, 4)},
     {0, 0, 0, KQ_SCARD_E_NO_ACCESS, 0}, Pattern(4, 0x50), nullptr},
    {"PlainWriteServesSecureRead", {kOk, kOk, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xD0, 0xD1, 0xD2};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(card.UpdateBinary(0, ab, 3));
         r.push_back(ReadInto(card, true, 1, 2, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), {0x00, 0xD6, 0x00, 0x00, 0x03, 0xD0, 0xD1, 0xD2}},
     {0, 0, 0, 0}, {0xD1, 0xD2}, "CCachedCard::ReadBinaryInCipherMac Get From Cache"},
    {"FilesCachedApart",
     {kOk, kOk, {Pattern(4, 0x40), 0x9000}, kOk, {Pattern(4, 0x50), 0x9000}, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 4, out));
         r.push_back(card.SelectFile(2, 0x50, 0x33));
         r.push_back(ReadInto(card, false, 0, 4, out));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(ReadInto(card, false, 0, 4, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x31), ReadBin(0, 4), Select(2, 0x50, 0x33),
      ReadBin(0, 4)},
     {0, 0, 0, 0, 0, 0, 0}, Pattern(4, 0x40), nullptr},
    {"RecordFromCacheOnlyWithSameLength",
     {kOk, kOk, {kRec12, 0x9000}, {Pattern(8, 0x30), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x32));
         r.push_back(ReadRecordInto(card, 1, 12, out));
         r.push_back(ReadRecordInto(card, 1, 12, out));
         r.push_back(ReadRecordInto(card, 1, 8, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x32), ReadRec(1, 12), ReadRec(1, 8)},
     {0, 0, 0, 0, 0}, Pattern(8, 0x30), "CCachedCard::ReadRecord Get From Cache"},
    {"RecordWriteThrough", {kOk, kOk, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const BYTE ab[] = {0xC0, 0xC1, 0xC2};
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x32));
         r.push_back(card.UpdateRecord(2, ab, 3));
         r.push_back(ReadRecordInto(card, 2, 3, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x32), {0x00, 0xDC, 0x02, 0x00, 0x03, 0xC0, 0xC1, 0xC2}},
     {0, 0, 0, 0}, {0xC0, 0xC1, 0xC2}, nullptr},
    {"FailedRecordWriteDropsRecord",
     {kOk, kOk, {kRec12, 0x9000}, {{}, 0x6985}, {Pattern(12, 0x90), 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const Bytes data(12, 0xC0);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x32));
         r.push_back(ReadRecordInto(card, 1, 12, out));
         r.push_back(card.UpdateRecord(1, data.data(), 12));
         r.push_back(ReadRecordInto(card, 1, 12, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x32), ReadRec(1, 12),
      [] {
          Bytes apdu = {0x00, 0xDC, 0x01, 0x00, 0x0C};
          apdu.insert(apdu.end(), 12, 0xC0);
          return apdu;
      }(),
      ReadRec(1, 12)},
     {0, 0, 0, KQ_SCARD_E_NO_ACCESS, 0}, Pattern(12, 0x90), nullptr},
    {"FailedRecordReadDropsRecordFile",
     {kOk, kOk, {kRec12, 0x9000}, {{}, 0x6A83}, {kRec12, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.SelectFile(2, 0x50, 0x32));
         r.push_back(ReadRecordInto(card, 1, 12, out));
         r.push_back(ReadRecordInto(card, 2, 12, out));
         r.push_back(ReadRecordInto(card, 1, 12, out));
     },
     {Select(0, 0x50, 0x00), Select(2, 0x50, 0x32), ReadRec(1, 12), ReadRec(2, 12),
      ReadRec(1, 12)},
     {0, 0, 0, StatusWordToResult(0x6A, 0x83), 0}, kRec12, nullptr},
    {"ExportTwiceReadsCardOnce", {kOk, {kKeyA, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40)}, {0, 0, 0}, kKeyA,
     "CCachedCard::RsaPublicKeyExport Get From Cache"},
    {"FailedExportNotCached", {kOk, {{}, 0x6A82}, {kKeyA, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40), Export(0x50, 0x40)},
     {0, KQ_SCARD_E_FILE_NOT_FOUND, 0}, kKeyA, nullptr},
    // Generation drops both key files' exports, and so does a failed one.
    {"GenerateDropsPublicAndPrivateFileKeys",
     {kOk, {kKeyA, 0x9000}, {kKeyA, 0x9000}, kOk, {kKeyB, 0x9000}, {kKeyB, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(ExportInto(card, 0x50, 0x41, 262, out));
         r.push_back(card.GenerateRsaKey(0x50, 0x40, 0x50, 0x41, 2));
         r.push_back(ExportInto(card, 0x50, 0x41, 262, out));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40), Export(0x50, 0x41),
      {0x00, 0x46, 0x00, 0x00, 0x05, 0x50, 0x40, 0x50, 0x41, 0x02}, Export(0x50, 0x41),
      Export(0x50, 0x40)},
     {0, 0, 0, 0, 0, 0}, kKeyB, nullptr},
    {"FailedGenerateDropsKey", {kOk, {kKeyA, 0x9000}, {{}, 0x6581}, {kKeyB, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(card.GenerateRsaKey(0x50, 0x40, 0x50, 0x41, 2) != 0);
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40),
      {0x00, 0x46, 0x00, 0x00, 0x05, 0x50, 0x40, 0x50, 0x41, 0x02}, Export(0x50, 0x40)},
     {0, 0, 1, 0}, kKeyB, nullptr},
    // The import blob is not what an export returns: the next export asks
    // the card, and the blob never comes back out of the cache.
    {"ImportMakesKeyStale", {kOk, {kKeyA, 0x9000}, kOk, {kKeyB, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const Bytes blob(6, 0x77);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(card.ImportKey(0x50, 0x40, blob.data(), 6));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40),
      {0x00, 0xD2, 0x50, 0x40, 0x07, 0x01, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77},
      Export(0x50, 0x40)},
     {0, 0, 0, 0}, kKeyB, nullptr},
    {"ImportIntoUncachedFileNotCached", {kOk, kOk, {kKeyB, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const Bytes blob(6, 0x77);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.ImportKey(0x50, 0x40, blob.data(), 6));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00),
      {0x00, 0xD2, 0x50, 0x40, 0x07, 0x01, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77},
      Export(0x50, 0x40)},
     {0, 0, 0}, kKeyB, nullptr},
    {"FailedImportMakesKeyStale", {kOk, {kKeyA, 0x9000}, {{}, 0x6A84}, {kKeyB, 0x9000}},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &out) {
         const Bytes blob(6, 0x77);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
         r.push_back(card.ImportKey(0x50, 0x40, blob.data(), 6) != 0);
         r.push_back(ExportInto(card, 0x50, 0x40, 262, out));
     },
     {Select(0, 0x50, 0x00), Export(0x50, 0x40),
      {0x00, 0xD2, 0x50, 0x40, 0x07, 0x01, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77},
      Export(0x50, 0x40)},
     {0, 0, 1, 0}, kKeyB, nullptr},
    // Security flags hold for one directory selection.
    {"ExternalAuthenticationOncePerDirectory",
     {kOk, {Pattern(16, 0), 0x9000}, kOk, kOk, kOk, {Pattern(16, 0), 0x9000}, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         const Bytes key(16, 0x11);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.ExternalAuthentication(key.data(), 16));
         r.push_back(card.ExternalAuthentication(key.data(), 16));
         r.push_back(card.SelectFile(0, 0x3F, 0x00));
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.ExternalAuthentication(key.data(), 16));
     },
     {Select(0, 0x50, 0x00), kGetChallenge16, kExtAuthHeader, Select(0, 0x3F, 0x00),
      Select(0, 0x50, 0x00), kGetChallenge16, kExtAuthHeader},
     {0, 0, 0, 0, 0, 0}, {}, nullptr},
    {"FailedExternalAuthenticationSentAgain",
     {kOk, {Pattern(16, 0), 0x9000}, {{}, 0x6300}, {Pattern(16, 0), 0x9000}, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         const Bytes key(16, 0x11);
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.ExternalAuthentication(key.data(), 16) != 0);
         r.push_back(card.ExternalAuthentication(key.data(), 16));
     },
     {Select(0, 0x50, 0x00), kGetChallenge16, kExtAuthHeader, kGetChallenge16, kExtAuthHeader},
     {0, 1, 0}, {}, nullptr},
    {"VerifyPinOncePerDirectory", {kOk, kOk, kOk, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         BYTE bTries = 0;
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.VerifyPin(1, kPin.data(), 4, &bTries));
         r.push_back(card.VerifyPin(1, kPin.data(), 4, &bTries));
         r.push_back(card.SelectFile(0, 0x3F, 0x00));
         r.push_back(card.VerifyPin(1, kPin.data(), 4, &bTries));
     },
     {Select(0, 0x50, 0x00), {0x00, 0x20, 0x01, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34},
      Select(0, 0x3F, 0x00), {0x00, 0x20, 0x01, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34}},
     {0, 0, 0, 0, 0}, {}, nullptr},
    // An EF select inside the directory does not reset the flags.
    {"EfSelectKeepsVerification", {kOk, kOk, kOk, kOk},
     [](CCachedCard &card, std::vector<DWORD> &r, Bytes &) {
         BYTE bTries = 0;
         r.push_back(card.SelectFile(0, 0x50, 0x00));
         r.push_back(card.VerifyPin(1, kPin.data(), 4, &bTries));
         r.push_back(card.SelectFile(2, 0x50, 0x31));
         r.push_back(card.UpdateBinary(0, kPin.data(), 1));
         r.push_back(card.VerifyPin(1, kPin.data(), 4, &bTries));
     },
     {Select(0, 0x50, 0x00), {0x00, 0x20, 0x01, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34},
      Select(2, 0x50, 0x31), {0x00, 0xD6, 0x00, 0x00, 0x01, 0x31}},
     {0, 0, 0, 0, 0}, {}, nullptr},
};

INSTANTIATE_TEST_SUITE_P(CachedCard, CacheSequences, ::testing::ValuesIn(kSequences),
                         CaseName());

// ---------------------------------------------------------------------------
// The caller's buffer on a cache hit

TEST_F(CachedCardTest, ExportHitRefusesBufferTooSmallLikeTheCard)
{
    Create(false);
    Queue({kOk, {kKeyA, 0x9000}, {kKeyA, 0x9000}});
    ASSERT_EQ(0u, m_pCard->SelectFile(0, 0x50, 0x00));

    // Uncached: the card's answer does not fit 9 bytes.
    Bytes out;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, ExportInto(*m_pCard, 0x50, 0x40, 9, out));
    EXPECT_EQ(Bytes(9, 0xEE), out);

    ASSERT_EQ(0u, ExportInto(*m_pCard, 0x50, 0x40, 262, out));
    const std::size_t nSent = SentCount();

    // Cached: the same refusal, nothing written past the buffer, no APDU.
    Bytes guarded(16, 0xEE);
    DWORD dwLen = 9;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->RsaPublicKeyExport(0x50, 0x40, guarded.data(), &dwLen));
    EXPECT_EQ(Bytes(16, 0xEE), guarded);
    EXPECT_EQ(nSent, SentCount());

    // Exactly the key's length fits.
    EXPECT_EQ(0u, ExportInto(*m_pCard, 0x50, 0x40, 10, out));
    EXPECT_EQ(kKeyA, out);
    EXPECT_EQ(nSent, SentCount());
}

TEST_F(CachedCardTest, ReadHitRefusesLengthsTheCommandRefuses)
{
    Create(false);
    Queue({kOk, kOk, {Bytes(255, 0x5A), 0x9000}});
    ASSERT_EQ(0u, m_pCard->SelectFile(0, 0x50, 0x00));
    ASSERT_EQ(0u, m_pCard->SelectFile(2, 0x50, 0x31));
    Bytes out;
    ASSERT_EQ(0u, ReadInto(*m_pCard, false, 0, 255, out));
    const std::size_t nSent = SentCount();

    // 0x104 bytes cannot be asked in one read: refused, not a 255-byte copy
    // nor a copy of 0x104 bytes out of a shorter cache.
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, ReadInto(*m_pCard, false, 0, 0x104, out));
    EXPECT_EQ(Bytes(0x104, 0xEE), out);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->ReadBinary(0, nullptr, 4));
    EXPECT_EQ(nSent, SentCount());

    // The refusal kept the cache.
    EXPECT_EQ(0u, ReadInto(*m_pCard, false, 250, 5, out));
    EXPECT_EQ(Bytes(5, 0x5A), out);
    EXPECT_EQ(nSent, SentCount());
}

// ---------------------------------------------------------------------------
// Preload

struct PreloadCase {
    const char *pszName;
    BYTE bRecords;
};

class Preload : public CachedCardTest, public ::testing::WithParamInterface<PreloadCase> {};

// Key set n's record names its container-name file 50 40+n.
Bytes KeySetRecord(BYTE bNo)
{
    Bytes rec = Pattern(12, static_cast<BYTE>(bNo << 4));
    rec[4] = 0x50;
    rec[5] = static_cast<BYTE>(0x40 + bNo);
    return rec;
}

TEST_P(Preload, ReadsDirectoryRecordsAndNameFilesOnce)
{
    const BYTE n = GetParam().bRecords;
    std::vector<CardAnswer> answers = {kOk, kOk, {Pattern(16, 0), 0x9000}, kOk, kOk,
                                       {{0x50, 0x32, n}, 0x9000}};
    std::vector<Bytes> apdus = {Select(0, 0x3F, 0x00), Select(0, 0x50, 0x00), kGetChallenge16,
                                kExtAuthHeader,        Select(2, 0x50, 0x31), ReadBin(0, 3)};
    for (BYTE i = 1; i <= n; ++i) {
        answers.insert(answers.end(), {kOk,
                                       {KeySetRecord(i), 0x9000},
                                       kOk,
                                       {Pattern(128, i), 0x9000},
                                       {Pattern(127, static_cast<BYTE>(i + 128)), 0x9000}});
        apdus.insert(apdus.end(), {Select(2, 0x50, 0x32), ReadRec(i, 12),
                                   Select(2, 0x50, static_cast<BYTE>(0x40 + i)), ReadBin(0, 128),
                                   ReadBin(128, 127)});
    }
    Queue(answers);
    Create(true);
    EXPECT_EQ(apdus, SentHeaders());
    EXPECT_EQ(6u + 5u * n, apdus.size());

    // Everything the preload read now comes from the cache, and the
    // directory's external authentication is not sent again.
    const Bytes key(16, 0x11);
    EXPECT_EQ(0u, m_pCard->ExternalAuthentication(key.data(), 16));
    Bytes out;
    EXPECT_EQ(0u, m_pCard->SelectFile(2, 0x50, 0x31));
    EXPECT_EQ(0u, ReadInto(*m_pCard, false, 0, 3, out));
    EXPECT_EQ(Bytes({0x50, 0x32, n}), out);
    for (BYTE i = 1; i <= n; ++i) {
        EXPECT_EQ(0u, m_pCard->SelectFile(2, 0x50, 0x32));
        EXPECT_EQ(0u, ReadRecordInto(*m_pCard, i, 12, out));
        EXPECT_EQ(KeySetRecord(i), out);
        EXPECT_EQ(0u, m_pCard->SelectFile(2, 0x50, static_cast<BYTE>(0x40 + i)));
        EXPECT_EQ(0u, ReadInto(*m_pCard, false, 126, 4, out));
        EXPECT_EQ(Bytes({static_cast<BYTE>(i + 126), static_cast<BYTE>(i + 127),
                         static_cast<BYTE>(i + 128), static_cast<BYTE>(i + 129)}),
                  out);
    }
    EXPECT_EQ(apdus.size(), SentCount());
}

const PreloadCase kPreloadCases[] = {
    {"NoKeySet", 0}, {"OneKeySet", 1}, {"TwoKeySets", 2}, {"ThreeKeySets", 3}, {"FourKeySets", 4},
};

INSTANTIATE_TEST_SUITE_P(CachedCard, Preload, ::testing::ValuesIn(kPreloadCases),
                         CaseName());

// A preload that fails stops at once and leaves a usable object; the next
// directory select goes to the card.
TEST_F(CachedCardTest, PreloadStopsAtFirstFailure)
{
    Queue(CardAnswer{{}, 0x6A82});
    Create(true);
    EXPECT_EQ(std::vector<Bytes>({Select(0, 0x3F, 0x00)}), Sent());

    Queue(kOk);
    EXPECT_EQ(0u, m_pCard->SelectFile(0, 0x50, 0x00));
    EXPECT_EQ(std::vector<Bytes>({Select(0, 0x3F, 0x00), Select(0, 0x50, 0x00)}), Sent());
}

TEST_F(CachedCardTest, PreloadStopsAtFailingRecord)
{
    Queue({kOk, kOk, {Pattern(16, 0), 0x9000}, kOk, kOk, {{0x50, 0x32, 3}, 0x9000}, kOk,
           {KeySetRecord(1), 0x9000}, kOk, {Pattern(128, 1), 0x9000}, {Pattern(127, 2), 0x9000},
           kOk, {{}, 0x6A83}});
    Create(true);
    const std::vector<Bytes> apdus = SentHeaders();
    ASSERT_EQ(13u, apdus.size());
    EXPECT_EQ(ReadRec(2, 12), apdus.back());
}

// Without preload nothing is sent at creation.
TEST_F(CachedCardTest, NoPreloadSendsNothing)
{
    Create(false);
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
