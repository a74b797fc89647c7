// CardInterface.cpp
#include "CardInterface.h"

#include <cstring>
#include <new>

CCardInterface::CCardInterface() { std::memset(m_szDevicePath, 0, sizeof(m_szDevicePath)); }

void *CCardInterface::DeleteObject(unsigned int uFlags)
{
    this->~CCardInterface();
    if (uFlags & CARD_DELETE_MEMORY)
        ::operator delete(static_cast<void *>(this));
    return this;
}
