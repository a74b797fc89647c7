// TraceCapture.cpp
#include "TraceCapture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "TestPaths.h"

namespace {

std::string Unescape(const std::string &strField)
{
    std::string strOut;
    for (std::string::size_type i = 0; i < strField.size(); ++i) {
        if (strField[i] != '\\' || i + 1 == strField.size()) {
            strOut.push_back(strField[i]);
            continue;
        }
        char c = strField[++i];
        strOut.push_back(c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c);
    }
    return strOut;
}

// Secrets every test shares that must never reach a trace: the issuer's
// test keys, as text and as the hex of a dump.
struct Secret {
    const char *pszLabel;
    const char *pszForm;
};
const Secret kSecrets[] = {
    {"the secure-messaging key", "KQSM-TEST-KEY-01"},
    {"the secure-messaging key as hex", "4B51534D2D544553542D4B45592D3031"},
    {"the external-authentication key", "KQEA-TEST-KEY-02"},
    {"the external-authentication key as hex", "4B5145412D544553542D4B45592D3032"},
};

std::string Upper(std::string str)
{
    for (char &c : str)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return str;
}

}  // namespace

TraceCapture::TraceCapture() : m_strPath(TestScratchPath("trc"))
{
    SetEnvironmentVariableA("KQUKEYLOG_FILE", m_strPath.c_str());
}

TraceCapture::~TraceCapture()
{
    // Every test that captures the trace also proves no secret reached it.
    const std::string strText = Upper(RawText());
    for (const Secret &secret : kSecrets)
        if (strText.find(Upper(secret.pszForm)) != std::string::npos)
            ADD_FAILURE() << "the trace holds " << secret.pszLabel << " (" << m_strPath << ")";
    for (const std::pair<std::string, std::string> &secret : m_forbidden)
        if (strText.find(Upper(secret.second)) != std::string::npos)
            ADD_FAILURE() << "the trace holds " << secret.first << " (" << m_strPath << ")";
    SetEnvironmentVariableA("KQUKEYLOG_FILE", nullptr);
    DeleteFileA(m_strPath.c_str());
}

void TraceCapture::Forbid(const std::string &strLabel, const std::string &strSecret)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string strHex;
    for (unsigned char c : strSecret) {
        strHex.push_back(kHex[c >> 4]);
        strHex.push_back(kHex[c & 0x0F]);
    }
    m_forbidden.emplace_back(strLabel, strSecret);
    m_forbidden.emplace_back(strLabel + " as hex", strHex);
}

std::string TraceCapture::RawText() const
{
    std::ifstream file(m_strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool TraceCapture::Has(const std::string &strText) const
{
    for (const TraceRecord &record : Records())
        if (record.Text() == strText)
            return true;
    return false;
}

std::vector<TraceRecord> TraceCapture::Records() const
{
    std::vector<TraceRecord> records;
    std::istringstream lines(RawText());
    std::string strLine;
    while (std::getline(lines, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (strLine.empty())
            continue;
        TraceRecord record;
        std::string::size_type start = 0;
        for (;;) {
            std::string::size_type tab = strLine.find('\t', start);
            record.fields.push_back(Unescape(strLine.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        records.push_back(record);
    }
    return records;
}
