// StandinMemory.h
//
// The memory stand-in's counters, read through its test exports, so a test
// can assert that no block leaked and nothing was freed twice.
#pragma once

#include <windows.h>

class StandinMemory {
public:
    // Loads KQUKeyMem.dll from the test folder (the same module the code
    // under test binds).
    StandinMemory();
    ~StandinMemory();

    bool Loaded() const { return m_hModule != nullptr; }
    long LiveBlocks() const;
    long BadFrees() const;
    // The n-th allocation from now fails; 0 never.
    void FailAfter(unsigned long ulCount) const;

private:
    HMODULE m_hModule;
};
