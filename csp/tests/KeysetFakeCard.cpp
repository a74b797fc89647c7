// KeysetFakeCard.cpp
#include "KeysetFakeCard.h"

#include <cstring>

#include "TestPaths.h"

namespace {

KeysetFakeCard *g_pTemplate = nullptr;

KeysetFakeCard &TemplateCard()
{
    if (g_pTemplate == nullptr)
        g_pTemplate = new KeysetFakeCard();
    return *g_pTemplate;
}

bool SameName(const char *a, const char *b) { return _stricmp(a, b) == 0; }

}  // namespace

KeysetFakeCard::KeysetFakeCard() { std::memset(aEntries, 0, sizeof(aEntries)); }

void KeysetFakeCard::SetEntry(int i, const std::string &strName, bool bInUse)
{
    std::memset(&aEntries[i], 0, sizeof(aEntries[i]));
    aEntries[i].wStatus = bInUse ? 0x0800 : 0;
    std::memcpy(aEntries[i].szName, strName.data(),
                strName.size() < sizeof(aEntries[i].szName) ? strName.size()
                                                            : sizeof(aEntries[i].szName));
}

void KeysetFakeCard::SetFullEntry(int i, char c)
{
    aEntries[i].wStatus = 0x0800;
    std::memset(aEntries[i].szName, c, sizeof(aEntries[i].szName));
}

DWORD KeysetFakeCard::ReadKeysetIds(KEYSET_ID *pItems, DWORD *pdwCount)
{
    ++nReads;
    if (dwReadResult != 0)
        return dwReadResult;
    if (*pdwCount < 4)
        return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(pItems, aEntries, sizeof(aEntries));
    *pdwCount = 4;
    return 0;
}

DWORD KeysetFakeCard::WriteKeysetId(int nIndex, const char *pszContainer)
{
    ++nWrites;
    nLastWriteIndex = nIndex;
    strLastWriteName = pszContainer;
    if (dwWriteResult != 0)
        return dwWriteResult;
    if (nIndex < 1 || nIndex > 4)
        return SCARD_E_INVALID_PARAMETER;
    SetEntry(nIndex - 1, pszContainer);
    return 0;
}

DWORD KeysetFakeCard::DeleteKeySet(const char *pszContainer)
{
    vecDeleted.push_back(pszContainer);
    if (dwDeleteResult != 0)
        return dwDeleteResult;
    for (KEYSET_ID &entry : aEntries) {
        char szName[261] = {0};
        std::memcpy(szName, entry.szName, sizeof(entry.szName));
        if ((entry.wStatus & 0x0800) && SameName(szName, pszContainer)) {
            std::memset(&entry, 0, sizeof(entry));
            return 0;
        }
    }
    return SCARD_E_FILE_NOT_FOUND;
}

bool KeysetCards::Install()
{
    if (!FakeCardFactory::Install(TestBinPath("Corlisk.dll")))
        return false;
    FakeCardFactory::SetMaker([]() -> FakeCard * { return new KeysetFakeCard(TemplateCard()); });
    return true;
}

KeysetFakeCard &KeysetCards::Template() { return TemplateCard(); }

void KeysetCards::Reset() { TemplateCard() = KeysetFakeCard(); }

KeysetFakeCard *KeysetCards::Last()
{
    return FakeCardFactory::Made().empty()
               ? nullptr
               : static_cast<KeysetFakeCard *>(FakeCardFactory::Made().back());
}
