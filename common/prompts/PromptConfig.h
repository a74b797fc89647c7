// PromptConfig.h
//
// Where the token prompts find their switches: "KQUKeyConfig.ini", section
// "NOTICE", beside the CSP "Pavrel.dll" when the calling process has loaded
// it, else beside the process's program. The file is read at every call and
// never written, so a changed setting takes effect at the next show, hide,
// play or stop.
#pragma once

#include <string>

// The folder of "Pavrel.dll" in this process, else of the program, without
// a trailing '\' or '/', looked up now.
std::string KQPromptModuleFolder();
// A module (or program) file path's drive and directory, without a
// trailing '\' or '/'.
std::string KQPromptFolderOf(const char *pszModulePath);
// The configuration file's full path, looked up now.
std::string KQPromptConfigPath();
// The configuration path for a module (or program) file path: its drive and
// directory, without a trailing '\' or '/', then "\KQUKeyConfig.ini".
std::string KQPromptConfigPathFor(const char *pszModulePath);
// 1 when the key of section "NOTICE" reads 1 (missing file or key: 0), else 0.
int KQPromptSettingOn(const char *pszKey);
