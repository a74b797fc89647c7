// MemoryManager.cpp
#include "MemoryManager.h"

#include <cstring>

#include "OutsideInterfaces.h"
#include "TraceWriter.h"

namespace {

HMODULE g_hMemLibrary = nullptr;
PFN_KQAllocateBuffer g_pfnAllocateBuffer = nullptr;
PFN_KQAllocateMore g_pfnAllocateMore = nullptr;
PFN_KQFreeBuffer g_pfnFreeBuffer = nullptr;

// The only allocation flag the library is ever given.
const unsigned long kAllocFlags = 2;

// KQAllocateBuffer with the pointer checked: null on any failure.
void *AllocateZeroed(DWORD dwSize)
{
    if (g_hMemLibrary == nullptr || g_pfnAllocateBuffer == nullptr || dwSize == 0)
        return nullptr;
    void *pBuffer = nullptr;
    if (g_pfnAllocateBuffer(dwSize, kAllocFlags, &pBuffer) != 0 || pBuffer == nullptr)
        return nullptr;
    std::memset(pBuffer, 0, dwSize);
    return pBuffer;
}

}  // namespace

BOOL CMemoryManager::LoadDLL(const char *pszPathName)
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CARD, "CMemoryManager", "LoadDLL");
    pTrace->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                "CMemoryManager::LoadDLL pszPathName=[%s]", pszPathName ? pszPathName : "");
    if (g_hMemLibrary != nullptr)
        UnloadDLL();
    const char *pszName = (pszPathName && *pszPathName) ? pszPathName : "KQUKeyMem.dll";
    HMODULE hModule = LoadLibraryA(pszName);
    if (hModule == nullptr) {
        DWORD dwError = GetLastError();
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CMemoryManager::LoadDLL LoadLibrary Failed,szDllFileName=[%s],GetLastError=[%d]",
                    pszName, static_cast<int>(dwError));
        return FALSE;
    }
    g_pfnAllocateBuffer = KQGetProcAddress<PFN_KQAllocateBuffer>(hModule, "KQAllocateBuffer");
    g_pfnAllocateMore = KQGetProcAddress<PFN_KQAllocateMore>(hModule, "KQAllocateMore");
    g_pfnFreeBuffer = KQGetProcAddress<PFN_KQFreeBuffer>(hModule, "KQFreeBuffer");
    if (g_pfnAllocateBuffer == nullptr)
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CMemoryManager::LoadDLL GetProcAddress Failed,KQAllocateBufferx==NULL");
    if (g_pfnAllocateMore == nullptr)
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CMemoryManager::LoadDLL GetProcAddress Failed,KQAllocateMorex==NULL");
    if (g_pfnFreeBuffer == nullptr)
        pTrace->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD,
                    "CMemoryManager::LoadDLL GetProcAddress Failed,KQFreeBufferx==NULL");
    g_hMemLibrary = hModule;
    pTrace->Leave(TRACE_MODULE_CARD, "CMemoryManager", "LoadDLL");
    return TRUE;
}

void CMemoryManager::UnloadDLL()
{
    CTraceWriter *pTrace = CTraceWriter::GetInstance();
    pTrace->Enter(TRACE_MODULE_CARD, "CMemoryManager", "UnloadDLL");
    HMODULE hModule = g_hMemLibrary;
    g_hMemLibrary = nullptr;
    g_pfnAllocateBuffer = nullptr;
    g_pfnAllocateMore = nullptr;
    g_pfnFreeBuffer = nullptr;
    if (hModule != nullptr)
        FreeLibrary(hModule);
    pTrace->Leave(TRACE_MODULE_CARD, "CMemoryManager", "UnloadDLL");
}

BOOL CMemoryManager::IsLoaded() { return g_hMemLibrary != nullptr; }

void *CMemoryManager::Alloc(DWORD dwSize) { return AllocateZeroed(dwSize); }

void *CMemoryManager::AllocMore(void *pParent, DWORD dwSize)
{
    if (g_hMemLibrary == nullptr || g_pfnAllocateMore == nullptr || pParent == nullptr ||
        dwSize == 0)
        return nullptr;
    void *pBuffer = nullptr;
    if (g_pfnAllocateMore(dwSize, pParent, &pBuffer) != 0 || pBuffer == nullptr)
        return nullptr;
    std::memset(pBuffer, 0, dwSize);
    return pBuffer;
}

void CMemoryManager::Free(void *pBuffer)
{
    if (g_hMemLibrary != nullptr && g_pfnFreeBuffer != nullptr && pBuffer != nullptr)
        g_pfnFreeBuffer(pBuffer);
}

CMemoryManager::CMemoryManager() : m_pBuffer(nullptr) {}

CMemoryManager::CMemoryManager(DWORD dwSize) : m_pBuffer(AllocateZeroed(dwSize)) {}

CMemoryManager::~CMemoryManager() {}

int CMemoryManager::Attach(void *pBuffer)
{
    if (m_pBuffer != nullptr)
        return 0;
    m_pBuffer = pBuffer;
    return 1;
}
