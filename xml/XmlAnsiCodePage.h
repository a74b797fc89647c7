// XmlAnsiCodePage.h
//
// The production ANSI converter of the 8-bit CXmlDocument build: the
// system's ANSI code page through WideCharToMultiByte, with no best-fit
// mapping, so a character without an exact equivalent is refused.
#pragma once

#include "XmlAnsiConverter.h"

class CXmlAnsiCodePage : public IXmlAnsiConverter {
public:
    int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const override;
};
