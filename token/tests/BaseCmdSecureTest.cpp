// BaseCmdSecureTest.cpp
//
// External authentication and the secure-messaging commands through the
// real crypto plug-in binding, checked against an independent libcrypto
// computation of the wire bytes; malformed enciphered answers; and the
// refusal to send anything when the crypto plug-in is missing.
#include "BaseCmdFixture.h"

#include "CardKeys.h"
#include "CaseName.h"
#include "ResultCodes.h"
#include "SmReference.h"

namespace {

const Bytes kChallenge = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
const Bytes kGetChallenge8 = {0x80, 0x84, 0x00, 0x00, 0x08};

Bytes SmKey()
{
    Bytes key(16);
    KQDWORD dwLen = 16;
    EXPECT_TRUE(GetSmKey(key.data(), &dwLen));
    return key;
}

Bytes Data(std::size_t n)
{
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<BYTE>(0x5C + 3 * i);
    return data;
}

struct WrapCase {
    const char *pszName;
    DWORD dwLen;
};

class SecureUpdate : public CommandTest, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(SecureUpdate, SendsTheIndependentlyComputedCommand)
{
    const Bytes data = Data(GetParam().dwLen);
    Queue({{kChallenge, 0x9000}, {{}, 0x9000}});
    EXPECT_EQ(0u, m_pCmd->UpdateBinaryInCipherMac(0x0180, data.data(), GetParam().dwLen));
    const std::vector<Bytes> expected = {
        kGetChallenge8, smref::Wrap(SmKey().data(), {0x84, 0xD6, 0x01, 0x80}, data, kChallenge)};
    EXPECT_EQ(expected, Sent());
    EXPECT_EQ((std::vector<DWORD>{20, 20}), Waits());
}

INSTANTIATE_TEST_SUITE_P(Lengths, SecureUpdate,
                         ::testing::Values(WrapCase{"Empty", 0}, WrapCase{"Six", 6},
                                           WrapCase{"Seven", 7}, WrapCase{"Eight", 8},
                                           WrapCase{"Fifteen", 15}, WrapCase{"Chunk", 128},
                                           WrapCase{"Longest", 239}),
                         CaseName());

TEST_F(CommandTest, SecureCommandsRefuseWhatDoesNotFitOneApduBeforeAnyExchange)
{
    const Bytes data = Data(256);
    BYTE abBuf[256];
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->UpdateBinaryInCipherMac(0, data.data(), 240));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->UpdateBinaryInCipherMac(0, data.data(), 256 + 7));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ReadBinaryInCipherMac(0, abBuf, 240));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ReadBinaryInCipherMac(0, abBuf, 0));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(CommandTest, CalEncryptedMacDataRefusesAChallengeOfSevenBytes)
{
    BYTE *pbOut = reinterpret_cast<BYTE *>(1);
    DWORD dwOutLen = 99;
    const BYTE abHeader[4] = {0x84, 0xD6, 0, 0};
    EXPECT_FALSE(m_pCmd->CalEncryptedMacData(abHeader, 4, kChallenge.data(), 8,
                                             kChallenge.data(), 7, &pbOut, &dwOutLen));
    EXPECT_EQ(nullptr, pbOut);
    EXPECT_EQ(0u, dwOutLen);

    // With 8 it gives the independent bytes, in a buffer from the memory library.
    ASSERT_TRUE(m_pCmd->CalEncryptedMacData(abHeader, 4, kChallenge.data(), 8,
                                            kChallenge.data(), 8, &pbOut, &dwOutLen));
    EXPECT_EQ(smref::Wrap(SmKey().data(), Bytes(abHeader, abHeader + 4), kChallenge, kChallenge),
              Bytes(pbOut, pbOut + dwOutLen));
    CMemoryManager::Free(pbOut);
}

TEST_F(CommandTest, SecureReadSendsTheWantedLengthAndReturnsThePlainAnswer)
{
    const Bytes plain = Data(20);
    const Bytes answer = smref::EncipherAnswer(SmKey().data(), smref::PlainBlock(plain));
    Queue({{kChallenge, 0x9000}, {answer, 0x9000}});
    Bytes buf(20, 0xEE);
    EXPECT_EQ(0u, m_pCmd->ReadBinaryInCipherMac(0x0010, buf.data(), 20));
    EXPECT_EQ(plain, buf);
    const std::vector<Bytes> expected = {
        kGetChallenge8,
        smref::Wrap(SmKey().data(), {0x84, 0xB0, 0x00, 0x10}, Bytes(20, 0x00), kChallenge)};
    EXPECT_EQ(expected, Sent());
}

// Enciphered answers a broken or hostile token might send to a secure read
// of 8 bytes: each is refused and the caller's buffer stays untouched.
struct BadAnswerCase {
    const char *pszName;
    std::vector<CardAnswer> answers;  // after which the command must stop
    std::size_t nSent;
    DWORD dwResult;
    const char *pszTrace;
};

Bytes Enciphered(const Bytes &rawBlock) { return smref::EncipherAnswer(SmKey().data(), rawBlock); }

class SecureReadBadAnswer : public CommandTest,
                            public ::testing::WithParamInterface<BadAnswerCase> {};

TEST_P(SecureReadBadAnswer, IsRefusedWithoutTouchingTheBuffer)
{
    const BadAnswerCase &c = GetParam();
    Queue(c.answers);
    Bytes buf(8, 0xEE);
    EXPECT_EQ(c.dwResult, m_pCmd->ReadBinaryInCipherMac(0, buf.data(), 8));
    EXPECT_EQ(Bytes(8, 0xEE), buf);
    EXPECT_EQ(c.nSent, Sent().size());
    EXPECT_TRUE(TraceHas(c.pszTrace)) << c.pszTrace;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SecureReadBadAnswer,
    ::testing::Values(
        BadAnswerCase{"ShortChallenge", {{Bytes(7, 1), 0x9000}}, 1, KQ_SCARD_E_UNEXPECTED,
                      "[ReadBinaryInCipherMac] recvApdu.size() < 8, recvApdu.size() = 7"},
        BadAnswerCase{"CardRefuses", {{kChallenge, 0x9000}, {{}, 0x6982}}, 2,
                      KQ_SCARD_W_SECURITY_VIOLATION,
                      "[ReadBinaryInCipherMac] dwRet != SCARD_S_SUCCESS"},
        BadAnswerCase{"MacOnly", {{kChallenge, 0x9000}, {{1, 2, 3, 4}, 0x9000}}, 2,
                      KQ_SCARD_E_UNEXPECTED, "[ReadBinaryInCipherMac] recvApdu2.size() < 5"},
        BadAnswerCase{"PartBlock", {{kChallenge, 0x9000}, {Bytes(10, 0x33), 0x9000}}, 2,
                      KQ_SCARD_E_UNEXPECTED,
                      "[ReadBinaryInCipherMac] DecryptCipherData Failed, recvApdu2.size() = 10"},
        BadAnswerCase{"LengthPastBlock",
                      {{kChallenge, 0x9000}, {Enciphered({0x40, 1, 2, 3, 4, 5, 6, 7}), 0x9000}},
                      2, KQ_SCARD_E_UNEXPECTED,
                      "[ReadBinaryInCipherMac] DecryptCipherData Failed, recvApdu2.size() = 12"},
        BadAnswerCase{"MoreThanTheBuffer",
                      {{kChallenge, 0x9000}, {Enciphered(smref::PlainBlock(Bytes(9, 7))), 0x9000}},
                      2, KQ_SCARD_E_UNEXPECTED,
                      "[ReadBinaryInCipherMac] dwDecryptedDataLen > dwLen, dwDecryptedDataLen = 9"}),
    CaseName());

TEST_F(CommandTest, MissingCryptoPluginSendsNothingInClear)
{
    ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("NoSuchCrypt.dll").c_str()));
    const Bytes data = Data(16);
    const Bytes key(16, 0x42);
    Queue({{kChallenge, 0x9000}, {kChallenge, 0x9000}, {Bytes(16, 1), 0x9000}});
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->UpdateBinaryInCipherMac(0, data.data(), 16));
    EXPECT_TRUE(TraceHas("[UpdateBinaryInCipherMac] CalEncryptedMacData Failed"));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED,
              m_pCmd->ImportSymmetricKey(0x6601, "abc", key.data(), 16));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ExternalAuthentication(key.data(), 16));
    // Only the three challenges went out.
    EXPECT_EQ((std::vector<Bytes>{kGetChallenge8, kGetChallenge8,
                                  {0x80, 0x84, 0x00, 0x00, 0x10}}),
              Sent());
    ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("KQCrypt.dll").c_str()));
}

TEST_F(CommandTest, ExternalAuthenticationEnciphersTheChallengeUnderTheKey)
{
    const Bytes key = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                       0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
    const Bytes challenge = Data(16);
    Queue({{challenge, 0x9000}, {{}, 0x9000}});
    EXPECT_EQ(0u, m_pCmd->ExternalAuthentication(key.data(), 16));
    Bytes expected = {0x00, 0x82, 0x00, 0x01, 0x10};
    const Bytes cryptogram = smref::Tdes(true, key.data(), nullptr, challenge);
    expected.insert(expected.end(), cryptogram.begin(), cryptogram.end());
    EXPECT_EQ((std::vector<Bytes>{{0x80, 0x84, 0x00, 0x00, 0x10}, expected}), Sent());
    EXPECT_EQ((std::vector<DWORD>{20, 10}), Waits());
}

TEST_F(CommandTest, ExternalAuthenticationStopsOnShortChallengeOrWrongKeyLength)
{
    const Bytes key(16, 0x42);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ExternalAuthentication(key.data(), 15));
    EXPECT_TRUE(Sent().empty());

    Queue({{Bytes(15, 1), 0x9000}});
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ExternalAuthentication(key.data(), 16));
    EXPECT_EQ(1u, Sent().size());

    // A refused cryptogram is the card's mapped code.
    Queue({{Bytes(16, 1), 0x9000}, {{}, 0x6982}});
    EXPECT_EQ(KQ_SCARD_W_SECURITY_VIOLATION, m_pCmd->ExternalAuthentication(key.data(), 16));
    EXPECT_TRUE(TraceHas("[ExternalAuthentication] dwRet != SCARD_S_SUCCESS"));
}

TEST_F(CommandTest, ImportSymmetricKeyWrapsIdNameAndValue)
{
    const Bytes value = Data(16);
    Queue({{kChallenge, 0x9000}, {{}, 0x9000}});
    EXPECT_EQ(0u, m_pCmd->ImportSymmetricKey(0x6601, "abc", value.data(), 16));
    Bytes plain = {0x66, 0x01, 0x03, 'a', 'b', 'c', 0x10};
    plain.insert(plain.end(), value.begin(), value.end());
    const std::vector<Bytes> expected = {
        kGetChallenge8, smref::Wrap(SmKey().data(), {0x84, 0xD4, 0x00, 0x00}, plain, kChallenge)};
    EXPECT_EQ(expected, Sent());
    EXPECT_EQ((std::vector<DWORD>{5, 20}), Waits());
}

TEST_F(CommandTest, ImportSymmetricKeyRefusesBadNameOrValueAfterTheChallenge)
{
    const Bytes value(33, 0x42);
    const std::string strLongName(257, 'n');  // its low byte would pass as 1
    Queue({{kChallenge, 0x9000}, {kChallenge, 0x9000}, {kChallenge, 0x9000}});
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ImportSymmetricKey(0x6603, "", value.data(), 16));
    EXPECT_TRUE(TraceHas("[ImportSymmetricKey] byKeyNameLen error byKeyNameLen=[0]"));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED,
              m_pCmd->ImportSymmetricKey(0x6603, strLongName.c_str(), value.data(), 16));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCmd->ImportSymmetricKey(0x6603, "k", value.data(), 33));
    EXPECT_TRUE(TraceHas("[ImportSymmetricKey] byKeyValueLen error byKeyValueLen=[33]"));
    EXPECT_EQ((std::vector<Bytes>{kGetChallenge8, kGetChallenge8, kGetChallenge8}), Sent());

    Queue(CardAnswer{{}, 0x6A86});
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER,
              m_pCmd->ImportSymmetricKey(0x6603, "k", value.data(), 16));
    EXPECT_TRUE(TraceHas("[ImportSymmetricKey] dwRet[-2146435068] != S_OK"));
}

}  // namespace
