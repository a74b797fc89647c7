// BaseCmdTest.cpp
//
// The plain commands of the command set against a scripted port: exact APDU
// bytes, first-poll waits, status-word mapping, the refusals of lengths and
// buffers that do not fit, the chained commands, the PIN cache and the slot
// order of the interface.
#include "BaseCmdFixture.h"

#include <cstdint>
#include <cstring>
#include <functional>

#include "CaseName.h"
#include "VtableSlot.h"
#include "ResultCodes.h"

namespace {

// One command run against scripted answers.
struct PlainCase {
    const char *pszName;
    std::function<DWORD(CBaseCmd &, Bytes &)> run;  // may fill the output
    std::vector<CardAnswer> answers;
    std::vector<Bytes> apdus;
    std::vector<DWORD> waits;
    DWORD dwResult;
    Bytes output;        // what the command left in its output
    const char *pszTrace;  // a level-1 line it must write, or null
};

class PlainCommands : public CommandTest, public ::testing::WithParamInterface<PlainCase> {};

TEST_P(PlainCommands, SendExactlyTheseApdusAndMapTheAnswer)
{
    const PlainCase &c = GetParam();
    Queue(c.answers);
    Bytes output;
    EXPECT_EQ(c.dwResult, c.run(*m_pCmd, output));
    EXPECT_EQ(c.apdus, Sent());
    EXPECT_EQ(c.waits, Waits());
    EXPECT_EQ(c.output, output);
    if (c.pszTrace != nullptr) {
        EXPECT_TRUE(TraceHas(c.pszTrace)) << c.pszTrace;
    }
}

// Runs a read-style command into a buffer of n bytes preset to EE and
// returns what it holds afterwards.
std::function<DWORD(CBaseCmd &, Bytes &)> Read(std::function<DWORD(CBaseCmd &, BYTE *)> fn,
                                                std::size_t n)
{
    return [fn, n](CBaseCmd &cmd, Bytes &out) {
        out.assign(n, 0xEE);
        return fn(cmd, out.data());
    };
}

// Runs an information command with a buffer of n bytes and *len = n; the
// output is the buffer cut to the returned length.
std::function<DWORD(CBaseCmd &, Bytes &)> Info(DWORD (CBaseCmd::*pfn)(BYTE *, DWORD *),
                                                DWORD n)
{
    return [pfn, n](CBaseCmd &cmd, Bytes &out) {
        out.assign(n, 0xEE);
        DWORD dwLen = n;
        const DWORD dwRet = (cmd.*pfn)(out.data(), &dwLen);
        out.resize(dwLen);
        return dwRet;
    };
}

const Bytes kFileSystemCmd = {0x80, 0xE0, 0x00, 0x00, 0xFF, 0x01, 0x02, 0x03};

const PlainCase kPlainCases[] = {
    {"SelectDf5000", [](CBaseCmd &cmd, Bytes &) { return cmd.SelectFile(0x00, 0x50, 0x00); },
     {{{}, 0x9000}}, {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x00}}, {2}, 0, {}, nullptr},
    {"SelectMissingEf", [](CBaseCmd &cmd, Bytes &) { return cmd.SelectFile(0x02, 0x50, 0x31); },
     {{{}, 0x6A82}}, {{0x00, 0xA4, 0x02, 0x00, 0x02, 0x50, 0x31}}, {2}, KQ_SCARD_E_FILE_NOT_FOUND,
     {}, "[SelectFile] dwRet != 0"},
    {"ReadBinaryResendsOnce6C",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadBinary(0x0003, pb, 3); }, 3),
     {{{}, 0x6C02}, {{0x41, 0x42}, 0x9000}},
     {{0x00, 0xB0, 0x00, 0x03, 0x03}, {0x00, 0xB0, 0x00, 0x03, 0x02}}, {20, 20}, 0,
     {0x41, 0x42, 0xEE}, nullptr},
    {"ReadBinaryGivesUpOnSecond6C",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadBinary(0x0100, pb, 8); }, 8),
     {{{}, 0x6C04}, {{}, 0x6C04}, {{}, 0x9000}},
     {{0x00, 0xB0, 0x01, 0x00, 0x08}, {0x00, 0xB0, 0x01, 0x00, 0x04}}, {20, 20},
     KQ_SCARD_E_UNEXPECTED, Bytes(8, 0xEE), "[ReadBinary] dwRet != SCARD_S_SUCCESS"},
    {"ReadBinaryRefusesLengthAbove255",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadBinary(0, pb, 0x104); }, 0x104),
     {}, {}, {}, KQ_SCARD_E_UNEXPECTED, Bytes(0x104, 0xEE), nullptr},
    {"ReadBinaryRefusesAnswerLongerThanAsked",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadBinary(0, pb, 2); }, 2),
     {{{1, 2, 3}, 0x9000}}, {{0x00, 0xB0, 0x00, 0x00, 0x02}}, {20}, KQ_SCARD_E_UNEXPECTED,
     {0xEE, 0xEE}, nullptr},
    {"ReadBinaryNoAccess",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadBinary(0, pb, 1); }, 1),
     {{{}, 0x6982}}, {{0x00, 0xB0, 0x00, 0x00, 0x01}}, {20}, KQ_SCARD_W_SECURITY_VIOLATION,
     {0xEE}, "[ReadBinary] dwRet != SCARD_S_SUCCESS"},
    {"ReadRecord", Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadRecord(5, pb, 12); }, 12),
     {{Bytes(12, 0x5A), 0x9000}}, {{0x00, 0xB2, 0x05, 0x00, 0x0C}}, {2}, 0, Bytes(12, 0x5A),
     nullptr},
    {"ReadRecordWrongLength",
     Read([](CBaseCmd &cmd, BYTE *pb) { return cmd.ReadRecord(1, pb, 12); }, 12),
     {{{}, 0x6700}}, {{0x00, 0xB2, 0x01, 0x00, 0x0C}}, {2}, KQ_SCARD_E_INVALID_VALUE,
     Bytes(12, 0xEE), "[ReadRecord] dwRet != S_OK"},
    {"UpdateRecord",
     [](CBaseCmd &cmd, Bytes &) {
         const BYTE ab[] = {0xAA, 0xBB, 0xCC};
         return cmd.UpdateRecord(1, ab, 3);
     },
     {{{}, 0x9000}}, {{0x00, 0xDC, 0x01, 0x00, 0x03, 0xAA, 0xBB, 0xCC}}, {2}, 0, {}, nullptr},
    {"UpdateBinary",
     [](CBaseCmd &cmd, Bytes &) {
         const BYTE ab[] = {0x10, 0x20};
         return cmd.UpdateBinary(0x0102, ab, 2);
     },
     {{{}, 0x6985}}, {{0x00, 0xD6, 0x01, 0x02, 0x02, 0x10, 0x20}}, {20}, KQ_SCARD_E_NO_ACCESS,
     {}, "[update_binaryXin] dwRet != SCARD_S_SUCCESS"},
    {"UpdateBinaryRefusesMoreThanOneApdu",
     [](CBaseCmd &cmd, Bytes &) {
         const Bytes data(249, 0x11);
         return cmd.UpdateBinary(0, data.data(), 249);
     },
     {}, {}, {}, KQ_SCARD_E_UNEXPECTED, {}, nullptr},
    {"GenerateRsaKey1024",
     [](CBaseCmd &cmd, Bytes &) { return cmd.GenerateRsaKey(0x00, 0x0A, 0x00, 0x0B, 2); },
     {{{}, 0x9000}}, {{0x00, 0x46, 0x00, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x0B, 0x02}}, {100}, 0,
     {}, nullptr},
    {"GenerateRsaKey2048",
     [](CBaseCmd &cmd, Bytes &) { return cmd.GenerateRsaKey(0x00, 0x0A, 0x00, 0x0B, 3); },
     {{{}, 0x9000}}, {{0x00, 0x46, 0x00, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x0B, 0x03}}, {200}, 0,
     {}, nullptr},
    {"GenerateRsaKeyOtherCode",
     [](CBaseCmd &cmd, Bytes &) { return cmd.GenerateRsaKey(0x00, 0x0C, 0x00, 0x0D, 7); },
     {{{}, 0x6A84}}, {{0x00, 0x46, 0x00, 0x00, 0x05, 0x00, 0x0C, 0x00, 0x0D, 0x07}}, {80},
     KQ_SCARD_E_UNEXPECTED, {}, "[generate_rsakeyXin] dwRet != SCARD_S_SUCCESS"},
    {"GetPinVerifyTimes",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(2, 0xEE);
         return cmd.GetPinVerifyTimes(1, &out[0], &out[1]);
     },
     {{{0x05, 0x03}, 0x9000}}, {{0x80, 0x21, 0x00, 0x01, 0x00}}, {20}, 0, {0x05, 0x03}, nullptr},
    {"GetPinVerifyTimesShortAnswer",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(2, 0xEE);
         return cmd.GetPinVerifyTimes(1, &out[0], &out[1]);
     },
     {{{0x05}, 0x9000}}, {{0x80, 0x21, 0x00, 0x01, 0x00}}, {20}, KQ_SCARD_E_UNEXPECTED,
     {0xEE, 0xEE}, "CBaseCmd::GetPinVerifyTimes recvApdu.size() <2"},
    {"GetUsbId", Info(&CBaseCmd::GetUsbId, 8), {{{1, 2, 3, 4}, 0x9000}},
     {{0x80, 0xF6, 0x00, 0x00, 0x00}}, {5}, 0, {1, 2, 3, 4}, nullptr},
    {"GetCosVersion", Info(&CBaseCmd::GetCosVersion, 4), {{{9}, 0x9000}},
     {{0x80, 0xF6, 0x00, 0x01, 0x00}}, {5}, 0, {9}, nullptr},
    {"GetVendorInfoFails", Info(&CBaseCmd::GetVendorInfo, 4), {{{}, 0x6D00}},
     {{0x80, 0xF6, 0x00, 0x02, 0x00}}, {5}, KQ_SCARD_E_UNEXPECTED, Bytes(4, 0xEE),
     "[GetVendorInfo] dwRet != S_OK"},
    {"GetDeviceInfo", Info(&CBaseCmd::GetDeviceInfo, 4), {{{7, 7}, 0x9000}},
     {{0x80, 0xF6, 0x00, 0x03, 0x00}}, {5}, 0, {7, 7}, nullptr},
    {"GetChipId", Info(&CBaseCmd::GetChipId, 4), {{{6}, 0x9000}},
     {{0x80, 0xF6, 0x00, 0x80, 0x00}}, {5}, 0, {6}, nullptr},
    {"GetCFCAIdSendsFourBytes", Info(&CBaseCmd::GetCFCAId, 4), {{{1, 2}, 0x9000}},
     {{0x80, 0xF6, 0x00, 0x04}}, {20}, 0, {1, 2}, nullptr},
    {"RsaPublicKeyExport",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(6, 0xEE);
         DWORD dwLen = 6;
         const DWORD dwRet = cmd.RsaPublicKeyExport(0x00, 0x0A, out.data(), &dwLen);
         out.resize(dwLen);
         return dwRet;
     },
     {{{1, 2, 3, 4, 5}, 0x9000}}, {{0x80, 0xD8, 0x00, 0x0A, 0x00}}, {20}, 0, {1, 2, 3, 4, 5},
     nullptr},
    {"RsaPublicKeyExportBufferTooSmall",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(4, 0xEE);
         DWORD dwLen = 4;
         const DWORD dwRet = cmd.RsaPublicKeyExport(0x00, 0x0A, out.data(), &dwLen);
         out.resize(dwLen);
         return dwRet;
     },
     {{{1, 2, 3, 4, 5}, 0x9000}}, {{0x80, 0xD8, 0x00, 0x0A, 0x00}}, {20}, KQ_SCARD_E_UNEXPECTED,
     Bytes(4, 0xEE), nullptr},
    {"SetConfigLanguage",
     [](CBaseCmd &cmd, Bytes &) {
         const BYTE ab[] = {0x08, 0x04};
         return cmd.SetConfig(0, ab, 2);
     },
     {{{}, 0x6A86}}, {{0x80, 0x09, 0x00, 0x00, 0x02, 0x08, 0x04}}, {20},
     KQ_SCARD_E_INVALID_PARAMETER, {}, "CBaseCmd::SetConfig dwRet[-2146435068] != S_OK"},
    {"CreateFileSystemDropsCallersLc",
     [](CBaseCmd &cmd, Bytes &) { return cmd.CreateFileSystem(kFileSystemCmd.data(), 3); },
     {{{}, 0x9000}}, {{0x80, 0xE0, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}}, {20}, 0, {}, nullptr},
    {"CreateFileSystemWrongPin",
     [](CBaseCmd &cmd, Bytes &) { return cmd.CreateFileSystem(kFileSystemCmd.data(), 3); },
     {{{}, 0x63C2}}, {{0x80, 0xE0, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}}, {20},
     KQ_SCARD_E_INVALID_CHV, {}, "[CreateFileSystem] bSw1 == 0x63"},
    {"CreateFileSystemBlocked",
     [](CBaseCmd &cmd, Bytes &) { return cmd.CreateFileSystem(kFileSystemCmd.data(), 3); },
     {{{}, 0x6300}}, {{0x80, 0xE0, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}}, {20},
     KQ_SCARD_W_CHV_BLOCKED, {}, "[CreateFileSystem] bSw2 == 0"},
    {"ChangePinOnKeypadWrong",
     [](CBaseCmd &cmd, Bytes &out) {
         int nTries = -1;
         const DWORD dwRet = cmd.changepin_baseXin(&nTries);
         out.assign(1, static_cast<BYTE>(nTries));
         return dwRet;
     },
     {{{}, 0x63C4}}, {{0x84, 0xF4, 0x03, 0x0C, 0x00}}, {20}, KQ_SCARD_E_INVALID_CHV, {4},
     "[changepin_baseXin] bSw1 == 0x63"},
    {"ChangePinOnKeypadWrongLastTryLocks",
     [](CBaseCmd &cmd, Bytes &out) {
         int nTries = -1;
         const DWORD dwRet = cmd.changepin_baseXin(&nTries);
         out.assign(1, static_cast<BYTE>(nTries));
         return dwRet;
     },
     {{{}, 0x63C0}}, {{0x84, 0xF4, 0x03, 0x0C, 0x00}}, {20}, KQ_SCARD_W_CHV_BLOCKED, {0},
     "[changepin_baseXin] bSw1 == 0x63"},
    {"ChangePinOnKeypadCancelled",
     [](CBaseCmd &cmd, Bytes &) {
         int nTries = 0;
         return cmd.changepin_baseXin(&nTries);
     },
     {{{}, 0x6984}}, {{0x84, 0xF4, 0x03, 0x0C, 0x00}}, {20}, KQ_SCARD_W_CANCELLED_BY_USER, {},
     nullptr},
    {"PlainChangePinBlocked",
     [](CBaseCmd &cmd, Bytes &) {
         BYTE bSw2 = 0;
         return cmd.ChangePin(nullptr, 0, &bSw2);
     },
     {{{}, 0x6300}}, {{0x00, 0x04, 0x00, 0x00, 0x00}}, {20}, KQ_SCARD_W_CHV_BLOCKED, {},
     "[ChangePin] bSw2 == 0"},
    {"VerifyGivenPin",
     [](CBaseCmd &cmd, Bytes &) {
         const BYTE ab[] = {0x31, 0x32, 0x33, 0x34};
         return cmd.VerifyPin(1, ab, 4, nullptr);
     },
     {{{}, 0x9000}}, {{0x00, 0x20, 0x01, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34}}, {5}, 0, {},
     nullptr},
    {"VerifyOnKeypadWrongPin",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(1, 0xEE);
         return cmd.VerifyPin(1, nullptr, 0, &out[0]);
     },
     {{{}, 0x63C2}}, {{0x00, 0x20, 0x00, 0x01, 0x00}}, {20}, KQ_SCARD_E_INVALID_CHV, {2},
     "CBaseCmd::innerVerifyPin bSw1 = 0x63, bSw2 = 194"},
    {"VerifyLastTryBlocks",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(1, 0xEE);
         return cmd.VerifyPin(1, nullptr, 0, &out[0]);
     },
     {{{}, 0x63C0}}, {{0x00, 0x20, 0x00, 0x01, 0x00}}, {20}, KQ_SCARD_W_CHV_BLOCKED, {0},
     nullptr},
    {"VerifyOddCounterIsNoTriesCount",
     [](CBaseCmd &cmd, Bytes &out) {
         out.assign(1, 0xEE);
         return cmd.VerifyPin(1, nullptr, 0, &out[0]);
     },
     {{{}, 0x6305}}, {{0x00, 0x20, 0x00, 0x01, 0x00}}, {20}, KQ_SCARD_E_UNEXPECTED, {0xEE},
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Table, PlainCommands, ::testing::ValuesIn(kPlainCases), CaseName());

// Chained RSA input of n bytes (0, 1, 2, ...) to the signature command.
struct RsaCase {
    const char *pszName;
    DWORD dwInLen;
    std::vector<BYTE> lcs;     // Lc of each block
    std::vector<BYTE> chains;  // chain byte of each block
};

class RsaChaining : public CommandTest, public ::testing::WithParamInterface<RsaCase> {};

TEST_P(RsaChaining, CutsInputInto128ByteBlocksAndGathersTheAnswers)
{
    const RsaCase &c = GetParam();
    Bytes in(c.dwInLen);
    for (DWORD i = 0; i < c.dwInLen; ++i)
        in[i] = static_cast<BYTE>(i);
    std::vector<Bytes> expected;
    Bytes expectedOut;
    DWORD dwRead = 0;
    for (std::size_t b = 0; b < c.lcs.size(); ++b) {
        const DWORD dwChunk = c.lcs[b] - 3u;
        Bytes apdu = {0x80, 0x2A, 0x9E, 0x9A, c.lcs[b], 0x00, 0x0B, c.chains[b]};
        apdu.insert(apdu.end(), in.begin() + dwRead, in.begin() + dwRead + dwChunk);
        expected.push_back(apdu);
        dwRead += dwChunk;
        const Bytes answer(3, static_cast<BYTE>(0xA0 + b));
        Queue({answer, 0x9000});
        expectedOut.insert(expectedOut.end(), answer.begin(), answer.end());
    }
    ASSERT_EQ(c.dwInLen, dwRead) << "table inconsistent";

    Bytes out(16, 0xEE);
    DWORD dwOutLen = static_cast<DWORD>(out.size());
    EXPECT_EQ(0u, m_pCmd->RsaSignature(0x00, 0x0B, in.data(), c.dwInLen, out.data(), &dwOutLen));
    EXPECT_EQ(expected, Sent());
    ASSERT_EQ(expectedOut.size(), dwOutLen);
    EXPECT_EQ(expectedOut, Bytes(out.begin(), out.begin() + dwOutLen));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RsaChaining,
    ::testing::Values(RsaCase{"OneBlock128", 128, {0x83}, {0x01}},
                      RsaCase{"Blocks128And1", 129, {0x83, 0x04}, {0x00, 0x01}},
                      RsaCase{"TwoBlocks256", 256, {0x83, 0x83}, {0x00, 0x01}},
                      RsaCase{"Short", 20, {0x17}, {0x01}}),
    CaseName());

// P1 P2 of each operation, and that the output never passes the caller's
// capacity.
TEST_F(CommandTest, RsaOperationsUseTheirOwnHeaderAndRespectTheOutputCapacity)
{
    typedef DWORD (CBaseCmd::*RsaFn)(BYTE, BYTE, const BYTE *, DWORD, BYTE *, DWORD *);
    const struct {
        RsaFn pfn;
        BYTE bP1, bP2;
        const char *pszTrace;
    } ops[] = {{&CBaseCmd::RsaPubKeyEncryt, 0x86, 0x80, "[RsaPubKeyEncryt] dwRet != S_OK"},
               {&CBaseCmd::RsaPrvKeyCrypt, 0x80, 0x86, "[RsaPrvKeyCrypt] dwRet != S_OK"},
               {&CBaseCmd::RsaVerifySignature, 0x00, 0xA8, "[RsaVerifySignature] dwRet != S_OK"},
               {&CBaseCmd::RsaSignature, 0x9E, 0x9A, "[RsaSignature] dwRet != S_OK"}};
    const Bytes in(200, 0x33);
    for (const auto &op : ops) {
        m_port.Dev(m_strPath).written.clear();
        // The first block's answer alone overflows a 4-byte output.
        Queue({Bytes(5, 0x77), 0x9000});
        Bytes out(8, 0xEE);
        DWORD dwOutLen = 4;
        EXPECT_EQ(KQ_SCARD_E_UNEXPECTED,
                  (m_pCmd->*op.pfn)(0x12, 0x34, in.data(), 200, out.data(), &dwOutLen));
        EXPECT_EQ(0u, dwOutLen);
        EXPECT_EQ(Bytes(8, 0xEE), out) << "written past the capacity";
        std::vector<Bytes> sent = Sent();
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ((Bytes{0x80, 0x2A, op.bP1, op.bP2, 0x83, 0x12, 0x34, 0x00}),
                  Bytes(sent[0].begin(), sent[0].begin() + 8));

        // A bad status word of the last block keeps what came before.
        m_port.Dev(m_strPath).written.clear();
        Queue({{Bytes(3, 0x01), 0x9000}, {{}, 0x6A80}});
        dwOutLen = 8;
        EXPECT_EQ(KQ_SCARD_E_UNEXPECTED,
                  (m_pCmd->*op.pfn)(0x12, 0x34, in.data(), 200, out.data(), &dwOutLen));
        EXPECT_EQ(3u, dwOutLen);
        EXPECT_EQ(2u, Sent().size());
        EXPECT_TRUE(TraceHas(op.pszTrace)) << op.pszTrace;
    }
}

TEST_F(CommandTest, ImportKeyOf300BytesGoesIn128And128And44WithMaskedTrace)
{
    Bytes key(300);
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<BYTE>(0xC0 ^ i);
    Queue({{{}, 0x9000}, {{}, 0x9000}, {{}, 0x9000}});
    EXPECT_EQ(0u, m_pCmd->ImportKey(0x00, 0x1C, key.data(), 300));

    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(3u, sent.size());
    const BYTE lcs[] = {0x81, 0x81, 0x2D}, chains[] = {0x00, 0x00, 0x01};
    std::size_t nRead = 0;
    for (int b = 0; b < 3; ++b) {
        Bytes apdu = {0x00, 0xD2, 0x00, 0x1C, lcs[b], chains[b]};
        apdu.insert(apdu.end(), key.begin() + nRead, key.begin() + nRead + lcs[b] - 1);
        nRead += lcs[b] - 1u;
        EXPECT_EQ(apdu, sent[b]) << "block " << b;
    }
    EXPECT_EQ((std::vector<DWORD>{20, 20, 20}), Waits());
    // Eight key bytes in a row as hex never reach the trace.
    EXPECT_EQ(std::string::npos, m_capture.RawText().find("C8C9CACBCCCDCECF"));
}

TEST_F(CommandTest, ImportKeyStopsAtTheFirstBadBlock)
{
    const Bytes key(300, 0x01);
    Queue({{{}, 0x9000}, {{}, 0x6985}});
    EXPECT_EQ(KQ_SCARD_E_NO_ACCESS, m_pCmd->ImportKey(0x00, 0x1C, key.data(), 300));
    EXPECT_EQ(2u, Sent().size());
    EXPECT_TRUE(TraceHas("[ImportKey] dwRet != S_OK"));
}

TEST_F(CommandTest, FailedExchangeAndFailedWaitGiveTheGenericCode)
{
    // Pulled token: the exchange fails.
    m_port.Dev(m_strPath).bPresent = false;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->SelectFile(0x00, 0x3F, 0x00));
    EXPECT_TRUE(TraceHas("[SelectFile] dwRet != 0"));

    // A device the HID manager does not know: SetTimeOut fails, nothing is sent.
    CBaseCmd *pOther = new CBaseCmd("\\\\?\\hid#not-connected");
    const std::size_t nWritten = m_port.Dev(m_strPath).written.size();
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, pOther->SelectFile(0x00, 0x3F, 0x00));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, pOther->GetUsbId(nullptr, nullptr));
    EXPECT_EQ(nWritten, m_port.Dev(m_strPath).written.size());
    pOther->DeleteObject(CARD_DELETE_MEMORY);
}

TEST_F(CommandTest, CachedPinServesOneVerificationAndNeverReachesTheTrace)
{
    const BYTE abPin[] = {0x39, 0x38, 0x37, 0x36, 0x35, 0x34};
    EXPECT_EQ(0u, m_pCmd->SetCachedPin(abPin, 6));
    BYTE *pbCopy = nullptr;
    int nLen = 0;
    EXPECT_EQ(0u, m_pCmd->GetCachedPin(&pbCopy, &nLen));
    ASSERT_EQ(6, nLen);
    ASSERT_NE(nullptr, pbCopy);
    EXPECT_EQ(0, std::memcmp(abPin, pbCopy, 6));
    CMemoryManager::Free(pbCopy);

    Queue({{{}, 0x9000}, {{}, 0x9000}});
    EXPECT_EQ(0u, m_pCmd->VerifyPin(1, nullptr, 0, nullptr));
    EXPECT_EQ(0u, m_pCmd->VerifyPin(1, nullptr, 0, nullptr));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ((Bytes{0x00, 0x20, 0x01, 0x01, 0x06, 0x39, 0x38, 0x37, 0x36, 0x35, 0x34}), sent[0]);
    EXPECT_EQ((Bytes{0x00, 0x20, 0x00, 0x01, 0x00}), sent[1]);
    EXPECT_EQ((std::vector<DWORD>{5, 20}), Waits());
    EXPECT_EQ(std::string::npos, m_capture.RawText().find("393837363534"));

    EXPECT_EQ(0u, m_pCmd->GetCachedPin(&pbCopy, &nLen));
    EXPECT_EQ(0, nLen);
    EXPECT_EQ(nullptr, pbCopy);

    const Bytes tooLong(33, 0x31);
    EXPECT_EQ(0u, m_pCmd->SetCachedPin(abPin, 2));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->SetCachedPin(tooLong.data(), 33));
    EXPECT_EQ(0u, m_pCmd->GetCachedPin(&pbCopy, &nLen));
    EXPECT_EQ(2, nLen) << "a refused PIN must leave the cache as it was";
    CMemoryManager::Free(pbCopy);
}

TEST_F(CommandTest, CommandsTraceEnterAndLeaveUnderKqcard)
{
    Queue(CardAnswer{{}, 0x9000});
    m_pCmd->SelectFile(0x00, 0x3F, 0x00);
    bool bEnter = false, bLeave = false;
    for (const TraceRecord &record : m_capture.Records()) {
        bEnter |= record.fields == std::vector<std::string>{"ENTER", "KQCARD", "CBaseCmd", "SelectFile"};
        bLeave |= record.fields == std::vector<std::string>{"LEAVE", "KQCARD", "CBaseCmd", "SelectFile"};
    }
    EXPECT_TRUE(bEnter);
    EXPECT_TRUE(bLeave);
}


// Never built: only the slot of its own first virtual is looked at.
class SlotProbe : public CBaseCmd {
public:
    virtual void Extra();
};

TEST(CardInterfaceLayout, SlotsAreInTheFixedOrder)
{
    typedef CCardInterface I;
    const long slots[] = {
        SlotOf(&I::DeleteObject), SlotOf(&I::SelectFile), SlotOf(&I::changepin_baseXin),
        SlotOf(&I::ChangePin), SlotOf(&I::VerifyPin), SlotOf(&I::GetPinVerifyTimes),
        SlotOf(&I::ExternalAuthentication), SlotOf(&I::ReadRecord), SlotOf(&I::UpdateRecord),
        SlotOf(&I::ReadBinary), SlotOf(&I::ReadBinaryInCipherMac), SlotOf(&I::UpdateBinary),
        SlotOf(&I::UpdateBinaryInCipherMac), SlotOf(&I::GenerateRsaKey),
        SlotOf(&I::RsaPubKeyEncryt), SlotOf(&I::RsaPrvKeyCrypt), SlotOf(&I::RsaVerifySignature),
        SlotOf(&I::RsaSignature), SlotOf(&I::ImportKey), SlotOf(&I::GetUsbId),
        SlotOf(&I::GetCosVersion), SlotOf(&I::GetVendorInfo), SlotOf(&I::GetDeviceInfo),
        SlotOf(&I::GetChipId), SlotOf(&I::GetCFCAId), SlotOf(&I::RsaPublicKeyExport),
        SlotOf(&I::CreateFileSystem), SlotOf(&I::SetDisplay), SlotOf(&I::DisplayPhoto),
        SlotOf(&I::DisplayLogo), SlotOf(&I::DisplayLine), SlotOf(&I::ClearScreen),
        SlotOf(&I::GetKeyData), SlotOf(&I::GetCachedPin), SlotOf(&I::SetCachedPin),
        SlotOf(&I::KeyInStart), SlotOf(&I::KeyIn),
        SlotOf(static_cast<DWORD (I::*)(BYTE, BYTE *, DWORD *)>(&I::KeyInEnd)),
        SlotOf(static_cast<DWORD (I::*)(BYTE *, DWORD *)>(&I::KeyInEnd)),
        SlotOf(&I::ImportSymmetricKey), SlotOf(&I::SetConfig)};
    ASSERT_EQ(41u, sizeof(slots) / sizeof(slots[0]));
    for (long i = 0; i < 41; ++i)
        EXPECT_EQ(i, slots[i]) << "method listed at position " << i;
    // Nothing after slot 40 either: the first virtual a class derived from
    // the command set adds (the file cache) lands in slot 41.
    EXPECT_EQ(41, SlotOf(&SlotProbe::Extra));
}

// A device value longer than the caller's buffer: the buffer stays as it
// was, the length needed comes back with the too-small-buffer code.
TEST_F(CommandTest, DeviceValueLongerThanTheBufferReportsTheLengthNeeded)
{
    for (DWORD (CBaseCmd::*pfn)(BYTE *, DWORD *) :
         {&CBaseCmd::GetUsbId, &CBaseCmd::GetChipId, &CBaseCmd::GetCFCAId}) {
        Queue(CardAnswer{{1, 2, 3, 4}, 0x9000});
        Bytes buffer(3, 0xEE);
        DWORD dwLen = 3;
        EXPECT_EQ(KQ_SCARD_E_INSUFFICIENT_BUFFER, (m_pCmd->*pfn)(buffer.data(), &dwLen));
        EXPECT_EQ(4u, dwLen);
        EXPECT_EQ(Bytes(3, 0xEE), buffer);
    }
    // An empty value is an empty result, not the old length.
    Queue(CardAnswer{{}, 0x9000});
    Bytes buffer(3, 0xEE);
    DWORD dwLen = 3;
    EXPECT_EQ(0u, m_pCmd->GetDeviceInfo(buffer.data(), &dwLen));
    EXPECT_EQ(0u, dwLen);
}

// ---------------------------------------------------------------------------
// PIN verification with the retry box

struct VerifyCase {
    const char *pszName;
    bool bGivenPin;
    std::vector<WORD> answers;  // status words of the VERIFYs, in order
    std::vector<int> boxAnswers;
    DWORD dwExpected;
    BYTE bTriesLeft;            // 0xEE: never written
    std::vector<int> boxModes;  // modes of the boxes shown, in order
};

class VerifyRetry : public CommandTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyRetry, ResultTriesBoxesAndVerifies)
{
    const VerifyCase &c = GetParam();
    for (WORD wSw : c.answers)
        Queue(CardAnswer{{}, wSw});
    ScriptBoxes(c.boxAnswers);
    const BYTE abPin[] = {0x39, 0x38, 0x37, 0x36};
    BYTE bTries = 0xEE;
    EXPECT_EQ(c.dwExpected, m_pCmd->VerifyPin(1, c.bGivenPin ? abPin : nullptr,
                                              c.bGivenPin ? 4 : 0, &bTries));
    EXPECT_EQ(c.bTriesLeft, bTries);
    std::vector<int> modes;
    for (const ShownBox &box : ShownBoxes()) {
        modes.push_back(box.nMode);
        EXPECT_EQ("PIN Verify", box.strCaption);
    }
    EXPECT_EQ(c.boxModes, modes);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(c.answers.size(), sent.size());
    // Every try after the first is typed on the keypad: a PIN the caller
    // gave, once wrong, is never sent again.
    for (std::size_t i = 1; i < sent.size(); ++i)
        EXPECT_EQ(Bytes({0x00, 0x20, 0x00, 0x01, 0x00}), sent[i]) << "try " << i;
}

const VerifyCase kVerifyCases[] = {
    {"Right", true, {0x9000}, {}, 0, 0xEE, {}},
    {"WrongThenCancel", true, {0x63C2}, {2}, KQ_SCARD_E_INVALID_CHV, 2, {1}},
    {"WrongRetryWrongCancel", true, {0x63C2, 0x63C1}, {1, 2}, KQ_SCARD_E_INVALID_CHV, 1, {1, 1}},
    {"WrongRetryRight", false, {0x63C2, 0x9000}, {1}, 0, 2, {1}},
    {"WrongRetryLocks", true, {0x63C1, 0x63C0}, {1}, KQ_SCARD_W_CHV_BLOCKED, 0, {1, 0}},
    {"LastTry", false, {0x63C0}, {}, KQ_SCARD_W_CHV_BLOCKED, 0, {0}},
    {"CounterBelowC0", false, {0x6305}, {}, KQ_SCARD_E_UNEXPECTED, 0xEE, {}},
    {"Blocked6300", false, {0x6300}, {}, KQ_SCARD_W_CHV_BLOCKED, 0xEE, {0}},
    {"Locked6983", false, {0x6983}, {}, KQ_SCARD_W_CHV_BLOCKED, 0xEE, {0}},
    {"CancelledOnKeypad", false, {0x6984}, {}, KQ_SCARD_W_CANCELLED_BY_USER, 0xEE, {}},
};

INSTANTIATE_TEST_SUITE_P(Answers, VerifyRetry, ::testing::ValuesIn(kVerifyCases), CaseName());

TEST_F(CommandTest, WrongPinBoxSaysTheTriesLeftAndTheLockedBoxNone)
{
    Queue({CardAnswer{{}, 0x63C3}, CardAnswer{{}, 0x63C0}});
    ScriptBoxes({1});
    EXPECT_EQ(KQ_SCARD_W_CHV_BLOCKED, m_pCmd->VerifyPin(1, nullptr, 0, nullptr));
    const std::vector<ShownBox> boxes = ShownBoxes();
    ASSERT_EQ(2u, boxes.size());
    // "...还有3次机会..." and the locked text, in code page 936.
    EXPECT_NE(std::string::npos, boxes[0].strText.find("\xBB\xB9\xD3\xD0" "3" "\xB4\xCE"));
    EXPECT_EQ(std::string::npos, boxes[1].strText.find("%d"));
    EXPECT_NE(std::string::npos, boxes[1].strText.find("\xCB\xF8\xB6\xA8"));
}

TEST_F(CommandTest, PinArgumentsAreChecked)
{
    const Bytes pin(33, 0x31);
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCmd->VerifyPin(1, pin.data(), 33, nullptr));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCmd->VerifyPin(1, nullptr, 4, nullptr));
    EXPECT_TRUE(Sent().empty());
}

// The picture prompt is started for a PIN typed on the keypad only, and
// taken down before the answer is judged.
TEST_F(CommandTest, KeypadVerificationAloneStartsAndStopsThePrompt)
{
    auto calls = [this](const char *pszMethod) {
        int n = 0;
        for (const TraceRecord &record : m_capture.Records())
            if (record.fields.size() > 3 && record.fields[0] == "ENTER" &&
                record.fields[2] == "CBMPThread" && record.fields[3] == pszMethod)
                ++n;
        return n;
    };
    const BYTE abPin[] = {0x31, 0x32, 0x33, 0x34};
    Queue(CardAnswer{{}, 0x9000});
    EXPECT_EQ(0u, m_pCmd->VerifyPin(1, abPin, 4, nullptr));
    EXPECT_EQ(0, calls("ShowBMPWnd"));
    Queue(CardAnswer{{}, 0x9000});
    EXPECT_EQ(0u, m_pCmd->VerifyPin(1, nullptr, 0, nullptr));
    EXPECT_EQ(1, calls("ShowBMPWnd"));
    EXPECT_GE(calls("HideBMPWnd"), 1);
}

}  // namespace
