// Pavrel_SessionKey.cpp
#include "Pavrel_SessionKey.h"

Pavrel_SessionKey::Pavrel_SessionKey(ALG_ID algId, DWORD dwFlags)
    : Pavrel_Key(algId, dwFlags, true)
{
}

Pavrel_SessionKey::~Pavrel_SessionKey() {}

DWORD Pavrel_SessionKey::signHash(Pavrel_Hash *, LPCSTR, DWORD, BYTE *, DWORD *)
{
    return static_cast<DWORD>(E_NOTIMPL);
}

DWORD Pavrel_SessionKey::verifySignature(Pavrel_Hash *, const BYTE *, DWORD, LPCSTR, DWORD)
{
    return static_cast<DWORD>(E_NOTIMPL);
}
