// EmuCardStoreTest.cpp
//
// Persistence of a virtual token: a round trip keeps files, keys, PIN and
// counter; a damaged state file is refused with a reason and leaves the
// token as it was.
#include "EmuCardOs.h"
#include "EmuCardStore.h"
#include "EmuCardTestSupport.h"

#include "CaseName.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class CardStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string strName = std::string("kq_emu_card_") + pInfo->name() + ".state";
        for (char &ch : strName)
            if (ch == '/')
                ch = '_';
        m_strPath = (std::filesystem::temp_directory_path() / strName).string();
        std::remove(m_strPath.c_str());
    }
    void TearDown() override { std::remove(m_strPath.c_str()); }

    Bytes ReadFile() const
    {
        std::ifstream in(m_strPath, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void WriteFile(const Bytes &vb) const
    {
        std::ofstream out(m_strPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(vb.data()), static_cast<std::streamsize>(vb.size()));
    }
    std::string m_strPath;
};

TEST_F(CardStoreTest, RoundTripKeepsFilesKeysAndPinCounter)
{
    CEmuCardOs card;
    Authenticate(card);
    ASSERT_EQ(0x63C5, VerifyPin(card, "111111"));
    ASSERT_EQ(0x9000, VerifyPin(card, "123456"));
    ASSERT_EQ(0x9000, SendSw(card, "0046000005 5051 5061 02"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4020002 5004"));
    ASSERT_EQ(0x9000, SendSw(card, "00D6000004 4E616D65"));
    ASSERT_EQ(0x63C5, VerifyPin(card, "111111"));
    const Bytes vbRecord = Send(card, Hex("80D8505100")).vbData;
    std::string strError;
    ASSERT_TRUE(card.Save(m_strPath, strError)) << strError;
    EXPECT_FALSE(std::filesystem::exists(m_strPath + ".tmp"));
    // Saving again replaces the file.
    ASSERT_TRUE(card.Save(m_strPath, strError)) << strError;

    CEmuCardOs loaded(CEmuCardOs::BlankOptions());
    ASSERT_TRUE(loaded.Load(m_strPath, strError)) << strError;
    EXPECT_EQ(Hex("0605"), Send(loaded, Hex("8021000100")).vbData);
    ASSERT_EQ(0x9000, SendSw(loaded, "00A4000002 5000"));
    EXPECT_EQ(vbRecord, Send(loaded, Hex("80D8505100")).vbData);
    ASSERT_EQ(0x9000, SendSw(loaded, "00A4020002 5004"));
    EXPECT_EQ(Hex("4E616D65 5342204B6579"), Send(loaded, Hex("00B000000A")).vbData);
    // The security state is not persisted; the private key still works.
    EXPECT_EQ(0x6982, SendChained(loaded, Hex("802A9E9A"), Hex("5061"), Bytes(128, 1)).wSw);
    ASSERT_EQ(0x9000, VerifyPin(loaded, "123456"));
    EXPECT_EQ(128u, SendChained(loaded, Hex("802A9E9A"), Hex("5061"), Bytes(128, 1)).vbData.size());
}

TEST_F(CardStoreTest, BlankTokenStaysBlank)
{
    CEmuCardOs card(CEmuCardOs::BlankOptions());
    std::string strError;
    ASSERT_TRUE(card.Save(m_strPath, strError)) << strError;
    CEmuCardOs loaded;
    ASSERT_TRUE(loaded.Load(m_strPath, strError)) << strError;
    EXPECT_EQ(0x6A82, SendSw(loaded, "00A4000002 3F00"));
}

enum class EDamage { Truncate, FlipPayload, FlipHash, BadMagic, BadVersion, Empty, Missing };

struct SDamageCase {
    const char *pszName;
    EDamage eDamage;
};

class CardStoreDamageTest : public CardStoreTest,
                            public ::testing::WithParamInterface<SDamageCase> {};

TEST_P(CardStoreDamageTest, RefusedAndTokenUnchanged)
{
    CEmuCardOs card;
    std::string strError;
    ASSERT_TRUE(card.Save(m_strPath, strError));
    Bytes vb = ReadFile();
    ASSERT_GT(vb.size(), 100u);
    switch (GetParam().eDamage) {
    case EDamage::Truncate: vb.resize(vb.size() / 2); break;
    case EDamage::FlipPayload: vb[40] ^= 0x20; break;
    case EDamage::FlipHash: vb.back() ^= 0x01; break;
    case EDamage::BadMagic: vb[0] = 'X'; break;
    case EDamage::BadVersion: vb[11] = 2; break;
    case EDamage::Empty: vb.clear(); break;
    case EDamage::Missing: break;
    }
    if (GetParam().eDamage == EDamage::Missing)
        std::remove(m_strPath.c_str());
    else
        WriteFile(vb);

    SEmuCardOptions options;
    options.strPin = "7777";
    CEmuCardOs target(options);
    strError.clear();
    EXPECT_FALSE(target.Load(m_strPath, strError));
    EXPECT_FALSE(strError.empty());
    EXPECT_EQ(0x9000, VerifyPin(target, "7777"));
}

INSTANTIATE_TEST_SUITE_P(Card, CardStoreDamageTest,
                         ::testing::Values(SDamageCase{"Truncated", EDamage::Truncate},
                                           SDamageCase{"PayloadByte", EDamage::FlipPayload},
                                           SDamageCase{"HashByte", EDamage::FlipHash},
                                           SDamageCase{"Magic", EDamage::BadMagic},
                                           SDamageCase{"Version", EDamage::BadVersion},
                                           SDamageCase{"Empty", EDamage::Empty},
                                           SDamageCase{"Missing", EDamage::Missing}),
                         CaseName());

// Rewrites the header length and the hash so that only the parser judges.
Bytes Reseal(Bytes vbHeaderAndPayload)
{
    const size_t cbPayload = vbHeaderAndPayload.size() - 16;
    for (int i = 0; i < 4; ++i)
        vbHeaderAndPayload[12 + i] = static_cast<uint8_t>(cbPayload >> (24 - 8 * i));
    uint8_t abHash[SHA256_DIGEST_LENGTH];
    SHA256(vbHeaderAndPayload.data(), vbHeaderAndPayload.size(), abHash);
    vbHeaderAndPayload.insert(vbHeaderAndPayload.end(), abHash, abHash + sizeof(abHash));
    return vbHeaderAndPayload;
}

TEST(CardStoreParse, EveryTruncatedPayloadRefusedWithValidHash)
{
    CEmuCardOs card;
    std::string strError;
    const std::string strPath =
        (std::filesystem::temp_directory_path() / "kq_emu_card_parse.state").string();
    ASSERT_TRUE(card.Save(strPath, strError));
    std::ifstream in(strPath, std::ios::binary);
    const Bytes vbFile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(strPath.c_str());
    const Bytes vbBody(vbFile.begin(), vbFile.end() - SHA256_DIGEST_LENGTH);

    SEmuCardState state;
    ASSERT_TRUE(CEmuCardStore::Parse(Reseal(vbBody), state, strError)) << strError;
    // Cut the payload short at a spread of points (every length near the
    // start and end, a stride through the file contents between).
    for (size_t cbKeep = 16; cbKeep < vbBody.size(); cbKeep += (cbKeep < 400 || cbKeep > vbBody.size() - 400) ? 1 : 97) {
        const Bytes vbCut(vbBody.begin(), vbBody.begin() + static_cast<long>(cbKeep));
        SEmuCardState parsed;
        strError.clear();
        EXPECT_FALSE(CEmuCardStore::Parse(Reseal(vbCut), parsed, strError)) << cbKeep;
        EXPECT_FALSE(strError.empty());
    }
    // A resealed file with its first file's kind changed is a broken tree.
    Bytes vbBroken = vbBody;
    for (size_t i = 16; i + 6 < vbBroken.size(); ++i) {
        if (vbBroken[i] == 0x3F && vbBroken[i + 1] == 0x00 && vbBroken[i + 4] == 0x01) {
            vbBroken[i + 4] = 0x03;
            break;
        }
    }
    EXPECT_FALSE(CEmuCardStore::Parse(Reseal(vbBroken), state, strError));
}

}  // namespace
