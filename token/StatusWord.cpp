// StatusWord.cpp
//
// Status-word mapping as a table: exact matches only, so a word the table
// does not name can never be taken for a near neighbour.
#include "StatusWord.h"

#include "ResultCodes.h"

namespace {

struct StatusWordEntry {
    KQBYTE bSw1;
    KQBYTE bSw2;
    KQDWORD dwResult;
};

const StatusWordEntry kStatusWordTable[] = {
    {0x90, 0x00, KQ_SCARD_S_SUCCESS},
    {0x67, 0x00, KQ_SCARD_E_INVALID_VALUE},
    {0x69, 0x82, KQ_SCARD_W_SECURITY_VIOLATION},
    {0x69, 0x84, KQ_SCARD_W_CANCELLED_BY_USER},
    {0x69, 0x85, KQ_SCARD_E_NO_ACCESS},
    {0x69, 0x86, KQ_SCARD_E_NOT_READY},
    {0x6A, 0x81, KQ_SCARD_E_UNSUPPORTED_FEATURE},
    {0x6A, 0x82, KQ_SCARD_E_FILE_NOT_FOUND},
    {0x6A, 0x86, KQ_SCARD_E_INVALID_PARAMETER},
};

}  // namespace

KQDWORD StatusWordToResult(KQBYTE bSw1, KQBYTE bSw2)
{
    for (const StatusWordEntry &entry : kStatusWordTable) {
        if (entry.bSw1 == bSw1 && entry.bSw2 == bSw2)
            return entry.dwResult;
    }
    return KQ_SCARD_E_UNEXPECTED;
}
