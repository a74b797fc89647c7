// Pavrel_ContainerText.h
//
// Pavrel_ContainerText: the container text a caller passes when it acquires
// a context, taken apart into the reader name, the keyset name and the
// keyset path, and the one rule by which keyset paths are compared. Pure
// text work, no Windows: it is also built natively under the sanitizers.
//
// "\\.\<reader>\<name>" names a container on a given token (the reader is
// everything up to the last '\', so it may hold '\' itself); "\\.\<reader>"
// the token's default container; any other text is a container name on the
// token the card access chooses. The path is the text after "\\.\", or the
// whole text.
#pragma once

#include <string>

class Pavrel_ContainerText {
public:
    // Parses pszText (null counts as empty).
    explicit Pavrel_ContainerText(const char *pszText);

    const std::string &getReaderName() const { return m_strReaderName; }
    const std::string &getKeysetName() const { return m_strKeysetName; }
    const std::string &getKeysetPath() const { return m_strKeysetPath; }

    // The key a keyset path is registered and counted under. Container names
    // on the token compare without regard to (ASCII) case, so paths do too,
    // in the registry and in the shared records alike.
    static std::string pathKey(const std::string &strPath);
    // Equal without regard to ASCII case (the same rule as pathKey).
    static bool samePath(const std::string &a, const std::string &b);
    // A name from a fixed field of the token (nField bytes, which need not
    // hold a NUL): the bytes up to the first NUL or the field's end.
    static std::string boundedName(const char *pField, size_t nField);

private:
    std::string m_strReaderName;
    std::string m_strKeysetName;
    std::string m_strKeysetPath;
};
