// DisplaySignHelper.cpp
//
// Second and third process of the two-process sign confirmation test:
//   display_sign_helper <folder> <prefix> <type>
// loads "<folder>\Pavrel.dll" (a stand-in, so the confirmation reads that
// folder's configuration), opens the first token through the
// emulator-bound Corlisk.dll beside this program (signalling
// "<prefix>_READY" just before) and confirms a transfer of that type; then
// signals "<prefix>_DONE" and stays (its delayed logo with it) until the
// test sets "<prefix-less>GO" (the prefix without its last character,
// shared by both helpers). The exit code is DisplaySign's result; 99 and
// above for a failed step.
#include <windows.h>

#include <string>

#include "SignConfirm.h"

namespace {

const DWORD kTurnTimeout = 60000;

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 100;
    const std::string strPrefix = argv[2];
    if (LoadLibraryA((std::string(argv[1]) + "\\Pavrel.dll").c_str()) == nullptr)
        return 101;
    HANDLE hReady = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "_READY").c_str());
    HANDLE hDone = CreateEventA(nullptr, FALSE, FALSE, (strPrefix + "_DONE").c_str());
    HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE,
                              (strPrefix.substr(0, strPrefix.size() - 1) + "GO").c_str());
    // Opening the token waits while another process's confirmation holds it.
    SetEvent(hReady);
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("");
    if (pAccess == nullptr)
        return 102;
    pAccess->AddRef();
    const int nResult = ConfirmSignData(pAccess, TransferXml(argv[3]));
    SetEvent(hDone);
    WaitForSingleObject(hGo, kTurnTimeout);
    pAccess->Release();
    return nResult;
}
