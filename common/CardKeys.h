// CardKeys.h
//
// The fixed card keys: GetSmKey for secure messaging (command data
// encryption and the command MAC), GetExtAuthKey for external authentication
// before writes to the application directory. Windows-free, so the token
// emulator uses the same keys.
#pragma once

#include "KQTypes.h"

const KQDWORD CARD_KEY_LENGTH = 16;

// Writes the 16-byte key and sets *pdwLen to 16 when pbKey is not null and
// *pdwLen is at least 16; otherwise false and the buffer is left untouched.
bool GetSmKey(KQBYTE *pbKey, KQDWORD *pdwLen);
bool GetExtAuthKey(KQBYTE *pbKey, KQDWORD *pdwLen);
