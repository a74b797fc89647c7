// CspMutex.cpp
#include "CspMutex.h"

namespace {
const char kMutexName[] = "MUTEX_CSP";
}  // namespace

CCspMutex::CCspMutex() : m_hMutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMutexName))
{
    if (m_hMutex == nullptr)
        m_hMutex = CreateMutexA(nullptr, FALSE, kMutexName);
    // An abandoned mutex is held all the same.
    if (m_hMutex != nullptr)
        WaitForSingleObject(m_hMutex, INFINITE);
}

CCspMutex::~CCspMutex()
{
    if (m_hMutex == nullptr)
        return;
    ReleaseMutex(m_hMutex);
    CloseHandle(m_hMutex);
}
