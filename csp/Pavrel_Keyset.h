// Pavrel_Keyset.h
//
// Pavrel_Keyset: one container a CryptoAPI context is acquired on, a named
// entry in a token's container list or the token-less verification context,
// with the providers (HCRYPTPROV objects) acquired on it. The process keeps
// every keyset in one registry, keyed by the kind of keyset and its path
// (paths compared without regard to case, Pavrel_ContainerText::pathKey):
// a verification keyset and a token keyset never share an entry.
//
// The three cores behind CPAcquireContext and CPReleaseContext live here as
// static members: GetKeyset (open, create or verification acquisition),
// deleteKeyset and Release. Token keysets count their acquisitions in the
// shared records (CSharedKeysetInfo, under "MUTEX_CSP"); the keyset and its
// providers live until the release that brings its count to 0.
//
// The registry, the provider maps and the shared records are guarded by one
// process-local lock (Pavrel_Keyset::Lock), taken before "MUTEX_CSP" where
// both are needed, so threads of one process may acquire and release at
// once. Pointers from the lookups are good only while the lock is held.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>

class Pavrel_CardAccess;
class Pavrel_Provider;

// The container opened by an empty name, and the verification keyset's.
extern const char PAVREL_DEFAULT_CONTAINER[];
extern const char PAVREL_VERIFY_CONTAINER[];

class Pavrel_Keyset {
public:
    // Holds the process-local lock of the registry for one scope; a thread
    // that holds it may take it again.
    class Lock {
    public:
        Lock();
        ~Lock();

    private:
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
    };

    // Sets the fields and markers and registers the keyset. A token keyset
    // replaces (and deletes) a token keyset already under its path; a
    // verification keyset registers only while its entry is free.
    Pavrel_Keyset(const std::string &strReaderName, const std::string &strKeysetName,
                  const std::string &strKeysetPath, DWORD dwFlags);
    // Deletes every provider and removes the registry entry, when that entry
    // is still this keyset.
    virtual ~Pavrel_Keyset();

    // A new provider on the card access (null for a verification keyset)
    // in the map; its handle, or 0 when it cannot be made.
    ULONG64 CreateProvider(Pavrel_CardAccess *pCardAccess);
    // Deletes the provider of the handle and removes it from the map.
    void DeleteProvider(ULONG64 hProv);
    Pavrel_Provider *getProvider(ULONG64 hProv) const;
    size_t getProviderCount() const { return m_mapProviders.size(); }

    const std::string &getKeysetName() const { return m_strKeysetName; }
    const std::string &getReaderName() const { return m_strReaderName; }
    const std::string &getKeysetPath() const { return m_strKeysetPath; }
    DWORD getFlags() const { return m_dwFlags; }
    bool isVerifyContext() const { return m_bVerifyContext != FALSE; }
    bool isSilent() const { return m_bSilent != FALSE; }
    bool isTokenKeyset() const { return m_bToken != FALSE; }

    // Lookups (the caller holds the Lock while it uses the answer).
    static Pavrel_Keyset *FindKeyset(const std::string &strPath, bool bVerifyContext);
    static Pavrel_Keyset *FindKeysetByProvider(ULONG64 hProv);
    static Pavrel_Provider *FindProvider(ULONG64 hProv);
    // Deletes the keyset of the kind registered under the path, if any.
    static void ClearKeysetInstance(const std::string &strPath, bool bVerifyContext);

    // Cores of the entry points: 0 or an NTE code (Release: always 0). An
    // exception from the card passes on to the entry point's catch-all,
    // except in Release, which always reports success.
    static DWORD GetKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                           const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv);
    static DWORD deleteKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                              const std::string &strKeysetPath, BOOL bSilent);
    static DWORD Release(ULONG64 hProv);
    // At unload: clears the keysets whose count fell to 0.
    static void CleanupAtUnload();

private:
    Pavrel_Keyset(const Pavrel_Keyset &) = delete;
    Pavrel_Keyset &operator=(const Pavrel_Keyset &) = delete;

    typedef std::pair<bool, std::string> RegistryKey;
    typedef std::map<RegistryKey, Pavrel_Keyset *> Registry;
    static Registry &registry();
    RegistryKey registryKey() const;

    static DWORD openKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                            const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv);
    static DWORD createKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                              const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv);
    static DWORD verifyKeyset(const std::string &strReaderName, const std::string &strKeysetName,
                              const std::string &strKeysetPath, DWORD dwFlags, ULONG64 *phProv);

    std::string m_strKeysetName;
    std::string m_strReaderName;
    std::string m_strKeysetPath;
    DWORD m_dwFlags;
    BOOL m_bVerifyContext;
    BOOL m_bSilent;
    BOOL m_bToken;
    std::map<ULONG64, Pavrel_Provider *> m_mapProviders;
};
