// CachedCard.h
//
// CCachedCard: the command object the card object uses for one connection.
// It is a CBaseCmd that keeps what the token already told it, so that the
// card object's frequent work (the key-set directory, its records, container
// names, public keys) costs no round trip after the first: which file the
// card has selected and which one the caller asked for (a SELECT goes out
// only when the next read or write needs it), whether external
// authentication and PIN verification were done in the current directory,
// the bytes of transparent files and records read or written, and exported
// public keys.
//
// Everything lives as long as the object (one connection) and is never
// shared or written anywhere. A failing card operation drops what the cache
// held of that file or key, and a key import or generation makes the key
// files' cached exports stale, so the cache never answers with data the card
// no longer holds.
//
// No lock: the card object uses it under its device mutex.
#pragma once

#include <windows.h>

#include <list>
#include <memory>
#include <utility>
#include <vector>

#include "BaseCmd.h"

class CCachedCard : public CBaseCmd {
public:
    // Binds to the device path; with bPreload, selects MF and DF 5000,
    // authenticates and reads the key-set directory, its records and name
    // files into the cache (a failing preload leaves what it got).
    CCachedCard(const char *pszDevicePath, bool bPreload);

    // Runs ~CCachedCard (the C++ destructors are not virtual).
    void *DeleteObject(unsigned int uFlags) override;
    // Selection cache: sends a SELECT only when the directory changes.
    DWORD SelectFile(BYTE bP1, BYTE bFidHigh, BYTE bFidLow) override;
    // Forwards unchanged.
    DWORD changepin_baseXin(int *pnTriesLeft) override;
    // Sent once per directory selection.
    DWORD VerifyPin(BYTE bPinRef, const BYTE *pbPin, DWORD dwPinLen, BYTE *pbTriesLeft) override;
    // Sent once per directory selection.
    DWORD ExternalAuthentication(const BYTE *pbKey, DWORD dwKeyLen) override;
    // From the record cache when cached with exactly this length.
    DWORD ReadRecord(BYTE bRecordNo, BYTE *pbBuf, DWORD dwLen) override;
    // Write-through to the record cache.
    DWORD UpdateRecord(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen) override;
    // From the transparent-file cache when it holds the range.
    DWORD ReadBinary(WORD wOffset, BYTE *pbBuf, DWORD dwLen) override;
    // As ReadBinary; the cache holds plain bytes for both forms.
    DWORD ReadBinaryInCipherMac(WORD wOffset, BYTE *pbBuf, DWORD dwLen) override;
    // Write-through to the transparent-file cache.
    DWORD UpdateBinary(WORD wOffset, const BYTE *pbData, DWORD dwLen) override;
    // As UpdateBinary, under secure messaging.
    DWORD UpdateBinaryInCipherMac(WORD wOffset, const BYTE *pbData, DWORD dwLen) override;
    // Drops the cached exports of both key files, whatever the outcome.
    DWORD GenerateRsaKey(BYTE b1, BYTE b2, BYTE b3, BYTE b4, BYTE bSizeCode) override;
    // Marks the key file's cached export stale, whatever the outcome (the
    // blob sent is not the export format, and may hold a private key).
    DWORD ImportKey(BYTE bFidHigh, BYTE bFidLow, const BYTE *pbData, DWORD dwLen) override;
    // From the key cache when usable and it fits *pdwOutLen.
    DWORD RsaPublicKeyExport(BYTE bFidHigh, BYTE bFidLow, BYTE *pbOut, DWORD *pdwOutLen) override;

    // A SELECT: the P1 type byte and the file id.
    struct CSelectCacheNode {
        BYTE bType = 0;
        BYTE abFid[2] = {0, 0};
    };

    // Base of cached files: kind (1 transparent, 2 record) and file id.
    class CISO7816CachedFile {
    public:
        CISO7816CachedFile(BYTE bKind, const BYTE *pbFid) : m_bKind(bKind)
        {
            m_abFid[0] = pbFid[0];
            m_abFid[1] = pbFid[1];
        }
        virtual ~CISO7816CachedFile() {}
        BYTE m_bKind;
        BYTE m_abFid[2];
    };

    // A transparent file: its bytes from offset 0 to the highest byte read
    // or written, and the gaps (start, length) never read or written.
    class CISO7816BinFile : public CISO7816CachedFile {
    public:
        static const BYTE KIND = 1;
        explicit CISO7816BinFile(const BYTE *pbFid) : CISO7816CachedFile(KIND, pbFid) {}
        ~CISO7816BinFile() override {}
        // True when every byte of [offset, offset + len) is held.
        bool Holds(DWORD dwOffset, DWORD dwLen) const;
        // Stores the bytes at the offset; a range skipped past the old end
        // becomes a gap, and gaps the bytes cover shrink or split.
        bool UpdateVector(DWORD dwOffset, const BYTE *pbData, DWORD dwLen);

        std::vector<BYTE> m_vFileData;
        std::vector<std::pair<DWORD, DWORD>> m_vGaps;
    };

    // A record file: records by number.
    class CISO7816RecordFile : public CISO7816CachedFile {
    public:
        static const BYTE KIND = 2;
        explicit CISO7816RecordFile(const BYTE *pbFid) : CISO7816CachedFile(KIND, pbFid) {}
        ~CISO7816RecordFile() override {}
        // The record's bytes, or null when it is not cached.
        const std::vector<BYTE> *Find(BYTE bRecordNo) const;
        // Replaces or adds the record.
        bool UpdateIso7816Record(BYTE bRecordNo, const BYTE *pbData, DWORD dwLen);
        // Forgets the record.
        bool DeleteRecord(BYTE bRecordNo);

        std::list<std::pair<BYTE, std::vector<BYTE>>> m_records;
    };

    // An exported public key of a key file; usable when not stale and not
    // empty.
    class CRsaKeyInfo {
    public:
        virtual ~CRsaKeyInfo() {}
        bool Usable() const { return !m_bStale && !m_vKey.empty(); }
        BYTE m_abFid[2] = {0, 0};
        bool m_bStale = false;
        std::vector<BYTE> m_vKey;
    };

protected:
    // Reached through DeleteObject only.
    ~CCachedCard();

private:
    CCachedCard(const CCachedCard &) = delete;
    CCachedCard &operator=(const CCachedCard &) = delete;

    // Sends the deferred SELECT of the requested file when the card has
    // another one selected.
    DWORD DoInnerSelect();
    // Fills the cache at creation; stops at the first failure.
    DWORD Preload();
    // The two read forms and the two write forms share their cache logic.
    DWORD CachedReadBinary(bool bSecure, WORD wOffset, BYTE *pbBuf, DWORD dwLen);
    DWORD CachedUpdateBinary(bool bSecure, WORD wOffset, const BYTE *pbData, DWORD dwLen);

    // The cached file of the requested id (of the kind, 0 = any), or end.
    std::list<std::unique_ptr<CISO7816CachedFile>>::iterator FindFile(BYTE bKind);
    // The key entry of the file id, or end.
    std::list<CRsaKeyInfo>::iterator FindKey(BYTE bFidHigh, BYTE bFidLow);
    // Clears both security flags and the working directory.
    void ResetSecurity();

    std::list<std::unique_ptr<CISO7816CachedFile>> m_files;  // newest last
    BYTE m_abDirId[2];
    // Security state: done flags and the directory they hold for.
    BYTE m_bExtAuthDone;
    BYTE m_bPinVerified;
    BYTE m_abWorkingDf[2];
    BYTE m_bSpare;
    std::list<CRsaKeyInfo> m_keys;
    CSelectCacheNode m_selected;
    CSelectCacheNode m_requested;
};
