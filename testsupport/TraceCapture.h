// TraceCapture.h
//
// Reads what the trace stand-in wrote. A capture points the stand-in at a
// fresh file of its own (through KQUKEYLOG_FILE) and turns the file's records
// back into fields.
#pragma once

#include <string>
#include <vector>

struct TraceRecord {
    std::vector<std::string> fields;  // fields[0] is ENTER, LEAVE, LOG, ...
    // The text of a LOG record (fields[4]), else empty.
    std::string Text() const { return fields.size() > 4 ? fields[4] : std::string(); }
};

class TraceCapture {
public:
    // Points the trace stand-in at a new empty file.
    TraceCapture();
    // Deletes the file and unsets the variable.
    ~TraceCapture();

    std::vector<TraceRecord> Records() const;
    // The file as written, for "this never appears anywhere" checks.
    std::string RawText() const;
    const std::string &Path() const { return m_strPath; }

private:
    std::string m_strPath;
};
