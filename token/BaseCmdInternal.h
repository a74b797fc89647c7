// BaseCmdInternal.h
//
// Helpers shared by the command set's source files: the entry and exit
// lines of a command (module "KQCARD", class "CBaseCmd"), its level-1
// failure lines, and a holder that wipes and frees a buffer from the memory
// library on every way out. Internal to the command set.
#pragma once

#include <windows.h>

#include "MemoryManager.h"
#include "TraceWriter.h"

#include <vector>

// Enter on construction, leave on every way out of the command.
class CCmdTraceScope {
public:
    explicit CCmdTraceScope(const char *pszEnter, const char *pszLeave = nullptr)
        : m_pszLeave(pszLeave ? pszLeave : pszEnter)
    {
        CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "CBaseCmd", pszEnter);
    }
    ~CCmdTraceScope() { CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "CBaseCmd", m_pszLeave); }

private:
    CCmdTraceScope(const CCmdTraceScope &) = delete;
    CCmdTraceScope &operator=(const CCmdTraceScope &) = delete;

    const char *m_pszLeave;
};

// A level-1 line of the command set.
#define CMD_FAIL(...)                                                                        \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_ERROR, TRACE_KIND_LINE, TRACE_MODULE_CARD, \
                                     __VA_ARGS__)

// A level-4 line of the command set.
#define CMD_INFO(...)                                                                       \
    CTraceWriter::GetInstance()->Log(TRACE_LEVEL_INFO, TRACE_KIND_LINE, TRACE_MODULE_CARD, \
                                     __VA_ARGS__)

// Owns a buffer from the memory library: wiped (it may hold key material)
// and freed when the holder goes.
class CLibraryBuffer {
public:
    // A new zero-filled buffer of dwSize bytes (null when it cannot be had).
    explicit CLibraryBuffer(DWORD dwSize)
        : m_pb(static_cast<BYTE *>(CMemoryManager::Alloc(dwSize))), m_dwSize(dwSize)
    {
    }
    // Takes a buffer someone else allocated there.
    CLibraryBuffer(BYTE *pb, DWORD dwSize) : m_pb(pb), m_dwSize(dwSize) {}
    ~CLibraryBuffer()
    {
        if (m_pb == nullptr)
            return;
        volatile BYTE *pb = m_pb;
        for (DWORD i = 0; i < m_dwSize; ++i)
            pb[i] = 0;
        CMemoryManager::Free(m_pb);
    }
    BYTE *Get() const { return m_pb; }
    DWORD Size() const { return m_dwSize; }

private:
    CLibraryBuffer(const CLibraryBuffer &) = delete;
    CLibraryBuffer &operator=(const CLibraryBuffer &) = delete;

    BYTE *m_pb;
    DWORD m_dwSize;
};

// Overwrites a vector that held a PIN, a key or plain secure-messaging data.
inline void WipeBytes(std::vector<BYTE> &data)
{
    volatile BYTE *pb = data.data();
    for (std::size_t i = 0; i < data.size(); ++i)
        pb[i] = 0;
}
