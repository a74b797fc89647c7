// TestPaths.h
//
// Paths the cross-built tests need: the output folder that holds the test
// program beside the DLLs under test, and unique scratch files.
#pragma once

#include <string>

// Folder of the running test program, with a trailing backslash.
std::string TestBinDir();
// TestBinDir() + name.
std::string TestBinPath(const char *pszName);
// A new, unique, empty file path in the temporary folder.
std::string TestScratchPath(const char *pszPrefix);
