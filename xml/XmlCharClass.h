// XmlCharClass.h
//
// The character classes of CXmlDocument's tokenizer, path syntax and
// entity rules, on unsigned character codes (XmlCode). Internal to xml/.
#pragma once

#include <cstdint>

#include "XmlChar.h"

inline bool XmlIsSpace(std::uint32_t c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Ends a token inside a tag.
inline bool XmlIsDelimiter(std::uint32_t c)
{
    return XmlIsSpace(c) || c == '!' || c == '"' || c == '\'' || c == '/' || c == ';' ||
           c == '<' || c == '=' || c == '>' || c == '?' || c == '\\';
}

// Ends a name in a path given by the caller.
inline bool XmlIsNameEnd(std::uint32_t c)
{
    return c == 0 || c == ' ' || c == '/' || c == '=' || c == '[' || c == ']';
}

inline bool XmlIsAsciiLetter(std::uint32_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// May follow "&" in a reference.
inline bool XmlIsEntityStart(std::uint32_t c)
{
    return c == '#' || c == ':' || c == '_' || XmlIsAsciiLetter(c) || c > 127;
}

inline bool XmlIsEntityName(std::uint32_t c)
{
    return c == '-' || c == '.' || (c >= '0' && c <= '9') || c == ':' || c == '_' ||
           XmlIsAsciiLetter(c) || c > 127;
}

inline std::uint32_t XmlLowerAscii(std::uint32_t c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// An ASCII text in the document's characters.
inline XmlString XmlFromAscii(const char *psz)
{
    XmlString str;
    for (; *psz; ++psz)
        str += static_cast<XmlChar>(*psz);
    return str;
}
