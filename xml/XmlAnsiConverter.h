// XmlAnsiConverter.h
//
// How the 8-bit build of CXmlDocument turns a decoded character reference
// into the system's ANSI code page. Injected, so that the class itself stays
// Windows-free: CXmlAnsiCodePage binds it to WideCharToMultiByte, tests bind
// it to a table of their own.
#pragma once

#include <cstdint>

class IXmlAnsiConverter {
public:
    // Longest ANSI form of one character.
    static const int MAX_BYTES = 5;

    virtual ~IXmlAnsiConverter() = default;
    // Writes the code point's ANSI bytes to pOut (MAX_BYTES long) and returns
    // their count; 0 when the code page has no exact equivalent.
    virtual int FromCodePoint(std::uint32_t dwCodePoint, char *pOut) const = 0;
};
