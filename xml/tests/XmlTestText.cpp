// XmlTestText.cpp
#include "XmlTestText.h"

#include <cstdio>

XmlString X(const std::string &str)
{
    XmlString out;
    for (char c : str)
        out += static_cast<XmlChar>(static_cast<unsigned char>(c));
    return out;
}

std::string Show(const XmlString &str)
{
    std::string out;
    for (XmlChar c : str) {
        const std::uint32_t code = XmlCode(c);
        if (code >= 0x20 && code < 0x7F) {
            out += static_cast<char>(code);
        } else {
            char sz[12];
            std::snprintf(sz, sizeof sz, "\\u%04X", static_cast<unsigned>(code));
            out += sz;
        }
    }
    return out;
}
