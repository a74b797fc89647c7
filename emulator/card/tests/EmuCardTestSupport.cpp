// EmuCardTestSupport.cpp
#include "EmuCardTestSupport.h"

#include "CardKeys.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

Bytes Hex(const char *pszHex)
{
    Bytes vb;
    std::string strDigits;
    for (const char *p = pszHex; *p; ++p)
        if (!std::isspace(static_cast<unsigned char>(*p)))
            strDigits += *p;
    if (strDigits.size() % 2 != 0)
        throw std::invalid_argument("odd hex string");
    for (size_t i = 0; i < strDigits.size(); i += 2)
        vb.push_back(static_cast<uint8_t>(std::stoul(strDigits.substr(i, 2), nullptr, 16)));
    return vb;
}

SCardAnswer Send(CEmuCardOs &card, const Bytes &vbApdu)
{
    Bytes vb = card.ProcessApdu(vbApdu);
    SCardAnswer answer;
    if (vb.size() < 2) {
        ADD_FAILURE() << "answer without status word";
        return answer;
    }
    answer.wSw = static_cast<uint16_t>((vb[vb.size() - 2] << 8) | vb.back());
    EXPECT_NE(0x61, vb[vb.size() - 2]) << "the card must never answer 61xx";
    vb.resize(vb.size() - 2);
    answer.vbData = vb;
    return answer;
}

uint16_t SendSw(CEmuCardOs &card, const char *pszHex)
{
    return Send(card, Hex(pszHex)).wSw;
}

Bytes Des3(bool fCbc, bool fEncrypt, const Bytes &vbKey, const Bytes &vbIv, const Bytes &vbData)
{
    EVP_CIPHER_CTX *pCtx = EVP_CIPHER_CTX_new();
    Bytes vbOut(vbData.size() + 16);
    int cb1 = 0, cb2 = 0;
    const bool fOk =
        EVP_CipherInit_ex(pCtx, fCbc ? EVP_des_ede_cbc() : EVP_des_ede_ecb(), nullptr,
                          vbKey.data(), fCbc ? vbIv.data() : nullptr, fEncrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(pCtx, 0) == 1 &&
        EVP_CipherUpdate(pCtx, vbOut.data(), &cb1, vbData.data(), static_cast<int>(vbData.size())) ==
            1 &&
        EVP_CipherFinal_ex(pCtx, vbOut.data() + cb1, &cb2) == 1;
    EVP_CIPHER_CTX_free(pCtx);
    EXPECT_TRUE(fOk);
    vbOut.resize(static_cast<size_t>(cb1 + cb2));
    return vbOut;
}

Bytes SmKey()
{
    Bytes vb(16);
    KQDWORD dwLen = 16;
    EXPECT_TRUE(GetSmKey(vb.data(), &dwLen));
    return vb;
}

Bytes ExtAuthKey()
{
    Bytes vb(16);
    KQDWORD dwLen = 16;
    EXPECT_TRUE(GetExtAuthKey(vb.data(), &dwLen));
    return vb;
}

void Authenticate(CEmuCardOs &card)
{
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 3F00"));
    ASSERT_EQ(0x9000, SendSw(card, "00A4000002 5000"));
    const SCardAnswer challenge = Send(card, Hex("8084000010"));
    ASSERT_EQ(0x9000, challenge.wSw);
    ASSERT_EQ(16u, challenge.vbData.size());
    Bytes vbApdu = Hex("0082000110");
    const Bytes vbCryptogram = Des3(false, true, ExtAuthKey(), Bytes(), challenge.vbData);
    vbApdu.insert(vbApdu.end(), vbCryptogram.begin(), vbCryptogram.end());
    ASSERT_EQ(0x9000, Send(card, vbApdu).wSw);
}

uint16_t VerifyPin(CEmuCardOs &card, const std::string &strPin)
{
    Bytes vbApdu = {0x00, 0x20, 0x01, 0x01, static_cast<uint8_t>(strPin.size())};
    vbApdu.insert(vbApdu.end(), strPin.begin(), strPin.end());
    return Send(card, vbApdu).wSw;
}

Bytes SmWrap(const Bytes &vbHeader, const Bytes &vbPlain, const Bytes &vbChallenge)
{
    // Plain block: L, data, 80 00.. unless L + 1 is already a multiple of 8.
    Bytes vbBlock(1, static_cast<uint8_t>(vbPlain.size()));
    vbBlock.insert(vbBlock.end(), vbPlain.begin(), vbPlain.end());
    if (vbBlock.size() % 8 != 0) {
        vbBlock.push_back(0x80);
        vbBlock.resize((vbBlock.size() + 7) / 8 * 8, 0x00);
    }
    const Bytes vbEnc = Des3(false, true, SmKey(), Bytes(), vbBlock);
    Bytes vbBody = vbHeader;
    vbBody.push_back(static_cast<uint8_t>(vbEnc.size() + 4));
    vbBody.insert(vbBody.end(), vbEnc.begin(), vbEnc.end());
    Bytes vbMacInput = vbBody;
    vbMacInput.push_back(0x80);
    vbMacInput.resize((vbMacInput.size() + 7) / 8 * 8, 0x00);
    const Bytes vbCbc = Des3(true, true, SmKey(), vbChallenge, vbMacInput);
    Bytes vbApdu = vbBody;
    vbApdu.insert(vbApdu.end(), vbCbc.end() - 8, vbCbc.end() - 4);
    return vbApdu;
}

SCardAnswer SendSm(CEmuCardOs &card, const Bytes &vbHeader, const Bytes &vbPlain,
                   Bytes *pvbChallenge)
{
    const SCardAnswer challenge = Send(card, Hex("8084000008"));
    EXPECT_EQ(0x9000, challenge.wSw);
    if (pvbChallenge)
        *pvbChallenge = challenge.vbData;
    return Send(card, SmWrap(vbHeader, vbPlain, challenge.vbData));
}

SCardAnswer SendChained(CEmuCardOs &card, const Bytes &vbHeader, const Bytes &vbPrefix,
                        const Bytes &vbData, std::vector<SCardAnswer> *pAll)
{
    SCardAnswer last;
    size_t iPos = 0;
    do {
        const size_t cb = std::min<size_t>(128, vbData.size() - iPos);
        const bool fLast = iPos + cb == vbData.size();
        Bytes vbApdu = vbHeader;
        vbApdu.push_back(static_cast<uint8_t>(vbPrefix.size() + 1 + cb));
        vbApdu.insert(vbApdu.end(), vbPrefix.begin(), vbPrefix.end());
        vbApdu.push_back(fLast ? 0x01 : 0x00);
        vbApdu.insert(vbApdu.end(), vbData.begin() + static_cast<long>(iPos),
                      vbData.begin() + static_cast<long>(iPos + cb));
        last = Send(card, vbApdu);
        if (pAll)
            pAll->push_back(last);
        iPos += cb;
        if (last.wSw != 0x9000)
            break;
    } while (iPos < vbData.size());
    return last;
}
