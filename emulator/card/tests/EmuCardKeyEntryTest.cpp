// EmuCardKeyEntryTest.cpp
//
// The card's keypad entry with a holder whose presses are given: which
// presses an entry takes (allowed-key bitmap by key code, Backspace always,
// the maximum length, Enter and Esc ending the typing), a new KEY IN START
// replacing an entry, the three KEY IN END modes checked against libcrypto
// (plain, a symmetric key, the host's RSA key) with the refusals that keep
// a keyed entry's secret from leaving in clear, the answer size limit, GET
// KEY DATA, and the log, which shows no typed key.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CaseName.h"
#include "EmuCardTestSupport.h"

namespace {

// A holder who presses the given characters in order, as the scripted
// holder does: a press the entry refuses is used up and noted.
class GivenKeys : public IEmuCardUserInput {
public:
    EEmuUserAnswer EnterPin(std::string &) override { return EEmuUserAnswer::Cancelled; }
    EEmuUserAnswer EnterPinChange(std::string &, std::string &) override
    {
        return EEmuUserAnswer::Cancelled;
    }
    bool PressKey(const std::function<const char *(uint8_t)> &fnRefusal, uint8_t &bChar) override
    {
        while (!m_presses.empty()) {
            const uint8_t b = m_presses.front();
            m_presses.pop_front();
            const char *pszWhy = fnRefusal(b);
            if (pszWhy == nullptr) {
                bChar = b;
                return true;
            }
            m_refused.push_back(std::string(1, static_cast<char>(b)) + ": " + pszWhy);
        }
        return false;
    }
    void Press(const std::string &str) { m_presses.insert(m_presses.end(), str.begin(), str.end()); }

    std::deque<uint8_t> m_presses;
    std::vector<std::string> m_refused;
};

// The 10-byte allowed-key bitmap of these key codes.
Bytes Bitmap(const std::vector<int> &codes)
{
    Bytes vb(10, 0);
    for (int nCode : codes)
        vb[static_cast<size_t>(nCode / 8)] |= static_cast<uint8_t>(0x80 >> (nCode % 8));
    return vb;
}

std::vector<int> Range(int nFirst, int nLast, std::vector<int> codes = {})
{
    for (int i = nFirst; i <= nLast; ++i)
        codes.push_back(i);
    return codes;
}

const int kCodeEsc = 62, kCodeEnter = 63;

// KEY IN START data: mode 3, the length, the bitmap, FF, then the key part.
Bytes StartApdu(uint8_t bMaxLen, const Bytes &vbBitmap, const Bytes &vbKeyPart = Bytes{0x00})
{
    Bytes vbData = {0x03, bMaxLen};
    vbData.insert(vbData.end(), vbBitmap.begin(), vbBitmap.end());
    vbData.push_back(0xFF);
    vbData.insert(vbData.end(), vbKeyPart.begin(), vbKeyPart.end());
    Bytes vbApdu = {0x80, 0x6E, 0x01, 0x00, static_cast<uint8_t>(vbData.size())};
    vbApdu.insert(vbApdu.end(), vbData.begin(), vbData.end());
    return vbApdu;
}

// The key part naming a key: flag 01, key id, reference length, reference.
Bytes KeyPart(uint16_t wKeyId, const Bytes &vbRef)
{
    Bytes vb = {0x01, static_cast<uint8_t>(wKeyId >> 8), static_cast<uint8_t>(wKeyId),
                static_cast<uint8_t>(vbRef.size())};
    vb.insert(vb.end(), vbRef.begin(), vbRef.end());
    return vb;
}

Bytes Text(const std::string &str) { return Bytes(str.begin(), str.end()); }

// Polls until the card answers "no key"; the keys it answered.
std::string PollAll(CEmuCardOs &card)
{
    std::string strKeys;
    for (int i = 0; i < 400; ++i) {
        const SCardAnswer answer = Send(card, Hex("806E020000"));
        EXPECT_EQ(0x9000, answer.wSw);
        EXPECT_EQ(1u, answer.vbData.size());
        if (answer.wSw != 0x9000 || answer.vbData.size() != 1 || answer.vbData[0] == 0)
            break;
        strKeys += static_cast<char>(answer.vbData[0]);
    }
    return strKeys;
}

// KEY IN END after a fresh challenge; the data inside the enciphered answer,
// its MAC checked with the challenge (empty unless 9000).
SCardAnswer EndEntry(CEmuCardOs &card, uint8_t bMode)
{
    const SCardAnswer challenge = Send(card, Hex("8084000008"));
    EXPECT_EQ(0x9000, challenge.wSw);
    SCardAnswer answer = Send(card, Bytes{0x84, 0x6E, 0x03, bMode, 0x00});
    if (answer.wSw != 0x9000)
        return answer;
    const Bytes &vb = answer.vbData;
    EXPECT_LE(vb.size(), 256u);
    if (vb.size() < 12 || (vb.size() - 4) % 8 != 0) {
        ADD_FAILURE() << "enciphered answer of " << vb.size() << " bytes";
        answer.vbData.clear();
        return answer;
    }
    const Bytes vbBlock(vb.begin(), vb.end() - 4);
    Bytes vbMacInput = vbBlock;
    vbMacInput.push_back(0x80);
    vbMacInput.resize((vbMacInput.size() + 7) / 8 * 8, 0x00);
    const Bytes vbCbc = Des3(true, true, SmKey(), challenge.vbData, vbMacInput);
    EXPECT_EQ(Bytes(vbCbc.end() - 8, vbCbc.end() - 4), Bytes(vb.end() - 4, vb.end()));
    const Bytes vbPlain = Des3(false, false, SmKey(), Bytes(), vbBlock);
    EXPECT_LT(vbPlain[0], vbPlain.size());
    answer.vbData.assign(vbPlain.begin() + 1, vbPlain.begin() + 1 + vbPlain[0]);
    return answer;
}

// ---------------------------------------------------------------------------
// What an entry takes

struct STypingCase {
    const char *pszName;
    std::vector<int> allowed;  // key codes
    uint8_t bMaxLen;
    const char *pszPresses;
    const char *pszPolled;    // the keys the polls answer, in order
    const char *pszEntered;   // mode 00 result
    size_t cRefused;
    const char *pszLeft;      // presses still waiting afterwards
};

class KeyEntryTypingTest : public ::testing::TestWithParam<STypingCase> {};

TEST_P(KeyEntryTypingTest, TakesTheAllowedKeysUpToTheLength)
{
    const STypingCase &c = GetParam();
    CEmuCardOs card;
    GivenKeys keys;
    card.SetUserInput(&keys);
    ASSERT_EQ(0x9000, Send(card, StartApdu(c.bMaxLen, Bitmap(c.allowed))).wSw);
    keys.Press(c.pszPresses);
    EXPECT_EQ(c.pszPolled, PollAll(card));
    EXPECT_EQ(c.cRefused, keys.m_refused.size());
    EXPECT_EQ(std::string(c.pszLeft), std::string(keys.m_presses.begin(), keys.m_presses.end()));
    const SCardAnswer end = EndEntry(card, 0x00);
    EXPECT_EQ(0x9000, end.wSw);
    EXPECT_EQ(Text(c.pszEntered), end.vbData);
}

const std::vector<int> kDigitsEnter = Range(0, 9, {kCodeEnter});

INSTANTIATE_TEST_SUITE_P(
    Card, KeyEntryTypingTest,
    ::testing::Values(
        STypingCase{"DigitsOnly", kDigitsEnter, 8, "1a2B3\r", "123\r", "123", 2, ""},
        STypingCase{"MaxLength", kDigitsEnter, 3, "12345\r", "123\r", "123", 2, ""},
        STypingCase{"BackspaceAlwaysAllowed", kDigitsEnter, 4, "12\b3\b\b4\r", "12\b3\b\b4\r",
                    "4", 0, ""},
        STypingCase{"BackspaceMakesRoom", kDigitsEnter, 2, "123\b4\r", "12\b4\r", "14", 1, ""},
        STypingCase{"BackspaceOnNothing", kDigitsEnter, 4, "\b\b7\r", "\b\b7\r", "7", 0, ""},
        STypingCase{"EnterEndsTheTyping", kDigitsEnter, 8, "12\r34", "12\r", "12", 0, "34"},
        STypingCase{"EscEndsTheTyping", Range(0, 9, {kCodeEsc}), 8, "5\x1b" "6", "5\x1b", "5",
                    0, "6"},
        STypingCase{"EnterNotAllowed", Range(0, 9), 8, "12\r3", "123", "123", 1, ""},
        STypingCase{"LettersByCode", {10, 11, 36, kCodeEnter}, 8, "ABCabc\r", "ABa\r", "ABa",
                    3, ""},
        STypingCase{"SpecialKeysByCode", {64, 65, 67, 68, kCodeEnter}, 8, "*+.#~\r", "*+.#\r",
                    "*+.#", 1, ""},
        STypingCase{"NothingAllowed", {}, 8, "1A\r", "", "", 3, ""},
        STypingCase{"NoLength", kDigitsEnter, 0, "1\r", "\r", "", 1, ""}),
    CaseName());

TEST(KeyEntry, NewStartReplacesTheEntry)
{
    CEmuCardOs card;
    GivenKeys keys;
    card.SetUserInput(&keys);
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    keys.Press("12");
    EXPECT_EQ("12", PollAll(card));
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    keys.Press("3\r");
    EXPECT_EQ("3\r", PollAll(card));
    EXPECT_EQ(Text("3"), EndEntry(card, 0x00).vbData);

    // A refused start ends the entry before it too.
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    keys.Press("4");
    EXPECT_EQ("4", PollAll(card));
    EXPECT_EQ(0x6700, Send(card, Hex("806E010003 030800")).wSw);
    EXPECT_EQ(0x6985, SendSw(card, "806E020000"));
}

TEST(KeyEntry, PollAndEndNeedAnEntry)
{
    CEmuCardOs card;
    GivenKeys keys;
    card.SetUserInput(&keys);
    keys.Press("1");
    EXPECT_EQ(0x6985, SendSw(card, "806E020000"));
    EXPECT_EQ(0x6985, EndEntry(card, 0x00).wSw);
    EXPECT_EQ(1u, keys.m_presses.size());  // no entry asks for keys

    // An entry ends with its KEY IN END, and with a power cycle.
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    ASSERT_EQ(0x9000, EndEntry(card, 0x00).wSw);
    EXPECT_EQ(0x6985, SendSw(card, "806E020000"));
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    card.PowerOn();
    EXPECT_EQ(0x6985, SendSw(card, "806E020000"));

    // KEY IN END needs a fresh 8-byte challenge, and uses it up.
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    EXPECT_EQ(0x6985, SendSw(card, "846E030000"));
    ASSERT_EQ(0x9000, SendSw(card, "8084000010"));
    EXPECT_EQ(0x6985, SendSw(card, "846E030000"));
    ASSERT_EQ(0x9000, SendSw(card, "8084000008"));
    ASSERT_EQ(0x9000, SendSw(card, "846E030000"));
    EXPECT_EQ(0x6985, SendSw(card, "846E030000"));
}

TEST(KeyEntry, CommandShapes)
{
    CEmuCardOs card;
    EXPECT_EQ(0x6A86, SendSw(card, "806E030000"));
    EXPECT_EQ(0x6A86, SendSw(card, "806E020100"));
    EXPECT_EQ(0x6E00, SendSw(card, "006E020000"));
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    EXPECT_EQ(0x6700, SendSw(card, "806E020001 00"));
    ASSERT_EQ(0x9000, SendSw(card, "8084000008"));
    EXPECT_EQ(0x6A86, SendSw(card, "846E020000"));
}

// ---------------------------------------------------------------------------
// Keys and modes

typedef std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> PkeyPtr;

// The host-key file content ImportRsaPubKey writes: n + 4, e, modulus.
Bytes HostKeyFile(EVP_PKEY *pKey)
{
    BIGNUM *pN = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &pN));
    const size_t cbN = static_cast<size_t>(BN_num_bytes(pN));
    Bytes vb = {0, 0, static_cast<uint8_t>((cbN + 4) >> 8), static_cast<uint8_t>(cbN + 4),
                0x00, 0x01, 0x00, 0x01};
    vb.resize(8 + cbN);
    BN_bn2bin(pN, vb.data() + 8);
    BN_free(pN);
    return vb;
}

Bytes RsaDecrypt(EVP_PKEY *pKey, const Bytes &vbCipher)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(pKey, nullptr);
    size_t cbOut = 512;
    Bytes vbOut(cbOut);
    const bool fOk = pCtx != nullptr && EVP_PKEY_decrypt_init(pCtx) == 1 &&
                     EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) == 1 &&
                     EVP_PKEY_decrypt(pCtx, vbOut.data(), &cbOut, vbCipher.data(),
                                      vbCipher.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    EXPECT_TRUE(fOk);
    vbOut.resize(fOk ? cbOut : 0);
    return vbOut;
}

const Bytes kKey16 = Hex("0123456789ABCDEF FEDCBA9876543210");
const Bytes kKey8 = Hex("1F2E3D4C5B6A7988");

// An issued card with symmetric keys 6601 "abc" (16 bytes) and 6603 "one"
// (8 bytes), and a host key in EF 5080, authenticated in DF 5000.
class KeyEntryKeysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pHostKey = EVP_RSA_gen(1024); }
    static void TearDownTestSuite() { EVP_PKEY_free(s_pHostKey); }

    void SetUp() override
    {
        ASSERT_NE(nullptr, s_pHostKey);
        m_card.SetUserInput(&m_keys);
        Authenticate(m_card);
        ImportSymmetric(0x6601, "abc", kKey16);
        ImportSymmetric(0x6603, "one", kKey8);
        ASSERT_EQ(0x9000, SendSw(m_card, "00A4020002 5080"));
        Bytes vbUpdate = {0x00, 0xD6, 0x00, 0x00};
        const Bytes vbFile = HostKeyFile(s_pHostKey);
        vbUpdate.push_back(static_cast<uint8_t>(vbFile.size()));
        vbUpdate.insert(vbUpdate.end(), vbFile.begin(), vbFile.end());
        ASSERT_EQ(0x9000, Send(m_card, vbUpdate).wSw);
    }

    void ImportSymmetric(uint16_t wKeyId, const std::string &strName, const Bytes &vbValue)
    {
        Bytes vbPlain = {static_cast<uint8_t>(wKeyId >> 8), static_cast<uint8_t>(wKeyId),
                         static_cast<uint8_t>(strName.size())};
        vbPlain.insert(vbPlain.end(), strName.begin(), strName.end());
        vbPlain.push_back(static_cast<uint8_t>(vbValue.size()));
        vbPlain.insert(vbPlain.end(), vbValue.begin(), vbValue.end());
        ASSERT_EQ(0x9000, SendSm(m_card, Hex("84D40000"), vbPlain).wSw);
    }

    // Starts an entry with this key part and types the characters.
    void Type(const Bytes &vbKeyPart, const std::string &strChars)
    {
        ASSERT_EQ(0x9000, Send(m_card, StartApdu(16, Bitmap(kDigitsEnter), vbKeyPart)).wSw);
        m_keys.Press(strChars + "\r");
        ASSERT_EQ(strChars + "\r", PollAll(m_card));
    }

    static EVP_PKEY *s_pHostKey;
    CEmuCardOs m_card;
    GivenKeys m_keys;
};

EVP_PKEY *KeyEntryKeysTest::s_pHostKey = nullptr;

const Bytes kNoKey = {0x00};
const Bytes kSymmetric16 = KeyPart(0x6601, Text("abc"));
const Bytes kSymmetric8 = KeyPart(0x6603, Text("one"));
const Bytes kHostKey = KeyPart(0xA400, Hex("5080"));

struct SModeCase {
    const char *pszName;
    Bytes vbKeyPart;
    uint8_t bMode;
    uint16_t wSw;
};

class KeyEntryModeTest : public KeyEntryKeysTest,
                         public ::testing::WithParamInterface<SModeCase> {};

// A mode the entry's key does not give is refused, and the entry stays
// open for the mode that fits.
TEST_P(KeyEntryModeTest, RefusesAModeThatDoesNotFitTheKey)
{
    const SModeCase &c = GetParam();
    Type(c.vbKeyPart, "2468");
    EXPECT_EQ(c.wSw, EndEntry(m_card, c.bMode).wSw);
    const uint8_t bFitting = c.vbKeyPart == kNoKey ? 0 : c.vbKeyPart == kHostKey ? 2 : 1;
    EXPECT_EQ(0x9000, EndEntry(m_card, bFitting).wSw);
}

INSTANTIATE_TEST_SUITE_P(
    Card, KeyEntryModeTest,
    ::testing::Values(SModeCase{"NoKeyMode1", kNoKey, 1, 0x6985},
                      SModeCase{"NoKeyMode2", kNoKey, 2, 0x6985},
                      SModeCase{"SymmetricKeyPlain", kSymmetric16, 0, 0x6985},
                      SModeCase{"SymmetricKeyMode2", kSymmetric16, 2, 0x6985},
                      SModeCase{"HostKeyPlain", kHostKey, 0, 0x6985},
                      SModeCase{"HostKeyMode1", kHostKey, 1, 0x6985},
                      SModeCase{"UnknownMode", kSymmetric16, 3, 0x6A86}),
    CaseName());

TEST_F(KeyEntryKeysTest, SymmetricKeyEnciphersThePaddedCharacters)
{
    Type(kSymmetric16, "2468");
    const SCardAnswer answer = EndEntry(m_card, 0x01);
    ASSERT_EQ(0x9000, answer.wSw);
    EXPECT_EQ(Hex("32343638 80000000"), Des3(false, false, kKey16, Bytes(), answer.vbData));

    // An 8-byte key is single DES (two-key triple DES with both halves equal).
    Type(kSymmetric8, "12345678");
    const SCardAnswer single = EndEntry(m_card, 0x01);
    ASSERT_EQ(0x9000, single.wSw);
    Bytes vbDoubled = kKey8;
    vbDoubled.insert(vbDoubled.end(), kKey8.begin(), kKey8.end());
    EXPECT_EQ(Hex("3132333435363738 8000000000000000"),
              Des3(false, false, vbDoubled, Bytes(), single.vbData));
}

TEST_F(KeyEntryKeysTest, HostKeyEncryptsWithPkcs1)
{
    Type(kHostKey, "1234");
    const SCardAnswer first = EndEntry(m_card, 0x02);
    ASSERT_EQ(0x9000, first.wSw);
    ASSERT_EQ(128u, first.vbData.size());
    EXPECT_EQ(Text("1234"), RsaDecrypt(s_pHostKey, first.vbData));
    // The padding is random: the same characters encrypt differently.
    Type(kHostKey, "1234");
    const SCardAnswer second = EndEntry(m_card, 0x02);
    ASSERT_EQ(0x9000, second.wSw);
    EXPECT_NE(first.vbData, second.vbData);
    EXPECT_EQ(Text("1234"), RsaDecrypt(s_pHostKey, second.vbData));
}

struct SStartCase {
    const char *pszName;
    Bytes vbKeyPart;
    uint16_t wSw;
};

class KeyEntryStartTest : public KeyEntryKeysTest,
                          public ::testing::WithParamInterface<SStartCase> {};

TEST_P(KeyEntryStartTest, RefusesAKeyThatIsNotThere)
{
    EXPECT_EQ(GetParam().wSw, Send(m_card, StartApdu(8, Bitmap(kDigitsEnter),
                                                     GetParam().vbKeyPart)).wSw);
    EXPECT_EQ(0x6985, SendSw(m_card, "806E020000"));
}

INSTANTIATE_TEST_SUITE_P(
    Card, KeyEntryStartTest,
    ::testing::Values(SStartCase{"UnknownName", KeyPart(0x6601, Text("abd")), 0x6A88},
                      SStartCase{"NameOfTheOtherId", KeyPart(0x6603, Text("abc")), 0x6A88},
                      SStartCase{"UnknownKeyId", KeyPart(0x6602, Text("abc")), 0x6A88},
                      SStartCase{"HostKeyFileEmpty", KeyPart(0xA400, Hex("5081")), 0x6A88},
                      SStartCase{"HostKeyFileMissing", KeyPart(0xA400, Hex("5099")), 0x6A88},
                      SStartCase{"HostKeyInARecordFile", KeyPart(0xA400, Hex("5035")), 0x6A88},
                      SStartCase{"KeyFlagTwo", Bytes{0x02}, 0x6A80},
                      SStartCase{"KeyFlagWithoutKey", Bytes{0x01}, 0x6700},
                      SStartCase{"EmptyReference", KeyPart(0x6601, Bytes()), 0x6700},
                      SStartCase{"ReferenceCut", Hex("01 6601 04 616263"), 0x6700},
                      SStartCase{"NoKeyWithTrailingBytes", Hex("00 6601"), 0x6700}),
    CaseName());

TEST_F(KeyEntryKeysTest, NamedKeyNeedsExternalAuthentication)
{
    ASSERT_EQ(0x9000, SendSw(m_card, "00A4000002 5000"));  // drops the authentication
    EXPECT_EQ(0x6982, Send(m_card, StartApdu(8, Bitmap(kDigitsEnter), kSymmetric16)).wSw);
    EXPECT_EQ(0x9000, Send(m_card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
}

// The enciphered answer must fit one short answer: 247 data bytes at most.
TEST(KeyEntry, ResultTooLongForOneAnswer)
{
    const struct {
        size_t cChars;
        uint16_t wSw;
    } aCases[] = {{247, 0x9000}, {248, 0x6700}, {255, 0x6700}};
    for (const auto &c : aCases) {
        CEmuCardOs card;
        GivenKeys keys;
        card.SetUserInput(&keys);
        ASSERT_EQ(0x9000, Send(card, StartApdu(255, Bitmap(kDigitsEnter))).wSw);
        keys.Press(std::string(c.cChars, '7') + "\r");
        EXPECT_EQ(c.cChars + 1, PollAll(card).size());
        const SCardAnswer answer = EndEntry(card, 0x00);
        EXPECT_EQ(c.wSw, answer.wSw) << c.cChars << " characters";
        if (c.wSw == 0x9000) {
            EXPECT_EQ(Text(std::string(c.cChars, '7')), answer.vbData);
        }
    }
}

// ---------------------------------------------------------------------------
// GET KEY DATA

TEST_F(KeyEntryKeysTest, GetKeyDataEnciphersUnderTheChosenKey)
{
    // A second key of id 6601: the first one imported is the one used.
    ImportSymmetric(0x6601, "xyz", Hex("00112233445566778899AABBCCDDEEFF"));
    const Bytes vbData = Hex("01 0203 00112233445566778899 04");
    Bytes vbApdu = Hex("805E00000E");
    vbApdu.insert(vbApdu.end(), vbData.begin(), vbData.end());
    const SCardAnswer first = Send(m_card, vbApdu);
    ASSERT_EQ(0x9000, first.wSw);
    Bytes vbPadded = vbData;
    vbPadded.push_back(0x80);
    vbPadded.push_back(0x00);
    EXPECT_EQ(vbPadded, Des3(false, false, kKey16, Bytes(), first.vbData));

    vbApdu[5] = 0x02;
    vbPadded[0] = 0x02;
    Bytes vbDoubled = kKey8;
    vbDoubled.insert(vbDoubled.end(), kKey8.begin(), kKey8.end());
    const SCardAnswer second = Send(m_card, vbApdu);
    ASSERT_EQ(0x9000, second.wSw);
    EXPECT_EQ(vbPadded, Des3(false, false, vbDoubled, Bytes(), second.vbData));

    vbApdu[5] = 0x03;
    EXPECT_EQ(0x6A80, Send(m_card, vbApdu).wSw);
    EXPECT_EQ(0x6700, SendSw(m_card, "805E00000D 01020300112233445566778899"));
    EXPECT_EQ(0x6A86, SendSw(m_card, "805E01000E 0102030011223344556677889904"));
}

TEST(KeyEntry, GetKeyDataWithoutTheKey)
{
    CEmuCardOs card;
    EXPECT_EQ(0x6A88, SendSw(card, "805E00000E 0102030011223344556677889904"));
    EXPECT_EQ(0x6A88, SendSw(card, "805E00000E 0202030011223344556677889904"));
}

// ---------------------------------------------------------------------------
// The log

TEST(KeyEntry, LogShowsNoTypedKey)
{
    CEmuCardOs card;
    GivenKeys keys;
    card.SetUserInput(&keys);
    std::vector<std::pair<Bytes, Bytes>> vLog;
    card.SetApduLog([&](const Bytes &vbCommand, const Bytes &vbAnswer) {
        vLog.emplace_back(vbCommand, vbAnswer);
    });
    ASSERT_EQ(0x9000, Send(card, StartApdu(8, Bitmap(kDigitsEnter))).wSw);
    keys.Press("9\r");
    EXPECT_EQ("9\r", PollAll(card));
    EXPECT_EQ(Text("9"), EndEntry(card, 0x00).vbData);
    // Start, three polls (9, Enter, none), challenge, end.
    ASSERT_EQ(6u, vLog.size());
    for (size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(Hex("806E020000"), vLog[i].first);
        EXPECT_EQ(Hex("9000"), vLog[i].second);
    }
    EXPECT_EQ(Hex("846E030000"), vLog[5].first);
    EXPECT_EQ(Hex("9000"), vLog[5].second);
}

}  // namespace
