// PromptFiles.cpp
#include "PromptFiles.h"

#include <gtest/gtest.h>

namespace {

void Put16(std::vector<uint8_t> *pData, uint32_t n)
{
    pData->push_back(static_cast<uint8_t>(n));
    pData->push_back(static_cast<uint8_t>(n >> 8));
}
void Put32(std::vector<uint8_t> *pData, uint32_t n)
{
    Put16(pData, n & 0xFFFF);
    Put16(pData, n >> 16);
}
void PutTag(std::vector<uint8_t> *pData, const char *pszTag)
{
    pData->insert(pData->end(), pszTag, pszTag + 4);
}

}  // namespace

void WriteFileBytes(const std::string &strPath, const std::vector<uint8_t> &data)
{
    HANDLE hFile = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile) << strPath;
    DWORD dwWritten = 0;
    WriteFile(hFile, data.data(), static_cast<DWORD>(data.size()), &dwWritten, nullptr);
    CloseHandle(hFile);
    ASSERT_EQ(data.size(), dwWritten);
}

std::vector<uint8_t> SolidBitmap(int cx, int cy, COLORREF colour)
{
    const uint32_t nStride = (static_cast<uint32_t>(cx) * 3 + 3) & ~3u;
    const uint32_t nPixels = nStride * static_cast<uint32_t>(cy);
    std::vector<uint8_t> data;
    data.push_back('B');
    data.push_back('M');
    Put32(&data, 54 + nPixels);
    Put32(&data, 0);
    Put32(&data, 54);
    Put32(&data, 40);
    Put32(&data, static_cast<uint32_t>(cx));
    Put32(&data, static_cast<uint32_t>(cy));
    Put16(&data, 1);
    Put16(&data, 24);
    Put32(&data, 0);
    Put32(&data, nPixels);
    Put32(&data, 2835);
    Put32(&data, 2835);
    Put32(&data, 0);
    Put32(&data, 0);
    for (int y = 0; y < cy; ++y) {
        for (int x = 0; x < cx; ++x) {
            data.push_back(GetBValue(colour));
            data.push_back(GetGValue(colour));
            data.push_back(GetRValue(colour));
        }
        for (uint32_t i = static_cast<uint32_t>(cx) * 3; i < nStride; ++i)
            data.push_back(0);
    }
    return data;
}

std::vector<uint8_t> ShortWave()
{
    const uint32_t nSamples = 800;
    std::vector<uint8_t> data;
    PutTag(&data, "RIFF");
    Put32(&data, 36 + nSamples);
    PutTag(&data, "WAVE");
    PutTag(&data, "fmt ");
    Put32(&data, 16);
    Put16(&data, 1);     // PCM
    Put16(&data, 1);     // mono
    Put32(&data, 8000);  // samples a second
    Put32(&data, 8000);  // bytes a second
    Put16(&data, 1);     // block
    Put16(&data, 8);     // bits
    PutTag(&data, "data");
    Put32(&data, nSamples);
    for (uint32_t i = 0; i < nSamples; ++i)
        data.push_back((i / 10) % 2 ? 0xC0 : 0x40);
    return data;
}

HWND FindOwnWindow(const char *pszTitle)
{
    HWND hWnd = nullptr;
    while ((hWnd = FindWindowExA(nullptr, hWnd, nullptr, pszTitle)) != nullptr) {
        DWORD dwProcess = 0;
        GetWindowThreadProcessId(hWnd, &dwProcess);
        if (dwProcess == GetCurrentProcessId())
            return hWnd;
    }
    return nullptr;
}

bool WaitUntilTrue(const std::function<bool()> &fnDone, DWORD dwMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;) {
        if (fnDone())
            return true;
        if (GetTickCount() - dwStart > dwMs)
            return false;
        Sleep(10);
    }
}
