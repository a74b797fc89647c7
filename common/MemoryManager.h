// MemoryManager.h
//
// CMemoryManager: the binding of the outside memory library KQUKeyMem, from
// which every buffer handed to a caller across the card interface comes (so
// the caller frees it through the same library). The static operations are
// the module-wide binding; an object is a small holder of one buffer that it
// does not own: destroying the holder leaves the buffer alone.
//
// Every allocation path gives null on failure (library or entry missing,
// size 0, the library's own failure).
#pragma once

#include <windows.h>

class CMemoryManager {
public:
    // Loads the library (the bare name "KQUKeyMem.dll" when the path is null
    // or empty) and binds its three entries. False only when it cannot load.
    static BOOL LoadDLL(const char *pszPathName);
    static void UnloadDLL();
    static BOOL IsLoaded();

    // A zero-filled buffer of dwSize bytes, or null.
    static void *Alloc(DWORD dwSize);
    // A zero-filled buffer tied to pParent (freed with it), or null.
    static void *AllocMore(void *pParent, DWORD dwSize);
    // Releases a buffer from Alloc (and everything tied to it).
    static void Free(void *pBuffer);

    // An empty holder.
    CMemoryManager();
    // A holder of a new zero-filled buffer of dwSize bytes (empty on failure).
    explicit CMemoryManager(DWORD dwSize);
    virtual ~CMemoryManager();

    void *Get() const { return m_pBuffer; }
    // Takes pBuffer when empty (1); otherwise keeps its own buffer (0).
    int Attach(void *pBuffer);

private:
    CMemoryManager(const CMemoryManager &) = delete;
    CMemoryManager &operator=(const CMemoryManager &) = delete;

    void *m_pBuffer;
};
