// KQCardCommandFactory.h
//
// The one place where the card object creates the command object of a
// connection, chosen by connection kind. Kept apart so the card object does
// not depend on which command class backs a connection.
#pragma once

#include "BaseCmd.h"

// The command object for a connection kind on the path: kinds 0 and 1 fill
// the file cache at creation, kind 2 fills it on demand; null for any other
// kind. The caller frees it through slot 0 with CARD_DELETE_MEMORY.
CBaseCmd *CreateCommandObject(const char *pszDevicePath, int eType);
