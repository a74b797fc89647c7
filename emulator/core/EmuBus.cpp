// EmuBus.cpp
#include "EmuBus.h"

#include <algorithm>
#include <cstdio>

#include "EmuPipeProtocol.h"
#include "EmuSelectOnlyCard.h"

namespace emu {

namespace {

const std::size_t kMaxIdLength = 64;
const std::size_t kMaxProductChars = 126;  // a USB string descriptor's limit
const std::size_t kMaxPathLength = 1024;
const std::uint32_t kMaxFaultCount = 1000000000;
// Ids ever plugged; keeps a LIST answer far inside one data message.
const std::size_t kMaxSlots = 256;

std::string Hex8(std::uint32_t dw)
{
    char sz[9];
    std::snprintf(sz, sizeof(sz), "%08x", static_cast<unsigned>(dw));
    return sz;
}

std::string Hex4(std::uint32_t dw)
{
    char sz[5];
    std::snprintf(sz, sizeof(sz), "%04x", static_cast<unsigned>(dw & 0xFFFF));
    return sz;
}

// Words of a control line, with the offset of each in the line.
void SplitWords(const std::string &strLine, std::vector<std::string> &words,
                std::vector<std::size_t> &offsets)
{
    std::size_t i = 0;
    while (i < strLine.size()) {
        while (i < strLine.size() && (strLine[i] == ' ' || strLine[i] == '\t'))
            ++i;
        if (i >= strLine.size())
            break;
        const std::size_t nStart = i;
        while (i < strLine.size() && strLine[i] != ' ' && strLine[i] != '\t')
            ++i;
        words.push_back(strLine.substr(nStart, i - nStart));
        offsets.push_back(nStart);
    }
}

bool ValidId(const std::string &strId)
{
    if (strId.empty() || strId.size() > kMaxIdLength)
        return false;
    for (char c : strId) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F)
            return false;
    }
    return true;
}

std::string Err(const std::string &strWhy) { return "ERR " + strWhy; }

void PutU16(std::vector<std::uint8_t> &out, std::uint32_t dw)
{
    out.push_back(static_cast<std::uint8_t>(dw));
    out.push_back(static_cast<std::uint8_t>(dw >> 8));
}

std::vector<std::uint8_t> Ok() { return {STATUS_OK}; }

std::vector<std::uint8_t> Fail(std::uint32_t dwError)
{
    return {STATUS_FAILED, static_cast<std::uint8_t>(dwError),
            static_cast<std::uint8_t>(dwError >> 8), static_cast<std::uint8_t>(dwError >> 16),
            static_cast<std::uint8_t>(dwError >> 24)};
}

std::vector<std::uint8_t> Result(std::uint32_t dwError)
{
    return dwError == 0 ? Ok() : Fail(dwError);
}

}  // namespace

EmuBus::EmuBus(std::uint32_t dwInstance, std::uint32_t dwDefaultReport,
               EmuCardFactory cardFactory)
    : m_dwInstance(dwInstance),
      m_dwDefaultReport(std::min(std::max(dwDefaultReport, kMinReportLength), kMaxReportLength)),
      m_cardFactory(std::move(cardFactory)),
      m_bQuit(false),
      m_dwNextSession(1),
      m_nNextIndex(0)
{
    if (!m_cardFactory)
        m_cardFactory = [](const std::string &, bool) {
            return std::make_shared<EmuSelectOnlyCard>();
        };
}

EmuBus::~EmuBus() {}

std::string EmuBus::InstanceTag() const { return Hex8(m_dwInstance); }

std::string EmuBus::MakePath(std::uint16_t wVid, std::uint16_t wPid, unsigned nIndex) const
{
    char szIndex[16];
    std::snprintf(szIndex, sizeof(szIndex), "%04u", nIndex % 10000);
    return std::string("\\\\?\\hid#vid_") + Hex4(wVid) + "&pid_" + Hex4(wPid) + "#7&" +
           InstanceTag() + "&0&" + szIndex + "#" + kHidClassGuid;
}

std::u16string EmuBus::TokenProduct(const std::string &strId) const
{
    bool bPlain = strId.size() <= 8;
    for (char c : strId) {
        const bool bAlnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bPlain = bPlain && bAlnum;
    }
    std::string strTail;
    if (bPlain) {
        strTail = std::string(8 - strId.size(), '0') + ToUpperAscii(strId);
    } else {
        std::uint32_t dwHash = 2166136261u;
        for (char c : strId) {
            dwHash ^= static_cast<unsigned char>(c);
            dwHash *= 16777619u;
        }
        strTail = ToUpperAscii(Hex8(dwHash));
    }
    return Utf8ToUtf16("KAVRU USB KEY_V0100_ID" + ToUpperAscii(InstanceTag()) + strTail);
}

std::string EmuBus::Control(const std::string &strRequest)
{
    std::string strLine = strRequest;
    while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r' ||
                                strLine.back() == '\0'))
        strLine.pop_back();
    std::vector<std::string> words;
    std::vector<std::size_t> offsets;
    SplitWords(strLine, words, offsets);
    if (words.empty())
        return Err("empty command");
    const std::string &strCommand = words[0];
    if (strCommand == "list" && words.size() == 1)
        return ControlList();
    if (strCommand == "plug") {
        // product= takes the rest of the line, spaces and all.
        for (std::size_t i = 2; i < words.size(); ++i) {
            if (words[i].compare(0, 8, "product=") == 0) {
                std::vector<std::string> head(words.begin(), words.begin() + i);
                return ControlPlug(head, strLine.substr(offsets[i] + 8), true);
            }
        }
        return ControlPlug(words, std::string(), false);
    }
    if (strCommand == "unplug")
        return ControlUnplug(words);
    if (strCommand == "fault")
        return ControlFault(words);
    if (strCommand == "log")
        return ControlLog(words);
    if (strCommand == "user") {
        // "press <key> when <text>": the text is the rest of the line, spaces
        // and all, as one word.
        if (words.size() > 5 && words[2] == "press" && words[4] == "when") {
            words.resize(6);
            words[5] = strLine.substr(offsets[5]);
        }
        return ControlUser(words);
    }
    if (strCommand == "screen")
        return ControlScreen(words);
    if (strCommand == "quit" && words.size() == 1) {
        m_log.Add("bus QUIT");
        m_bQuit = true;
        return "OK";
    }
    return Err("unknown command: " + strLine);
}

std::string EmuBus::ControlList()
{
    std::string strAnswer = "OK\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SlotMap::value_type &entry : m_slots) {
        Slot &slot = *entry.second;
        std::lock_guard<std::mutex> slotLock(slot.mutex);
        const bool bPlugged = slot.pDevice && slot.pDevice->Plugged();
        strAnswer += slot.strId + " " + slot.strPath + " " +
                     std::to_string(slot.settings.dwReportLength) + " " +
                     (bPlugged ? "plugged" : "unplugged") + "\n";
    }
    return strAnswer;
}

std::string EmuBus::ControlPlug(const std::vector<std::string> &words,
                                const std::string &strProduct, bool bProduct)
{
    if (words.size() < 2 || !ValidId(words[1]))
        return Err(
            "usage: plug <id> [report=R] [vid=V] [pid=P] [busy=N] [card=K] [product=TEXT]");
    const std::string &strId = words[1];
    bool bReport = false, bVid = false, bPid = false, bBusy = false, bCard = false;
    bool bBlank = false;
    std::uint32_t dwReport = 0, dwVid = 0, dwPid = 0, dwBusy = 0;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string &w = words[i];
        const std::size_t nEq = w.find('=');
        const std::string strKey = w.substr(0, nEq);
        const std::string strValue = nEq == std::string::npos ? std::string() : w.substr(nEq + 1);
        if (strKey == "report" && ParseDecimal(strValue, kMaxReportLength, dwReport) &&
            dwReport >= kMinReportLength)
            bReport = true;
        else if (strKey == "vid" && ParseHex(strValue, 0xFFFF, dwVid))
            bVid = true;
        else if (strKey == "pid" && ParseHex(strValue, 0xFFFF, dwPid))
            bPid = true;
        else if (strKey == "busy" && ParseDecimal(strValue, kMaxFaultCount, dwBusy))
            bBusy = true;
        else if (strKey == "card" && (strValue == "issued" || strValue == "blank")) {
            bCard = true;
            bBlank = strValue == "blank";
        }
        else
            return Err("bad plug option: " + w);
    }
    std::u16string strProduct16;
    if (bProduct) {
        strProduct16 = Utf8ToUtf16(strProduct);
        if (strProduct16.size() > kMaxProductChars)
            return Err("product string longer than " + std::to_string(kMaxProductChars));
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_slots.size() >= kMaxSlots && m_slots.find(strId) == m_slots.end())
        return Err("too many devices (" + std::to_string(kMaxSlots) + ")");
    std::shared_ptr<Slot> &pSlot = m_slots[strId];
    if (!pSlot) {
        pSlot = std::make_shared<Slot>();
        pSlot->strId = strId;
        pSlot->nIndex = m_nNextIndex++;
        pSlot->settings.dwReportLength = m_dwDefaultReport;
    }
    Slot &slot = *pSlot;
    std::lock_guard<std::mutex> slotLock(slot.mutex);
    if (bCard && slot.pCard)
        return Err(strId + " has its card already");
    if (slot.pDevice && slot.pDevice->Plugged()) {
        slot.pDevice->Unplug();
        m_log.Add(strId + " UNPLUG (re-plug)");
    }
    // A card plugged in again powers up (a new card has just done so).
    if (slot.pCard)
        slot.pCard->PowerOn();
    if (bReport)
        slot.settings.dwReportLength = dwReport;
    if (bVid)
        slot.settings.wVendorId = static_cast<std::uint16_t>(dwVid);
    if (bPid)
        slot.settings.wProductId = static_cast<std::uint16_t>(dwPid);
    if (bBusy)
        slot.settings.dwBusyReports = dwBusy;
    if (bProduct) {
        slot.bProductOverride = true;
        slot.strProductOverride = strProduct16;
    }
    const bool bToken = slot.settings.wVendorId == kTokenVendorId &&
                        slot.settings.wProductId == kTokenProductId;
    if (slot.bProductOverride)
        slot.settings.strProduct = slot.strProductOverride;
    else if (bToken)
        slot.settings.strProduct = TokenProduct(strId);
    else
        slot.settings.strProduct = Utf8ToUtf16("HID device VID_" +
                                               ToUpperAscii(Hex4(slot.settings.wVendorId)) +
                                               " PID_" +
                                               ToUpperAscii(Hex4(slot.settings.wProductId)));
    if (bToken && !slot.pCard) {
        slot.pCard = m_cardFactory(strId, bBlank);
        slot.pUser = std::make_shared<EmuKeypadUser>(strId, &m_log);
        // "press ... when <text>" reads the token's own screen.
        slot.pUser->SetScreenText(ScreenTextOf(slot.pCard));
        slot.pCard->AttachKeypadUser(slot.pUser);
    }
    slot.strPath = MakePath(slot.settings.wVendorId, slot.settings.wProductId, slot.nIndex);
    slot.pDevice = std::make_shared<EmuHidDevice>(
        strId, slot.settings, bToken ? slot.pCard : std::shared_ptr<IEmuCard>(), &m_log);
    m_log.Add(strId + " PLUG " + slot.strPath + " report " +
              std::to_string(slot.settings.dwReportLength) +
              (bToken ? " token" : " not a token"));
    return "OK " + slot.strPath;
}

EmuBus::LockedSlot EmuBus::LockSlot(const std::string &strId)
{
    LockedSlot locked;
    locked.busLock = std::unique_lock<std::mutex>(m_mutex);
    SlotMap::iterator it = m_slots.find(strId);
    if (it == m_slots.end())
        return locked;
    locked.pSlot = it->second.get();
    locked.slotLock = std::unique_lock<std::mutex>(locked.pSlot->mutex);
    return locked;
}

std::string EmuBus::ControlUnplug(const std::vector<std::string> &words)
{
    if (words.size() != 2)
        return Err("usage: unplug <id>");
    LockedSlot locked = LockSlot(words[1]);
    if (!locked.pSlot)
        return Err("no device " + words[1]);
    Slot &slot = *locked.pSlot;
    if (!slot.pDevice || !slot.pDevice->Plugged())
        return Err(words[1] + " is not plugged");
    slot.pDevice->Unplug();
    m_log.Add(words[1] + " UNPLUG");
    return "OK";
}

std::string EmuBus::ControlFault(const std::vector<std::string> &words)
{
    static const char kUsage[] =
        "usage: fault <id> setfeature <n> | getfeature <n> | busy <n|forever> | dfield <value> "
        "| length <n> | byte1 <value> | refuse <INS> <n> <SW> | clear";
    if (words.size() < 3)
        return Err(kUsage);
    LockedSlot locked = LockSlot(words[1]);
    if (!locked.pSlot)
        return Err("no device " + words[1]);
    Slot &slot = *locked.pSlot;
    if (!slot.pDevice || !slot.pDevice->Plugged())
        return Err(words[1] + " is not plugged");
    EmuHidDevice &device = *slot.pDevice;
    const std::string &strKind = words[2];
    const std::string strArg = words.size() == 4 ? words[3] : std::string();
    std::uint32_t dwValue = 0;
    bool bDone = false;
    std::uint32_t dwIns = 0, dwNth = 0, dwSw = 0;
    if (strKind == "clear" && words.size() == 3) {
        device.ClearFaults();
        bDone = true;
    } else if (strKind == "refuse" && words.size() == 6 && ParseHex(words[3], 0xFF, dwIns) &&
               ParseDecimal(words[4], kMaxFaultCount, dwNth) && dwNth > 0 &&
               ParseHex(words[5], 0xFFFF, dwSw)) {
        device.RefuseCommand(static_cast<std::uint8_t>(dwIns), dwNth,
                             static_cast<std::uint16_t>(dwSw));
        m_log.Add(words[1] + " FAULT set refuse " + words[3] + " " + words[4] + " " + words[5]);
        return "OK";
    } else if (words.size() != 4) {
        return Err(kUsage);
    } else if (strKind == "setfeature" && ParseDecimal(strArg, kMaxFaultCount, dwValue)) {
        device.FailSetFeatures(dwValue);
        bDone = true;
    } else if (strKind == "getfeature" && ParseDecimal(strArg, kMaxFaultCount, dwValue)) {
        device.FailGetFeatures(dwValue);
        bDone = true;
    } else if (strKind == "busy" && strArg == "forever") {
        device.BusyForever();
        bDone = true;
    } else if (strKind == "busy" && ParseDecimal(strArg, kMaxFaultCount, dwValue)) {
        device.BusyNextAnswer(dwValue);
        bDone = true;
    } else if (strKind == "dfield" && ParseDecimal(strArg, 0xFFFF, dwValue)) {
        device.ForceLengthField(static_cast<std::uint16_t>(dwValue));
        bDone = true;
    } else if (strKind == "length" && ParseDecimal(strArg, kMaxForcedAnswerLength, dwValue)) {
        device.ForceAnswerLength(dwValue);
        bDone = true;
    } else if (strKind == "byte1" && ParseDecimal(strArg, 0xFF, dwValue)) {
        device.ForceByte1(static_cast<std::uint8_t>(dwValue));
        bDone = true;
    }
    if (!bDone)
        return Err(kUsage);
    m_log.Add(words[1] + " FAULT set " + strKind + (strArg.empty() ? "" : " " + strArg));
    return "OK";
}

std::string EmuBus::ControlLog(const std::vector<std::string> &words)
{
    if (words.size() == 1)
        return "OK\n" + m_log.Text();
    if (words.size() == 2 && words[1] == "clear") {
        m_log.Clear();
        return "OK";
    }
    return Err("usage: log | log clear");
}

std::string EmuBus::ControlUser(const std::vector<std::string> &words)
{
    if (words.size() < 2)
        return Err("usage: user <id> [pin <PIN> | change <old> <new> | cancel | never | clear | "
                   "press <key> [when <text>] | type <chars>]");
    LockedSlot locked = LockSlot(words[1]);
    if (!locked.pSlot)
        return Err("no device " + words[1]);
    Slot &slot = *locked.pSlot;
    // The holder belongs to the token, plugged or not: a script may be set
    // up before the token is plugged back in.
    if (!slot.pUser)
        return Err(words[1] + " is not a token");
    if (words.size() == 2)
        return "OK\n" + slot.pUser->Report();
    std::string strError;
    if (!slot.pUser->Command(std::vector<std::string>(words.begin() + 2, words.end()), strError))
        return Err(strError);
    return "OK";
}

std::string EmuBus::ControlScreen(const std::vector<std::string> &words)
{
    if (words.size() < 2)
        return Err("usage: screen <id> [text | png <path> [n] [scale=S] | history [clear]]");
    LockedSlot locked = LockSlot(words[1]);
    if (!locked.pSlot)
        return Err("no device " + words[1]);
    Slot &slot = *locked.pSlot;
    if (!slot.pCard)
        return Err(words[1] + " is not a token");
    return slot.pCard->ScreenControl(std::vector<std::string>(words.begin() + 2, words.end()));
}

std::function<std::string()> EmuBus::ScreenTextOf(const std::shared_ptr<IEmuCard> &pCard)
{
    // Weak: the holder that keeps this belongs to the card.
    std::weak_ptr<IEmuCard> pWeak = pCard;
    return [pWeak]() {
        std::shared_ptr<IEmuCard> p = pWeak.lock();
        return p ? p->ScreenText() : std::string();
    };
}

bool EmuBus::FindPlugged(const std::string &strPath, std::shared_ptr<Slot> &pSlot,
                         std::shared_ptr<EmuHidDevice> &pDevice)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SlotMap::value_type &entry : m_slots) {
        Slot &slot = *entry.second;
        std::lock_guard<std::mutex> slotLock(slot.mutex);
        if (slot.pDevice && slot.pDevice->Plugged() && EqualNoCase(slot.strPath, strPath)) {
            pSlot = entry.second;
            pDevice = slot.pDevice;
            return true;
        }
    }
    return false;
}

std::vector<std::string> EmuBus::PluggedPaths()
{
    std::vector<std::string> paths;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (SlotMap::value_type &entry : m_slots) {
        Slot &slot = *entry.second;
        std::lock_guard<std::mutex> slotLock(slot.mutex);
        if (slot.pDevice && slot.pDevice->Plugged())
            paths.push_back(slot.strPath);
    }
    return paths;
}

std::unique_ptr<EmuBus::Session> EmuBus::NewSession(std::uint32_t dwClientPid)
{
    return std::unique_ptr<Session>(new Session(*this, m_dwNextSession++, dwClientPid));
}

// ---------------------------------------------------------------------------
// Data-pipe sessions

EmuBus::Session::Session(EmuBus &bus, std::uint32_t dwNumber, std::uint32_t dwClientPid)
    : m_bus(bus), m_dwNumber(dwNumber), m_dwClientPid(dwClientPid)
{
}

EmuBus::Session::~Session()
{
    if (m_pDevice)
        Close("connection ended");
}

void EmuBus::Session::LogEvent(const std::string &strEvent, const std::string &strAfter)
{
    m_bus.m_log.Add(m_pDevice->Id() + " " + strEvent + " session " + std::to_string(m_dwNumber) +
                    strAfter);
}

std::vector<std::uint8_t> EmuBus::Session::Open(const std::uint8_t *pbPath, std::size_t n)
{
    if (m_pDevice)
        return Fail(kErrorInvalidFunction);
    if (n == 0 || n > kMaxPathLength)
        return Fail(kErrorFileNotFound);
    std::string strPath(reinterpret_cast<const char *>(pbPath), n);
    if (!m_bus.FindPlugged(strPath, m_pSlot, m_pDevice))
        return Fail(kErrorFileNotFound);
    LogEvent("OPEN", m_dwClientPid != 0 ? " pid " + std::to_string(m_dwClientPid) : "");
    return Ok();
}

std::vector<std::uint8_t> EmuBus::Session::Close(const char *pszWhy)
{
    if (!m_pDevice)
        return Fail(kErrorInvalidHandle);
    LogEvent(std::string("CLOSE") + (pszWhy != nullptr ? std::string(" (") + pszWhy + ")" : ""));
    m_pDevice.reset();
    m_pSlot.reset();
    return Ok();
}

std::vector<std::uint8_t> EmuBus::Session::Handle(const std::uint8_t *pbRequest, std::size_t n)
{
    if (pbRequest == nullptr || n == 0)
        return Fail(kErrorInvalidParameter);
    const std::uint8_t bOp = pbRequest[0];
    const std::uint8_t *pbPayload = pbRequest + 1;
    const std::size_t nPayload = n - 1;

    switch (bOp) {
    case OP_LIST: {
        std::vector<std::string> paths = m_bus.PluggedPaths();
        std::vector<std::uint8_t> answer = Ok();
        PutU16(answer, static_cast<std::uint32_t>(paths.size()));
        for (const std::string &strPath : paths) {
            PutU16(answer, static_cast<std::uint32_t>(strPath.size()));
            answer.insert(answer.end(), strPath.begin(), strPath.end());
        }
        return answer;
    }
    case OP_OPEN:
        return Open(pbPayload, nPayload);
    case OP_CLOSE:
        return Close(nullptr);
    case OP_CAPS:
    case OP_SET_FEATURE:
    case OP_GET_FEATURE:
    case OP_PRODUCT:
        break;
    default:
        return Fail(kErrorInvalidFunction);
    }

    if (!m_pDevice)
        return Fail(kErrorInvalidHandle);
    std::lock_guard<std::mutex> slotLock(m_pSlot->mutex);
    EmuHidDevice &device = *m_pDevice;
    if (bOp == OP_CAPS) {
        std::uint32_t dwReport = 0;
        std::uint32_t dwError = device.Caps(dwReport);
        if (dwError != 0)
            return Fail(dwError);
        std::vector<std::uint8_t> answer = Ok();
        PutU16(answer, dwReport);
        return answer;
    }
    if (bOp == OP_SET_FEATURE)
        return Result(device.SetFeature(pbPayload, nPayload, m_dwNumber));
    if (bOp == OP_GET_FEATURE) {
        std::vector<std::uint8_t> report;
        std::uint32_t dwError = device.GetFeature(pbPayload, nPayload, report);
        if (dwError != 0)
            return Fail(dwError);
        std::vector<std::uint8_t> answer = Ok();
        answer.insert(answer.end(), report.begin(), report.end());
        return answer;
    }
    // OP_PRODUCT
    if (nPayload != 4)
        return Fail(kErrorInvalidParameter);
    const std::uint32_t dwBuffer = static_cast<std::uint32_t>(pbPayload[0]) |
                                   (static_cast<std::uint32_t>(pbPayload[1]) << 8) |
                                   (static_cast<std::uint32_t>(pbPayload[2]) << 16) |
                                   (static_cast<std::uint32_t>(pbPayload[3]) << 24);
    std::u16string strProduct;
    std::uint32_t dwError = device.ProductString(dwBuffer, strProduct);
    if (dwError != 0)
        return Fail(dwError);
    std::vector<std::uint8_t> answer = Ok();
    for (char16_t c : strProduct)
        PutU16(answer, c);
    return answer;
}

}  // namespace emu
