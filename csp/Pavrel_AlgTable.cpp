// Pavrel_AlgTable.cpp
#include "Pavrel_AlgTable.h"

namespace {

#define ALG_ROW(alg, def, min, max, proto, name, longName) \
    {alg, def, min, max, proto, 20, name, 40, longName}

const PROV_ENUMALGS_EX kTable[Pavrel_AlgTable::kRows] = {
    ALG_ROW(CALG_SHA1, 160, 160, 160, 0x20, "SHA-1", "Secure Hash Algorithm (SHA-1)"),
    ALG_ROW(CALG_MD5, 128, 128, 128, 0x20, "MD5", "Message Digest 5 (MD5)"),
    ALG_ROW(CALG_SSL3_SHAMD5, 288, 288, 288, 0, "SSL3 SHAMD5", "SSL3 SHAMD5"),
    ALG_ROW(CALG_RC2, 40, 40, 40, 0, "RC2", "RSA Data Security's RC2"),
    ALG_ROW(CALG_RC4, 40, 40, 40, 0, "RC4", "RSA Data Security's RC4"),
    ALG_ROW(CALG_DES, 56, 56, 56, 0, "DES", "Data Encryption Standard (DES)"),
    ALG_ROW(CALG_3DES, 168, 168, 168, 0, "3DES", "Three Key Triple DES"),
    ALG_ROW(CALG_3DES_112, 112, 112, 112, 0, "3DES TWO KEY", "Two Key Triple DES"),
    ALG_ROW(CALG_RSA_SIGN, 1024, 1024, 2048, 0x30, "RSA_SIGN", "RSA Signature"),
    ALG_ROW(CALG_RSA_KEYX, 1024, 1024, 2048, 0x30, "RSA_KEYX", "RSA Key Exchange"),
};

#undef ALG_ROW

const PROV_ENUMALGS_EX *Find(ALG_ID algId)
{
    for (const PROV_ENUMALGS_EX &r : kTable)
        if (r.aiAlgid == algId)
            return &r;
    return nullptr;
}

}  // namespace

const PROV_ENUMALGS_EX &Pavrel_AlgTable::row(DWORD dwIndex) { return kTable[dwIndex % kRows]; }

bool Pavrel_AlgTable::isListed(ALG_ID algId) { return Find(algId) != nullptr; }

DWORD Pavrel_AlgTable::getMinLen(ALG_ID algId)
{
    const PROV_ENUMALGS_EX *p = Find(algId);
    return p ? p->dwMinLen : 0;
}

DWORD Pavrel_AlgTable::getMaxLen(ALG_ID algId)
{
    const PROV_ENUMALGS_EX *p = Find(algId);
    return p ? p->dwMaxLen : 0;
}

DWORD Pavrel_AlgTable::getDefaultLen(ALG_ID algId)
{
    const PROV_ENUMALGS_EX *p = Find(algId);
    return p ? p->dwDefaultLen : 0;
}

bool Pavrel_AlgTable::isLenInRange(ALG_ID algId, DWORD dwBits)
{
    const PROV_ENUMALGS_EX *p = Find(algId);
    return p != nullptr && dwBits >= p->dwMinLen && dwBits <= p->dwMaxLen;
}

DWORD Pavrel_AlgTable::getKeySizeInc(ALG_ID algId)
{
    return (algId == CALG_RSA_SIGN || algId == CALG_RSA_KEYX) ? 1024 : 0;
}

bool Pavrel_AlgTable::isValidKeyLen(ALG_ID algId, DWORD dwBits)
{
    if (!isLenInRange(algId, dwBits))
        return false;
    const DWORD dwMin = getMinLen(algId);
    const DWORD dwInc = getKeySizeInc(algId);
    if (dwInc == 0)
        return dwMin == getMaxLen(algId) && dwBits == dwMin;
    return (dwBits - dwMin) % dwInc == 0;
}
