// TraceFormat.h
//
// The text of trace lines: formatted lines cut to the writer's 4095
// characters, hex-dump heads and digits, masked dumps that keep secrets out
// of the trace, and exception reports. Windows-free, so it is also built and
// tested natively under the sanitizers; CTraceWriter sends what it builds.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "KQTypes.h"

// Size of the writer's text area: 4095 characters and the terminating zero.
const std::size_t TRACE_TEXT_AREA = 4096;
// Size of the hex-dump head area.
const std::size_t TRACE_HEX_HEAD_AREA = 520;
// Size of the exception report area.
const std::size_t TRACE_EXCEPTION_AREA = 4406;

// printf-formats into szOut (TRACE_TEXT_AREA bytes, zeroed first); a longer
// text is cut at 4095 characters.
void TraceFormatText(char *szOut, const char *pszFormat, va_list args);

// Head of a hex dump, cut to fit TRACE_HEX_HEAD_AREA:
// "cls::method name=", "cls::method ", "[method] name=" or "[method] ".
void TraceFormatHexHead(char *szOut, const char *pszClass, const char *pszMethod,
                        const char *pszDataName);

// Appends two upper-case hex digits a byte, no separator.
void TraceAppendHex(std::string &strOut, const KQBYTE *pbData, std::size_t cbData);

// A dump that shows only the first cbVisible bytes (an APDU header, say) and
// the length of the rest: "<head><hex of visible>[N bytes masked]". Nothing of
// the masked bytes reaches the text.
std::string TraceMaskedHexLine(const char *szHead, const KQBYTE *pbData, std::size_t cbData,
                               std::size_t cbVisible);

// The part of a source path after its last '\' or '/' (mingw's __FILE__ uses
// '/'); null when the path has neither.
const char *TraceSourceFileName(const char *pszPath);

// "File %s Catch an Exception,line:%d\r\nDetail=\r\n{\r\n\t%s\r\n}" into szOut
// (TRACE_EXCEPTION_AREA bytes, zeroed first).
void TraceFormatExceptionReport(char *szOut, const char *pszFileName, int nLine,
                                const char *pszText);
