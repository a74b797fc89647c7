// ModuleFolder.h
//
// Where a module's neighbours live: the libraries and the configuration
// each deliverable loads from the folder of its own file.
#pragma once

#include <windows.h>

#include <string>

// "<drive><directory>" of the module's file, with its trailing '\'; the
// program's for a null handle. "" when the path cannot be read whole.
std::string KQModuleFolder(HMODULE hModule);

// KQModuleFolder of the module whose code or data holds pAddress (the
// caller's own module, given one of its functions); "" when none does.
std::string KQFolderOfCode(const void *pAddress);
