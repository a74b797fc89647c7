// CorliskExports.cpp
//
// The token access library's two exports, the factory pair of the card
// object, and its DllMain. Short frames: start the library on first use,
// check the argument, delegate to the card object.
#include <windows.h>

#include <new>

#include "CorliskApp.h"
#include "KQCard.h"
#include "OutsideInterfaces.h"
#include "TraceWriter.h"

extern "C" {

// A new card object for flag 0, null for any other flag.
void *KQ_EXPORT_CALL CeiGetObject(unsigned long ulType)
{
    CCorliskApp::GetInstance().EnsureStarted();
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "", "CeiGetObject");
    KQCardBase *pCard = nullptr;
    if (ulType == 0) {
        try {
            pCard = new (std::nothrow) CKQCard();
        } catch (...) {
            TRACE_CATCH_ALL(TRACE_MODULE_CARD, "CeiGetObject");
            pCard = nullptr;
        }
    }
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "", "CeiGetObject");
    return pCard;
}

// Destroys and frees a card object from CeiGetObject; null is ignored.
void KQ_EXPORT_CALL CeiDestroyObject(void *pObject)
{
    CCorliskApp::GetInstance().EnsureStarted();
    CTraceWriter::GetInstance()->Enter(TRACE_MODULE_CARD, "", "CeiDestroyObject");
    if (pObject != nullptr)
        static_cast<KQCardBase *>(pObject)->DeleteObject(KQCARD_DELETE_MEMORY);
    CTraceWriter::GetInstance()->Leave(TRACE_MODULE_CARD, "", "CeiDestroyObject");
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pvReserved)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        // Only the module handle: start-up loads libraries, which must not
        // happen under the loader lock.
        DisableThreadLibraryCalls(hInstance);
        CCorliskApp::GetInstance().SetModule(hInstance);
        break;
    case DLL_PROCESS_DETACH:
        CCorliskApp::GetInstance().ExitFromDllMain(pvReserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}

}  // extern "C"
