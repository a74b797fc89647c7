// StandinMemory.cpp
#include "StandinMemory.h"

#include "OutsideInterfaces.h"
#include "TestPaths.h"

namespace {
typedef long(KQ_EXPORT_CALL *PFN_Counter)();
typedef void(KQ_EXPORT_CALL *PFN_FailAfter)(unsigned long);

}  // namespace

StandinMemory::StandinMemory()
    : m_hModule(LoadLibraryA(TestBinPath("KQUKeyMem.dll").c_str()))
{
}

StandinMemory::~StandinMemory()
{
    if (m_hModule)
        FreeLibrary(m_hModule);
}

long StandinMemory::LiveBlocks() const
{
    PFN_Counter pfn = KQGetProcAddress<PFN_Counter>(m_hModule, "KQMemLiveBlocks");
    return pfn ? pfn() : -1;
}

long StandinMemory::BadFrees() const
{
    PFN_Counter pfn = KQGetProcAddress<PFN_Counter>(m_hModule, "KQMemBadFrees");
    return pfn ? pfn() : -1;
}

void StandinMemory::FailAfter(unsigned long ulCount) const
{
    PFN_FailAfter pfn = KQGetProcAddress<PFN_FailAfter>(m_hModule, "KQMemFailAfter");
    if (pfn)
        pfn(ulCount);
}
