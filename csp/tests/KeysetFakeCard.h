// KeysetFakeCard.h
//
// A fake card whose container list is four KEYSET_ID entries the test sets
// (any status, names up to the whole 260-byte field), with writing and
// deleting entries recorded and failures injectable. Its RSA key is an
// RsaFakeCard's. KeysetCards makes them from a template through the
// fixture "Corlisk.dll".
#pragma once

#include <string>
#include <vector>

#include "RsaFakeCard.h"

class KeysetFakeCard : public RsaFakeCard {
public:
    KeysetFakeCard();

    KEYSET_ID aEntries[4];
    DWORD dwReadResult = 0;
    DWORD dwWriteResult = 0;
    DWORD dwDeleteResult = 0;
    int nReads = 0;
    int nWrites = 0;
    int nLastWriteIndex = 0;
    std::string strLastWriteName;

    // Entry i in use (or not) with the name.
    void SetEntry(int i, const std::string &strName, bool bInUse = true);
    // Entry i in use, its whole name field filled with c and no NUL.
    void SetFullEntry(int i, char c);

    DWORD ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount) override;
    DWORD WriteKeysetId(int nIndex, const char *pszContainer) override;
    DWORD DeleteKeySet(const char *pszContainer) override;
};

class KeysetCards {
public:
    // Binds the fixture and makes every card from Template().
    static bool Install();
    // The settings of the next card (reset by Reset()).
    static KeysetFakeCard &Template();
    static void Reset();
    // The card made last; null before the first.
    static KeysetFakeCard *Last();
};
