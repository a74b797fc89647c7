// KQCardCommandFactory.cpp
//
// Command object creation for the card object: the cached command object,
// filled at creation for connection kinds 0 and 1, on demand for kind 2.
#include "KQCardCommandFactory.h"

#include <new>

#include "CachedCard.h"

CBaseCmd *CreateCommandObject(const char *pszDevicePath, int eType)
{
    switch (eType) {
    case 0:
    case 1:
        return new (std::nothrow) CCachedCard(pszDevicePath, true);
    case 2:
        return new (std::nothrow) CCachedCard(pszDevicePath, false);
    default:
        return nullptr;
    }
}
