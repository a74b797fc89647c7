// SendrowExports.cpp
//
// The message display plug-in's two exports, the factory pair of its message
// object. The dialog's resources come from this module through its
// application object, so no module state has to be switched for a call.
#include <windows.h>

#include <new>

#include "MsgShowManager.h"
#include "OutsideInterfaces.h"

extern "C" {

// A new message object for id 0, null for any other id or when out of memory.
void *KQ_EXPORT_CALL CeiGetObject(unsigned long ulType)
{
    if (ulType != 0)
        return nullptr;
    return static_cast<CMsgShowInterface *>(new (std::nothrow) CMsgShowManager());
}

// Destroys a message object from CeiGetObject; null is ignored.
void KQ_EXPORT_CALL CeiDestroyObject(void *pObject)
{
    delete static_cast<CMsgShowManager *>(static_cast<CMsgShowInterface *>(pObject));
}

}  // extern "C"
