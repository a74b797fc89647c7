// Pavrel_SimpleSessionKey.h
//
// Pavrel_SimpleSessionKey: a session key on Windows 2000 and older, whose
// software provider cannot import or export a PLAINTEXTKEYBLOB. The clear key
// travels wrapped under the software context's own exchange key instead
// (a SIMPLEBLOB), and is unwrapped again for export.
#pragma once

#include "Pavrel_SessionKey.h"

class Pavrel_SimpleSessionKey : public Pavrel_SessionKey {
public:
    Pavrel_SimpleSessionKey(ALG_ID algId, DWORD dwFlags);
    ~Pavrel_SimpleSessionKey() override;

    // A PLAINTEXTKEYBLOB comes out of the wrapped key; other types as the
    // provider exports them.
    DWORD exportKey(HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                    DWORD *pdwDataLen) override;
    // A PLAINTEXTKEYBLOB goes in wrapped; other types as given.
    DWORD importKey(const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                    DWORD dwFlags) override;
    // A new exportable key of the object's algorithm.
    DWORD generateExportable() override;
};
