// EmuCardSecurity.cpp
#include "EmuCardSecurity.h"

#include "CardKeys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

// One of the issuer keys, wiped when the holder goes out of scope.
class CIssuerKey {
public:
    explicit CIssuerKey(bool fSmKey)
    {
        KQDWORD dwLen = sizeof(m_abKey);
        m_fOk = fSmKey ? GetSmKey(m_abKey, &dwLen) : GetExtAuthKey(m_abKey, &dwLen);
    }
    ~CIssuerKey() { OPENSSL_cleanse(m_abKey, sizeof(m_abKey)); }
    bool IsOk() const { return m_fOk; }
    const uint8_t *Bytes() const { return m_abKey; }

private:
    uint8_t m_abKey[CARD_KEY_LENGTH] = {};
    bool m_fOk = false;
};

// Runs a two-key triple-DES cipher without padding over whole blocks.
bool RunCipher(const EVP_CIPHER *pCipher, bool fEncrypt, const uint8_t *pbKey,
               const uint8_t *pbIv, std::vector<uint8_t> &vbData)
{
    if (vbData.empty() || vbData.size() % 8 != 0 || vbData.size() > 0x10000)
        return false;
    EVP_CIPHER_CTX *pCtx = EVP_CIPHER_CTX_new();
    if (pCtx == nullptr)
        return false;
    std::vector<uint8_t> vbOut(vbData.size() + 8);
    int cbOut = 0;
    int cbFinal = 0;
    const bool fOk = EVP_CipherInit_ex(pCtx, pCipher, nullptr, pbKey, pbIv, fEncrypt ? 1 : 0) == 1 &&
                     EVP_CIPHER_CTX_set_padding(pCtx, 0) == 1 &&
                     EVP_CipherUpdate(pCtx, vbOut.data(), &cbOut, vbData.data(),
                                      static_cast<int>(vbData.size())) == 1 &&
                     EVP_CipherFinal_ex(pCtx, vbOut.data() + cbOut, &cbFinal) == 1 &&
                     static_cast<size_t>(cbOut + cbFinal) == vbData.size();
    EVP_CIPHER_CTX_free(pCtx);
    if (fOk)
        vbData.assign(vbOut.begin(), vbOut.begin() + static_cast<long>(vbData.size()));
    return fOk;
}

}  // namespace

void CEmuCardSecurity::ResetFlags()
{
    m_fAuthenticated = false;
    m_fPinVerified = false;
}

void CEmuCardSecurity::PowerOn()
{
    ResetFlags();
    m_vbChallenge.clear();
    m_vbAnswerIv.clear();
}

std::vector<uint8_t> CEmuCardSecurity::NewChallenge(size_t cb)
{
    std::vector<uint8_t> vb(cb);
    if (cb > 0 && RAND_bytes(vb.data(), static_cast<int>(cb)) != 1)
        return std::vector<uint8_t>();
    m_vbChallenge = vb;
    return vb;
}

bool CEmuCardSecurity::TripleDesEcb(bool fEncrypt, const uint8_t *pbKey,
                                    std::vector<uint8_t> &vbData)
{
    return RunCipher(EVP_des_ede_ecb(), fEncrypt, pbKey, nullptr, vbData);
}

void CEmuCardSecurity::Wipe(std::vector<uint8_t> &vb)
{
    if (!vb.empty())
        OPENSSL_cleanse(vb.data(), vb.size());
    vb.clear();
}

bool CEmuCardSecurity::DesEcb(bool fEncrypt, const std::vector<uint8_t> &vbKey,
                              std::vector<uint8_t> &vbData)
{
    if (vbKey.size() == 16)
        return RunCipher(EVP_des_ede_ecb(), fEncrypt, vbKey.data(), nullptr, vbData);
    if (vbKey.size() != 8 && vbKey.size() != 24)
        return false;
    // Single DES is triple DES with three equal keys (libcrypto 3.0 keeps
    // plain DES in its legacy provider only).
    std::vector<uint8_t> vbKey3 = vbKey;
    if (vbKey.size() == 8) {
        vbKey3.insert(vbKey3.end(), vbKey.begin(), vbKey.end());
        vbKey3.insert(vbKey3.end(), vbKey.begin(), vbKey.end());
    }
    const bool fOk = RunCipher(EVP_des_ede3_ecb(), fEncrypt, vbKey3.data(), nullptr, vbData);
    Wipe(vbKey3);
    return fOk;
}

std::vector<uint8_t> CEmuCardSecurity::ComputeMac(const uint8_t *pbKey, const uint8_t *pbIv,
                                                  const std::vector<uint8_t> &vbBody)
{
    std::vector<uint8_t> vb = vbBody;
    vb.push_back(0x80);
    while (vb.size() % 8 != 0)
        vb.push_back(0x00);
    if (!RunCipher(EVP_des_ede_cbc(), true, pbKey, pbIv, vb))
        return std::vector<uint8_t>();
    return std::vector<uint8_t>(vb.end() - 8, vb.end() - 4);
}

uint16_t CEmuCardSecurity::ExternalAuthenticate(const SEmuApdu &apdu)
{
    std::vector<uint8_t> vbChallenge;
    vbChallenge.swap(m_vbChallenge);  // single use, whatever follows
    if (apdu.bP1 != 0x00)
        return EmuSw::SW_WRONG_P1P2;
    if (apdu.bP2 != 0x01)
        return EmuSw::SW_REF_NOT_FOUND;
    if (!apdu.fHasLc || apdu.fHasLe || apdu.vbData.size() != 16)
        return EmuSw::SW_WRONG_LENGTH;
    if (vbChallenge.size() != 16)
        return EmuSw::SW_CONDITIONS;
    CIssuerKey key(false);
    if (!key.IsOk() || !TripleDesEcb(true, key.Bytes(), vbChallenge))
        return EmuSw::SW_INTERNAL;
    if (CRYPTO_memcmp(vbChallenge.data(), apdu.vbData.data(), 16) != 0)
        return EmuSw::SW_AUTH_FAILED;
    m_fAuthenticated = true;
    return EmuSw::SW_OK;
}

uint16_t CEmuCardSecurity::UnwrapCommand(const SEmuApdu &apdu, std::vector<uint8_t> &vbPlain)
{
    vbPlain.clear();
    std::vector<uint8_t> vbChallenge;
    vbChallenge.swap(m_vbChallenge);
    m_vbAnswerIv.clear();
    const size_t cbData = apdu.vbData.size();
    if (!apdu.fHasLc || cbData < 12 || (cbData - 4) % 8 != 0)
        return EmuSw::SW_WRONG_LENGTH;
    if (vbChallenge.size() != 8)
        return EmuSw::SW_CONDITIONS;
    CIssuerKey key(true);
    if (!key.IsOk())
        return EmuSw::SW_INTERNAL;

    std::vector<uint8_t> vbBody = {apdu.bCla, apdu.bIns, apdu.bP1, apdu.bP2,
                                   static_cast<uint8_t>(cbData)};
    vbBody.insert(vbBody.end(), apdu.vbData.begin(), apdu.vbData.end() - 4);
    const std::vector<uint8_t> vbMac = ComputeMac(key.Bytes(), vbChallenge.data(), vbBody);
    if (vbMac.size() != 4 || CRYPTO_memcmp(vbMac.data(), apdu.vbData.data() + cbData - 4, 4) != 0)
        return EmuSw::SW_SM_WRONG;

    std::vector<uint8_t> vbBlock(apdu.vbData.begin(), apdu.vbData.end() - 4);
    if (!TripleDesEcb(false, key.Bytes(), vbBlock))
        return EmuSw::SW_INTERNAL;
    const size_t cbPlain = vbBlock[0];
    if ((cbPlain + 8) / 8 * 8 != vbBlock.size())
        return EmuSw::SW_SM_WRONG;
    if ((cbPlain + 1) % 8 != 0) {
        if (vbBlock[cbPlain + 1] != 0x80)
            return EmuSw::SW_SM_WRONG;
        for (size_t i = cbPlain + 2; i < vbBlock.size(); ++i)
            if (vbBlock[i] != 0)
                return EmuSw::SW_SM_WRONG;
    }
    vbPlain.assign(vbBlock.begin() + 1, vbBlock.begin() + 1 + static_cast<long>(cbPlain));
    m_vbAnswerIv = vbChallenge;
    return EmuSw::SW_OK;
}

uint16_t CEmuCardSecurity::TakeAnswerChallenge()
{
    m_vbAnswerIv.clear();
    std::vector<uint8_t> vbChallenge;
    vbChallenge.swap(m_vbChallenge);
    if (vbChallenge.size() != 8)
        return EmuSw::SW_CONDITIONS;
    m_vbAnswerIv.swap(vbChallenge);
    return EmuSw::SW_OK;
}

std::vector<uint8_t> CEmuCardSecurity::WrapAnswer(const std::vector<uint8_t> &vbPlain) const
{
    if (vbPlain.size() > 255 || m_vbAnswerIv.size() != 8)
        return std::vector<uint8_t>();
    std::vector<uint8_t> vbBlock(1, static_cast<uint8_t>(vbPlain.size()));
    vbBlock.insert(vbBlock.end(), vbPlain.begin(), vbPlain.end());
    if (vbBlock.size() % 8 != 0) {
        vbBlock.push_back(0x80);
        while (vbBlock.size() % 8 != 0)
            vbBlock.push_back(0x00);
    }
    CIssuerKey key(true);
    if (!key.IsOk() || !TripleDesEcb(true, key.Bytes(), vbBlock))
        return std::vector<uint8_t>();
    const std::vector<uint8_t> vbMac = ComputeMac(key.Bytes(), m_vbAnswerIv.data(), vbBlock);
    if (vbMac.size() != 4)
        return std::vector<uint8_t>();
    vbBlock.insert(vbBlock.end(), vbMac.begin(), vbMac.end());
    return vbBlock;
}

uint16_t CEmuCardSecurity::VerifyPin(SEmuPin &pin, const std::vector<uint8_t> &vbGiven)
{
    if (pin.bTriesLeft == 0)
        return EmuSw::SW_PIN_BLOCKED;
    const bool fMatch = vbGiven.size() == pin.vbPin.size() &&
                        CRYPTO_memcmp(vbGiven.data(), pin.vbPin.data(), vbGiven.size()) == 0;
    if (fMatch) {
        pin.bTriesLeft = pin.bMaxTries;
        m_fPinVerified = true;
        return EmuSw::SW_OK;
    }
    m_fPinVerified = false;
    --pin.bTriesLeft;
    return static_cast<uint16_t>(EmuSw::SW_PIN_TRIES | (pin.bTriesLeft & 0x0F));
}
