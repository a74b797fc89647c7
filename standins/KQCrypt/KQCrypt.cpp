// KQCrypt.cpp
//
// The stand-in crypto plug-in's factory pair.
#include <windows.h>

#include <new>

#include "KQCryptObject.h"

extern "C" {

void *KQ_EXPORT_CALL CeiGetObject(unsigned long ulType)
{
    if (ulType != 0)
        return nullptr;
    return static_cast<IKQCryptObject *>(new (std::nothrow) CKQCryptObject());
}

void KQ_EXPORT_CALL CeiDestroyObject(void *pObject)
{
    delete static_cast<CKQCryptObject *>(static_cast<IKQCryptObject *>(pObject));
}

}  // extern "C"
