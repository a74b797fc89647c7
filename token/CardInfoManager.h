// CardInfoManager.h
//
// The owner record of each token: a 4-byte named shared section
// "CARD_SHAREMEM_<path>" (upper-cased) holding the id of the process that
// connected to the token last (0 = free), guarded by the named mutex
// "MUTEX_CARD_SHAREMEM_<path>" (case kept); '\' in the path becomes '_'.
//
// CCardInfoManager is the process-wide entry: IsAcquired tells whether the
// token is free or owned by this process; Connect and DisConnect write this
// process's id or 0. While this process is connected to a token it keeps one
// accessor (and so the section) open, so the id it wrote stays visible to
// other processes until it disconnects even when no other handle is open.
// A disconnect frees the token only while the record still names this
// process: a process that took the token over in the meantime keeps it.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>

class CCardInfoManager {
public:
    // The accessor of one token's record: section, mapped view and lock.
    class CShareMem {
    public:
        // Opens (or creates, zero-filled by the system) the section and the
        // lock of the device path; an existing record is never overwritten.
        explicit CShareMem(const char *pszDevicePath);
        virtual ~CShareMem();

        // True when the section is mapped and the lock exists.
        bool IsValid() const { return m_pView != nullptr && m_hMutex != nullptr; }
        // Copies the record out, under the lock.
        BOOL Read(DWORD *pdwValue);
        // Stores the value, under the lock.
        BOOL Write(DWORD dwValue);
        // A read, then the write, each under its own holding of the lock.
        BOOL ReadThenWrite(DWORD dwValue);
        // Stores 0 when the record holds dwOwner, leaves it otherwise; one
        // holding of the lock for both.
        BOOL ClearIfHeldBy(DWORD dwOwner);

        static std::string SectionName(const char *pszDevicePath);
        static std::string MutexName(const char *pszDevicePath);

    private:
        CShareMem(const CShareMem &) = delete;
        CShareMem &operator=(const CShareMem &) = delete;

        HANDLE m_hSection;
        volatile DWORD *m_pView;
        HANDLE m_hMutex;
    };

    static CCardInfoManager *GetInstance();
    virtual ~CCardInfoManager();

    // True when the record holds 0 or this process's id.
    BOOL IsAcquired(const char *pszDevicePath);
    // Writes this process's id and keeps the record open while connected.
    BOOL Connect(const char *pszDevicePath);
    // Writes 0 unless another process holds the token now, and lets the
    // record go.
    BOOL DisConnect(const char *pszDevicePath);

private:
    CCardInfoManager();
    CCardInfoManager(const CCardInfoManager &) = delete;
    CCardInfoManager &operator=(const CCardInfoManager &) = delete;

    CRITICAL_SECTION m_lock;
    // Records held open for the tokens this process is connected to, by path.
    std::map<std::string, std::unique_ptr<CShareMem>> m_held;
};
