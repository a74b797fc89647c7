// EmuCard.h
//
// IEmuCard: the card behind a virtual HID token. The HID device (EmuHidDevice)
// unwraps each APDU exchange from its feature reports and hands the APDU to
// the card; the card answers with its response data followed by SW1 SW2.
// The first card is EmuSelectOnlyCard; a full card operating system replaces
// it behind this same interface. A card belongs to a token id, not to one
// plugging of it, so its state survives unplug and re-plug.
//
// Calls into one card are serialised by the bus (one at a time per token), so
// a card needs no lock of its own for its state.
//
// A command that needs the holder at the keypad (PIN entry) may not be done
// when ProcessApdu returns: the card then says AnswerPending(), and the
// device answers the host's polls with busy reports, asking PollAnswer at
// each poll until the answer is ready. Nothing blocks while the holder
// types, so a holder who never finishes holds up no lock. Windows-free.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

class EmuKeypadUser;

class IEmuCard {
public:
    virtual ~IEmuCard() {}

    // One command APDU (CLA INS P1 P2 [Lc data] [Le], 1 to 253 bytes) in,
    // response data followed by SW1 SW2 out (at least the two status bytes).
    virtual std::vector<std::uint8_t> ProcessApdu(const std::vector<std::uint8_t> &apdu) = 0;
    // The command as the bus log may show it: a card whose commands carry
    // secrets (PINs, key material) cuts them away here.
    virtual std::vector<std::uint8_t> LogForm(const std::vector<std::uint8_t> &apdu) const
    {
        return apdu;
    }

    // The answer to the command as the bus log may show it (a card cuts
    // away what the holder typed).
    virtual std::vector<std::uint8_t> LogAnswer(const std::vector<std::uint8_t> &apdu,
                                                const std::vector<std::uint8_t> &response) const
    {
        (void)apdu;
        return response;
    }

    // True after ProcessApdu (or PollAnswer) left the command unfinished;
    // ProcessApdu's answer is then empty and means nothing.
    virtual bool AnswerPending() const { return false; }
    // One host poll while the answer is pending: true with the answer
    // (data, SW1 SW2) once it is ready, false while it is not.
    virtual bool PollAnswer(std::vector<std::uint8_t> &response)
    {
        (void)response;
        return false;
    }
    // The host gave up on the pending command (a new request, or the token
    // was pulled): the card drops it without answering.
    virtual void DropPending() {}
    // The scripted holder of this token (the bus makes one with the card); a
    // card without a keypad ignores it.
    virtual void AttachKeypadUser(std::shared_ptr<EmuKeypadUser> pUser) { (void)pUser; }

    // The token was plugged in again: the card powers up.
    virtual void PowerOn() {}
    // A "screen <id> ..." control command (the words after the id); the
    // answer text, "OK..." or "ERR ...".
    virtual std::string ScreenControl(const std::vector<std::string> &words)
    {
        (void)words;
        return "ERR this token has no screen";
    }
    // The text the token's screen shows (UTF-8, four rows separated by
    // '\n'); empty for a card without screen.
    virtual std::string ScreenText() { return std::string(); }
};

}  // namespace emu
