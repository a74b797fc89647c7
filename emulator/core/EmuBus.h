// EmuBus.h
//
// EmuBus: the emulator's virtual HID bus without its pipes. It keeps the
// devices by id (a slot per id: settings, device path, the card, and the
// current plugging of the device), answers the control commands, and serves
// data-pipe sessions (EmuBus::Session, one per pipe connection) whose
// requests and answers are the byte messages of EmuPipeProtocol.h. The
// server only moves messages between pipes and this class, so the whole
// protocol is tested natively under the sanitizers.
//
// Device paths have the form Windows reports for HID interfaces:
//   \\?\hid#vid_0925&pid_1234#7&<instance>&0&<index>#{4d1e55b2-...}
// with the 8 hex digits of the emulator instance and the slot's 4-digit
// index (slots are numbered in the order their ids were first plugged), in
// lower case. A token's product string is "KAVRU USB KEY_V0100_ID" and a
// 16-character label: the instance in upper-case hex, then the id in upper
// case, left-padded with '0' to 8 characters when it is 1 to 8 letters and
// digits, else the FNV-1a hash of the id in hex ("t1" in instance 1a2b3c4d
// gives 1A2B3C4D000000T1).
//
// At most 256 ids can be plugged in one emulator's life.
//
// Locking: the bus lock guards the slot registry; each slot's lock guards
// its device and card (so one token's slow card does not hold up another);
// the log's lock comes last. Order: bus, then slot, then log.
// Windows-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EmuCard.h"
#include "EmuHidDevice.h"
#include "EmuKeypadUser.h"
#include "EmuLog.h"
#include "EmuText.h"

namespace emu {

// Makes the card of a token id when the id is first plugged as a token;
// bBlank asks for a token without file system instead of an issued one.
typedef std::function<std::shared_ptr<IEmuCard>(const std::string &strId, bool bBlank)>
    EmuCardFactory;

class EmuBus {
public:
    // dwInstance: the 8 hex digits of the device paths. dwDefaultReport: R
    // of devices plugged without report= (clamped to 10..4096). An empty
    // factory gives every token an EmuSelectOnlyCard.
    EmuBus(std::uint32_t dwInstance, std::uint32_t dwDefaultReport = kDefaultReportLength,
           EmuCardFactory cardFactory = EmuCardFactory());
    ~EmuBus();
    EmuBus(const EmuBus &) = delete;
    EmuBus &operator=(const EmuBus &) = delete;

    // One control request line in, the answer text out ("OK..."/"ERR ...").
    std::string Control(const std::string &strLine);
    // True once "quit" was answered.
    bool QuitRequested() const { return m_bQuit; }
    EmuLog &Log() { return m_log; }
    // The instance as it stands in device paths ("1a2b3c4d").
    std::string InstanceTag() const;
    // The decoded text on a card's screen, for the token's keypad holder
    // (EmuKeypadUser::SetScreenText). It holds the card weakly and takes no
    // lock: call it only under the token's slot lock, as the holder is.
    static std::function<std::string()> ScreenTextOf(const std::shared_ptr<IEmuCard> &pCard);

    class Session;
    // A new data-pipe session (one pipe connection); dwClientPid is the
    // client's process id when known (0: not known), shown in its OPEN line.
    std::unique_ptr<Session> NewSession(std::uint32_t dwClientPid = 0);

private:
    struct Slot {
        std::string strId;
        unsigned nIndex = 0;
        std::string strPath;
        EmuDeviceSettings settings;
        bool bProductOverride = false;
        std::u16string strProductOverride;
        // The token's scripted holder, made with its card ("user" commands).
        std::shared_ptr<EmuKeypadUser> pUser;
        std::shared_ptr<IEmuCard> pCard;
        // The current plugging (null before the first); unplugged stays here
        // until the next plug replaces it.
        std::shared_ptr<EmuHidDevice> pDevice;
        std::mutex mutex;
    };
    struct NaturalOrder {
        bool operator()(const std::string &a, const std::string &b) const
        {
            return NaturalLess(a, b);
        }
    };
    typedef std::map<std::string, std::shared_ptr<Slot>, NaturalOrder> SlotMap;
    // The bus lock and, when the id has a slot, that slot and its lock, in
    // the locking order (the slot's lock is let go first).
    struct LockedSlot {
        std::unique_lock<std::mutex> busLock;
        Slot *pSlot = nullptr;
        std::unique_lock<std::mutex> slotLock;
    };
    LockedSlot LockSlot(const std::string &strId);

    std::string ControlList();
    std::string ControlPlug(const std::vector<std::string> &words, const std::string &strProduct,
                            bool bProduct);
    std::string ControlUnplug(const std::vector<std::string> &words);
    std::string ControlFault(const std::vector<std::string> &words);
    std::string ControlLog(const std::vector<std::string> &words);
    std::string ControlUser(const std::vector<std::string> &words);
    std::string ControlScreen(const std::vector<std::string> &words);

    std::string MakePath(std::uint16_t wVid, std::uint16_t wPid, unsigned nIndex) const;
    std::u16string TokenProduct(const std::string &strId) const;

    // The plugged device whose path equals strPath (ignoring case).
    bool FindPlugged(const std::string &strPath, std::shared_ptr<Slot> &pSlot,
                     std::shared_ptr<EmuHidDevice> &pDevice);
    // Paths of the plugged devices in bus order.
    std::vector<std::string> PluggedPaths();

    const std::uint32_t m_dwInstance;
    const std::uint32_t m_dwDefaultReport;
    EmuCardFactory m_cardFactory;
    EmuLog m_log;
    std::atomic<bool> m_bQuit;
    std::atomic<std::uint32_t> m_dwNextSession;

    std::mutex m_mutex;
    SlotMap m_slots;
    unsigned m_nNextIndex;

    friend class Session;
};

// One data-pipe connection: an enumeration session (LIST) or one opened
// device. Used by one thread at a time (the connection's thread).
class EmuBus::Session {
public:
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // One request message in, its answer message out.
    std::vector<std::uint8_t> Handle(const std::uint8_t *pbRequest, std::size_t n);

private:
    friend class EmuBus;
    Session(EmuBus &bus, std::uint32_t dwNumber, std::uint32_t dwClientPid);

    std::vector<std::uint8_t> Open(const std::uint8_t *pbPath, std::size_t n);
    std::vector<std::uint8_t> Close(const char *pszWhy);
    void LogEvent(const std::string &strEvent, const std::string &strAfter = std::string());

    EmuBus &m_bus;
    const std::uint32_t m_dwNumber;
    const std::uint32_t m_dwClientPid;
    std::shared_ptr<Slot> m_pSlot;
    std::shared_ptr<EmuHidDevice> m_pDevice;
};

}  // namespace emu
