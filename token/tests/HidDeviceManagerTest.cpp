// HidDeviceManagerTest.cpp
//
// The token enumeration against a fake port that plays the system's HID
// interface list: which paths enter the device list and in what order, how
// the walk ends and fails, how paths are handed out by index, how device
// paths and device ids are taken apart and built, and the trace lines of
// every failure.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CaseName.h"
#include "HidDeviceManager.h"
#include "TestHidPortBinding.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {

const char kHidClass[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

const std::string kTokenA = std::string("\\\\?\\hid#vid_0925&pid_1234#7&1a2b3c4d&0&0000#") + kHidClass;
const std::string kTokenB = std::string("\\\\?\\HID#VID_0925&PID_1234#7&2B3C4D5E&0&0000#") + kHidClass;
const std::string kTokenC = std::string("\\\\?\\hid#vid_0925&pid_1234#7&3c4d5e6f&0&0000#") + kHidClass;
const std::string kKeyboard =
    std::string("\\\\?\\hid#vid_046d&pid_c31c&mi_00#8&2d3e4f5a&0&0000#") + kHidClass;
const std::string kMouse = std::string("\\\\?\\hid#vid_1bcf&pid_0005#7&11aa22bb&0&0000#") + kHidClass;

// A token path of exactly nLen characters (the instance id is padded).
std::string TokenPathOfLength(std::size_t nLen)
{
    std::string strHead = "\\\\?\\hid#vid_0925&pid_1234#7&";
    std::string strTail = std::string("#") + kHidClass;
    return strHead + std::string(nLen - strHead.size() - strTail.size(), 'a') + strTail;
}

// One interface of the fake system's HID interface list.
struct FakeInterface {
    std::string strPath;
    bool bDetailFails = false;  // the detail read of this interface fails
};

// The system's HID interface list as SetupAPI shows it. Records what the
// walk asked of it; the device methods fail, as no device is ever opened.
class FakeEnumerationPort : public CHidPort {
public:
    std::vector<FakeInterface> m_interfaces;
    DWORD m_dwEndError = ERROR_NO_MORE_ITEMS;  // error of the enumeration after the last one
    bool m_bClassDevsFail = false;
    // Called on each enumeration before it answers, with the member index.
    std::function<void(DWORD)> m_onEnumerate;

    // What the walk did.
    int m_nClassDevsCalls = 0;
    DWORD m_dwClassDevsFlags = 0;
    bool m_bForeignArguments = false;  // a set or class GUID that the port did not hand out
    std::vector<DWORD> m_enumIndices;
    std::vector<DWORD> m_detailCbSizes;   // cbSize of the detail structure on each read
    std::vector<DWORD> m_detailSizes;     // buffer size given to each read
    std::vector<DWORD> m_dataCbSizes;     // cbSize of the interface data on each enumeration
    std::vector<HDEVINFO> m_destroyed;

    static HDEVINFO Set() { return reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x5E7)); }
    // Not the real HID class: shows that the walk passes on what it was given.
    static GUID Guid() { return {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}}; }

    void AddPaths(const std::vector<std::string> &paths)
    {
        for (const std::string &strPath : paths) {
            FakeInterface fake;
            fake.strPath = strPath;
            m_interfaces.push_back(fake);
        }
    }

    void GetHidGuid(GUID *pGuid) override { *pGuid = Guid(); }

    HDEVINFO GetClassDevs(const GUID *pGuid, DWORD dwFlags) override
    {
        ++m_nClassDevsCalls;
        m_dwClassDevsFlags = dwFlags;
        CheckGuid(pGuid);
        if (m_bClassDevsFail) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        return Set();
    }

    BOOL EnumDeviceInterfaces(HDEVINFO hSet, const GUID *pGuid, DWORD dwIndex,
                              SP_DEVICE_INTERFACE_DATA *pData) override
    {
        if (m_onEnumerate)
            m_onEnumerate(dwIndex);
        m_enumIndices.push_back(dwIndex);
        m_dataCbSizes.push_back(pData->cbSize);
        CheckSet(hSet);
        CheckGuid(pGuid);
        if (dwIndex >= m_interfaces.size()) {
            SetLastError(m_dwEndError);
            return FALSE;
        }
        pData->Reserved = static_cast<ULONG_PTR>(dwIndex) + 1;
        return TRUE;
    }

    BOOL GetDeviceInterfaceDetail(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA *pData,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A *pDetail, DWORD dwSize,
                                  DWORD *pdwRequired) override
    {
        CheckSet(hSet);
        m_detailCbSizes.push_back(pDetail->cbSize);
        m_detailSizes.push_back(dwSize);
        if (pData->Reserved == 0 || pData->Reserved > m_interfaces.size()) {
            m_bForeignArguments = true;
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const FakeInterface &fake = m_interfaces[pData->Reserved - 1];
        if (fake.bDetailFails) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DWORD dwNeeded = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                            fake.strPath.size() + 1);
        if (pdwRequired != nullptr)
            *pdwRequired = dwNeeded;
        if (dwSize < dwNeeded) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(pDetail->DevicePath, fake.strPath.c_str(), fake.strPath.size() + 1);
        return TRUE;
    }

    BOOL DestroyDeviceInfoList(HDEVINFO hSet) override
    {
        m_destroyed.push_back(hSet);
        // The system's call may change the last-error value.
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    HANDLE OpenDevice(const char *, DWORD, DWORD, DWORD, DWORD) override
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    BOOL CloseDevice(HANDLE) override { return FALSE; }
    BOOLEAN GetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA *) override { return FALSE; }
    NTSTATUS GetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS) override { return 0; }
    BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA) override { return FALSE; }
    BOOLEAN SetFeature(HANDLE, PVOID, ULONG) override { return FALSE; }
    BOOLEAN GetFeature(HANDLE, PVOID, ULONG) override { return FALSE; }
    BOOLEAN GetProductString(HANDLE, PVOID, ULONG) override { return FALSE; }
    void Sleep(DWORD) override {}

private:
    void CheckSet(HDEVINFO hSet)
    {
        if (hSet != Set())
            m_bForeignArguments = true;
    }
    void CheckGuid(const GUID *pGuid)
    {
        GUID guid = Guid();
        if (pGuid == nullptr || std::memcmp(pGuid, &guid, sizeof(guid)) != 0)
            m_bForeignArguments = true;
    }
};

// Every test starts with the fake installed, tracing bound to the stand-in
// and its own capture file.
class HidEnumeration : public ::testing::Test {
protected:
    void SetUp() override
    {
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        ASSERT_TRUE(CTraceWriter::GetInstance()->IsTracing());
        SetTestHidPort(&m_port);
    }
    void TearDown() override
    {
        SetTestHidPort(nullptr);
        CTraceWriter::GetInstance()->FreeTraceLibrary();
    }

    // The texts of the KQCARD lines traced at nLevel, in order.
    std::vector<std::string> Lines(int nLevel) const
    {
        std::vector<std::string> texts;
        for (const TraceRecord &record : m_capture.Records()) {
            if (record.fields.size() == 5 && record.fields[0] == "LOG" &&
                record.fields[1] == std::to_string(nLevel) && record.fields[2] == "14" &&
                record.fields[3] == "KQCARD")
                texts.push_back(record.fields[4]);
        }
        return texts;
    }

    // The first nCount paths of the list, by index ("<refused>" for a
    // refusal).
    std::vector<std::string> Paths(int nCount)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < nCount; ++i) {
            char szPath[MAX_PATH] = {0};
            paths.push_back(m_pManager->GetUKeyDevicePath(i, szPath, sizeof(szPath))
                                ? std::string(szPath)
                                : std::string("<refused>"));
        }
        return paths;
    }

    // Every path of the current list, read by index until the first refusal
    // (which traces).
    std::vector<std::string> ReadUntilRefused()
    {
        std::vector<std::string> paths;
        for (int i = 0;; ++i) {
            char szPath[MAX_PATH] = {0};
            if (!m_pManager->GetUKeyDevicePath(i, szPath, sizeof(szPath)))
                return paths;
            paths.push_back(szPath);
        }
    }

    TraceCapture m_capture;
    FakeEnumerationPort m_port;
    CHidDeviceManager *m_pManager = CHidDeviceManager::GetInstance();
};

const char kEndOfWalkLine[] =
    "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Returns ERROR_NO_MORE_ITEMS, "
    "GetLastError=[259]";

TEST_F(HidEnumeration, NoTokenCountsZeroAndIndexZeroIsNotFound)
{
    EXPECT_EQ(0, m_pManager->GetUKeyCount());

    // The empty list's bound wraps in the unsigned test, so the lookup
    // itself reports the missing device.
    SetLastError(1234);
    char szPath[MAX_PATH];
    EXPECT_FALSE(m_pManager->GetUKeyDevicePath(0, szPath, sizeof(szPath)));
    EXPECT_EQ((std::vector<std::string>{kEndOfWalkLine}), Lines(TRACE_LEVEL_INFO));
    EXPECT_EQ((std::vector<std::string>{
                  "CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, Index=[0], "
                  "GetLastError=[1234]"}),
              Lines(TRACE_LEVEL_ERROR));
}

TEST_F(HidEnumeration, OnlyTokensAreListedInEnumerationOrder)
{
    m_port.AddPaths({kKeyboard, kTokenA, kMouse,
                     // right vendor, wrong product; ids swapped
                     std::string("\\\\?\\hid#vid_0925&pid_1235#7&1&0&0000#") + kHidClass,
                     std::string("\\\\?\\hid#vid_1234&pid_0925#7&1&0&0000#") + kHidClass,
                     kTokenB});
    EXPECT_EQ(2, m_pManager->GetUKeyCount());
    EXPECT_EQ((std::vector<std::string>{kTokenA, kTokenB}), Paths(2));
    // Other devices are skipped without a word.
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    EXPECT_EQ((std::vector<std::string>{kEndOfWalkLine}), Lines(TRACE_LEVEL_INFO));
}

TEST_F(HidEnumeration, WalkAsksThePortForPresentInterfacesAndAlwaysDestroysTheSet)
{
    m_port.AddPaths({kTokenA, kKeyboard});
    EXPECT_EQ(1, m_pManager->GetUKeyCount());

    EXPECT_EQ(1, m_port.m_nClassDevsCalls);
    EXPECT_EQ(static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), m_port.m_dwClassDevsFlags);
    EXPECT_FALSE(m_port.m_bForeignArguments) << "set or class GUID not the port's own";
    EXPECT_EQ((std::vector<DWORD>{0, 1, 2}), m_port.m_enumIndices);
    EXPECT_EQ(std::vector<DWORD>(3, sizeof(SP_DEVICE_INTERFACE_DATA)), m_port.m_dataCbSizes);
    EXPECT_EQ(std::vector<DWORD>(2, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)),
              m_port.m_detailCbSizes);
    EXPECT_EQ(std::vector<DWORD>(2, 1024), m_port.m_detailSizes);
    EXPECT_EQ(std::vector<HDEVINFO>{FakeEnumerationPort::Set()}, m_port.m_destroyed);
}

TEST_F(HidEnumeration, FailedDetailReadSkipsOnlyThatInterface)
{
    // Read into a buffer that still held the first token's path, the failed
    // interface would list that token twice.
    m_port.AddPaths({kTokenA});
    FakeInterface broken;
    broken.bDetailFails = true;
    m_port.m_interfaces.push_back(broken);
    m_port.AddPaths({kTokenB});

    EXPECT_EQ(2, m_pManager->GetUKeyCount());
    EXPECT_EQ((std::vector<std::string>{kTokenA, kTokenB}), Paths(2));
    // Nothing of the failed read reaches the parse.
    EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
}

TEST_F(HidEnumeration, PathsThatDoNotFitTwoHundredSixtyBytesAreSkipped)
{
    // 259 characters and the zero fill the 260 bytes a device path may take.
    std::string strLongest = TokenPathOfLength(MAX_PATH - 1);
    std::string strTooLong = TokenPathOfLength(MAX_PATH);
    // Longer than the detail buffer: the read itself fails.
    std::string strHuge = TokenPathOfLength(1500);
    m_port.AddPaths({strTooLong, strHuge, strLongest});

    EXPECT_EQ(1, m_pManager->GetUKeyCount());
    std::vector<char> buffer(MAX_PATH);
    ASSERT_TRUE(m_pManager->GetUKeyDevicePath(0, buffer.data(), MAX_PATH));
    EXPECT_EQ(strLongest, std::string(buffer.data()));
}

TEST_F(HidEnumeration, EnumerationFailureReturnsZeroButKeepsWhatWasFound)
{
    ASSERT_EQ(0, m_pManager->GetUKeyCount());
    m_port.m_destroyed.clear();
    m_port.AddPaths({kTokenA, kTokenB});
    m_port.m_dwEndError = ERROR_INVALID_DATA;

    EXPECT_FALSE(m_pManager->GetUsbKeyList());
    // The enumeration's own error, not whatever destroying the set left.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    EXPECT_EQ(1u, m_port.m_destroyed.size());
    EXPECT_EQ((std::vector<std::string>{kTokenA, kTokenB}), Paths(2));

    EXPECT_EQ(0, m_pManager->GetUKeyCount());
    EXPECT_EQ(2u, m_port.m_destroyed.size());
    EXPECT_EQ((std::vector<std::string>{
                  "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Failed, "
                  "GetLastError=[13]",
                  "CHidDeviceManager::GetUsbKeyList SetupDiEnumDeviceInterfaces Failed, "
                  "GetLastError=[13]",
                  "CHidDeviceManager::GetUKeyCount GetUsbKeyList Failed, GetLastError=[13]"}),
              Lines(TRACE_LEVEL_ERROR));
    EXPECT_EQ(1u, Lines(TRACE_LEVEL_INFO).size()) << "only the first, empty walk ended well";
}

TEST_F(HidEnumeration, ClassDevsFailureEmptiesTheListAndTouchesNoSet)
{
    m_port.AddPaths({kTokenA});
    ASSERT_EQ(1, m_pManager->GetUKeyCount());
    m_port.m_destroyed.clear();
    m_port.m_enumIndices.clear();
    m_port.m_bClassDevsFail = true;

    EXPECT_EQ(0, m_pManager->GetUKeyCount());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(m_port.m_enumIndices.empty());
    EXPECT_TRUE(m_port.m_destroyed.empty()) << "INVALID_HANDLE_VALUE is no set to destroy";
    EXPECT_EQ((std::vector<std::string>{
                  "CHidDeviceManager::GetUsbKeyList SetupDiGetClassDevs Failed, GetLastError=[5]",
                  "CHidDeviceManager::GetUKeyCount GetUsbKeyList Failed, GetLastError=[5]"}),
              Lines(TRACE_LEVEL_ERROR));
    EXPECT_TRUE(ReadUntilRefused().empty());
}

TEST_F(HidEnumeration, CountReplacesTheListAndADirectWalkAppends)
{
    m_port.AddPaths({kTokenA});
    ASSERT_EQ(1, m_pManager->GetUKeyCount());

    m_port.m_interfaces.clear();
    m_port.AddPaths({kTokenB});
    EXPECT_TRUE(m_pManager->GetUsbKeyList());
    EXPECT_EQ((std::vector<std::string>{kTokenA, kTokenB}), ReadUntilRefused());

    EXPECT_EQ(1, m_pManager->GetUKeyCount());
    EXPECT_EQ((std::vector<std::string>{kTokenB}), ReadUntilRefused());
}

TEST_F(HidEnumeration, TokenPulledAfterTheCountIsStillHandedOutByIndex)
{
    m_port.AddPaths({kTokenA, kTokenB});
    ASSERT_EQ(2, m_pManager->GetUKeyCount());
    m_port.m_interfaces.clear();
    char szPath[MAX_PATH] = {0};
    ASSERT_TRUE(m_pManager->GetUKeyDevicePath(1, szPath, sizeof(szPath)));
    EXPECT_EQ(kTokenB, std::string(szPath));
    EXPECT_EQ(3u, m_port.m_enumIndices.size()) << "the read walked again";
}

TEST_F(HidEnumeration, ReaderDuringARebuildSeesTheWholeOldList)
{
    m_port.AddPaths({kTokenA});
    ASSERT_EQ(1, m_pManager->GetUKeyCount());

    m_port.m_interfaces.clear();
    m_port.AddPaths({kTokenB, kTokenC});
    // Another thread reads the list while the walk is between its two
    // tokens. It must neither block (the lock is not held during the walk)
    // nor see an emptied or half-filled list.
    std::vector<std::string> seen;
    BOOL bSecondFound = TRUE;
    m_port.m_onEnumerate = [&](DWORD dwIndex) {
        if (dwIndex != 1)
            return;
        std::thread reader([&] {
            char szPath[MAX_PATH] = {0};
            if (m_pManager->GetUKeyDevicePath(0, szPath, sizeof(szPath)))
                seen.push_back(szPath);
            bSecondFound = m_pManager->GetUKeyDevicePath(1, szPath, sizeof(szPath));
        });
        reader.join();
    };

    EXPECT_EQ(2, m_pManager->GetUKeyCount());
    EXPECT_EQ(std::vector<std::string>{kTokenA}, seen);
    EXPECT_FALSE(bSecondFound);
    m_port.m_onEnumerate = nullptr;
    EXPECT_EQ((std::vector<std::string>{kTokenB, kTokenC}), ReadUntilRefused());
}

// Index look-ups against a list of nTokens paths.
struct IndexCase {
    const char *pszName;
    int nTokens;
    int nIndex;
    const char *pszTrace;  // null: the path is handed out
};

class HidEnumerationIndex : public HidEnumeration,
                            public ::testing::WithParamInterface<IndexCase> {};

TEST_P(HidEnumerationIndex, HandsOutOrRefusesWithItsTrace)
{
    const IndexCase &c = GetParam();
    const std::string tokens[] = {kTokenA, kTokenB};
    for (int i = 0; i < c.nTokens; ++i)
        m_port.AddPaths({tokens[i]});
    ASSERT_EQ(c.nTokens, m_pManager->GetUKeyCount());

    SetLastError(77);
    char szPath[MAX_PATH] = {0};
    BOOL bOk = m_pManager->GetUKeyDevicePath(c.nIndex, szPath, sizeof(szPath));
    if (c.pszTrace == nullptr) {
        EXPECT_TRUE(bOk);
        EXPECT_EQ(tokens[c.nIndex], std::string(szPath));
        EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    } else {
        EXPECT_FALSE(bOk);
        EXPECT_EQ('\0', szPath[0]);
        EXPECT_EQ(std::vector<std::string>{c.pszTrace}, Lines(TRACE_LEVEL_ERROR));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HidEnumerationIndex,
    ::testing::Values(
        IndexCase{"FirstOfTwo", 2, 0, nullptr},
        IndexCase{"LastOfTwo", 2, 1, nullptr},
        IndexCase{"PastTheEnd", 2, 2,
                  "CHidDeviceManager::GetUKeyDevicePath Index Overload, GetLastError=[77]"},
        IndexCase{"NegativeWithTokens", 1, -1,
                  "CHidDeviceManager::GetUKeyDevicePath Index Overload, GetLastError=[77]"},
        IndexCase{"EmptyListIndexZero", 0, 0,
                  "CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, Index=[0], "
                  "GetLastError=[77]"},
        IndexCase{"EmptyListIndexFive", 0, 5,
                  "CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, Index=[5], "
                  "GetLastError=[77]"},
        IndexCase{"EmptyListNegative", 0, -1,
                  "CHidDeviceManager::GetUKeyDevicePath Can Not Find Device, Index=[-1], "
                  "GetLastError=[77]"}),
    CaseName());

// Output buffers around the path's length.
struct BufferCase {
    const char *pszName;
    bool bNullBuffer;
    int nSizeOverLength;  // buffer size minus the path's length
    bool bReceives;
};

class HidEnumerationBuffer : public HidEnumeration,
                             public ::testing::WithParamInterface<BufferCase> {};

TEST_P(HidEnumerationBuffer, ReceivesThePathOnlyWithRoomForItsZero)
{
    const BufferCase &c = GetParam();
    m_port.AddPaths({kTokenA});
    ASSERT_EQ(1, m_pManager->GetUKeyCount());

    // Guard bytes after the buffer show any write past its size.
    DWORD dwSize = static_cast<DWORD>(static_cast<int>(kTokenA.size()) + c.nSizeOverLength);
    std::vector<char> buffer(dwSize + 16, 'x');
    SetLastError(9);
    BOOL bOk = m_pManager->GetUKeyDevicePath(0, c.bNullBuffer ? nullptr : buffer.data(), dwSize);
    EXPECT_EQ(std::string(16, 'x'), std::string(buffer.end() - 16, buffer.end()));
    if (c.bReceives) {
        EXPECT_TRUE(bOk);
        EXPECT_EQ(kTokenA, std::string(buffer.data()));
        EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    } else {
        EXPECT_FALSE(bOk);
        EXPECT_EQ(std::string(buffer.size(), 'x'), std::string(buffer.begin(), buffer.end()))
            << "a refused buffer is left untouched";
        EXPECT_EQ((std::vector<std::string>{
                      "CHidDeviceManager::GetUKeyDevicePath Buffer Small, Index=[0], "
                      "GetLastError=[9]"}),
                  Lines(TRACE_LEVEL_ERROR));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HidEnumerationBuffer,
                         ::testing::Values(BufferCase{"OneByteLonger", false, 1, true},
                                           BufferCase{"MuchLonger", false, 100, true},
                                           BufferCase{"EqualToLength", false, 0, false},
                                           BufferCase{"OneByteShorter", false, -1, false},
                                           BufferCase{"NullBuffer", true, 100, false}),
                         CaseName());

// Device paths taken apart.
struct PathCase {
    const char *pszName;
    const char *pszPath;  // may be null
    bool bParses;
    const char *pszProductId;
    const char *pszVendorId;
    const char *pszDeviceId;
    const char *pszBusName;
    const char *pszInterfaceClass;
    std::vector<std::string> errors;  // level-1 lines, in order
};

class DevicePathParse : public HidEnumeration, public ::testing::WithParamInterface<PathCase> {};

TEST_P(DevicePathParse, FindsEveryPieceOrTracesWhyNot)
{
    const PathCase &c = GetParam();
    UsbInfo info;
    SetLastError(31);
    BOOL bOk = m_pManager->GetUsbInfoFromDevicePath(c.pszPath, info);
    EXPECT_EQ(c.bParses ? TRUE : FALSE, bOk);
    EXPECT_EQ(c.errors, Lines(TRACE_LEVEL_ERROR));
    if (c.bParses) {
        EXPECT_EQ(c.pszProductId, info.m_strProductId);
        EXPECT_EQ(c.pszVendorId, info.m_strVendorId);
        EXPECT_EQ(c.pszDeviceId, info.m_strDeviceId);
        EXPECT_EQ(c.pszBusName, info.m_strBusName);
        EXPECT_EQ(c.pszInterfaceClass, info.m_strInterfaceClass);
        EXPECT_EQ(c.pszPath, info.m_strDevicePath);
    }
}

const char kInvalidPath[] =
    "CHidDeviceManager::GetUsbInfoFromDevicePath Invalid Device Path, GetLastError=[31]";
const char kPidVidFailed[] =
    "CHidDeviceManager::GetUsbInfoFromDevicePath GetPidVidFromDeivceId Failed, GetLastError=[31]";

INSTANTIATE_TEST_SUITE_P(
    Cases, DevicePathParse,
    ::testing::Values(
        PathCase{"TokenLowerCase",
                 "\\\\?\\hid#vid_0925&pid_1234#7&1a2b3c4d&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 true, "1234", "0925", "HID\\VID_0925&PID_1234\\7&1A2B3C4D&0&0000", "HID",
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}", {}},
        PathCase{"TokenUpperCase",
                 "\\\\?\\HID#VID_0925&PID_1234#7&1A2B3C4D&0&0000#"
                 "{4D1E55B2-F16F-11CF-88CB-001111000030}",
                 true, "1234", "0925", "HID\\VID_0925&PID_1234\\7&1A2B3C4D&0&0000", "HID",
                 "{4D1E55B2-F16F-11CF-88CB-001111000030}", {}},
        PathCase{"KeyboardInterface",
                 "\\\\?\\hid#vid_046d&pid_c31c&mi_00#8&2d3e4f5a&0&0000#"
                 "{884b96c3-56ef-11d1-bc8c-00a0c91405dd}",
                 true, "C31C", "046D", "HID\\VID_046D&PID_C31C&MI_00\\8&2D3E4F5A&0&0000", "HID",
                 "{884b96c3-56ef-11d1-bc8c-00a0c91405dd}", {}},
        PathCase{"NoHash",
                 "\\\\?\\hid_vid_0925&pid_1234",
                 false, "", "", "", "", "",
                 {"CHidDeviceManager::GetUsbInfoFromDevicePath Can Not Find '#', "
                  "GetLastError=[31]"}},
        PathCase{"NoVendorId",
                 "\\\\?\\hid#pid_1234#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "",
                 {"CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'VID_', "
                  "GetLastError=[31]",
                  kPidVidFailed}},
        PathCase{"NoProductId",
                 "\\\\?\\hid#vid_0925#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "",
                 {"CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'PID_', "
                  "GetLastError=[31]",
                  kPidVidFailed}},
        PathCase{"ClassOnly",
                 "\\\\?\\hid#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "",
                 {"CHidDeviceManager::GetPidVidFromDeivceId Can Not Find '\\\\', "
                  "GetLastError=[31]",
                  kPidVidFailed}},
        PathCase{"NoInstanceId",
                 "\\\\?\\hid#vid_0925&pid_1234#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "",
                 {"CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next '\\\\', "
                  "GetLastError=[31]",
                  kPidVidFailed}},
        PathCase{"NoPrefix",
                 "hid#vid_0925&pid_1234#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "", {kInvalidPath}},
        PathCase{"OtherPrefix",
                 "\\\\.\\hid#vid_0925&pid_1234#7&1a2b3c4d&0&0000#"
                 "{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 false, "", "", "", "", "", {kInvalidPath}},
        PathCase{"TooShort", "\\\\?", false, "", "", "", "", "", {kInvalidPath}},
        PathCase{"Empty", "", false, "", "", "", "", "", {kInvalidPath}},
        PathCase{"Null", nullptr, false, "", "", "", "", "", {kInvalidPath}}),
    CaseName());

// Device ids taken apart on their own.
struct DeviceIdCase {
    const char *pszName;
    const char *pszDeviceId;
    bool bParses;
    const char *pszProductId;
    const char *pszVendorId;
    const char *pszTrace;  // the level-1 line of a failure
};

class DeviceIdParse : public HidEnumeration, public ::testing::WithParamInterface<DeviceIdCase> {};

TEST_P(DeviceIdParse, FindsVendorAndProductBetweenTheFirstTwoBackslashes)
{
    const DeviceIdCase &c = GetParam();
    std::string strProductId = "untouched", strVendorId = "untouched";
    SetLastError(8);
    BOOL bOk = m_pManager->GetPidVidFromDeivceId(c.pszDeviceId, strProductId, strVendorId);
    EXPECT_EQ(c.bParses ? TRUE : FALSE, bOk);
    if (c.bParses) {
        EXPECT_EQ(c.pszProductId, strProductId);
        EXPECT_EQ(c.pszVendorId, strVendorId);
        EXPECT_TRUE(Lines(TRACE_LEVEL_ERROR).empty());
    } else {
        EXPECT_EQ(std::vector<std::string>{c.pszTrace}, Lines(TRACE_LEVEL_ERROR));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceIdParse,
    ::testing::Values(
        DeviceIdCase{"Token", "HID\\VID_0925&PID_1234\\7&1A2B3C4D&0&0000", true, "1234", "0925",
                     nullptr},
        DeviceIdCase{"ProductBeforeVendor", "HID\\PID_1234&VID_0925\\7&1", true, "1234", "0925",
                     nullptr},
        DeviceIdCase{"CollectionAfterProduct", "HID\\VID_0925&PID_1234&COL01\\7&1", true, "1234",
                     "0925", nullptr},
        DeviceIdCase{"IdsOutsideTheMiddleIgnored", "HID\\REV_0001\\VID_0925&PID_1234", false, "",
                     "", "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'VID_', "
                         "GetLastError=[8]"},
        DeviceIdCase{"LowerCaseTagsNotFound", "hid\\vid_0925&pid_1234\\7&1", false, "", "",
                     "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find Next 'VID_', "
                     "GetLastError=[8]"},
        DeviceIdCase{"NoBackslash", "HID_VID_0925&PID_1234", false, "", "",
                     "CHidDeviceManager::GetPidVidFromDeivceId Can Not Find '\\\\', "
                     "GetLastError=[8]"}),
    CaseName());

// Device paths built from device ids.
struct BuildCase {
    const char *pszName;
    const char *pszDeviceId;
    const char *pszDevicePath;
};

class DevicePathBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(DevicePathBuild, TurnsBackslashesIntoHashesBetweenPrefixAndClass)
{
    const BuildCase &c = GetParam();
    std::string strPath = "old";
    EXPECT_TRUE(CHidDeviceManager::GetInstance()->DeviceIdToDevicePath(c.pszDeviceId, strPath));
    EXPECT_EQ(c.pszDevicePath, strPath);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DevicePathBuild,
    ::testing::Values(
        BuildCase{"Token", "HID\\VID_0925&PID_1234\\7&1A2B3C4D&0&0000",
                  "\\\\?\\HID#VID_0925&PID_1234#7&1A2B3C4D&0&0000#"
                  "{4d1e55b2-f16f-11cf-88cb-001111000030}"},
        BuildCase{"NoBackslash", "ABC", "\\\\?\\ABC#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
        BuildCase{"Empty", "", "\\\\?\\#{4d1e55b2-f16f-11cf-88cb-001111000030}"}),
    CaseName());

TEST(DevicePathRoundTrip, BuiltPathParsesBackToTheSameDeviceId)
{
    CHidDeviceManager *pManager = CHidDeviceManager::GetInstance();
    UsbInfo info;
    ASSERT_TRUE(pManager->GetUsbInfoFromDevicePath(kTokenA.c_str(), info));
    std::string strPath;
    ASSERT_TRUE(pManager->DeviceIdToDevicePath(info.m_strDeviceId, strPath));
    UsbInfo again;
    ASSERT_TRUE(pManager->GetUsbInfoFromDevicePath(strPath.c_str(), again));
    EXPECT_EQ(info.m_strDeviceId, again.m_strDeviceId);
    EXPECT_EQ(info.m_strInterfaceClass, again.m_strInterfaceClass);
    // A path from the system matches its rebuilt form without regard to case.
    EXPECT_EQ(0, lstrcmpiA(kTokenA.c_str(), strPath.c_str()));
}

}  // namespace
