// VtableSlot.h
//
// The vtable slot of a virtual method, read from its pointer to member, so
// tests can pin the binary layout that callers bind by (g++ and the Itanium
// ABI: a pointer to a virtual member holds 1 + the slot's byte offset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The slot of pfn, or -1 when the method is not virtual.
template <typename Fn> long SlotOf(Fn pfn)
{
    struct Raw {
        std::uintptr_t uPtr;
        std::ptrdiff_t nAdj;
    } raw;
    static_assert(sizeof(pfn) == sizeof(raw), "unexpected member pointer layout");
    std::memcpy(&raw, &pfn, sizeof(raw));
    if ((raw.uPtr & 1) == 0)
        return -1;
    return static_cast<long>((raw.uPtr - 1) / sizeof(void *));
}
