// SecretBytes.h
//
// CSecretBytes: a byte buffer that may hold key material or a clear session
// key; it is wiped before its memory goes back.
#pragma once

#include <windows.h>

#include <vector>

class CSecretBytes {
public:
    explicit CSecretBytes(DWORD dwLen) : m_vec(dwLen, 0) {}
    // A copy of the bytes.
    CSecretBytes(const BYTE *pb, DWORD dwLen) : m_vec(pb, pb + dwLen) {}
    ~CSecretBytes()
    {
        if (!m_vec.empty())
            SecureZeroMemory(m_vec.data(), m_vec.size());
    }
    BYTE *data() { return m_vec.data(); }
    DWORD size() const { return static_cast<DWORD>(m_vec.size()); }

private:
    CSecretBytes(const CSecretBytes &) = delete;
    CSecretBytes &operator=(const CSecretBytes &) = delete;

    std::vector<BYTE> m_vec;
};
