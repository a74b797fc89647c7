// TestHidPortBinding.h
//
// The HID port binding of the unit tests: GetHidPort() returns whatever
// fake the running test installed (null when none).
#pragma once

#include "HidPort.h"

void SetTestHidPort(CHidPort *pPort);
