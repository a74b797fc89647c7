// ResultCodes.h
//
// The smart-card result codes that the token access library returns. They
// are the Windows SCARD_* values, spelled out here so that Windows-free code
// (the status-word table, the token emulator) can use them without
// <windows.h>. Names carry a KQ_ prefix so they never collide with the
// platform's own macros.
#pragma once

#include "KQTypes.h"

const KQDWORD KQ_SCARD_S_SUCCESS = 0x00000000;
const KQDWORD KQ_SCARD_E_INVALID_PARAMETER = 0x80100004;
const KQDWORD KQ_SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;
const KQDWORD KQ_SCARD_E_NO_SMARTCARD = 0x8010000C;
const KQDWORD KQ_SCARD_E_NOT_READY = 0x80100010;
const KQDWORD KQ_SCARD_E_INVALID_VALUE = 0x80100011;
const KQDWORD KQ_SCARD_E_UNEXPECTED = 0x8010001F;
const KQDWORD KQ_SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;
const KQDWORD KQ_SCARD_E_FILE_NOT_FOUND = 0x80100024;
const KQDWORD KQ_SCARD_E_NO_ACCESS = 0x80100027;
const KQDWORD KQ_SCARD_E_INVALID_CHV = 0x8010002A;
const KQDWORD KQ_SCARD_E_CERTIFICATE_UNAVAILABLE = 0x8010002D;
const KQDWORD KQ_SCARD_E_NO_KEY_CONTAINER = 0x80100030;
const KQDWORD KQ_SCARD_W_SECURITY_VIOLATION = 0x8010006A;
const KQDWORD KQ_SCARD_W_CHV_BLOCKED = 0x8010006C;
const KQDWORD KQ_SCARD_W_CANCELLED_BY_USER = 0x8010006E;
const KQDWORD KQ_ERROR_MORE_DATA = 234;
