// EmuBusTest.cpp
//
// The bus without its pipes: control commands (plug, unplug, list, faults,
// log, quit, and their errors), device paths and product strings, and the
// data-pipe sessions with the exact byte messages of EmuPipeProtocol.h,
// including many sessions on several threads while tokens come and go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "EmuBus.h"
#include "EmuPipeProtocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using emu::EmuBus;

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const char kGuid[] = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

bool IsOk(const std::string &strAnswer) { return strAnswer.compare(0, 2, "OK") == 0; }
bool IsErr(const std::string &strAnswer) { return strAnswer.compare(0, 4, "ERR ") == 0; }

std::uint32_t ErrorOf(const Bytes &answer)
{
    if (answer.size() != 5 || answer[0] != emu::STATUS_FAILED)
        return 0;
    return answer[1] | (answer[2] << 8) | (answer[3] << 16) | (static_cast<std::uint32_t>(answer[4]) << 24);
}

class Bus : public ::testing::Test {
protected:
    Bus() : bus(0x1a2b3c4d) {}

    Bytes Call(EmuBus::Session &session, std::uint8_t bOp, const Bytes &payload = Bytes())
    {
        Bytes request = {bOp};
        request.insert(request.end(), payload.begin(), payload.end());
        return session.Handle(request.data(), request.size());
    }

    Bytes Call(EmuBus::Session &session, std::uint8_t bOp, const std::string &strPayload)
    {
        return Call(session, bOp, Bytes(strPayload.begin(), strPayload.end()));
    }

    std::vector<std::string> List(EmuBus::Session &session)
    {
        Bytes answer = Call(session, emu::OP_LIST);
        std::vector<std::string> paths;
        EXPECT_GE(answer.size(), 3u);
        if (answer.size() < 3 || answer[0] != emu::STATUS_OK)
            return paths;
        std::size_t nCount = answer[1] | (answer[2] << 8);
        std::size_t i = 3;
        for (std::size_t k = 0; k < nCount; ++k) {
            if (i + 2 > answer.size()) {
                ADD_FAILURE() << "LIST answer cut";
                return paths;
            }
            std::size_t nLength = answer[i] | (answer[i + 1] << 8);
            i += 2;
            if (i + nLength > answer.size()) {
                ADD_FAILURE() << "LIST answer cut";
                return paths;
            }
            paths.emplace_back(answer.begin() + i, answer.begin() + i + nLength);
            i += nLength;
        }
        EXPECT_EQ(answer.size(), i);
        return paths;
    }

    std::uint32_t Caps(EmuBus::Session &session)
    {
        Bytes answer = Call(session, emu::OP_CAPS);
        if (answer.size() != 3 || answer[0] != emu::STATUS_OK)
            return 0;
        return answer[1] | (answer[2] << 8);
    }

    // One APDU exchange through a session; the answer body, empty on failure.
    Bytes Exchange(EmuBus::Session &session, const Bytes &apdu, std::uint32_t dwR)
    {
        Bytes body = {0xA1, static_cast<std::uint8_t>(apdu.size() >> 8),
                      static_cast<std::uint8_t>(apdu.size())};
        body.insert(body.end(), apdu.begin(), apdu.end());
        const std::size_t nChunk = dwR - 9;
        std::size_t nSent = 0;
        while (nSent < body.size()) {
            const std::size_t nLeft = body.size() - nSent;
            const std::size_t nCount = std::min(nLeft, nChunk);
            Bytes report(dwR, 0);
            report[0] = 3;
            report[1] = nLeft > nChunk ? 1 : 0;
            report[2] = 0x0C;
            report[3] = static_cast<std::uint8_t>(nLeft >> 8);
            report[4] = static_cast<std::uint8_t>(nLeft);
            report[5] = static_cast<std::uint8_t>(nCount >> 8);
            report[6] = static_cast<std::uint8_t>(nCount);
            std::copy(body.begin() + nSent, body.begin() + nSent + nCount, report.begin() + 8);
            if (Call(session, emu::OP_SET_FEATURE, report) != Bytes{emu::STATUS_OK})
                return Bytes();
            nSent += nCount;
        }
        Bytes answer;
        for (int i = 0; i < 1000; ++i) {
            Bytes buffer(dwR, 0);
            buffer[0] = 3;
            Bytes reply = Call(session, emu::OP_GET_FEATURE, buffer);
            if (reply.size() != dwR + 1 || reply[0] != emu::STATUS_OK)
                return Bytes();
            if (reply[3] == 0xFF)
                continue;
            const std::size_t nCount = std::min<std::size_t>(reply[2], nChunk);
            answer.insert(answer.end(), reply.begin() + 9, reply.begin() + 9 + nCount);
            if (reply[1] == 0)
                return answer;
        }
        return Bytes();
    }

    std::string PathOf(const std::string &strPlugAnswer) const
    {
        return IsOk(strPlugAnswer) ? strPlugAnswer.substr(3) : std::string();
    }

    EmuBus bus;
};

TEST_F(Bus, PlugAnswersTheWindowsShapedPath)
{
    std::string strAnswer = bus.Control("plug t1");
    EXPECT_EQ(std::string("OK \\\\?\\hid#vid_0925&pid_1234#7&1a2b3c4d&0&0000") + kGuid,
              strAnswer);
    EXPECT_EQ(std::string("OK \\\\?\\hid#vid_046d&pid_c31c#7&1a2b3c4d&0&0001") + kGuid,
              bus.Control("plug kbd vid=046D pid=C31C"));
    EXPECT_EQ("1a2b3c4d", bus.InstanceTag());
}

TEST_F(Bus, ListShowsEveryDeviceInNaturalIdOrder)
{
    ASSERT_TRUE(IsOk(bus.Control("plug t10")));
    ASSERT_TRUE(IsOk(bus.Control("plug t2 report=33")));
    ASSERT_TRUE(IsOk(bus.Control("plug kbd vid=046d pid=c31c")));
    ASSERT_TRUE(IsOk(bus.Control("unplug t10")));
    std::string strList = bus.Control("list");
    const std::string strPrefix = "\\\\?\\hid#vid_";
    EXPECT_EQ("OK\n"
              "kbd " + strPrefix + "046d&pid_c31c#7&1a2b3c4d&0&0002" + kGuid + " 65 plugged\n"
              "t2 " + strPrefix + "0925&pid_1234#7&1a2b3c4d&0&0001" + kGuid + " 33 plugged\n"
              "t10 " + strPrefix + "0925&pid_1234#7&1a2b3c4d&0&0000" + kGuid + " 65 unplugged\n",
              strList);
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    std::vector<std::string> paths = List(*session);
    ASSERT_EQ(2u, paths.size());
    EXPECT_NE(std::string::npos, paths[0].find("pid_c31c"));
    EXPECT_NE(std::string::npos, paths[1].find("&0001#"));
}

TEST_F(Bus, EmptyBusListsNothing)
{
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    EXPECT_EQ((Bytes{0, 0, 0}), Call(*session, emu::OP_LIST));
    EXPECT_EQ("OK\n", bus.Control("list"));
}

TEST_F(Bus, TokenProductStringCarriesVersionAndLabel)
{
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    std::string strPath = PathOf(bus.Control("plug t1"));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    Bytes answer = Call(*session, emu::OP_PRODUCT, Bytes{0x04, 0x01, 0, 0});
    ASSERT_FALSE(answer.empty());
    ASSERT_EQ(emu::STATUS_OK, answer[0]);
    std::string strProduct;
    for (std::size_t i = 1; i + 1 < answer.size(); i += 2) {
        EXPECT_EQ(0, answer[i + 1]);
        strProduct.push_back(static_cast<char>(answer[i]));
    }
    EXPECT_EQ("KAVRU USB KEY_V0100_ID1A2B3C4D000000T1", strProduct);
    // 16 characters after "_ID".
    EXPECT_EQ(16u, strProduct.size() - strProduct.find("_ID") - 3);

    // Cut to the buffer: 9 bytes hold 4 characters.
    EXPECT_EQ((Bytes{0, 'K', 0, 'A', 0, 'V', 0, 'R', 0}), Call(*session, emu::OP_PRODUCT, Bytes{9, 0, 0, 0}));
    EXPECT_EQ(emu::kErrorInvalidParameter, ErrorOf(Call(*session, emu::OP_PRODUCT, Bytes{9, 0})));
}

TEST_F(Bus, LabelsDifferByIdAndLongIdsAreHashed)
{
    std::unique_ptr<EmuBus::Session> a = bus.NewSession();
    std::unique_ptr<EmuBus::Session> b = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*a, emu::OP_OPEN, PathOf(bus.Control("plug token-number-one"))));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*b, emu::OP_OPEN, PathOf(bus.Control("plug token-number-two"))));
    Bytes pa = Call(*a, emu::OP_PRODUCT, Bytes{0, 1, 0, 0});
    Bytes pb = Call(*b, emu::OP_PRODUCT, Bytes{0, 1, 0, 0});
    EXPECT_EQ(1u + 2 * 38, pa.size());
    EXPECT_EQ(pa.size(), pb.size());
    EXPECT_NE(pa, pb);
}

TEST_F(Bus, ProductOptionTakesTheRestOfTheLine)
{
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    std::string strPath = PathOf(bus.Control("plug t1 report=33 product=My Token  \xc3\xa9"));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    EXPECT_EQ((Bytes{0, 'M', 0, 'y', 0, ' ', 0, 'T', 0, 'o', 0, 'k', 0, 'e', 0, 'n', 0, ' ', 0, ' ', 0,
                     0xE9, 0}),
              Call(*session, emu::OP_PRODUCT, Bytes{0, 1, 0, 0}));
    EXPECT_EQ(33u, Caps(*session));
}

TEST_F(Bus, PlugOptionErrors)
{
    for (const char *pszLine :
         {"plug", "plug t1 report=9", "plug t1 report=4097", "plug t1 report=x", "plug t1 vid=10000",
          "plug t1 pid=zz", "plug t1 busy=-1", "plug t1 colour=red", "plug t1 report"}) {
        EXPECT_TRUE(IsErr(bus.Control(pszLine))) << pszLine;
    }
    EXPECT_TRUE(IsErr(bus.Control("plug t1 product=" + std::string(127, 'x'))));
    EXPECT_TRUE(IsOk(bus.Control("plug t1 product=" + std::string(126, 'x'))));
    EXPECT_TRUE(IsOk(bus.Control("plug t2 report=10")));
    EXPECT_TRUE(IsOk(bus.Control("plug t3 report=4096 busy=0")));
}

TEST_F(Bus, ControlErrors)
{
    for (const char *pszLine :
         {"", "   ", "frobnicate", "list extra", "quit now", "unplug", "unplug t9", "unplug t1 t2",
          "fault", "fault t9 busy 1", "fault t1", "fault t1 busy", "fault t1 busy soon",
          "fault t1 dfield 65536", "fault t1 byte1 256", "fault t1 length 65536",
          "fault t1 setfeature -1", "fault t1 clear now", "fault t1 wobble 1", "log now",
          "log clear now"}) {
        if (std::string(pszLine).find("t1") != std::string::npos)
            bus.Control("plug t1");
        EXPECT_TRUE(IsErr(bus.Control(pszLine))) << pszLine;
    }
    ASSERT_TRUE(IsOk(bus.Control("unplug t1")));
    EXPECT_TRUE(IsErr(bus.Control("unplug t1")));
    EXPECT_TRUE(IsErr(bus.Control("fault t1 busy 1")));
}

TEST_F(Bus, AtMost256Ids)
{
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(IsOk(bus.Control("plug d" + std::to_string(i)))) << i;
    EXPECT_TRUE(IsErr(bus.Control("plug one-more")));
    EXPECT_TRUE(IsOk(bus.Control("plug d7")));  // a known id re-plugs
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    std::vector<std::string> paths = List(*session);
    ASSERT_EQ(256u, paths.size());
    EXPECT_NE(std::string::npos, paths[255].find("&0&0255#"));
}

TEST_F(Bus, ControlLineEndingsAreIgnored)
{
    EXPECT_TRUE(IsOk(bus.Control("plug t1\r\n")));
    EXPECT_TRUE(IsOk(bus.Control("list\n")));
}

TEST_F(Bus, ExchangeThroughASession)
{
    std::string strPath = PathOf(bus.Control("plug t1 report=33"));
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    // Path compared without regard to case, as CreateFile does.
    std::string strUpper = strPath;
    for (char &c : strUpper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strUpper));
    EXPECT_EQ(33u, Caps(*session));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Exchange(*session, kSelectMf, 33));
    Bytes apdu = {0x80, 0xD6, 0x00, 0x00, 0xF8};
    apdu.resize(0xF8 + 5, 0x5A);
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x6D, 0x00, 0x00}), Exchange(*session, apdu, 33));
    EXPECT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_CLOSE));

    std::string strLog = bus.Control("log");
    EXPECT_NE(std::string::npos, strLog.find("t1 PLUG " + strPath));
    EXPECT_NE(std::string::npos, strLog.find("t1 OPEN session 1\n"));
    EXPECT_NE(std::string::npos, strLog.find("t1 APDU 00A40000023F00\nt1 RESP 9000\n"));
    EXPECT_NE(std::string::npos, strLog.find("t1 APDU 80D60000F85A5A"));
    EXPECT_NE(std::string::npos, strLog.find("t1 RESP 6D00\n"));
    EXPECT_NE(std::string::npos, strLog.find("t1 CLOSE session 1\n"));
    EXPECT_EQ("OK", bus.Control("log clear"));
    EXPECT_EQ("OK\n", bus.Control("log"));
}

TEST_F(Bus, SessionRulesAndErrors)
{
    std::string strPath = PathOf(bus.Control("plug t1"));
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    EXPECT_EQ(emu::kErrorInvalidParameter, ErrorOf(session->Handle(nullptr, 0)));
    EXPECT_EQ(emu::kErrorInvalidFunction, ErrorOf(Call(*session, 0x00)));
    EXPECT_EQ(emu::kErrorInvalidFunction, ErrorOf(Call(*session, 0x08)));
    EXPECT_EQ(emu::kErrorInvalidHandle, ErrorOf(Call(*session, emu::OP_CAPS)));
    EXPECT_EQ(emu::kErrorInvalidHandle, ErrorOf(Call(*session, emu::OP_CLOSE)));
    EXPECT_EQ(emu::kErrorInvalidHandle, ErrorOf(Call(*session, emu::OP_SET_FEATURE, Bytes(65, 3))));
    EXPECT_EQ(emu::kErrorFileNotFound, ErrorOf(Call(*session, emu::OP_OPEN)));
    EXPECT_EQ(emu::kErrorFileNotFound, ErrorOf(Call(*session, emu::OP_OPEN, strPath + "x")));
    EXPECT_EQ(emu::kErrorFileNotFound, ErrorOf(Call(*session, emu::OP_OPEN, std::string(5000, 'x'))));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    EXPECT_EQ(emu::kErrorInvalidFunction, ErrorOf(Call(*session, emu::OP_OPEN, strPath)));
    // LIST works on any session.
    EXPECT_EQ(1u, List(*session).size());
    EXPECT_EQ(emu::kErrorInvalidParameter, ErrorOf(Call(*session, emu::OP_SET_FEATURE, Bytes(64, 3))));
    EXPECT_EQ(emu::kErrorInvalidParameter, ErrorOf(Call(*session, emu::OP_GET_FEATURE, Bytes(66, 3))));
    EXPECT_EQ(emu::kErrorInvalidParameter, ErrorOf(Call(*session, emu::OP_GET_FEATURE)));
}

TEST_F(Bus, UnplugFailsTheSessionAndReplugIsANewDevice)
{
    std::string strPath = PathOf(bus.Control("plug t1"));
    std::unique_ptr<EmuBus::Session> old = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*old, emu::OP_OPEN, strPath));
    ASSERT_EQ("OK", bus.Control("unplug t1"));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*old, emu::OP_CAPS)));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*old, emu::OP_SET_FEATURE, Bytes(65, 3))));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*old, emu::OP_GET_FEATURE, Bytes(65, 3))));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*old, emu::OP_PRODUCT, Bytes{0, 1, 0, 0})));
    std::unique_ptr<EmuBus::Session> other = bus.NewSession();
    EXPECT_EQ(emu::kErrorFileNotFound, ErrorOf(Call(*other, emu::OP_OPEN, strPath)));
    EXPECT_TRUE(List(*other).empty());

    // Re-plug: the same path, kept settings; old sessions stay dead.
    EXPECT_EQ("OK " + strPath, bus.Control("plug t1"));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*old, emu::OP_CAPS)));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*other, emu::OP_OPEN, strPath));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Exchange(*other, kSelectMf, 65));
    // The old session can still be closed.
    EXPECT_EQ(Bytes{emu::STATUS_OK}, Call(*old, emu::OP_CLOSE));
}

TEST_F(Bus, ReplugKeepsSettingsUnlessGivenAndPlugOfAPluggedIdReplugs)
{
    std::string strPath = PathOf(bus.Control("plug t1 report=33"));
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    EXPECT_EQ("OK " + strPath, bus.Control("plug t1"));
    EXPECT_EQ(emu::kErrorDeviceNotConnected, ErrorOf(Call(*session, emu::OP_CAPS)));
    std::unique_ptr<EmuBus::Session> again = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*again, emu::OP_OPEN, strPath));
    EXPECT_EQ(33u, Caps(*again));
    EXPECT_NE(std::string::npos, bus.Control("log").find("t1 UNPLUG (re-plug)"));
}

TEST_F(Bus, NonTokenDeviceHasNoFeatureReport)
{
    std::string strPath = PathOf(bus.Control("plug kbd vid=046d pid=c31c"));
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    EXPECT_EQ(65u, Caps(*session));
    EXPECT_EQ(emu::kErrorInvalidFunction, ErrorOf(Call(*session, emu::OP_SET_FEATURE, Bytes(65, 3))));
    Bytes product = Call(*session, emu::OP_PRODUCT, Bytes{0, 1, 0, 0});
    std::string strProduct;
    for (std::size_t i = 1; i < product.size(); i += 2)
        strProduct.push_back(static_cast<char>(product[i]));
    EXPECT_EQ("HID device VID_046D PID_C31C", strProduct);
}

TEST_F(Bus, FaultsReachTheDeviceAndAreLogged)
{
    std::string strPath = PathOf(bus.Control("plug t1"));
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    ASSERT_EQ("OK", bus.Control("fault t1 setfeature 1"));
    EXPECT_TRUE(Exchange(*session, kSelectMf, 65).empty());
    ASSERT_EQ("OK", bus.Control("fault t1 getfeature 1"));
    EXPECT_TRUE(Exchange(*session, kSelectMf, 65).empty());
    ASSERT_EQ("OK", bus.Control("fault t1 dfield 2"));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x02, 0x90, 0x00, 0x00}), Exchange(*session, kSelectMf, 65));
    ASSERT_EQ("OK", bus.Control("fault t1 length 4"));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90}), Exchange(*session, kSelectMf, 65));
    ASSERT_EQ("OK", bus.Control("fault t1 byte1 3"));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03}), Exchange(*session, kSelectMf, 65));
    ASSERT_EQ("OK", bus.Control("fault t1 busy 2"));
    ASSERT_EQ("OK", bus.Control("fault t1 busy forever"));
    EXPECT_TRUE(Exchange(*session, kSelectMf, 65).empty());  // gives up after 1000 polls
    ASSERT_EQ("OK", bus.Control("fault t1 clear"));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Exchange(*session, kSelectMf, 65));
    std::string strLog = bus.Control("log");
    for (const char *pszLine :
         {"t1 FAULT set setfeature 1\n", "t1 FAULT set getfeature 1\n", "t1 FAULT set dfield 2\n",
          "t1 FAULT set length 4\n", "t1 FAULT set byte1 3\n", "t1 FAULT set busy forever\n",
          "t1 FAULT set clear\n", "t1 FAULT applied busy forever\n"})
        EXPECT_NE(std::string::npos, strLog.find(pszLine)) << pszLine;
}

TEST_F(Bus, QuitIsAnswered)
{
    EXPECT_FALSE(bus.QuitRequested());
    EXPECT_EQ("OK", bus.Control("quit"));
    EXPECT_TRUE(bus.QuitRequested());
}

TEST_F(Bus, SessionEndingWithoutCloseIsLogged)
{
    std::string strPath = PathOf(bus.Control("plug t1"));
    {
        std::unique_ptr<EmuBus::Session> session = bus.NewSession();
        ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    }
    EXPECT_NE(std::string::npos, bus.Control("log").find("t1 CLOSE (connection ended) session 1"));
}

TEST_F(Bus, CardStateBelongsToTheIdAcrossReplug)
{
    struct CountingCard : emu::IEmuCard {
        Bytes ProcessApdu(const Bytes &) override
        {
            ++nCalls;
            return {static_cast<std::uint8_t>(nCalls), 0x90, 0x00};
        }
        int nCalls = 0;
    };
    int nMade = 0;
    std::string strKinds;
    EmuBus counting(1, 65, [&nMade, &strKinds](const std::string &strId, bool bBlank) {
        ++nMade;
        strKinds += strId + (bBlank ? " blank " : " issued ");
        return std::make_shared<CountingCard>();
    });
    std::string strPath = PathOf(counting.Control("plug t1"));
    // The card kind is chosen when an id gets its card, never later.
    PathOf(counting.Control("plug t2 card=blank"));
    EXPECT_EQ("t1 issued t2 blank ", strKinds);
    EXPECT_EQ("ERR t1 has its card already", counting.Control("plug t1 card=blank"));
    EXPECT_EQ(0u, counting.Control("plug t3 card=empty").find("ERR bad plug option"));
    for (std::uint8_t bExpected : {1, 2}) {
        std::unique_ptr<EmuBus::Session> session = counting.NewSession();
        ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
        EXPECT_EQ((Bytes{0xA1, 0x00, 0x04, bExpected, 0x90, 0x00, 0x00}),
                  Exchange(*session, kSelectMf, 65));
        counting.Control("plug t1");
    }
    EXPECT_EQ(2, nMade);  // one card for t1, one for t2, none for the re-plugs
}

// The log names the session whenever the sender changes, and shows a
// card's commands in the card's own log form.
TEST_F(Bus, LogShowsSenderChangesAndTheCardsLogForm)
{
    struct MaskingCard : emu::IEmuCard {
        Bytes ProcessApdu(const Bytes &) override { return {0x90, 0x00}; }
        Bytes LogForm(const Bytes &apdu) const override
        {
            return Bytes(apdu.begin(), apdu.begin() + 4);
        }
    };
    EmuBus masking(1, 65, [](const std::string &, bool) {
        return std::make_shared<MaskingCard>();
    });
    std::string strPath = PathOf(masking.Control("plug t1"));
    std::unique_ptr<EmuBus::Session> first = masking.NewSession(1234);
    std::unique_ptr<EmuBus::Session> second = masking.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*first, emu::OP_OPEN, strPath));
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*second, emu::OP_OPEN, strPath));
    const Bytes kVerify = {0x00, 0x20, 0x00, 0x01, 0x06, '1', '2', '3', '4', '5', '6'};
    for (EmuBus::Session *pSession : {first.get(), first.get(), second.get(), first.get()})
        ASSERT_FALSE(Exchange(*pSession, kVerify, 65).empty());
    std::string strLog = masking.Control("log");
    EXPECT_NE(std::string::npos, strLog.find("t1 OPEN session 1 pid 1234\n")) << strLog;
    EXPECT_NE(std::string::npos, strLog.find("t1 OPEN session 2\n")) << strLog;
    const std::string kOne = "t1 APDU 00200001\nt1 RESP 9000\n";
    EXPECT_NE(std::string::npos,
              strLog.find("t1 SENDER session 1\n" + kOne + kOne + "t1 SENDER session 2\n" + kOne +
                          "t1 SENDER session 1\n" + kOne))
        << strLog;
    EXPECT_EQ(std::string::npos, strLog.find("313233")) << strLog;
}

TEST_F(Bus, LogLinesAreCappedOldestFirst)
{
    emu::EmuLog log(100);
    for (int i = 0; i < 50; ++i)
        log.Add("line " + std::to_string(i));
    std::string strText = log.Text();
    EXPECT_EQ(0u, strText.find("log "));
    EXPECT_NE(std::string::npos, strText.find("oldest lines dropped\n"));
    EXPECT_NE(std::string::npos, strText.find("line 49\n"));
    EXPECT_EQ(std::string::npos, strText.find("line 0\n"));
    log.Add("two\nlines");
    EXPECT_NE(std::string::npos, log.Text().find("two lines\n"));
}

// Random messages and control lines: every answer is well formed, nothing
// is read or written outside a buffer (the sanitizers watch), and the bus
// still works afterwards.
TEST_F(Bus, RandomInputNeverBreaksTheBus)
{
    std::string strPath = PathOf(bus.Control("plug t1 report=10"));
    std::uint32_t dwSeed = 12345;
    auto Next = [&dwSeed]() {
        dwSeed = dwSeed * 1103515245u + 12345u;
        return dwSeed >> 8;
    };
    std::unique_ptr<EmuBus::Session> session = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*session, emu::OP_OPEN, strPath));
    for (int i = 0; i < 20000; ++i) {
        Bytes message(Next() % 24);
        for (std::uint8_t &b : message)
            b = static_cast<std::uint8_t>(Next() % 4 == 0 ? Next() : Next() % 8);
        if (!message.empty() && message[0] == emu::OP_CLOSE)
            message[0] = emu::OP_GET_FEATURE;
        Bytes answer = session->Handle(message.data(), message.size());
        ASSERT_FALSE(answer.empty());
        ASSERT_TRUE(answer[0] == emu::STATUS_OK || (answer[0] == emu::STATUS_FAILED && answer.size() == 5));
    }
    static const char *const kWords[] = {"plug", "unplug", "fault", "t1", "t2", "busy", "dfield",
                                         "length", "byte1", "clear", "report=10", "7", "forever",
                                         "product=", "list", "log", "x", "65535", "0"};
    for (int i = 0; i < 3000; ++i) {
        std::string strLine;
        for (std::uint32_t n = Next() % 6; n > 0; --n)
            strLine += std::string(kWords[Next() % (sizeof(kWords) / sizeof(kWords[0]))]) + " ";
        std::string strAnswer = bus.Control(strLine);
        ASSERT_TRUE(IsOk(strAnswer) || IsErr(strAnswer)) << strLine;
    }
    bus.Control("plug t1 report=65 busy=1");
    bus.Control("fault t1 clear");
    std::unique_ptr<EmuBus::Session> fresh = bus.NewSession();
    ASSERT_EQ(Bytes{emu::STATUS_OK}, Call(*fresh, emu::OP_OPEN, strPath));
    EXPECT_EQ((Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00}), Exchange(*fresh, kSelectMf, 65));
}

// Several sessions on their own threads exchange with two tokens while the
// control channel plugs, unplugs and injects faults: no crash, no race the
// sanitizers see, and every exchange either answers correctly or fails.
TEST_F(Bus, ManySessionsOnManyThreads)
{
    std::string strPath1 = PathOf(bus.Control("plug t1"));
    std::string strPath2 = PathOf(bus.Control("plug t2 report=33"));
    std::atomic<bool> bStop(false);
    std::atomic<int> nGood(0), nBad(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            const std::string &strPath = (t % 2) ? strPath2 : strPath1;
            const std::uint32_t dwR = (t % 2) ? 33 : 65;
            while (!bStop) {
                std::unique_ptr<EmuBus::Session> session = bus.NewSession();
                List(*session);
                if (Call(*session, emu::OP_OPEN, strPath) != Bytes{emu::STATUS_OK})
                    continue;
                for (int i = 0; i < 5; ++i) {
                    Bytes answer = Exchange(*session, kSelectMf, dwR);
                    if (answer == Bytes{0xA1, 0x00, 0x03, 0x90, 0x00, 0x00})
                        ++nGood;
                    else
                        ++nBad;
                }
                Call(*session, emu::OP_CLOSE);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        bus.Control(i % 2 ? "unplug t1" : "plug t1");
        bus.Control("fault t2 busy 3");
        bus.Control("list");
        if (i % 50 == 0)
            bus.Control("log clear");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bus.Control("plug t1");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bStop = true;
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_GT(nGood.load(), 0);
}

}  // namespace
