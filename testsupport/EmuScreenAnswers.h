// EmuScreenAnswers.h
//
// The token emulator's screen answers read as a person reads them: the
// first text row of each screen in "screen <id> history" and of the screen
// now in "screen <id> text" (EmuPipeProtocol.h gives their form).
#pragma once

#include <sstream>
#include <string>
#include <vector>

// The first text row of each kept screen, oldest first.
inline std::vector<std::string> HistoryRows(const std::string &strAnswer)
{
    std::vector<std::string> rows;
    std::istringstream in(strAnswer);
    std::string strLine;
    std::getline(in, strLine);  // "OK"
    while (std::getline(in, strLine)) {
        // "<n> <time> <first row>"
        const size_t a = strLine.find(' ');
        const size_t b = a == std::string::npos ? a : strLine.find(' ', a + 1);
        rows.push_back(b == std::string::npos ? std::string() : strLine.substr(b + 1));
    }
    return rows;
}

// The first row of the screen now.
inline std::string ScreenRow(const std::string &strAnswer)
{
    if (strAnswer.compare(0, 3, "OK\n") != 0)
        return "(" + strAnswer + ")";
    return strAnswer.substr(3, strAnswer.find('\n', 3) - 3);
}
