// TraceCapture.h
//
// Reads what the trace stand-in wrote. A capture points the stand-in at a
// fresh file of its own (through KQUKEYLOG_FILE) and turns the file's records
// back into fields.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct TraceRecord {
    std::vector<std::string> fields;  // fields[0] is ENTER, LEAVE, LOG, ...
    // The text of a LOG record (fields[4]), else empty.
    std::string Text() const
    {
        return fields.size() > 4 && fields[0] == "LOG" ? fields[4] : std::string();
    }
};

class TraceCapture {
public:
    // Points the trace stand-in at a new empty file.
    TraceCapture();
    // Fails the running test when the file holds one of the tests' secrets
    // (the issuer's test keys, and whatever Forbid named), then deletes the
    // file and unsets the variable.
    ~TraceCapture();

    // One more secret (a PIN the test uses) that must not appear, neither as
    // text nor as the hex of a dump.
    void Forbid(const std::string &strLabel, const std::string &strSecret);

    std::vector<TraceRecord> Records() const;
    // True when a LOG record's text is exactly strText.
    bool Has(const std::string &strText) const;
    // The file as written, for "this never appears anywhere" checks.
    std::string RawText() const;
    const std::string &Path() const { return m_strPath; }

private:
    std::string m_strPath;
    std::vector<std::pair<std::string, std::string>> m_forbidden;
};
