// Pavrel_Handle.h
//
// Pavrel_Handle: the base of every object whose number the CSP hands out as
// an HCRYPTPROV, HCRYPTKEY or HCRYPTHASH. One process-wide counter numbers
// them all (the first object gets 0x1001), incremented atomically so that
// objects made on several threads at once never share a number.
#pragma once

#include <windows.h>

class Pavrel_Handle {
public:
    Pavrel_Handle();
    virtual ~Pavrel_Handle();

    // The object's number.
    ULONG64 getHandle() const { return m_handle; }

private:
    Pavrel_Handle(const Pavrel_Handle &) = delete;
    Pavrel_Handle &operator=(const Pavrel_Handle &) = delete;

    ULONG64 m_handle;
};
