// CardKeys.cpp
#include "CardKeys.h"

#include "IssuerTestKeys.h"

namespace {

// Copies the key one byte at a time into the caller's buffer.
bool WriteKey(const KQBYTE (&abKey)[CARD_KEY_LENGTH], KQBYTE *pbKey, KQDWORD *pdwLen)
{
    if (pbKey == nullptr || pdwLen == nullptr || *pdwLen < CARD_KEY_LENGTH)
        return false;
    for (KQDWORD i = 0; i < CARD_KEY_LENGTH; ++i)
        pbKey[i] = abKey[i];
    *pdwLen = CARD_KEY_LENGTH;
    return true;
}

}  // namespace

bool GetSmKey(KQBYTE *pbKey, KQDWORD *pdwLen)
{
    static const KQBYTE abKey[CARD_KEY_LENGTH] = KQ_ISSUER_SM_KEY;
    return WriteKey(abKey, pbKey, pdwLen);
}

bool GetExtAuthKey(KQBYTE *pbKey, KQDWORD *pdwLen)
{
    static const KQBYTE abKey[CARD_KEY_LENGTH] = KQ_ISSUER_EXTAUTH_KEY;
    return WriteKey(abKey, pbKey, pdwLen);
}
