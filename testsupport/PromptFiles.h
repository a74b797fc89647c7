// PromptFiles.h
//
// What the tests of the PC-side prompts need: generated bitmap and sound
// files, this process's own window by name (the wineserver, and so
// FindWindow, is shared with every other test program), and a bounded wait
// for something another thread does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Writes the bytes to a new file (a failed write fails the running test).
void WriteFileBytes(const std::string &strPath, const std::vector<uint8_t> &data);
// A 24-bit bottom-up .bmp of one colour.
std::vector<uint8_t> SolidBitmap(int cx, int cy, COLORREF colour);
// A tenth of a second of 8 kHz, 8-bit mono PCM square wave.
std::vector<uint8_t> ShortWave();
// This process's top-level window of that title, or null.
HWND FindOwnWindow(const char *pszTitle);
// Polls until fnDone is true (true) or dwMs have passed (false); the time is
// a bound, never what a test checks.
bool WaitUntilTrue(const std::function<bool()> &fnDone, DWORD dwMs);
