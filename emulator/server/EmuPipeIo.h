// EmuPipeIo.h
//
// Message I/O on the token emulator's named pipes, shared by both ends: the
// emulator (server), the HID port binding, the control client and the test
// harness. Windows only (the protocol itself, EmuPipeProtocol.h, is not).
// Header-only so that each of those links nothing extra; it lives with the
// server and the clients include it from here.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../protocol/EmuPipeProtocol.h"

namespace emu {

// The pipe base name clients use: KQTOKENEMU_PIPE from the process
// environment (read at each call, so a test can change it), else the default.
inline std::string PipeBaseFromEnvironment()
{
    char szValue[256];
    DWORD dwLength = GetEnvironmentVariableA(kPipeEnvVar, szValue, sizeof(szValue));
    if (dwLength == 0 || dwLength >= sizeof(szValue))
        return kDefaultPipeBase;
    return std::string(szValue, dwLength);
}

inline std::string DataPipeName(const std::string &strBase) { return "\\\\.\\pipe\\" + strBase; }

inline std::string ControlPipeName(const std::string &strBase)
{
    return "\\\\.\\pipe\\" + strBase + kControlSuffix;
}

// Opens a client end in message read mode. While every instance is busy it
// waits (WaitNamedPipe) up to dwTimeoutMs; a pipe that does not exist fails
// at once (ERROR_FILE_NOT_FOUND: no emulator). INVALID_HANDLE_VALUE on
// failure, with the error in *pdwError and as the last error.
inline HANDLE ConnectPipe(const std::string &strName, DWORD dwTimeoutMs, DWORD *pdwError)
{
    const ULONGLONG ullDeadline = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        HANDLE hPipe = CreateFileA(strName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(hPipe, &dwMode, nullptr, nullptr)) {
                DWORD dwError = GetLastError();
                CloseHandle(hPipe);
                *pdwError = dwError;
                SetLastError(dwError);
                return INVALID_HANDLE_VALUE;
            }
            *pdwError = 0;
            return hPipe;
        }
        DWORD dwError = GetLastError();
        const ULONGLONG ullNow = GetTickCount64();
        if (dwError != ERROR_PIPE_BUSY || ullNow >= ullDeadline) {
            *pdwError = dwError;
            SetLastError(dwError);
            return INVALID_HANDLE_VALUE;
        }
        // Wakes when an instance is free; false on time-out or when the pipe
        // went away meanwhile, and the next CreateFile tells which.
        if (!WaitNamedPipeA(strName.c_str(), static_cast<DWORD>(ullDeadline - ullNow)))
            Sleep(1);
    }
}

// Writes one message. False with *pdwError on failure.
inline bool WritePipeMessage(HANDLE hPipe, const void *pvData, std::size_t nLength,
                             DWORD *pdwError)
{
    DWORD dwWritten = 0;
    if (nLength > 0xFFFFFFFFu) {
        *pdwError = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (!WriteFile(hPipe, pvData, static_cast<DWORD>(nLength), &dwWritten, nullptr)) {
        *pdwError = GetLastError();
        return false;
    }
    if (dwWritten != nLength) {
        *pdwError = ERROR_WRITE_FAULT;
        return false;
    }
    *pdwError = 0;
    return true;
}

// Reads one whole message into message. A message longer than nMax is read
// to its end and thrown away: false with ERROR_MESSAGE_EXCEEDS_MAX_SIZE. A
// closed other end gives ERROR_BROKEN_PIPE.
inline bool ReadPipeMessage(HANDLE hPipe, std::vector<std::uint8_t> &message, std::size_t nMax,
                            DWORD *pdwError)
{
    message.clear();
    std::vector<std::uint8_t> chunk(4096);
    bool bTooLong = false;
    for (;;) {
        DWORD dwRead = 0;
        BOOL bDone = ReadFile(hPipe, chunk.data(), static_cast<DWORD>(chunk.size()), &dwRead,
                              nullptr);
        DWORD dwError = bDone ? 0 : GetLastError();
        if (!bDone && dwError != ERROR_MORE_DATA) {
            *pdwError = dwError;
            return false;
        }
        if (!bTooLong && message.size() + dwRead <= nMax)
            message.insert(message.end(), chunk.begin(), chunk.begin() + dwRead);
        else
            bTooLong = true;
        if (bDone)
            break;
        // More of this message follows: read bigger pieces.
        if (chunk.size() < 256 * 1024)
            chunk.resize(chunk.size() * 4);
    }
    if (bTooLong) {
        message.clear();
        *pdwError = ERROR_MESSAGE_EXCEEDS_MAX_SIZE;
        return false;
    }
    *pdwError = 0;
    return true;
}

// One control request on a new connection: the answer text, or false with
// *pdwError when the emulator cannot be reached or the exchange broke.
inline bool ControlRequest(const std::string &strBase, const std::string &strCommand,
                           DWORD dwTimeoutMs, std::string &strAnswer, DWORD *pdwError)
{
    strAnswer.clear();
    HANDLE hPipe = ConnectPipe(ControlPipeName(strBase), dwTimeoutMs, pdwError);
    if (hPipe == INVALID_HANDLE_VALUE)
        return false;
    std::vector<std::uint8_t> answer;
    bool bOk = WritePipeMessage(hPipe, strCommand.data(), strCommand.size(), pdwError) &&
               ReadPipeMessage(hPipe, answer, kMaxControlMessage, pdwError);
    CloseHandle(hPipe);
    if (bOk)
        strAnswer.assign(answer.begin(), answer.end());
    return bOk;
}

}  // namespace emu
