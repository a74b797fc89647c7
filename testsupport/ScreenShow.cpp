// ScreenShow.cpp
//
// screen_show.exe: puts a greeting on an emulated token's screen through
// the emulator-bound Corlisk.dll (bin\emu beside this program), as any
// consumer of the library would: "Kavru USB KEY" on line 0 and "欢迎使用"
// (GBK) on line 1, with the card object's SetDisplay. The token is the
// first one the emulator named by KQTOKENEMU_PIPE lists. Used by
// scripts/screenshot, which then has the emulator save the screen as PNG.
// Exit code 0 when the screen was set, 1 otherwise (the reason on stderr).
#include <windows.h>

#include <cstdio>
#include <string>

#include "KQCardBase.h"
#include "KQCeiAssistant.h"

int main()
{
    char szExe[MAX_PATH];
    const DWORD cch = GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string strDir(szExe, cch);
    strDir.erase(strDir.find_last_of('\\') + 1);
    const std::string strLibrary = strDir + "emu\\Corlisk.dll";

    CKQCeiAssistant lib(strLibrary.c_str());
    KQCardBase *pCard = static_cast<KQCardBase *>(lib.CreateObject());
    if (pCard == nullptr) {
        std::fprintf(stderr, "screen_show: cannot load %s\n", strLibrary.c_str());
        return 1;
    }
    int nResult = 1;
    DWORD dwRet = pCard->OpenConnectionEx("", 2);
    if (dwRet != 0) {
        std::fprintf(stderr, "screen_show: no token (0x%08lX)\n", dwRet);
    } else {
        // Four rows of 16 bytes; "欢迎使用" is BB B6 D3 AD CA B9 D3 C3.
        const std::string strScreen = std::string("Kavru USB KEY   ") +
                                      "    \xBB\xB6\xD3\xAD\xCA\xB9\xD3\xC3    " +
                                      std::string(32, ' ');
        dwRet = pCard->SetDisplay(strScreen.c_str());
        if (dwRet == 0)
            nResult = 0;
        else
            std::fprintf(stderr, "screen_show: SetDisplay failed (GBK.dat installed?)\n");
        pCard->CloseConnection();
    }
    lib.DestroyObject(pCard);
    return nResult;
}
