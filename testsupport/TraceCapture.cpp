// TraceCapture.cpp
#include "TraceCapture.h"

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

}  // namespace

TraceCapture::TraceCapture() : m_strPath(TestScratchPath("trc"))
{
    SetEnvironmentVariableA("KQUKEYLOG_FILE", m_strPath.c_str());
}

TraceCapture::~TraceCapture()
{
    SetEnvironmentVariableA("KQUKEYLOG_FILE", nullptr);
    DeleteFileA(m_strPath.c_str());
}

std::string TraceCapture::RawText() const
{
    std::ifstream file(m_strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
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
