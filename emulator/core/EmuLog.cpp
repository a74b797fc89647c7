// EmuLog.cpp
#include "EmuLog.h"

namespace emu {

EmuLog::EmuLog(std::size_t nMaxBytes) : m_nBytes(0), m_nMaxBytes(nMaxBytes), m_nDropped(0) {}

void EmuLog::Add(const std::string &strLine)
{
    std::string strClean = strLine;
    for (char &c : strClean) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nBytes += strClean.size() + 1;
        m_lines.push_back(strClean);
        while (m_nBytes > m_nMaxBytes && m_lines.size() > 1) {
            m_nBytes -= m_lines.front().size() + 1;
            m_lines.pop_front();
            ++m_nDropped;
        }
    }
    if (m_echo)
        m_echo(strClean);
}

std::string EmuLog::Text() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string strText;
    if (m_nDropped != 0)
        strText = "log " + std::to_string(m_nDropped) + " oldest lines dropped\n";
    strText.reserve(strText.size() + m_nBytes);
    for (const std::string &strLine : m_lines) {
        strText += strLine;
        strText += '\n';
    }
    return strText;
}

void EmuLog::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
    m_nBytes = 0;
    m_nDropped = 0;
}

void EmuLog::SetEcho(std::function<void(const std::string &)> echo) { m_echo = std::move(echo); }

}  // namespace emu
