// StatusWord.h
//
// The one mapping from an ISO 7816 status word (SW1 SW2) of a card answer to
// the library's result code. Every command applies it to its answer, except
// where a command handles SW1 = 0x63 itself first (the PIN commands).
#pragma once

#include "KQTypes.h"

// Result code of the status word: 9000 gives success; only the words of the
// table give their own codes; every other word (61xx and 6Cxx included) gives
// the generic failure SCARD_E_UNEXPECTED.
KQDWORD StatusWordToResult(KQBYTE bSw1, KQBYTE bSw2);
