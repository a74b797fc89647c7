// Pavrel_RSAKeyInMemory.cpp
#include "Pavrel_RSAKeyInMemory.h"

#include "Pavrel_Hash.h"
#include "Pavrel_MSCSP.h"

Pavrel_RSAKeyInMemory::Pavrel_RSAKeyInMemory(ALG_ID algId, DWORD dwFlags)
    : Pavrel_Key(algId, dwFlags, true)
{
}

Pavrel_RSAKeyInMemory::~Pavrel_RSAKeyInMemory() {}

DWORD Pavrel_RSAKeyInMemory::signHash(Pavrel_Hash *pHash, LPCSTR szDescription, DWORD dwFlags,
                                      BYTE *pbSignature, DWORD *pdwSigLen)
{
    if (pHash == nullptr)
        return static_cast<DWORD>(NTE_BAD_HASH);
    return Pavrel_MSCSP::signHash(pHash->getSoftHash(), AT_KEYEXCHANGE, szDescription, dwFlags,
                                  pbSignature, pdwSigLen);
}

DWORD Pavrel_RSAKeyInMemory::verifySignature(Pavrel_Hash *pHash, const BYTE *pbSignature,
                                             DWORD dwSigLen, LPCSTR szDescription,
                                             DWORD dwFlags)
{
    if (pHash == nullptr)
        return static_cast<DWORD>(NTE_BAD_HASH);
    return Pavrel_MSCSP::verifySignature(pHash->getSoftHash(), pbSignature, dwSigLen,
                                         m_hSoftKey, szDescription, dwFlags);
}
