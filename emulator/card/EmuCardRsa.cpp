// EmuCardRsa.cpp
#include "EmuCardRsa.h"

#include "EmuCardApdu.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>

namespace {

struct BnFree {
    void operator()(BIGNUM *p) const { BN_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX *p) const { BN_CTX_free(p); }
};
typedef std::unique_ptr<BIGNUM, BnFree> BnPtr;
typedef std::unique_ptr<BN_CTX, BnCtxFree> BnCtxPtr;

const size_t MIN_MODULUS = 64;   // 512 bits
const size_t MAX_MODULUS = 256;  // 2048 bits

uint32_t GetBe32(const uint8_t *pb)
{
    return (static_cast<uint32_t>(pb[0]) << 24) | (static_cast<uint32_t>(pb[1]) << 16) |
           (static_cast<uint32_t>(pb[2]) << 8) | pb[3];
}

void PutBe32(std::vector<uint8_t> &vb, uint32_t dw)
{
    for (int iShift = 24; iShift >= 0; iShift -= 8)
        vb.push_back(static_cast<uint8_t>(dw >> iShift));
}

BnPtr FromBytes(const uint8_t *pb, size_t cb)
{
    return BnPtr(BN_bin2bn(pb, static_cast<int>(cb), nullptr));
}

// Appends bn as exactly cb big-endian bytes; false when it does not fit.
bool AppendPadded(std::vector<uint8_t> &vb, const BIGNUM *pBn, size_t cb)
{
    if (pBn == nullptr || static_cast<size_t>(BN_num_bytes(pBn)) > cb)
        return false;
    const size_t iPos = vb.size();
    vb.resize(iPos + cb);
    return BN_bn2binpad(pBn, vb.data() + iPos, static_cast<int>(cb)) == static_cast<int>(cb);
}

// The five CRT values of a private-key file, or false when malformed.
struct SCrt {
    BnPtr p, q, dp, dq, qinv;
    size_t cbHalf = 0;
};

bool SplitPrivate(const std::vector<uint8_t> &vb, SCrt &crt)
{
    if (vb.size() < 4)
        return false;
    const uint32_t cbBody = GetBe32(vb.data());
    if (cbBody != vb.size() - 4 || cbBody % 5 != 0)
        return false;
    const size_t cbHalf = cbBody / 5;
    if (cbHalf < MIN_MODULUS / 2 || cbHalf > MAX_MODULUS / 2)
        return false;
    const uint8_t *pb = vb.data() + 4;
    crt.cbHalf = cbHalf;
    crt.p = FromBytes(pb, cbHalf);
    crt.q = FromBytes(pb + cbHalf, cbHalf);
    crt.dp = FromBytes(pb + 2 * cbHalf, cbHalf);
    crt.dq = FromBytes(pb + 3 * cbHalf, cbHalf);
    crt.qinv = FromBytes(pb + 4 * cbHalf, cbHalf);
    return crt.p && crt.q && crt.dp && crt.dq && crt.qinv;
}

// Reads the input as a number below the modulus.
uint16_t InputNumber(const std::vector<uint8_t> &vbIn, size_t cbModulus, const BIGNUM *pN,
                     BnPtr &in)
{
    if (vbIn.empty() || vbIn.size() > cbModulus)
        return EmuSw::SW_WRONG_LENGTH;
    in = FromBytes(vbIn.data(), vbIn.size());
    if (!in)
        return EmuSw::SW_INTERNAL;
    if (BN_cmp(in.get(), pN) >= 0)
        return EmuSw::SW_WRONG_DATA;
    return EmuSw::SW_OK;
}

}  // namespace

bool CEmuCardRsa::Generate(unsigned uBits, std::vector<uint8_t> &vbPublic,
                           std::vector<uint8_t> &vbPrivate)
{
    if (uBits != 512 && uBits != 1024 && uBits != 2048)
        return false;
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pKey = nullptr;
    bool fOk = pCtx != nullptr && EVP_PKEY_keygen_init(pCtx) == 1 &&
               EVP_PKEY_CTX_set_rsa_keygen_bits(pCtx, static_cast<int>(uBits)) == 1 &&
               EVP_PKEY_generate(pCtx, &pKey) == 1;
    EVP_PKEY_CTX_free(pCtx);

    const char *apszNames[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                               OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,
                               OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                               OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    BnPtr aParts[7];
    for (size_t i = 0; fOk && i < 7; ++i) {
        BIGNUM *pBn = nullptr;
        fOk = EVP_PKEY_get_bn_param(pKey, apszNames[i], &pBn) == 1;
        aParts[i].reset(pBn);
    }
    EVP_PKEY_free(pKey);
    if (!fOk)
        return false;

    const size_t cbModulus = uBits / 8;
    const size_t cbHalf = cbModulus / 2;
    std::vector<uint8_t> vbPub;
    PutBe32(vbPub, static_cast<uint32_t>(cbModulus + 4));
    fOk = AppendPadded(vbPub, aParts[1].get(), 4) && AppendPadded(vbPub, aParts[0].get(), cbModulus);
    std::vector<uint8_t> vbPrv;
    PutBe32(vbPrv, static_cast<uint32_t>(5 * cbHalf));
    for (size_t i = 2; fOk && i < 7; ++i)
        fOk = AppendPadded(vbPrv, aParts[i].get(), cbHalf);
    if (!fOk || BN_num_bytes(aParts[0].get()) != static_cast<int>(cbModulus))
        return false;
    vbPublic.swap(vbPub);
    vbPrivate.swap(vbPrv);
    return true;
}

bool CEmuCardRsa::IsValidPublic(const std::vector<uint8_t> &vb)
{
    if (vb.size() < 8 || GetBe32(vb.data()) != vb.size() - 4)
        return false;
    const size_t cbModulus = vb.size() - 8;
    if (cbModulus < MIN_MODULUS || cbModulus > MAX_MODULUS || vb[8] == 0 || (vb.back() & 1) == 0)
        return false;
    const uint32_t dwE = GetBe32(vb.data() + 4);
    return dwE >= 3 && (dwE & 1) == 1;
}

bool CEmuCardRsa::IsValidPrivate(const std::vector<uint8_t> &vb)
{
    SCrt crt;
    if (!SplitPrivate(vb, crt))
        return false;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr n(BN_new());
    BnPtr check(BN_new());
    if (!ctx || !n || !check || !BN_is_odd(crt.p.get()) || !BN_is_odd(crt.q.get()) ||
        BN_is_one(crt.p.get()) || BN_is_one(crt.q.get()) ||
        BN_cmp(crt.dp.get(), crt.p.get()) >= 0 || BN_cmp(crt.dq.get(), crt.q.get()) >= 0 ||
        BN_cmp(crt.qinv.get(), crt.p.get()) >= 0)
        return false;
    // The modulus must be as long as the file says, and qinv the inverse of q.
    if (BN_mul(n.get(), crt.p.get(), crt.q.get(), ctx.get()) != 1 ||
        static_cast<size_t>(BN_num_bytes(n.get())) != 2 * crt.cbHalf)
        return false;
    return BN_mod_mul(check.get(), crt.qinv.get(), crt.q.get(), crt.p.get(), ctx.get()) == 1 &&
           BN_is_one(check.get());
}

std::vector<uint8_t> CEmuCardRsa::ExportRecord(const std::vector<uint8_t> &vbPublic)
{
    if (!IsValidPublic(vbPublic))
        return std::vector<uint8_t>();
    return std::vector<uint8_t>(vbPublic.begin() + 4, vbPublic.end());
}

uint16_t CEmuCardRsa::PublicOp(const std::vector<uint8_t> &vbPublic,
                               const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut)
{
    vbOut.clear();
    if (!IsValidPublic(vbPublic))
        return EmuSw::SW_REF_NOT_FOUND;
    const size_t cbModulus = vbPublic.size() - 8;
    BnPtr n = FromBytes(vbPublic.data() + 8, cbModulus);
    BnPtr e = FromBytes(vbPublic.data() + 4, 4);
    BnPtr out(BN_new());
    BnCtxPtr ctx(BN_CTX_new());
    if (!n || !e || !out || !ctx)
        return EmuSw::SW_INTERNAL;
    BnPtr in;
    const uint16_t wSw = InputNumber(vbIn, cbModulus, n.get(), in);
    if (wSw != EmuSw::SW_OK)
        return wSw;
    if (BN_mod_exp(out.get(), in.get(), e.get(), n.get(), ctx.get()) != 1 ||
        !AppendPadded(vbOut, out.get(), cbModulus))
        return EmuSw::SW_INTERNAL;
    return EmuSw::SW_OK;
}

bool CEmuCardRsa::HostKeyFromFile(const std::vector<uint8_t> &vbFile,
                                  std::vector<uint8_t> &vbPublic)
{
    vbPublic.clear();
    if (vbFile.size() < 8)
        return false;
    const uint32_t dwLength = GetBe32(vbFile.data());  // the key's length after this field
    if (dwLength > vbFile.size() - 4)
        return false;
    const size_t cbKey = static_cast<size_t>(dwLength) + 4;
    std::vector<uint8_t> vbKey(vbFile.begin(), vbFile.begin() + static_cast<long>(cbKey));
    if (!IsValidPublic(vbKey))
        return false;
    vbPublic.swap(vbKey);
    return true;
}

uint16_t CEmuCardRsa::EncryptPkcs1(const std::vector<uint8_t> &vbPublic,
                                   const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut)
{
    vbOut.clear();
    if (!IsValidPublic(vbPublic))
        return EmuSw::SW_REF_NOT_FOUND;
    const size_t cbModulus = vbPublic.size() - 8;
    if (vbIn.size() + 11 > cbModulus)
        return EmuSw::SW_WRONG_LENGTH;
    // 00 02, at least 8 random non-zero bytes, 00, the message.
    std::vector<uint8_t> vbBlock(cbModulus - vbIn.size());
    vbBlock[1] = 0x02;
    for (size_t i = 2; i + 1 < vbBlock.size(); ++i) {
        do {
            if (RAND_bytes(&vbBlock[i], 1) != 1)
                return EmuSw::SW_INTERNAL;
        } while (vbBlock[i] == 0);
    }
    vbBlock.insert(vbBlock.end(), vbIn.begin(), vbIn.end());
    const uint16_t wSw = PublicOp(vbPublic, vbBlock, vbOut);
    OPENSSL_cleanse(vbBlock.data(), vbBlock.size());
    return wSw;
}

uint16_t CEmuCardRsa::PrivateOp(const std::vector<uint8_t> &vbPrivate,
                                const std::vector<uint8_t> &vbIn, std::vector<uint8_t> &vbOut)
{
    vbOut.clear();
    SCrt crt;
    if (!SplitPrivate(vbPrivate, crt))
        return EmuSw::SW_REF_NOT_FOUND;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr n(BN_new()), m1(BN_new()), m2(BN_new()), h(BN_new()), out(BN_new()), cp(BN_new()),
        cq(BN_new());
    if (!ctx || !n || !m1 || !m2 || !h || !out || !cp || !cq ||
        BN_mul(n.get(), crt.p.get(), crt.q.get(), ctx.get()) != 1)
        return EmuSw::SW_INTERNAL;
    BnPtr in;
    const uint16_t wSw = InputNumber(vbIn, 2 * crt.cbHalf, n.get(), in);
    if (wSw != EmuSw::SW_OK)
        return wSw;
    BN_set_flags(crt.dp.get(), BN_FLG_CONSTTIME);
    BN_set_flags(crt.dq.get(), BN_FLG_CONSTTIME);
    // m1 = c^dp mod p, m2 = c^dq mod q, m = m2 + q * (qinv (m1 - m2) mod p).
    const bool fOk =
        BN_mod(cp.get(), in.get(), crt.p.get(), ctx.get()) == 1 &&
        BN_mod(cq.get(), in.get(), crt.q.get(), ctx.get()) == 1 &&
        BN_mod_exp_mont_consttime(m1.get(), cp.get(), crt.dp.get(), crt.p.get(), ctx.get(),
                                  nullptr) == 1 &&
        BN_mod_exp_mont_consttime(m2.get(), cq.get(), crt.dq.get(), crt.q.get(), ctx.get(),
                                  nullptr) == 1 &&
        BN_mod_sub(h.get(), m1.get(), m2.get(), crt.p.get(), ctx.get()) == 1 &&
        BN_mod_mul(h.get(), h.get(), crt.qinv.get(), crt.p.get(), ctx.get()) == 1 &&
        BN_mul(out.get(), h.get(), crt.q.get(), ctx.get()) == 1 &&
        BN_add(out.get(), out.get(), m2.get()) == 1 &&
        AppendPadded(vbOut, out.get(), 2 * crt.cbHalf);
    if (!fOk) {
        vbOut.clear();
        return EmuSw::SW_INTERNAL;
    }
    return EmuSw::SW_OK;
}
