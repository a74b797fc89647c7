// Pavrel_ContainerText.cpp
#include "Pavrel_ContainerText.h"

#include <cstring>

namespace {

const char kDevicePrefix[] = "\\\\.\\";
const size_t kDevicePrefixLen = sizeof(kDevicePrefix) - 1;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

Pavrel_ContainerText::Pavrel_ContainerText(const char *pszText)
{
    const std::string strText = pszText ? pszText : "";
    if (strText.compare(0, kDevicePrefixLen, kDevicePrefix) != 0) {
        m_strKeysetName = strText;
        m_strKeysetPath = strText;
        return;
    }
    m_strKeysetPath = strText.substr(kDevicePrefixLen);
    const size_t nLast = m_strKeysetPath.rfind('\\');
    if (nLast == std::string::npos) {
        m_strReaderName = m_strKeysetPath;
        return;
    }
    m_strReaderName = m_strKeysetPath.substr(0, nLast);
    m_strKeysetName = m_strKeysetPath.substr(nLast + 1);
}

std::string Pavrel_ContainerText::pathKey(const std::string &strPath)
{
    std::string strKey(strPath);
    for (char &c : strKey)
        c = FoldAscii(c);
    return strKey;
}

bool Pavrel_ContainerText::samePath(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

std::string Pavrel_ContainerText::boundedName(const char *pField, size_t nField)
{
    const void *pNul = std::memchr(pField, '\0', nField);
    const size_t nLen = pNul ? static_cast<size_t>(static_cast<const char *>(pNul) - pField) : nField;
    return std::string(pField, nLen);
}
