// EmuCardOsTest.cpp
//
// APDU-level tests of the card: selection and its security reset, binary and
// record access, challenge and external authentication, secure messaging,
// PIN, information commands, dispatch and the log hook.
#include "EmuCardOs.h"
#include "EmuCardTestSupport.h"

#include "CaseName.h"

#include <gtest/gtest.h>

namespace {

struct SSelectCase {
    const char *pszName;
    std::vector<const char *> vPrefix;  // commands sent before, each answered 9000
    const char *pszApdu;
    uint16_t wSw;
};

class SelectTest : public ::testing::TestWithParam<SSelectCase> {};

TEST_P(SelectTest, AnswersStatusWord)
{
    CEmuCardOs card;
    for (const char *psz : GetParam().vPrefix)
        ASSERT_EQ(0x9000, SendSw(card, psz)) << psz;
    EXPECT_EQ(GetParam().wSw, SendSw(card, GetParam().pszApdu));
}

INSTANTIATE_TEST_SUITE_P(
    Card, SelectTest,
    ::testing::Values(
        SSelectCase{"Mf", {}, "00A4000002 3F00", 0x9000},
        SSelectCase{"DfFromMf", {"00A4000002 3F00"}, "00A4000002 5000", 0x9000},
        SSelectCase{"DfTwice", {"00A4000002 5000"}, "00A4000002 5000", 0x9000},
        SSelectCase{"EfInDf", {"00A4000002 5000"}, "00A4020002 5004", 0x9000},
        SSelectCase{"SiblingEfFromEf", {"00A4000002 5000", "00A4020002 5031"},
                    "00A4020002 5032", 0x9000},
        SSelectCase{"EfAsP1ZeroInDf", {"00A4000002 5000"}, "00A4000002 5004", 0x9000},
        SSelectCase{"EfNotInMf", {"00A4000002 3F00"}, "00A4020002 5004", 0x6A82},
        SSelectCase{"DfAsEf", {"00A4000002 3F00"}, "00A4020002 5000", 0x6A82},
        SSelectCase{"UnknownEf", {"00A4000002 5000"}, "00A4020002 50FF", 0x6A82},
        SSelectCase{"BadP1", {}, "00A4040002 5000", 0x6A86},
        SSelectCase{"OneByteId", {}, "00A4000001 50", 0x6700},
        SSelectCase{"LcLongerThanData", {}, "00A4000002 50", 0x6700},
        SSelectCase{"NoData", {}, "00A40000", 0x6700}),
    CaseName());

TEST(CardSelect, BlankTokenHasNoFileSystem)
{
    CEmuCardOs card(CEmuCardOs::BlankOptions());
    EXPECT_EQ(0x6A82, SendSw(card, "00A4000002 3F00"));
    EXPECT_EQ(0x6A82, SendSw(card, "00A4000002 5000"));
    EXPECT_EQ(0x6A88, SendSw(card, "0020010106 313233343536"));
}

TEST(CardSecurity, DirectorySelectionDropsAuthenticationAndPin)
{
    CEmuCardOs card;
    Authenticate(card);
    ASSERT_EQ(0x9000, VerifyPin(card, "123456"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    ASSERT_EQ(0x9000, SendSw(card, "00D6000002 4142"));
    // An EF selection keeps both; generation needs the PIN.
    EXPECT_EQ(0x9000, SendSw(card, "00A4020002 5003"));
    EXPECT_EQ(0x9000, SendSw(card, "0046000005 5051 5061 01"));

    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    EXPECT_EQ(0x6982, SendSw(card, "00D6000002 4142"));
    EXPECT_EQ(0x6982, SendSw(card, "0046000005 5051 5061 01"));
}

struct SReadCase {
    const char *pszName;
    const char *pszFid;
    const char *pszRead;
    uint16_t wSw;
    size_t cbData;
};

class ReadBinaryTest : public ::testing::TestWithParam<SReadCase> {};

TEST_P(ReadBinaryTest, AnswersDataOrRightLength)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(card, GetParam().pszFid));
    const SCardAnswer answer = Send(card, Hex(GetParam().pszRead));
    EXPECT_EQ(GetParam().wSw, answer.wSw);
    EXPECT_EQ(GetParam().cbData, answer.vbData.size());
}

INSTANTIATE_TEST_SUITE_P(
    Card, ReadBinaryTest,
    ::testing::Values(
        SReadCase{"WholeName", "00A4020002 5004", "00B0000040", 0x9000, 64},
        SReadCase{"NameTail", "00A4020002 5004", "00B0003C04", 0x9000, 4},
        SReadCase{"PastEndGivesRightLe", "00A4020002 5004", "00B0003C08", 0x6C04, 0},
        SReadCase{"LeZeroGivesRightLe", "00A4020002 5004", "00B0000000", 0x6C40, 0},
        SReadCase{"PinStatusOneByte", "00A4020002 5003", "00B0000004", 0x6C01, 0},
        SReadCase{"OffsetAtEnd", "00A4020002 5004", "00B0004001", 0x6B00, 0},
        SReadCase{"NameFileTwoReads", "00A4020002 5041", "00B000807F", 0x9000, 127},
        SReadCase{"CertificateLastPiece", "00A4020002 5071", "00B0078080", 0x9000, 128},
        SReadCase{"RecordFile", "00A4020002 5032", "00B000000C", 0x6981, 0},
        SReadCase{"KeyFile", "00A4020002 5061", "00B0000010", 0x6981, 0},
        SReadCase{"NoLe", "00A4020002 5004", "00B00000", 0x6700, 0},
        SReadCase{"ShortFileId", "00A4020002 5004", "00B0810001", 0x6A86, 0}),
    CaseName());

TEST(CardBinary, ReadWithoutCurrentEf)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    EXPECT_EQ(0x6986, SendSw(card, "00B0000001"));
}

TEST(CardBinary, IssuedContent)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5031"));
    EXPECT_EQ(Hex("503204 503304 000000 503501"), Send(card, Hex("00B000000C")).vbData);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    const Bytes vbName = Send(card, Hex("00B0000040")).vbData;
    EXPECT_EQ("KQ USB Key", std::string(vbName.begin(), vbName.begin() + 10));
    EXPECT_EQ(0, vbName[10]);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5003"));
    EXPECT_EQ(Hex("00"), Send(card, Hex("00B0000001")).vbData);
}

TEST(CardBinary, UpdateNeedsAuthenticationAndStaysInside)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    EXPECT_EQ(0x6982, SendSw(card, "00D6000003 414243"));
    Authenticate(card);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    EXPECT_EQ(0x9000, SendSw(card, "00D6003E02 5859"));
    EXPECT_EQ(0x6A84, SendSw(card, "00D6003F02 5859"));
    EXPECT_EQ(0x6B00, SendSw(card, "00D6004001 58"));
    EXPECT_EQ(Hex("00005859"), Send(card, Hex("00B0003C04")).vbData);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5051"));
    EXPECT_EQ(0x6981, SendSw(card, "00D6000001 00"));
}

TEST(CardRecord, ReadAndUpdateKeySetRecords)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5033"));
    EXPECT_EQ(Hex("00000000 5046 5056 5066 5076"), Send(card, Hex("00B202000C")).vbData);
    EXPECT_EQ(0x6C0C, SendSw(card, "00B202000B"));
    EXPECT_EQ(0x6A83, SendSw(card, "00B205000C"));
    EXPECT_EQ(0x6A83, SendSw(card, "00B200000C"));
    EXPECT_EQ(0x6982, SendSw(card, "00DC01000C 08000000 5041 5051 5061 5071"));

    Authenticate(card);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5032"));
    EXPECT_EQ(0x9000, SendSw(card, "00DC04000C 08000400 5044 5054 5064 5074"));
    EXPECT_EQ(0x6700, SendSw(card, "00DC04000B 08000400 5044 5054 5064 50"));
    EXPECT_EQ(Hex("08000400 5044 5054 5064 5074"), Send(card, Hex("00B204000C")).vbData);
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    EXPECT_EQ(0x6981, SendSw(card, "00B2010000"));
}

enum class ECryptogram { Right, WrongKey, None };

struct SExtAuthCase {
    const char *pszName;
    ECryptogram eFirst;   // first EXTERNAL AUTHENTICATE after the challenge
    uint16_t wFirstSw;
    uint16_t wRetrySw;    // the right cryptogram for the same challenge again
};

class ExternalAuthTest : public ::testing::TestWithParam<SExtAuthCase> {};

TEST_P(ExternalAuthTest, ChallengeIsSingleUse)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    const Bytes vbChallenge = Send(card, Hex("8084000010")).vbData;
    ASSERT_EQ(16u, vbChallenge.size());
    const Bytes vbRight = Des3(false, true, ExtAuthKey(), Bytes(), vbChallenge);
    Bytes vbFirst = Hex("0082000110");
    if (GetParam().eFirst == ECryptogram::None) {
        vbFirst = Hex("0082000108 0000000000000000");
    } else {
        const Bytes vbCrypt = GetParam().eFirst == ECryptogram::Right
                                  ? vbRight
                                  : Des3(false, true, SmKey(), Bytes(), vbChallenge);
        vbFirst.insert(vbFirst.end(), vbCrypt.begin(), vbCrypt.end());
    }
    EXPECT_EQ(GetParam().wFirstSw, Send(card, vbFirst).wSw);
    Bytes vbRetry = Hex("0082000110");
    vbRetry.insert(vbRetry.end(), vbRight.begin(), vbRight.end());
    EXPECT_EQ(GetParam().wRetrySw, Send(card, vbRetry).wSw);

    // Writes are allowed exactly when an authentication succeeded.
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5003"));
    EXPECT_EQ(GetParam().wFirstSw == 0x9000 ? 0x9000 : 0x6982, SendSw(card, "00D6000001 80"));
}

INSTANTIATE_TEST_SUITE_P(
    Card, ExternalAuthTest,
    ::testing::Values(SExtAuthCase{"RightKey", ECryptogram::Right, 0x9000, 0x6985},
                      SExtAuthCase{"WrongKey", ECryptogram::WrongKey, 0x6300, 0x6985},
                      SExtAuthCase{"MalformedStillConsumes", ECryptogram::None, 0x6700, 0x6985}),
    CaseName());

TEST(CardExternalAuth, NeedsSixteenByteChallenge)
{
    CEmuCardOs card;
    EXPECT_EQ(0x6985, SendSw(card, "0082000110 00000000000000000000000000000000"));
    ASSERT_EQ(0x9000, SendSw(card, "8084000008"));
    EXPECT_EQ(0x6985, SendSw(card, "0082000110 00000000000000000000000000000000"));
    EXPECT_EQ(0x6700, SendSw(card, "8084000004"));
}

class SecureMessagingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Authenticate(m_card);
        ASSERT_EQ(0x9000, SendSw(m_card, "00A4020002 5071"));
    }
    // The answer's data after checking its MAC by the same rule.
    Bytes Unwrap(const Bytes &vbAnswer, const Bytes &vbChallenge)
    {
        EXPECT_GE(vbAnswer.size(), 12u);
        if (vbAnswer.size() < 12)
            return Bytes();
        const Bytes vbBlock(vbAnswer.begin(), vbAnswer.end() - 4);
        Bytes vbMacInput = vbBlock;
        vbMacInput.push_back(0x80);
        vbMacInput.resize((vbMacInput.size() + 7) / 8 * 8, 0);
        const Bytes vbCbc = Des3(true, true, SmKey(), vbChallenge, vbMacInput);
        EXPECT_EQ(Bytes(vbCbc.end() - 8, vbCbc.end() - 4), Bytes(vbAnswer.end() - 4, vbAnswer.end()));
        const Bytes vbPlain = Des3(false, false, SmKey(), Bytes(), vbBlock);
        EXPECT_LE(static_cast<size_t>(vbPlain[0]) + 1, vbPlain.size());
        return Bytes(vbPlain.begin() + 1, vbPlain.begin() + 1 + vbPlain[0]);
    }
    CEmuCardOs m_card;
};

TEST_F(SecureMessagingTest, WriteThenReadBack)
{
    Bytes vbCert(128);
    for (size_t i = 0; i < vbCert.size(); ++i)
        vbCert[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(0x9000, SendSm(m_card, Hex("84D60080"), vbCert).wSw);
    // Plain read sees the plain bytes.
    EXPECT_EQ(Bytes(vbCert.begin(), vbCert.begin() + 8), Send(m_card, Hex("00B0008008")).vbData);

    // Lengths 7 and 8 sit on both sides of the padding rule.
    for (uint8_t cb : {uint8_t(7), uint8_t(8), uint8_t(128)}) {
        Bytes vbChallenge;
        const SCardAnswer answer = SendSm(m_card, Hex("84B00080"), Bytes(cb, 0), &vbChallenge);
        ASSERT_EQ(0x9000, answer.wSw) << int(cb);
        EXPECT_EQ(Bytes(vbCert.begin(), vbCert.begin() + cb), Unwrap(answer.vbData, vbChallenge));
    }
}

TEST_F(SecureMessagingTest, BadMacRefusedAndFileUnchanged)
{
    const Bytes vbChallenge = Send(m_card, Hex("8084000008")).vbData;
    Bytes vbApdu = SmWrap(Hex("84D60000"), Hex("DEADBEEF"), vbChallenge);
    vbApdu.back() ^= 0x01;
    EXPECT_EQ(0x6988, Send(m_card, vbApdu).wSw);
    // The challenge is gone: the right MAC for it is refused too.
    vbApdu.back() ^= 0x01;
    EXPECT_EQ(0x6985, Send(m_card, vbApdu).wSw);
    EXPECT_EQ(Hex("00000000"), Send(m_card, Hex("00B0000004")).vbData);
}

TEST_F(SecureMessagingTest, MacUnderWrongChallengeOrHeaderRefused)
{
    ASSERT_EQ(0x9000, SendSw(m_card, "8084000008"));
    EXPECT_EQ(0x6988, Send(m_card, SmWrap(Hex("84D60000"), Hex("01"), Bytes(8, 0))).wSw);
    // A MAC made for another offset does not fit this header.
    const Bytes vbChallenge = Send(m_card, Hex("8084000008")).vbData;
    Bytes vbApdu = SmWrap(Hex("84D60010"), Hex("01"), vbChallenge);
    vbApdu[3] = 0x00;
    EXPECT_EQ(0x6988, Send(m_card, vbApdu).wSw);
    EXPECT_EQ(0x6700, SendSw(m_card, "84D6000004 01020304"));
}

TEST_F(SecureMessagingTest, WriteNeedsAuthentication)
{
    ASSERT_EQ(0x9000, SendSw(m_card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, SendSw(m_card, "00A4020002 5071"));
    EXPECT_EQ(0x6982, SendSm(m_card, Hex("84D60000"), Hex("01")).wSw);
    EXPECT_EQ(0x6700, SendSm(m_card, Hex("84B007F8"), Bytes(9, 0)).wSw);
}

TEST(CardPin, TriesLockAndReset)
{
    CEmuCardOs card;
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    EXPECT_EQ(Hex("0606"), Send(card, Hex("8021000100")).vbData);
    EXPECT_EQ(0x63C5, VerifyPin(card, "654321"));
    EXPECT_EQ(0x63C4, VerifyPin(card, "12345"));
    EXPECT_EQ(Hex("0604"), Send(card, Hex("8021000100")).vbData);
    EXPECT_EQ(0x9000, VerifyPin(card, "123456"));
    EXPECT_EQ(Hex("0606"), Send(card, Hex("8021000100")).vbData);
    EXPECT_EQ(0x9000, SendSw(card, "00200101"));  // state query: verified

    for (uint16_t wLeft = 5; wLeft != 0xFFFF; --wLeft)
        EXPECT_EQ(0x63C0 | wLeft, VerifyPin(card, "000000"));
    EXPECT_EQ(0x6983, VerifyPin(card, "123456"));
    EXPECT_EQ(0x6983, SendSw(card, "00200101"));
    EXPECT_EQ(Hex("0600"), Send(card, Hex("8021000100")).vbData);
    EXPECT_EQ(0x6A88, SendSw(card, "8021000200"));
    EXPECT_EQ(0x6A88, SendSw(card, "0020010206 313233343536"));
}

TEST(CardPin, OptionsSetPinAndTries)
{
    SEmuCardOptions options;
    options.strPin = "8888";
    options.bPinTries = 3;
    CEmuCardOs card(options);
    EXPECT_EQ(Hex("0303"), Send(card, Hex("8021000100")).vbData);
    EXPECT_EQ(0x63C2, VerifyPin(card, "123456"));
    EXPECT_EQ(0x9000, VerifyPin(card, "8888"));
}

class FakeKeypad : public IEmuCardUserInput {
public:
    EEmuUserAnswer EnterPin(std::string &strPin) override
    {
        strPin = m_strPin;
        return m_eAnswer;
    }
    EEmuUserAnswer EnterPinChange(std::string &strOld, std::string &strNew) override
    {
        strOld = m_strPin;
        strNew = m_strNewPin;
        return m_eAnswer;
    }
    std::string m_strPin = "123456";
    std::string m_strNewPin = "246810";
    EEmuUserAnswer m_eAnswer = EEmuUserAnswer::Entered;
};

TEST(CardPin, KeypadCommandsGoToUserInput)
{
    CEmuCardOs card;
    EXPECT_EQ(0x6D00, SendSw(card, "0020000100"));
    EXPECT_EQ(0x6D00, SendSw(card, "84F4030C00"));
    FakeKeypad keypad;
    card.SetUserInput(&keypad);
    EXPECT_EQ(0x9000, SendSw(card, "0020000100"));
    keypad.m_eAnswer = EEmuUserAnswer::Cancelled;
    EXPECT_EQ(0x6984, SendSw(card, "0020000100"));
    keypad.m_eAnswer = EEmuUserAnswer::Entered;
    EXPECT_EQ(0x9000, SendSw(card, "84F4030C00"));
    EXPECT_EQ(0x63C5, VerifyPin(card, "123456"));
    EXPECT_EQ(0x9000, VerifyPin(card, "246810"));
}

struct SInfoCase {
    const char *pszName;
    const char *pszApdu;
    uint16_t wSw;
    const char *pszText;  // expected ASCII answer, or null for "8 bytes"
};

class InformationTest : public ::testing::TestWithParam<SInfoCase> {};

TEST_P(InformationTest, Answers)
{
    CEmuCardOs card;
    const SCardAnswer answer = Send(card, Hex(GetParam().pszApdu));
    EXPECT_EQ(GetParam().wSw, answer.wSw);
    if (GetParam().wSw != 0x9000)
        EXPECT_TRUE(answer.vbData.empty());
    else if (GetParam().pszText)
        EXPECT_EQ(GetParam().pszText, std::string(answer.vbData.begin(), answer.vbData.end()));
    else
        EXPECT_EQ(8u, answer.vbData.size());
}

INSTANTIATE_TEST_SUITE_P(
    Card, InformationTest,
    ::testing::Values(SInfoCase{"UsbSerial", "80F6000000", 0x9000, "KQEMU00000000001"},
                      SInfoCase{"CosVersion", "80F6000100", 0x9000, "KQEMU COS 1.00"},
                      SInfoCase{"Vendor", "80F6000200", 0x9000, "KQ Token Emulator"},
                      SInfoCase{"Device", "80F6000300", 0x9000, "KQ USB KEY RSA2048"},
                      SInfoCase{"ChipSerial", "80F6008000", 0x9000, nullptr},
                      SInfoCase{"CfcaIdFourBytes", "80F60004", 0x9000, nullptr},
                      SInfoCase{"ShortLe", "80F6000104", 0x6C0E, nullptr},
                      SInfoCase{"UnknownItem", "80F6000500", 0x6A86, nullptr},
                      SInfoCase{"BadP1", "80F6010000", 0x6A86, nullptr},
                      SInfoCase{"SetLanguage", "8009000002 0409", 0x9000, ""},
                      SInfoCase{"SetLanguageOneByte", "8009000001 04", 0x6700, ""},
                      SInfoCase{"SetConfigBadP2", "8009000102 0409", 0x6A86, ""}),
    CaseName());

struct SDispatchCase {
    const char *pszName;
    const char *pszApdu;
    uint16_t wSw;
};

class DispatchTest : public ::testing::TestWithParam<SDispatchCase> {};

TEST_P(DispatchTest, AnswersIsoStatusWord)
{
    CEmuCardOs card;
    EXPECT_EQ(GetParam().wSw, SendSw(card, GetParam().pszApdu));
}

INSTANTIATE_TEST_SUITE_P(
    Card, DispatchTest,
    ::testing::Values(SDispatchCase{"UnknownIns", "00CA000000", 0x6D00},
                      SDispatchCase{"GetResponse", "00C0000010", 0x6D00},
                      SDispatchCase{"KeyInPollWithoutEntry", "806E020000", 0x6985},
                      SDispatchCase{"UnknownCla", "A0A4000002 3F00", 0x6E00},
                      SDispatchCase{"KnownInsWrongCla", "80A4000002 3F00", 0x6E00},
                      SDispatchCase{"ThreeBytes", "00A400", 0x6700},
                      SDispatchCase{"Empty", "", 0x6700},
                      SDispatchCase{"ExtendedLength", "00B00000000010", 0x6700},
                      SDispatchCase{"LcBeyondData", "00D6000010 0102", 0x6700}),
    CaseName());

TEST(CardLog, MasksPinAndKeyData)
{
    CEmuCardOs card;
    std::vector<std::pair<Bytes, Bytes>> vLog;
    card.SetApduLog([&](const Bytes &vbCommand, const Bytes &vbAnswer) {
        vLog.emplace_back(vbCommand, vbAnswer);
    });
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    ASSERT_EQ(0x9000, VerifyPin(card, "123456"));
    ASSERT_EQ(0x6A80, SendSw(card, "00D2505105 01 AABBCCDD"));  // not a key: refused
    ASSERT_EQ(3u, vLog.size());
    EXPECT_EQ(Hex("00A4000002 5000"), vLog[0].first);
    EXPECT_EQ(Hex("9000"), vLog[0].second);
    EXPECT_EQ(Hex("0020010106"), vLog[1].first);
    EXPECT_EQ(Hex("9000"), vLog[1].second);
    EXPECT_EQ(Hex("00D2505105"), vLog[2].first);
    EXPECT_EQ(Hex("6A80"), vLog[2].second);
}

}  // namespace
