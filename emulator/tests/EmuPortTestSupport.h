// EmuPortTestSupport.h
//
// Helpers of the emulator's Wine tests: the port binding driven as the token
// library drives it (enumeration, open, capabilities, product string, raw
// feature-report exchanges), and the control client run as a separate
// process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "HidPort.h"

typedef std::vector<BYTE> Bytes;

extern const GUID kHidGuid;
extern const Bytes kSelectMf;

inline CHidPort &Port() { return *GetHidPort(); }

// Every path of the bus, through the port as the enumeration walks it; the
// error of GetClassDevs (0 when it worked) in *pdwError.
std::vector<std::string> PortPaths(DWORD *pdwError = nullptr);
// OpenDevice as the transport calls it.
HANDLE Open(const std::string &strPath);
// FeatureReportByteLength through preparsed data and caps; 0 on failure.
USHORT ReportLength(HANDLE hDevice);
// The product string read into a buffer of ulLength bytes; "<failed>".
std::wstring ProductString(HANDLE hDevice, ULONG ulLength = 260);
// One APDU as raw reports (a single request report): the request, then polls
// until the last report. The reports seen, or empty with the failing call's
// error in *pdwError.
std::vector<Bytes> RawExchange(HANDLE hDevice, USHORT usR, const Bytes &apdu, DWORD *pdwError);
// The answer body a SELECT of the MF gets (A1 00 03 90 00 00); empty on failure.
Bytes SelectAnswer(HANDLE hDevice, USHORT usR);
bool Contains(const std::string &strText, const std::string &strPart);

// Runs KQTokenEmuCtl.exe with the arguments; its exit code, and its output.
DWORD RunCtl(const std::string &strArguments, std::string *pstrOutput = nullptr);
// Polls the control pipe of a base until it answers "OK" (at most 20 s).
bool Answers(const std::string &strBase);

// Sets KQTOKENEMU_PIPE for one scope.
class PipeBaseScope {
public:
    explicit PipeBaseScope(const char *pszBase);
    ~PipeBaseScope();
    PipeBaseScope(const PipeBaseScope &) = delete;
    PipeBaseScope &operator=(const PipeBaseScope &) = delete;

private:
    bool m_bHad;
    std::string m_strOld;
};
