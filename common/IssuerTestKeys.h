// IssuerTestKeys.h
//
// The card issuer's two triple-DES keys: secure messaging and external
// authentication. They belong to the card personalisation; what stands here
// are test keys, shared by the token access library and the token emulator.
// An installation passes its own header at configure time
// (-DKQ_ISSUER_KEYS_HEADER=/path/to/keys.h) defining the same two macros.
// The keys are never traced.
#pragma once

#ifdef KQ_ISSUER_KEYS_HEADER
#include KQ_ISSUER_KEYS_HEADER
#else
#define KQ_ISSUER_SM_KEY                                                                 \
    {0x4B, 0x51, 0x53, 0x4D, 0x2D, 0x54, 0x45, 0x53, 0x54, 0x2D, 0x4B, 0x45, 0x59, 0x2D, \
     0x30, 0x31}
#define KQ_ISSUER_EXTAUTH_KEY                                                            \
    {0x4B, 0x51, 0x45, 0x41, 0x2D, 0x54, 0x45, 0x53, 0x54, 0x2D, 0x4B, 0x45, 0x59, 0x2D, \
     0x30, 0x32}
#endif
