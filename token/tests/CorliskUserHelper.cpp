// CorliskUserHelper.cpp
//
// Second process of the two-process card-object tests: it loads the
// emulator-bound Corlisk.dll (emu\ beside this program), makes a card object
// and uses the token named on its command line, taking turns with the test
// through two auto-reset events, "<prefix>_GO" (the test: go on) and
// "<prefix>_DONE" (this program: done).
//   corlisk_user_helper <device path> <prefix> reconnect <n>
//       opens the token (kind 0), says DONE, waits for GO, then reconnects
//       n times as fast as it can and says DONE.
//   corlisk_user_helper <device path> <prefix> alternate <n>
//       n turns of: wait for GO, read the file-system status (the first
//       turn opens the token first), say DONE; then it keeps the token
//       until one more GO.
// Exit code 0 when every step worked, else the number of the failed step.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "KQCardBase.h"
#include "KQCeiAssistant.h"
#include "OwnFolder.h"

namespace {

const DWORD kTurnTimeout = 60000;

int Run(KQCardBase *pCard, const char *pszPath, HANDLE hGo, HANDLE hDone, bool bAlternate,
        int nRounds)
{
    if (!bAlternate) {
        if (pCard->OpenConnectionEx(pszPath, 0) != 0)
            return 20;
        SetEvent(hDone);
        if (WaitForSingleObject(hGo, kTurnTimeout) != WAIT_OBJECT_0)
            return 21;
        for (int i = 0; i < nRounds; ++i)
            if (pCard->ReConnect() != 0)
                return 22;
        SetEvent(hDone);
        return 0;
    }
    for (int i = 0; i < nRounds; ++i) {
        if (WaitForSingleObject(hGo, kTurnTimeout) != WAIT_OBJECT_0)
            return 30;
        if (i == 0 && pCard->OpenConnectionEx(pszPath, 0) != 0)
            return 31;
        int nStatus = -1;
        if (pCard->GetFileSystemStatus(&nStatus) != 0 || nStatus != 1)
            return 32;
        SetEvent(hDone);
    }
    if (WaitForSingleObject(hGo, kTurnTimeout) != WAIT_OBJECT_0)
        return 33;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    const bool bAlternate = std::strcmp(argv[3], "alternate") == 0;
    if (!bAlternate && std::strcmp(argv[3], "reconnect") != 0)
        return 2;
    const int nRounds = std::atoi(argv[4]);
    const std::string strPrefix = argv[2];
    HANDLE hGo = OpenEventA(SYNCHRONIZE, FALSE, (strPrefix + "_GO").c_str());
    HANDLE hDone = OpenEventA(EVENT_MODIFY_STATE, FALSE, (strPrefix + "_DONE").c_str());
    if (hGo == nullptr || hDone == nullptr)
        return 3;

    CKQCeiAssistant library((OwnFolder() + "emu\\Corlisk.dll").c_str());
    KQCardBase *pCard = static_cast<KQCardBase *>(library.CreateObject());
    if (pCard == nullptr)
        return 4;
    const int nResult = Run(pCard, argv[1], hGo, hDone, bAlternate, nRounds);
    pCard->CloseConnection();
    library.DestroyObject(pCard);
    CloseHandle(hGo);
    CloseHandle(hDone);
    return nResult;
}
