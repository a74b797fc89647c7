// TestHidPortBinding.cpp
#include "TestHidPortBinding.h"

namespace {
CHidPort *g_pTestPort = nullptr;
}  // namespace

void SetTestHidPort(CHidPort *pPort) { g_pTestPort = pPort; }

CHidPort *GetHidPort() { return g_pTestPort; }
