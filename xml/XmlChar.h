// XmlChar.h
//
// The character of the XML document class. The key manager's build keeps
// 16-bit (UTF-16) characters; the CSP's build, compiled with KQ_XML_CHAR8,
// keeps 8-bit characters in the system's ANSI code page. Both builds share
// every source file.
#pragma once

#include <cstdint>
#include <string>

#ifdef KQ_XML_CHAR8
typedef char XmlChar;
#else
typedef char16_t XmlChar;
#endif

typedef std::basic_string<XmlChar> XmlString;

// The character's code as an unsigned number: a byte above 127 of the 8-bit
// build is above 127 here too, never negative.
inline std::uint32_t XmlCode(XmlChar c)
{
#ifdef KQ_XML_CHAR8
    return static_cast<unsigned char>(c);
#else
    return static_cast<std::uint32_t>(c);
#endif
}
