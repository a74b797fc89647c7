// DisplaySignHelper.cpp
//
// Second and third process of the two-process sign confirmation test:
//   display_sign_helper <folder> <prefix> <type>
// loads "<folder>\Pavrel.dll" (a stand-in, so the confirmation reads that
// folder's configuration), opens the first token through the
// emulator-bound Corlisk.dll beside this program (signalling
// "<prefix>_READY" just before) and confirms a transfer of that type; then signals "<prefix>_DONE" and
// stays (its delayed logo with it) until the test sets "<prefix-less>GO"
// (the prefix without its last character, shared by both helpers). The exit
// code is DisplaySign's result; 100 and above for a failed step.
#include <windows.h>

#include <memory>
#include <string>

#include "Pavrel_CardAccess.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"

namespace {

const DWORD kTurnTimeout = 60000;

std::string Transfer(const std::string &strType)
{
    return "<SignData><TradeType name=\"" + strType +
           "\"/><Fields><a name=\"Account:\">6222020200112233</a>"
           "<b name=\"Sum:\">12.50</b></Fields></SignData>";
}

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
    Pavrel_Hash *pRaw = nullptr;
    if (Pavrel_Hash::create(CALG_SHA1, 0, 0, &pRaw) != 0)
        return 103;
    std::unique_ptr<Pavrel_Hash> pHash(pRaw);
    const std::string strXml = Transfer(argv[3]);
    if (pHash->hashData(reinterpret_cast<const BYTE *>(strXml.data()),
                        static_cast<DWORD>(strXml.size())) != 0)
        return 104;
    // Opening the token waits while another process's confirmation holds it.
    SetEvent(hReady);
    Pavrel_CardAccess *pAccess = Pavrel_CardAccess::getCardInstance("");
    if (pAccess == nullptr)
        return 102;
    pAccess->AddRef();
    int nResult = 0;
    {
        Pavrel_DisplaySign sign;
        nResult = sign.DisplaySign(pHash.get(), pAccess);
    }
    SetEvent(hDone);
    WaitForSingleObject(hGo, kTurnTimeout);
    pAccess->Release();
    return nResult;
}
