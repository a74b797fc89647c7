// Pavrel_Handle.cpp
#include "Pavrel_Handle.h"

namespace {
volatile LONG g_lHandleCounter = 0x1000;
}  // namespace

Pavrel_Handle::Pavrel_Handle()
    : m_handle(static_cast<ULONG>(InterlockedIncrement(&g_lHandleCounter)))
{
}

Pavrel_Handle::~Pavrel_Handle() {}
