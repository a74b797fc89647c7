// XmlAnsiCodePage.h
//
// The production ANSI converter of the 8-bit CXmlDocument build: the
// system's ANSI code page (or the one given, such as 936 for text bound for
// the token's GBK screen) through WideCharToMultiByte, with no best-fit
// mapping, so a character without an exact equivalent is refused.
#pragma once

#include "XmlAnsiConverter.h"

class CXmlAnsiCodePage : public IXmlAnsiConverter {
public:
    // 0 is the system's ANSI code page.
    explicit CXmlAnsiCodePage(unsigned int uCodePage = 0) : m_uCodePage(uCodePage) {}
    int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const override;

private:
    unsigned int m_uCodePage;
};
