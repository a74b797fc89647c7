// KQCardTest.cpp
//
// The card object at unit level: the binary layout of its interface, the
// device-lock name, and the connection operations against a scripted HID
// port (open, attach, reopen, the path limits, the full container name).
#include <gtest/gtest.h>

#include "UniqueDevicePath.h"
#include "VtableSlot.h"
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Algorithm.h"
#include "CaseName.h"
#include "KQCard.h"
#include "KQCardBase.h"
#include "MemoryManager.h"
#include "ResultCodes.h"
#include "ScriptedHidPort.h"
#include "StandinMemory.h"
#include "TestHidPortBinding.h"
#include "TestPaths.h"
#include "TraceCapture.h"
#include "TraceWriter.h"

namespace {


// Never built: only the slot of its own first virtual is looked at.
class SlotProbe : public KQCardBase {
public:
    virtual void Extra();
};

TEST(KQCardBaseLayout, AllSixtySixSlotsAreInTheFixedOrder)
{
    using I = KQCardBase;
    const long slots[] = {
        SlotOf(&I::DeleteObject), SlotOf(&I::OpenConnection), SlotOf(&I::AttachConnection),
        SlotOf(&I::OpenConnectionByDeviceId), SlotOf(&I::OpenConnByContainerDefault),
        SlotOf(&I::OpenConnectionEx), SlotOf(&I::OpenConnByContainer),
        SlotOf(&I::OpenConnectionByDeviceIdEx), SlotOf(&I::ConvertToFullName),
        SlotOf(&I::IsConnected), SlotOf(&I::ReConnect), SlotOf(&I::CloseConnection),
        SlotOf(&I::GetDevicePath), SlotOf(&I::GetDeviceId), SlotOf(&I::GetFileSystemStatus),
        SlotOf(&I::IsDevOnLine), SlotOf(&I::GetUKeyCount), SlotOf(&I::GetUKeyDevicePath),
        SlotOf(&I::GetPinStatus), SlotOf(&I::GetPinVerifyTimes), SlotOf(&I::GetATR),
        SlotOf(&I::VerifyPin), SlotOf(&I::ChangePin), SlotOf(&I::ChangePinName),
        SlotOf(&I::GetPinName), SlotOf(&I::DeleteKeySet), SlotOf(&I::Reserved26),
        SlotOf(&I::Reserved27), SlotOf(&I::ImportKey), SlotOf(&I::GenerateKeys),
        SlotOf(&I::ReadPublicKey), SlotOf(&I::Reserved31), SlotOf(&I::ReadKeysetIds),
        SlotOf(&I::ReadAllKeysetIds), SlotOf(&I::WriteKeysetId), SlotOf(&I::GetFileIds),
        SlotOf(&I::GetKeysetIdObjectStatus), SlotOf(&I::Reserved37), SlotOf(&I::Reserved38),
        SlotOf(&I::Reserved39), SlotOf(&I::Reserved40), SlotOf(&I::ComputeCrypt),
        SlotOf(&I::ReadCertificate), SlotOf(&I::WriteCertificate),
        SlotOf(&I::CreateFileSystem), SlotOf(&I::GetSupportedRsaKeyLength),
        SlotOf(&I::GetCFCAKeyLength), SlotOf(&I::GetUsbSn), SlotOf(&I::GetCosVersion),
        SlotOf(&I::GetVendorInfo), SlotOf(&I::GetDeviceInfo), SlotOf(&I::GetChipSn),
        SlotOf(&I::GetCFCAId), SlotOf(&I::ClearScreen), SlotOf(&I::SetDisplay),
        SlotOf(&I::DelayDisplayLogo), SlotOf(&I::DisplayLine), SlotOf(&I::DisplayLogo),
        SlotOf(&I::GetKeyData), SlotOf(&I::KeyInStart), SlotOf(&I::KeyIn),
        SlotOf(&I::KeyInEnd), SlotOf(&I::KeyInEndResult), SlotOf(&I::ImportSymmetricKey),
        SlotOf(&I::ImportRsaPubKey), SlotOf(&I::SetLanguageId)};
    ASSERT_EQ(66u, sizeof(slots) / sizeof(slots[0]));
    for (long i = 0; i < 66; ++i)
        EXPECT_EQ(i, slots[i]) << "method listed at position " << i;
    // No destructor entries or anything else after slot 65.
    EXPECT_EQ(66, SlotOf(&SlotProbe::Extra));
    // The records consumers lay out in their own memory.
    EXPECT_EQ(262u, sizeof(KEYSET_ID));
    EXPECT_EQ(8u, sizeof(KEYGEN_PARAM));
}

struct MutexNameCase {
    const char *pszName;
    const char *pszPath;
    const char *pszExpected;
};

class DeviceLockName : public ::testing::TestWithParam<MutexNameCase> {};

TEST_P(DeviceLockName, BackslashesBecomeUnderscoresOverTheWholeName)
{
    char szName[260] = {0};
    ASSERT_TRUE(CKQCard::BuildMutexName(GetParam().pszPath, szName, sizeof(szName)));
    EXPECT_STREQ(GetParam().pszExpected, szName);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DeviceLockName,
    ::testing::Values(
        MutexNameCase{"HidPath", "\\\\?\\hid#vid_0925&pid_1234#7&1a&0&0000#{4d1e}",
                      "MUTEX_CARD___?_hid#vid_0925&pid_1234#7&1a&0&0000#{4d1e}"},
        MutexNameCase{"NoBackslash", "abc", "MUTEX_CARD_abc"}),
    CaseName());

TEST(DeviceLockNameLimit, NameThatDoesNotFitIsRefused)
{
    std::string strPath(249, 'a');
    char szName[260];
    EXPECT_FALSE(CKQCard::BuildMutexName(strPath.c_str(), szName, sizeof(szName)));
    strPath.resize(248);
    EXPECT_TRUE(CKQCard::BuildMutexName(strPath.c_str(), szName, sizeof(szName)));
}


// Deletes a card object through slot 0, as CeiDestroyObject does.
struct CardDeleter {
    void operator()(KQCardBase *p) const { p->DeleteObject(KQCARD_DELETE_MEMORY); }
};

class CardOnScriptedPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CMemoryManager::LoadDLL(TestBinPath("KQUKeyMem.dll").c_str()));
        CTraceWriter::GetInstance()->LoadTraceLibrary(TestBinPath("KQUKeyLog.dll").c_str());
        SetTestHidPort(&m_port);
        m_strPath = UniqueDevicePath();
        m_port.AddDevice(m_strPath);
        m_pCard = new CKQCard();
        m_lBaseBlocks = m_memory.LiveBlocks();
    }
    void TearDown() override
    {
        if (m_pCard != nullptr)
            m_pCard->DeleteObject(KQCARD_DELETE_MEMORY);
        EXPECT_EQ(m_lBaseBlocks, m_memory.LiveBlocks()) << "memory blocks leaked";
        SetTestHidPort(nullptr);
        CTraceWriter::GetInstance()->FreeTraceLibrary();
        CMemoryManager::UnloadDLL();
    }
    std::string DevicePath(KQCardBase *pCard) const
    {
        char szPath[260] = {0};
        pCard->GetDevicePath(szPath, sizeof(szPath));
        return szPath;
    }

    int TraceCount(const std::string &strText) const
    {
        int nCount = 0;
        for (const TraceRecord &record : m_capture.Records())
            if (record.Text().find(strText) != std::string::npos)
                ++nCount;
        return nCount;
    }
    bool TraceHas(const std::string &strText) const { return TraceCount(strText) > 0; }

    TraceCapture m_capture;
    StandinMemory m_memory;
    ScriptedHidPort m_port;
    std::string m_strPath;
    KQCardBase *m_pCard = nullptr;
    long m_lBaseBlocks = 0;
};

TEST_F(CardOnScriptedPort, ReConnectReopensTheSamePathAfterClose)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    ASSERT_EQ(0u, m_pCard->CloseConnection());
    EXPECT_FALSE(m_pCard->IsConnected());
    EXPECT_EQ(m_strPath, DevicePath(m_pCard)) << "the path is kept after close";
    // ReConnect passes the member itself as the path to open. It opens as
    // connection kind 1, whose file cache preloads: the card refuses the
    // first selection, which ends the preload without breaking the link.
    m_port.QueueAnswer(m_strPath, {0xA1, 0x00, 0x03, 0x6A, 0x82, 0x00});
    EXPECT_EQ(0u, m_pCard->ReConnect());
    EXPECT_EQ(m_strPath, DevicePath(m_pCard));
    EXPECT_TRUE(m_pCard->IsConnected());
}

// A second object on the same token closes the process's HID connection;
// the first object's next operation reconnects inside the device lock it
// holds, and must release that same lock when it returns.
TEST_F(CardOnScriptedPort, ReconnectInsideAnOperationKeepsItsDeviceLock)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    {
        std::unique_ptr<KQCardBase, CardDeleter> pOther(new CKQCard());
        ASSERT_EQ(0u, pOther->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
        ASSERT_EQ(0u, pOther->CloseConnection());
    }
    ASSERT_FALSE(m_pCard->IsConnected());
    int nStatus = -1;
    EXPECT_EQ(0u, m_pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(3, TraceCount("CKQCard::OpenConnectionEx pszDevicePath=")) << "no reconnect";
    EXPECT_FALSE(TraceHas("Release Mutex Failed")) << "the guard released a closed handle";
    EXPECT_FALSE(TraceHas("ReleaseMutex")) << "the held lock was dropped by the reconnect";
    m_pCard->CloseConnection();
}

TEST_F(CardOnScriptedPort, DevicePathOverTheLockNameLimitIsRefused)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    std::string strLong = UniqueDevicePath(249);
    ASSERT_EQ(249u, strLong.size());
    m_port.AddDevice(strLong);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->OpenConnectionEx(strLong.c_str(), 2));
    EXPECT_EQ(m_strPath, DevicePath(m_pCard)) << "a refused path binds nothing";

    std::string strLongest = UniqueDevicePath(248);
    m_port.AddDevice(strLongest);
    EXPECT_EQ(0u, m_pCard->OpenConnectionEx(strLongest.c_str(), KQCARD_CONN_ON_DEMAND));
    EXPECT_EQ(strLongest, DevicePath(m_pCard));
    m_pCard->CloseConnection();
}

TEST_F(CardOnScriptedPort, AttachedObjectHasNoCommandObjectAndKeepsItsPath)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    std::unique_ptr<KQCardBase, CardDeleter> pAttached(new CKQCard());
    ASSERT_EQ(0u, pAttached->AttachConnection(m_strPath.c_str()));
    EXPECT_EQ(m_strPath, DevicePath(pAttached.get()));
    // Needs the command object it does not have: a code, not a crash.
    int nStatus = 7;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, pAttached->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(7, nStatus);
    // A second attach keeps the first path.
    std::string strOther = UniqueDevicePath();
    m_port.AddDevice(strOther);
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, pAttached->AttachConnection(strOther.c_str()));
    EXPECT_EQ(m_strPath, DevicePath(pAttached.get()));
}

TEST_F(CardOnScriptedPort, AttachFailsForATokenThisProcessHasNotOpened)
{
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->AttachConnection(m_strPath.c_str()));
    EXPECT_EQ("", DevicePath(m_pCard));
}

TEST_F(CardOnScriptedPort, UnknownConnectionKindOpensWithoutCommandObject)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), 3));
    EXPECT_TRUE(m_pCard->IsConnected());
    int nStatus = 7;
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetFileSystemStatus(&nStatus));
    EXPECT_EQ(KQ_SCARD_E_UNEXPECTED, m_pCard->GetPinStatus(&nStatus));
}

TEST_F(CardOnScriptedPort, GetDevicePathNeedsRoomForTheTerminator)
{
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    std::string strBuf(m_strPath.size() + 1, '?');
    EXPECT_FALSE(m_pCard->GetDevicePath(&strBuf[0], static_cast<DWORD>(m_strPath.size())));
    EXPECT_EQ(std::string(m_strPath.size() + 1, '?'), strBuf) << "nothing copied";
    EXPECT_TRUE(m_pCard->GetDevicePath(&strBuf[0], static_cast<DWORD>(strBuf.size())));
    EXPECT_STREQ(m_strPath.c_str(), strBuf.c_str());
}

TEST_F(CardOnScriptedPort, FullContainerNameAndItsBufferLimit)
{
    const std::string strPath =
        "\\\\?\\hid#vid_0925&pid_1234#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    m_port.AddDevice(strPath);
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    const std::string strExpected = "\\\\.\\hid#vid_0925&pid_1234#7&1&0&0000\\A";
    const DWORD dwRequired = static_cast<DWORD>(std::strlen("hid#vid_0925&pid_1234#7&1&0&0000") + 1 + 6);
    char szFull[260] = {0};
    DWORD dwLen = dwRequired - 1;
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, m_pCard->ConvertToFullName("A", szFull, &dwLen));
    dwLen = dwRequired;
    EXPECT_EQ(0u, m_pCard->ConvertToFullName("A", szFull, &dwLen));
    EXPECT_EQ(strExpected, szFull);
    EXPECT_EQ(dwRequired, dwLen) << "the length is not changed";
    m_pCard->CloseConnection();
}

// Bit 7 of EF 5003 alone says whether the holder changed the PIN.
struct PinStateCase {
    const char *pszName;
    BYTE bStored;
    int nExpected;
};

class PinState : public CardOnScriptedPort, public ::testing::WithParamInterface<PinStateCase> {
};

TEST_P(PinState, IsBitSevenOfThePinStateFile)
{
    ASSERT_TRUE(CAlgorithm::LoadDLL(TestBinPath("KQCrypt.dll").c_str()));
    ASSERT_EQ(0u, m_pCard->OpenConnectionEx(m_strPath.c_str(), KQCARD_CONN_ON_DEMAND));
    // SELECT 5000, GET CHALLENGE, EXTERNAL AUTHENTICATE, SELECT 5003, READ.
    const std::vector<std::vector<BYTE>> answers = {
        {0x90, 0x00}, std::vector<BYTE>(16, 0x11), {0x90, 0x00}, {0x90, 0x00},
        {GetParam().bStored, 0x90, 0x00}};
    for (std::vector<BYTE> answer : answers) {
        if (answer.size() == 16)
            answer.insert(answer.end(), {0x90, 0x00});
        std::vector<BYTE> body = {0xA1, 0x00, static_cast<BYTE>(answer.size() + 1)};
        body.insert(body.end(), answer.begin(), answer.end());
        body.push_back(0x00);
        m_port.QueueAnswer(m_strPath, body);
    }
    int nStatus = -1;
    EXPECT_EQ(0u, m_pCard->GetPinStatus(&nStatus));
    EXPECT_EQ(GetParam().nExpected, nStatus);
    m_pCard->CloseConnection();
}

INSTANTIATE_TEST_SUITE_P(Card, PinState,
                         ::testing::Values(PinStateCase{"Changed", 0x80, 1},
                                           PinStateCase{"OtherBitsOnly", 0x7F, 0},
                                           PinStateCase{"AllBits", 0xFF, 1}),
                         CaseName());

}  // namespace

// The allowed-key list of a keypad entry from the parameter masks.
struct AllowedKeysCase {
    const char *pszName;
    DWORD dwNumber, dwLower, dwUpper, dwSpecial;
    std::vector<BYTE> expected;
};

class AllowedKeys : public ::testing::TestWithParam<AllowedKeysCase> {};

TEST_P(AllowedKeys, SetsOneBitPerAllowedKeyCode)
{
    const AllowedKeysCase &c = GetParam();
    KEYINSTART_PARAM param = {};
    param.dwNumberMask = c.dwNumber;
    param.dwLowerMask = c.dwLower;
    param.dwUpperMask = c.dwUpper;
    param.dwSpecialMask = c.dwSpecial;
    BYTE abList[10];
    std::memset(abList, 0xEE, sizeof(abList));
    CKQCard::BuildAllowedKeyList(param, abList);
    EXPECT_EQ(c.expected, std::vector<BYTE>(abList, abList + 10));
}

INSTANTIATE_TEST_SUITE_P(
    Masks, AllowedKeys,
    ::testing::Values(
        // Key code 66 is always allowed: byte 8, bit 0x20.
        AllowedKeysCase{"NoMasksAllowOnlyCode66", 0, 0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}},
        AllowedKeysCase{"AllDigits", 0x3FF, 0, 0, 0, {0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 0x20, 0}},
        AllowedKeysCase{"AllOnesIsStillOnlyTheDigits", 0xFFFFFFFF, 0, 0, 0,
                        {0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 0x20, 0}},
        // Upper case: codes 10 to 35; lower case: 36 to 61.
        AllowedKeysCase{"UpperA", 0, 0, 1, 0, {0, 0x20, 0, 0, 0, 0, 0, 0, 0x20, 0}},
        AllowedKeysCase{"LowerZ", 0, 1u << 25, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0x04, 0x20, 0}},
        AllowedKeysCase{"AllLetters", 0, 0x3FFFFFF, 0x3FFFFFF, 0,
                        {0, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC, 0x20, 0}},
        // Enter and Esc (63, 62), '.' and '#' (67, 68).
        AllowedKeysCase{"SignDialogueKeys", 0, 0, 0, 0x33, {0, 0, 0, 0, 0, 0, 0, 0x03, 0x38, 0}},
        AllowedKeysCase{"EverySpecialKey", 0, 0, 0, 0xFFFFFFFF,
                        {0, 0, 0, 0, 0, 0, 0, 0x03, 0xF8, 0}}),
    CaseName());

TEST(CardArguments, PassThroughAndHostKeyRefuseWhatCannotBeSentWhole)
{
    std::unique_ptr<KQCardBase, CardDeleter> pCard(new CKQCard());
    // dwLen must match the command's own Lc (its fifth byte).
    const BYTE abApdu[] = {0x80, 0xE0, 0x00, 0x00, 0x02, 0x11, 0x22};
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, pCard->CreateFileSystem(abApdu, 7));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, pCard->CreateFileSystem(abApdu, 258));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, pCard->CreateFileSystem(nullptr, 0));
    // A host key longer than its file, or none.
    const std::vector<BYTE> modulus(257, 0xC3);
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER,
              pCard->ImportRsaPubKey("HOST", 65537, modulus.data(), 257));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, pCard->ImportRsaPubKey("HOST", 65537, nullptr, 0));
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER,
              pCard->ImportRsaPubKey(std::string(255, 'n').c_str(), 65537, modulus.data(), 128));
    DWORD dwLen = 4;
    EXPECT_EQ(KQ_SCARD_E_INVALID_PARAMETER, pCard->KeyInEnd(1, nullptr, &dwLen, nullptr));
}
