// FakeCard.cpp
#include "FakeCard.h"

#include <algorithm>
#include <set>

#include "OutsideInterfaces.h"

namespace {

typedef void *(*PFN_FakeCreate)();
typedef void (*PFN_FakeDestroy)(void *);
typedef void(KQ_EXPORT_CALL *PFN_FakeCorliskSetFactory)(PFN_FakeCreate, PFN_FakeDestroy);

FakeCard g_next;
std::vector<FakeCard *> g_made;
std::set<const FakeCard *> g_destroyed;
FakeCard *(*g_pfnMake)() = nullptr;

void *Create()
{
    FakeCard *pCard = g_pfnMake ? g_pfnMake() : new FakeCard(g_next);
    g_made.push_back(pCard);
    return static_cast<KQCardBase *>(pCard);
}

void Destroy(void *pObject)
{
    static_cast<KQCardBase *>(pObject)->DeleteObject(0);
}

}  // namespace

void *FakeCard::DeleteObject(unsigned int)
{
    // Kept for the test to look at; only marked.
    g_destroyed.insert(this);
    return this;
}

bool FakeCardFactory::Install(const std::string &strLibraryPath)
{
    HMODULE hModule = LoadLibraryA(strLibraryPath.c_str());
    if (hModule == nullptr)
        return false;
    auto pfnSet = KQGetProcAddress<PFN_FakeCorliskSetFactory>(hModule, "FakeCorliskSetFactory");
    if (pfnSet == nullptr)
        return false;
    pfnSet(&Create, &Destroy);
    return true;
}

FakeCard &FakeCardFactory::NextCard() { return g_next; }

void FakeCardFactory::SetMaker(FakeCard *(*pfnMake)()) { g_pfnMake = pfnMake; }

const std::vector<FakeCard *> &FakeCardFactory::Made() { return g_made; }

bool FakeCardFactory::Destroyed(const FakeCard *pCard) { return g_destroyed.count(pCard) != 0; }
