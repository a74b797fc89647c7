// Pavrel_DisplaySign.h
//
// Pavrel_DisplaySign: the sign confirmation on the token's own screen. The
// card has signed already; the signature is released only when the user,
// shown the transaction (the hashed bytes, read as UTF-8 sign-data XML and
// turned into GBK), confirms it with the token's Enter key. Meanwhile the
// bitmap prompt and the sound run on the PC.
//
// Locks, both named after the card's own device path ('\' turned into '_',
// upper-cased), so that the user confirms on the token that signed:
// "MUTEX_DISPLAYSIGN_<path>" makes confirmations on one token wait for each
// other in all processes, and the token's device lock "MUTEX_CARD_<path>"
// is held from the first page to the final text, so that no other card
// operation (a delayed logo, another process's keypad entry) replaces the
// page the user is deciding on. The card object takes the device lock for
// each call too; the lock is recursive for this thread.
//
// One object per signature, made by the caller for one DisplaySign call.
// Traces carry no sign data, PIN or key.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "SignDataLayout.h"

class Pavrel_Hash;
class Pavrel_CardAccess;

class Pavrel_DisplaySign {
public:
    // Results of DisplaySign.
    enum {
        SIGN_CONFIRMED = 0,
        SIGN_FAILED = -1,
        SIGN_EXCEPTION = -3,
        SIGN_CANCELLED = -4,
    };
    // Results of getKey.
    enum {
        KEY_ESC = 0,
        KEY_ENTER = 1,
        KEY_UP = 2,
        KEY_DOWN = 3,
        KEY_TIMEOUT = -2,
        KEY_FAILED = -1,
    };
    // Allowed keys of getKey.
    enum {
        ALLOW_ENTER = 1,
        ALLOW_ESC = 2,
        ALLOW_UP = 4,    // '.'
        ALLOW_DOWN = 8,  // '#'
    };

    // The prompt paths and [SIGN] WaitTime from the folder of "Pavrel.dll".
    Pavrel_DisplaySign();
    virtual ~Pavrel_DisplaySign();

    // Shows the hash's transaction and waits for the user: 0 confirmed, -4
    // cancelled or timed out, -1 no card access or a screen or keypad
    // failure, -3 an exception.
    int DisplaySign(Pavrel_Hash *pHash, Pavrel_CardAccess *pCardAccess);

    // One key of the allowed ones within dwWaitTime ms: 1 Enter, 0 Esc, 2 '.',
    // 3 '#', -2 time-out, -1 failure.
    int getKey(Pavrel_CardAccess *pCardAccess, int nAllowed, DWORD dwWaitTime);

    // The lines of the sign-data document (an exception gives 0).
    static int ArrangeSignData(CXmlDocument &doc, SignLines &vecLines);
    static void PadSignData(SignLines &vecLines);
    static int ComposeScreenData(const SignLines &vecLines, int nTop, char *pPage,
                                 bool *pbEarlier, bool *pbLater);
    // UTF-8 bytes in the token's code page (936, GBK); empty on any failure.
    static std::string Utf8ToAnsi(const BYTE *pbData, DWORD dwLen);
    // The lines the token shows for the hashed bytes (UTF-8, read as
    // sign-data XML and turned into GBK); true when the transaction is
    // confirmed a second time.
    static bool SignLinesOf(const BYTE *pbData, DWORD dwLen, SignLines &vecLines);

    DWORD getWaitTime() const { return m_dwWaitTime; }
    const char *getBitmapPath() const { return m_szBitmapPath; }

    // Test seam: the millisecond clock of getKey (null: GetTickCount).
    typedef DWORD (*PFN_TICKS)();
    static void setTickSource(PFN_TICKS pfnTicks);

    // The scope lock on a named mutex: waits without time-out when made
    // (an abandoned mutex counts as owned), releases and closes when
    // destroyed. A null handle locks nothing.
    class CDisplayMutex {
    public:
        explicit CDisplayMutex(HANDLE hMutex);
        ~CDisplayMutex();
        bool owned() const { return m_bOwned; }

    private:
        CDisplayMutex(const CDisplayMutex &) = delete;
        CDisplayMutex &operator=(const CDisplayMutex &) = delete;
        HANDLE m_hMutex;
        bool m_bOwned;
    };

    // "<prefix><path>" with every '\' turned into '_', upper-cased (ASCII),
    // as the card object names its device lock.
    static std::string DeviceMutexName(const char *pszPrefix, const std::string &strDevicePath);

private:
    Pavrel_DisplaySign(const Pavrel_DisplaySign &) = delete;
    Pavrel_DisplaySign &operator=(const Pavrel_DisplaySign &) = delete;

    // The page loop and the second confirmation, under the device lock.
    int runDialogue(Pavrel_CardAccess *pCardAccess, const SignLines &vecLines, bool bSecond);
    // A final text, then the logo three seconds later.
    void showText(Pavrel_CardAccess *pCardAccess, const char *pszText);

    HANDLE m_hMutex;
    char m_szBitmapPath[260];
    char m_szSoundPath[260];
    DWORD m_dwWaitTime;
};
