// SignConfirm.h
//
// One sign confirmation as a signature makes it: a hash over the sign data
// (kept bytes and all), then a Pavrel_DisplaySign made for this one call.
#pragma once

#include <memory>
#include <string>

#include "Pavrel_CardAccess.h"
#include "Pavrel_DisplaySign.h"
#include "Pavrel_Hash.h"
#include "SignSamples.h"

// DisplaySign's result, or 99 when the hash could not be made or fed.
inline int ConfirmSignData(Pavrel_CardAccess *pAccess, const std::string &strData)
{
    Pavrel_Hash *pRaw = nullptr;
    if (Pavrel_Hash::create(CALG_SHA1, 0, 0, &pRaw) != 0 || pRaw == nullptr)
        return 99;
    std::unique_ptr<Pavrel_Hash> pHash(pRaw);
    if (pHash->hashData(reinterpret_cast<const BYTE *>(strData.data()),
                        static_cast<DWORD>(strData.size())) != 0)
        return 99;
    Pavrel_DisplaySign sign;
    return sign.DisplaySign(pHash.get(), pAccess);
}
