// OwnerRecordHelper.cpp
//
// Second process of the owner-record test. It connects to the token named on
// its command line through the emulator, exchanges a SELECT, tells the test
// that it holds the token (first event), waits until the test has looked
// (second event), and ends with 0 when the token was connected for it all the
// while, with a number naming the failed step otherwise.
//   owner_record_helper <device path> <connected event> <release event>
#include <windows.h>

#include <string>
#include <vector>

#include "HidManager.h"
#include "MemoryManager.h"
#include "OwnFolder.h"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const char *pszPath = argv[1];
    HANDLE hConnected = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    HANDLE hRelease = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
    if (hConnected == nullptr || hRelease == nullptr)
        return 3;
    if (!CMemoryManager::LoadDLL((OwnFolder() + "KQUKeyMem.dll").c_str()))
        return 4;

    CHidManager *pHid = CHidManager::GetInstance();
    if (!pHid->Connect(pszPath))
        return 10;
    if (!pHid->IsConnected(pszPath))
        return 11;
    std::vector<BYTE> answer;
    BYTE bSw1 = 0, bSw2 = 0;
    if (!pHid->SendRcvCmd(pszPath, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, answer, bSw1,
                          bSw2) ||
        bSw1 != 0x90 || bSw2 != 0x00)
        return 12;
    SetEvent(hConnected);
    if (WaitForSingleObject(hRelease, 60000) != WAIT_OBJECT_0)
        return 13;
    if (!pHid->IsConnected(pszPath))
        return 14;
    pHid->DisConnect(pszPath);
    return 0;
}
