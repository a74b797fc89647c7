// HidPortWin32Test.cpp
//
// The production HID port under Wine, which has no token: the enumeration
// walks the real SetupAPI interface list to its end and finds nothing, and
// the port's calls reach the platform with the arguments they were given.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "HidDeviceManager.h"
#include "HidPort.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

// The HID interface class GUID, {4d1e55b2-f16f-11cf-88cb-001111000030}.
const GUID kHidClassGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

class HidPortWin32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        ASSERT_TRUE(CTraceWriter::GetInstance()->IsTracing());
    }
    void TearDown() override { CTraceWriter::GetInstance()->FreeTraceLibrary(); }

    // The texts of the KQCARD lines traced at nLevel.
    std::vector<std::string> Lines(int nLevel) const
    {
        std::vector<std::string> texts;
        for (const TraceRecord &record : m_capture.Records()) {
            if (record.fields.size() == 5 && record.fields[0] == "LOG" &&
                record.fields[1] == std::to_string(nLevel) && record.fields[3] == "KQCARD")
                texts.push_back(record.fields[4]);
        }
        return texts;
    }

    TraceCapture m_capture;
    CHidPort *m_pPort = GetHidPort();
};

TEST_F(HidPortWin32, OnePortServesTheWholeProcess)
{
    ASSERT_NE(nullptr, m_pPort);
    EXPECT_EQ(m_pPort, GetHidPort());
}

TEST_F(HidPortWin32, WalkRunsToItsEndAndFindsNoToken)
{
    CHidDeviceManager *pManager = CHidDeviceManager::GetInstance();
    int nCount = pManager->GetUKeyCount();
    // Wine lists HID devices of its own (a virtual mouse and keyboard),
    // never a token.
    for (int i = 0; i < nCount; ++i) {
        char szPath[MAX_PATH] = {0};
        ASSERT_TRUE(pManager->GetUKeyDevicePath(i, szPath, sizeof(szPath)));
        ADD_FAILURE() << "a token is listed: " << szPath;
    }
    EXPECT_EQ(0, nCount);
    // The walk ended because the list ended, not on an error of the
    // platform calls (a wrong cbSize or flag would show as one).
    EXPECT_EQ((std::vector<std::string>{
                  "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Returns "
                  "ERROR_NO_MORE_ITEMS, GetLastError=[259]"}),
              Lines(TRACE_LEVEL_INFO));
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
}

TEST_F(HidPortWin32, PathAtIndexZeroFailsCleanlyWithoutAToken)
{
    ASSERT_EQ(0, CHidDeviceManager::GetInstance()->GetUKeyCount());
    char szPath[MAX_PATH];
    std::memset(szPath, 'x', sizeof(szPath));
    EXPECT_FALSE(CHidDeviceManager::GetInstance()->GetUKeyDevicePath(0, szPath, sizeof(szPath)));
    EXPECT_EQ('x', szPath[0]);
    std::vector<std::string> errors = Lines(TRACE_LEVEL_ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(0u, errors[0].find("CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, "
                                 "Index=[0], GetLastError=["))
        << errors[0];
}

TEST_F(HidPortWin32, EnumerationCallsReachSetupApi)
{
    GUID guid;
    std::memset(&guid, 0, sizeof(guid));
    m_pPort->GetHidGuid(&guid);
    EXPECT_EQ(0, std::memcmp(&kHidClassGuid, &guid, sizeof(guid)));

    HDEVINFO hSet = m_pPort->GetClassDevs(&guid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hSet) << GetLastError();
    // Each interface Wine lists must give its detail, and the list must end
    // as SetupAPI ends it.
    DWORD dwIndex = 0;
    for (;; ++dwIndex) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        if (!m_pPort->EnumDeviceInterfaces(hSet, &guid, dwIndex, &data))
            break;
        alignas(8) BYTE abDetail[1024] = {0};
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail =
            reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(abDetail);
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD dwRequired = 0;
        ASSERT_TRUE(m_pPort->GetDeviceInterfaceDetail(hSet, &data, pDetail, sizeof(abDetail),
                                                      &dwRequired))
            << GetLastError();
        EXPECT_EQ(0, std::strncmp(pDetail->DevicePath, "\\\\?\\", 4)) << pDetail->DevicePath;
        EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                      std::strlen(pDetail->DevicePath) + 1,
                  dwRequired);
        // Wine's own devices (its virtual mouse and keyboard) have the form
        // the enumeration takes apart, and are no token.
        UsbInfo info;
        EXPECT_TRUE(CHidDeviceManager::GetInstance()->GetUsbInfoFromDevicePath(pDetail->DevicePath,
                                                                              info))
            << pDetail->DevicePath;
        EXPECT_EQ("HID", info.m_strBusName);
        EXPECT_FALSE(info.m_strVendorId == "0925" && info.m_strProductId == "1234");
        ASSERT_LT(dwIndex, 1000u) << "the enumeration does not end";
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_TRUE(m_pPort->DestroyDeviceInfoList(hSet));
}

TEST_F(HidPortWin32, OpeningAMissingDeviceFailsWithALastError)
{
    std::string strPath;
    ASSERT_TRUE(CHidDeviceManager::GetInstance()->DeviceIdToDevicePath(
        "HID\\VID_0925&PID_1234\\7&DEADBEEF&0&0000", strPath));
    SetLastError(ERROR_SUCCESS);
    HANDLE hDevice = m_pPort->OpenDevice(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, hDevice);
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    if (hDevice != INVALID_HANDLE_VALUE)
        m_pPort->CloseDevice(hDevice);
}

TEST_F(HidPortWin32, OpenPassesAccessShareAndDispositionThrough)
{
    std::string strFile = TestScratchPath("hidport");
    DeleteFileA(strFile.c_str());
    // CREATE_NEW makes the file; a second CREATE_NEW must then fail, which
    // it does only if the disposition reached CreateFileA.
    HANDLE hFirst = m_pPort->OpenDevice(strFile.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFirst) << GetLastError();
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              m_pPort->OpenDevice(strFile.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_TRUE(m_pPort->CloseDevice(hFirst));

    // Opened without sharing, the file refuses a second opener.
    HANDLE hExclusive = m_pPort->OpenDevice(strFile.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, hExclusive) << GetLastError();
    EXPECT_EQ(INVALID_HANDLE_VALUE, m_pPort->OpenDevice(strFile.c_str(), GENERIC_READ,
                                                        FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_TRUE(m_pPort->CloseDevice(hExclusive));
    DeleteFileA(strFile.c_str());
}

TEST_F(HidPortWin32, HidCallsOnAHandleThatIsNoHidDeviceFail)
{
    std::string strFile = TestScratchPath("hidport");
    HANDLE hFile = m_pPort->OpenDevice(strFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile) << GetLastError();
    PHIDP_PREPARSED_DATA pData = nullptr;
    EXPECT_FALSE(m_pPort->GetPreparsedData(hFile, &pData));
    BYTE abReport[65] = {3};
    EXPECT_FALSE(m_pPort->GetFeature(hFile, abReport, sizeof(abReport)));
    EXPECT_FALSE(m_pPort->SetFeature(hFile, abReport, sizeof(abReport)));
    WCHAR szProduct[64] = {0};
    EXPECT_FALSE(m_pPort->GetProductString(hFile, szProduct, sizeof(szProduct)));
    EXPECT_TRUE(m_pPort->CloseDevice(hFile));
    DeleteFileA(strFile.c_str());
}

}  // namespace
