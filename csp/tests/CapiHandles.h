// CapiHandles.h
//
// CryptoAPI handles released at scope end: a provider context, and the keys
// and hashes made in one. Declared after the context they belong to, they go
// before it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// An HCRYPTPROV released at scope end.
class CapiContext {
public:
    CapiContext() = default;
    ~CapiContext() { reset(); }
    CapiContext(const CapiContext &) = delete;
    CapiContext &operator=(const CapiContext &) = delete;
    HCRYPTPROV *out() { return &m_h; }
    HCRYPTPROV get() const { return m_h; }
    void reset()
    {
        if (m_h != 0)
            CryptReleaseContext(m_h, 0);
        m_h = 0;
    }

private:
    HCRYPTPROV m_h = 0;
};

// An HCRYPTKEY or HCRYPTHASH destroyed at scope end.
template <typename H, BOOL(WINAPI *Destroy)(H)>
class CapiObject {
public:
    CapiObject() = default;
    ~CapiObject()
    {
        if (m_h != 0)
            Destroy(m_h);
    }
    CapiObject(const CapiObject &) = delete;
    CapiObject &operator=(const CapiObject &) = delete;
    H *out() { return &m_h; }
    H get() const { return m_h; }

private:
    H m_h = 0;
};
typedef CapiObject<HCRYPTKEY, CryptDestroyKey> CapiKey;
typedef CapiObject<HCRYPTHASH, CryptDestroyHash> CapiHash;
