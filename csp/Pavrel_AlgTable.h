// Pavrel_AlgTable.h
//
// Pavrel_AlgTable: the provider's ten algorithms as PP_ENUMALGS_EX rows
// (name fields 20 and 40 bytes, dwNameLen and dwLongNameLen their sizes),
// and the key-length rules genKey and importKey apply.
#pragma once

#include <windows.h>
#include <wincrypt.h>

class Pavrel_AlgTable {
public:
    static const DWORD kRows = 10;

    static const PROV_ENUMALGS_EX &row(DWORD dwIndex);
    // Whether the algorithm has a row.
    static bool isListed(ALG_ID algId);
    // Its lengths in bits; 0 when it is not listed.
    static DWORD getMinLen(ALG_ID algId);
    static DWORD getMaxLen(ALG_ID algId);
    static DWORD getDefaultLen(ALG_ID algId);
    // Within minimum and maximum.
    static bool isLenInRange(ALG_ID algId, DWORD dwBits);
    // 1024 for the RSA algorithms, 0 for every other.
    static DWORD getKeySizeInc(ALG_ID algId);
    // In range and a whole number of increments above the minimum (a zero
    // increment: only the minimum, which must then be the maximum).
    static bool isValidKeyLen(ALG_ID algId, DWORD dwBits);

private:
    Pavrel_AlgTable() = delete;
};
