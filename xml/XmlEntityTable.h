// XmlEntityTable.h
//
// The named character references CXmlDocument decodes: the HTML 4.01
// character entity set plus "apos", 253 names, kept in 130 buckets chosen by
// the sum of the lower-cased name's characters. A name is matched exactly
// first, so "&eacute;" and "&Eacute;" keep their own letters; failing that it
// is matched ignoring ASCII case ("&AMP;"), and where two names differ only
// in case the capital form, stored first, wins.
#pragma once

#include <cstddef>
#include <cstdint>

class CXmlEntityTable {
public:
    static const int BUCKETS = 130;

    // Code point of the named reference (pName holds ASCII only), 0 when unknown.
    static std::uint32_t Lookup(const char *pName, std::size_t cchName);
};
