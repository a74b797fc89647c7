// EmuText.cpp
#include "EmuText.h"

namespace emu {

std::string HexString(const std::uint8_t *pb, std::size_t n)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kDigits[pb[i] >> 4]);
        s.push_back(kDigits[pb[i] & 0x0F]);
    }
    return s;
}

std::string HexString(const std::vector<std::uint8_t> &bytes)
{
    return HexString(bytes.data(), bytes.size());
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two digit runs by value: leading zeros skipped, then length, then
// digits. 0 when equal in value.
int CompareDigitRuns(const std::string &a, std::size_t ia, std::size_t ea, const std::string &b,
                     std::size_t ib, std::size_t eb)
{
    while (ia < ea && a[ia] == '0')
        ++ia;
    while (ib < eb && b[ib] == '0')
        ++ib;
    if (ea - ia != eb - ib)
        return ea - ia < eb - ib ? -1 : 1;
    for (; ia < ea; ++ia, ++ib) {
        if (a[ia] != b[ib])
            return a[ia] < b[ib] ? -1 : 1;
    }
    return 0;
}

}  // namespace

bool NaturalLess(const std::string &a, const std::string &b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei]))
                ++ei;
            while (ej < b.size() && IsDigit(b[ej]))
                ++ej;
            int nCmp = CompareDigitRuns(a, i, ei, b, j, ej);
            if (nCmp != 0)
                return nCmp < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size()))
        return j < b.size();
    return a < b;
}

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool EqualNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

std::string ToLowerAscii(std::string s)
{
    for (char &c : s)
        c = LowerAscii(c);
    return s;
}

std::string ToUpperAscii(std::string s)
{
    for (char &c : s)
        c = UpperAscii(c);
    return s;
}

namespace {

bool ParseBase(const std::string &s, std::uint32_t nBase, std::uint32_t nMax,
               std::uint32_t &nValue)
{
    if (s.empty() || s.size() > 16)
        return false;
    std::uint64_t n = 0;
    for (char c : s) {
        std::uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<std::uint32_t>(c - '0');
        else if (nBase == 16 && c >= 'a' && c <= 'f')
            d = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (nBase == 16 && c >= 'A' && c <= 'F')
            d = static_cast<std::uint32_t>(c - 'A' + 10);
        else
            return false;
        n = n * nBase + d;
        if (n > nMax)
            return false;
    }
    nValue = static_cast<std::uint32_t>(n);
    return true;
}

}  // namespace

bool ParseDecimal(const std::string &s, std::uint32_t nMax, std::uint32_t &nValue)
{
    return ParseBase(s, 10, nMax, nValue);
}

bool ParseHex(const std::string &s, std::uint32_t nMax, std::uint32_t &nValue)
{
    return ParseBase(s, 16, nMax, nValue);
}

std::u16string Utf8ToUtf16(const std::string &s)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t nExtra = 0;
        std::uint32_t cp = c;
        if (c >= 0xC2 && c <= 0xDF) {
            nExtra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            nExtra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            nExtra = 3;
            cp = c & 0x07;
        }
        // ASCII (nExtra 0) takes the single-byte path below, as does a lead
        // byte whose sequence is cut off by the end of the string.
        bool bValid = nExtra > 0 && s.size() - i > nExtra;
        for (std::size_t k = 1; bValid && k <= nExtra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                bValid = false;
            else
                cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are invalid.
        if (bValid && ((nExtra == 2 && cp < 0x800) || (nExtra == 3 && cp < 0x10000) ||
                       (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
            bValid = false;
        if (!bValid) {
            // ASCII, or a stray byte taken as Latin-1.
            out.push_back(static_cast<char16_t>(c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += nExtra + 1;
    }
    return out;
}

}  // namespace emu
