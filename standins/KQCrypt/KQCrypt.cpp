// KQCrypt.cpp
//
// The stand-in crypto plug-in's factory pair.
//
// libcrypto is linked into this DLL, which is loaded and freed once per use.
// Its exit handler would outlive a freed DLL and crash the process at exit,
// so libcrypto is told to register none, and is cleaned up when the DLL is
// freed instead.
#include <windows.h>

#include <openssl/crypto.h>

#include <new>

#include "KQCryptObject.h"

extern "C" {

void *KQ_EXPORT_CALL CeiGetObject(unsigned long ulType)
{
    if (ulType != 0)
        return nullptr;
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    return static_cast<IKQCryptObject *>(new (std::nothrow) CKQCryptObject());
}

void KQ_EXPORT_CALL CeiDestroyObject(void *pObject)
{
    delete static_cast<CKQCryptObject *>(static_cast<IKQCryptObject *>(pObject));
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID pvReserved)
{
    // Freed by FreeLibrary (not by process exit, where nothing must run).
    if (dwReason == DLL_PROCESS_DETACH && pvReserved == nullptr)
        OPENSSL_cleanup();
    return TRUE;
}
