// KQUKeyMem.cpp
//
// Stand-in for the outside memory library (MAPI-style): KQAllocateBuffer
// gives a root buffer, KQAllocateMore a buffer tied to a root, KQFreeBuffer on
// the root releases it with everything tied to it. The stand-in keeps every
// live block in a table so that tests can see leaks and bad frees:
//   KQMemLiveBlocks  blocks allocated and not yet released
//   KQMemBadFrees    frees of a pointer that is not a live root (a double
//                    free, a block tied to a parent, or a foreign pointer)
//   KQMemFailAfter   (n) makes the n-th allocation from now fail; 0 never
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "OutsideInterfaces.h"

namespace {

// Result codes in the MAPI manner.
const unsigned long KQMEM_OK = 0;
const unsigned long KQMEM_NOT_ENOUGH_MEMORY = 0x8007000E;
const unsigned long KQMEM_INVALID_PARAMETER = 0x80070057;

struct BlockInfo {
    void *pRoot;                  // null for a root block
    std::vector<void *> children; // blocks tied to this root
};

CRITICAL_SECTION g_lock;
std::map<void *, BlockInfo> *g_pBlocks = nullptr;
long g_lBadFrees = 0;
unsigned long g_ulFailCountdown = 0;

class CLock {
public:
    CLock() { EnterCriticalSection(&g_lock); }
    ~CLock() { LeaveCriticalSection(&g_lock); }
};

// True when this allocation is the one a test asked to fail.
bool ShouldFail()
{
    if (g_ulFailCountdown == 0)
        return false;
    return --g_ulFailCountdown == 0;
}

void *NewBlock(unsigned long ulSize)
{
    // Never zero-filled here: the caller's binding is the one that zeroes.
    void *p = std::malloc(ulSize ? ulSize : 1);
    if (p != nullptr)
        std::memset(p, 0xCD, ulSize);
    return p;
}

}  // namespace

extern "C" {

unsigned long KQ_EXPORT_CALL KQAllocateBuffer(unsigned long ulSize, unsigned long /*ulFlags*/,
                                              void **ppBuffer)
{
    if (ppBuffer == nullptr)
        return KQMEM_INVALID_PARAMETER;
    *ppBuffer = nullptr;
    CLock lock;
    if (ShouldFail())
        return KQMEM_NOT_ENOUGH_MEMORY;
    void *p = NewBlock(ulSize);
    if (p == nullptr)
        return KQMEM_NOT_ENOUGH_MEMORY;
    (*g_pBlocks)[p] = BlockInfo{nullptr, {}};
    *ppBuffer = p;
    return KQMEM_OK;
}

unsigned long KQ_EXPORT_CALL KQAllocateMore(unsigned long ulSize, void *pParent,
                                            void **ppBuffer)
{
    if (ppBuffer == nullptr)
        return KQMEM_INVALID_PARAMETER;
    *ppBuffer = nullptr;
    CLock lock;
    auto itParent = g_pBlocks->find(pParent);
    if (itParent == g_pBlocks->end())
        return KQMEM_INVALID_PARAMETER;
    void *pRoot = itParent->second.pRoot ? itParent->second.pRoot : pParent;
    if (ShouldFail())
        return KQMEM_NOT_ENOUGH_MEMORY;
    void *p = NewBlock(ulSize);
    if (p == nullptr)
        return KQMEM_NOT_ENOUGH_MEMORY;
    (*g_pBlocks)[p] = BlockInfo{pRoot, {}};
    (*g_pBlocks)[pRoot].children.push_back(p);
    *ppBuffer = p;
    return KQMEM_OK;
}

unsigned long KQ_EXPORT_CALL KQFreeBuffer(void *pBuffer)
{
    if (pBuffer == nullptr)
        return KQMEM_OK;
    CLock lock;
    auto it = g_pBlocks->find(pBuffer);
    if (it == g_pBlocks->end() || it->second.pRoot != nullptr) {
        ++g_lBadFrees;
        return KQMEM_INVALID_PARAMETER;
    }
    for (void *pChild : it->second.children) {
        g_pBlocks->erase(pChild);
        std::free(pChild);
    }
    g_pBlocks->erase(it);
    std::free(pBuffer);
    return KQMEM_OK;
}

long KQ_EXPORT_CALL KQMemLiveBlocks()
{
    CLock lock;
    return static_cast<long>(g_pBlocks->size());
}

long KQ_EXPORT_CALL KQMemBadFrees()
{
    CLock lock;
    return g_lBadFrees;
}

void KQ_EXPORT_CALL KQMemFailAfter(unsigned long ulCount)
{
    CLock lock;
    g_ulFailCountdown = ulCount;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&g_lock);
        g_pBlocks = new std::map<void *, BlockInfo>();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}
