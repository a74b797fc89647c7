// EmuPipeProtocol.h
//
// The token emulator's two named pipes, shared by the emulator (server) and
// its clients (the HID port binding, the control client, the tests).
// Windows-free: only names and byte layouts.
//
// Pipe names, from a base name B (default "KQTokenEmu"; clients read it from
// the environment variable KQTOKENEMU_PIPE, the emulator from --pipe):
//   data pipe     \\.\pipe\B           the virtual HID bus
//   control pipe  \\.\pipe\B.control   plug, unplug, faults, keypad user, log
//
// Both pipes are message pipes (PIPE_TYPE_MESSAGE, read mode message): every
// request is one message and gets exactly one answer message.
//
// Data pipe. One pipe connection is one client session: either an
// enumeration session (LIST only) or one opened device (OPEN first, then the
// device operations on that device). A request is [op][payload]; an answer is
// [status][payload]. Status 0 is success; status 1 is failure, and its payload
// is the Win32 error code (4 bytes, little-endian) the port binding sets as
// the last error. Integers in payloads are little-endian.
//
//   op  name         request payload            answer payload on success
//   01  LIST         -                          count u16, then per device:
//                                               path length u16, path bytes
//   02  OPEN         device path bytes          -
//   03  CAPS         -                          FeatureReportByteLength u16
//   04  SET_FEATURE  report bytes (R bytes)     -
//   05  GET_FEATURE  report bytes (R bytes;     report bytes (R bytes)
//                    byte 0 is the report id)
//   06  PRODUCT      buffer length u32          product string, UTF-16LE,
//                                               without terminator
//   07  CLOSE        -                          -
//
// LIST lists every plugged device (tokens and other HID devices alike), in
// bus order: by device id, compared naturally ("t2" before "t10"), the same
// order as the control command "list". Any session may LIST. A second OPEN on
// a session fails with ERROR_INVALID_FUNCTION; device operations before OPEN
// (or after CLOSE) fail with ERROR_INVALID_HANDLE; an unknown op fails with
// ERROR_INVALID_FUNCTION. SET_FEATURE and GET_FEATURE take exactly R bytes
// (else ERROR_INVALID_PARAMETER); a device that is not a token (vid/pid other
// than 0925/1234) has no feature report 3 and fails them with
// ERROR_INVALID_FUNCTION. PRODUCT answers at most (buffer length / 2)
// characters. How the device side treats malformed reports: EmuHidDevice.h.
// Device operations fail with ERROR_DEVICE_NOT_CONNECTED once the device is
// unplugged, and OPEN of an unknown or unplugged path fails with
// ERROR_FILE_NOT_FOUND; a session stays bound to the device it opened (a token
// plugged in again is a new device for old sessions).
//
// Control pipe: a request is one line of text, an answer is text whose first
// line starts with "OK" or "ERR". Commands (plug, unplug, faults, the keypad
// holder's script, log):
//   list                           "OK", then one line per device ever
//                                  plugged, in bus order: id path R state
//                                  (state "plugged" or "unplugged")
//   plug <id> [report=R] [vid=V] [pid=P] [busy=N] [card=K] [product=TEXT]
//                                  plug a new device or re-plug <id>;
//                                  answers "OK <device path>". R is 10 to
//                                  4096 (default --report, else 65); V and P
//                                  are hex (default 0925 and 1234: a token);
//                                  N is the number of busy reports before
//                                  every answer (default 1); TEXT runs to
//                                  the end of the line (so product= comes
//                                  last) and replaces the product string.
//                                  K is "issued" (default: the token as
//                                  the bank issues it) or "blank" (no file
//                                  system); it chooses the card an id gets
//                                  when first plugged as a token (a
//                                  persisted card is loaded instead), and
//                                  is refused once the id has its card.
//                                  Re-plug keeps the id's path, its settings
//                                  (unless given again) and its card; a
//                                  plugged id is unplugged first. Faults do
//                                  not survive a re-plug.
//   unplug <id>                    ERR when <id> is not plugged
//   fault <id> setfeature <n>      the next n SetFeature calls fail
//   fault <id> getfeature <n>      the next n GetFeature calls fail
//   fault <id> busy <n|forever>    the next answer is preceded by n busy
//                                  reports (forever: never completes)
//   fault <id> dfield <value>      the next answer's length field D is value
//   fault <id> length <n>          the next answer body is n bytes long
//                                  (cut, or padded with zeros)
//   fault <id> byte1 <value>       every report of the next answer carries
//                                  value in byte 1 (its data count)
//   fault <id> refuse <INS> <n> <SW>
//                                  the n-th next command with this INS
//                                  (hex) is answered SW (hex) and never
//                                  reaches the card
//   fault <id> clear               no more faults (a busy-forever answer
//                                  in progress comes at the next poll)
//                                  fault commands: ERR when <id> is not
//                                  plugged
//   user <id> pin <PIN>            the token's scripted holder types PIN at
//                                  the next keypad PIN request (VERIFY
//                                  without PIN bytes)
//   user <id> change <old> <new>   ... types both PINs at the next change
//                                  request (84 F4 03 0C, 00 04)
//   user <id> cancel               ... presses cancel (the card answers 6984)
//   user <id> never                ... never finishes: the host gets busy
//                                  reports until "user <id> clear" (then
//                                  6984), a new request or an unplug
//   user <id> press <key> [when <text>]
//                                  the holder presses one key during a
//                                  keypad entry (KEY IN START .. KEY IN
//                                  END): <key> is one character of the
//                                  keypad (0-9 A-Z a-z * + . #) or enter,
//                                  esc, backspace. With "when" the press
//                                  waits at the head of the queue, and
//                                  the presses behind it with it, until
//                                  the token's screen text contains
//                                  <text>: the rest of the line after
//                                  "when", spaces and all (UTF-8)
//   user <id> type <chars>         one press for each character (keypad
//                                  characters only, no spaces)
//                                  Presses are queued apart from the PIN
//                                  entries (at most 256; a command that
//                                  would pass that is refused whole). Each
//                                  poll of an entry (80 6E 02) takes
//                                  presses from the head: a key the entry
//                                  does not allow, or a character once the
//                                  entry is full, is used up and logged
//                                  ("pressed *, ignored: not allowed in
//                                  this entry" / "...: the entry is full");
//                                  the first one taken is the poll's key.
//                                  After Enter or Esc the entry takes no
//                                  more presses; they wait for the next.
//                                  Without an entry no press is taken.
//   user <id> clear                drops the queued entries and presses
//                                  and ends an open request (6984 at its
//                                  next poll)
//   user <id>                      "OK", then one line per queued entry
//                                  ("queued pin ****", "queued change ****
//                                  ******", "queued cancel", "queued
//                                  never"), the open request ("active pin:
//                                  never"), and the last 32 requests with
//                                  their outcome ("asked pin: typed pin
//                                  ****", "asked change: cancelled on the
//                                  keypad", "asked pin: cancelled, nothing
//                                  scripted", "asked pin: dropped by the
//                                  host", ...), then one line per queued
//                                  press ("queued press *", "queued press
//                                  enter when Confirm?")
//                                  Entries are queued in order (at most 64)
//                                  and one is used per request. PINs are 1
//                                  to 32 digits. Typing takes 3 polls, so a
//                                  scripted answer comes after 2 busy
//                                  reports more than the device's busy
//                                  count. With nothing queued a request is
//                                  answered 6984 at once; an entry of the
//                                  other kind (pin for a change request,
//                                  change for a PIN request) is used up and
//                                  the request answered 6984. A locked PIN
//                                  answers 6983 without using an entry. The
//                                  holder belongs to the token: the script
//                                  survives unplug and re-plug (an open
//                                  request does not). ERR when <id> was
//                                  never plugged ("no device <id>") or is
//                                  not a token, for a malformed command and
//                                  for a full script. Log lines ("<id> USER
//                                  ..."): "script <entry>", "script clear",
//                                  "asked pin" / "asked change", "typed pin
//                                  ****" / "typed change **** ****",
//                                  "cancelled on the keypad", "cancelled,
//                                  nothing scripted", "cancelled, script
//                                  entry ... does not answer a ... request",
//                                  "cancelled, script cleared", "never
//                                  finishes", "dropped pin, the host gave
//                                  up", "script press *", "script type
//                                  ****", "pressed *", "pressed enter",
//                                  "pressed *, ignored: ..."; the device
//                                  logs "WAIT answer pending on the card"
//                                  and "DROP pending answer, ...". PINs and
//                                  typed characters are never shown: one
//                                  '*' each (Enter, Esc and Backspace by
//                                  name), and the answers of the keypad
//                                  poll and of KEY IN END are logged as
//                                  their status word alone.
//   screen <id>                    "OK", then the token's screen as text
//                                  art: 64 lines of 128 characters, '#'
//                                  lit, '.' dark
//   screen <id> text               "OK", then the text the screen shows,
//                                  in UTF-8: 4 rows (text lines of 16
//                                  cells, 8 x 16 pixels) separated by
//                                  "\n", trailing spaces cut; a cell
//                                  that is an ASCII glyph (20-7E) of the
//                                  library's font reads as it, two cells
//                                  that are a GBK.dat glyph as that
//                                  character, a blank cell as a space,
//                                  anything else as '?' (the logo is a
//                                  picture, not text)
//   screen <id> png <path> [n] [scale=S]
//                                  writes the current screen, or history
//                                  entry n (0 = the oldest), as PNG: each
//                                  pixel S x S (1 to 16, default 4), lit
//                                  pixels dark on a light background;
//                                  answers "OK <path>". The path is a
//                                  Windows path without spaces.
//   screen <id> history            "OK", then one line per kept screen:
//                                  "<n> <UTC time> <first text row>",
//                                  e.g. "0 2024-05-01T09:30:00.125Z Kavru
//                                  USB KEY"
//   screen <id> history clear      forgets the kept screens
//                                  The history keeps at most 256 screens
//                                  (the oldest go). The screen is kept
//                                  when it was drawn since the last time
//                                  and differs from the last kept one, at
//                                  the moment the card gets a command that
//                                  is not a screen command (80 52) or a
//                                  screen control command other than
//                                  "history clear" comes, so a clear and
//                                  eight parts give one entry; its time
//                                  is that of its last drawing. Every
//                                  plug shows the stored logo. ERR when
//                                  <id> was never plugged or is not a
//                                  token. The GBK font is --gbk's file,
//                                  else "<Program Files>\KQFT\HRNL\KQPT20\GBK.dat";
//                                  without it GBK text reads as '?' (the
//                                  log says which).
//   log                            "OK", then every log line since the last
//                                  clear: "<id> <EVENT> ..." (EmuLog.h),
//                                  e.g. "t1 APDU 00A40000023F00", "t1 RESP
//                                  9000", "t1 SENDER session 3"
//   log clear
//   quit                           the emulator ends (after the client
//                                  has read the answer and closed)
// ERR answers read "ERR <reason>". Ids are case-sensitive words without
// spaces. Device paths and product strings: EmuBus.h.
//
// The emulator's command line: KQTokenEmu [--pipe B] [--tokens n]
// [--report R] [--instance X] [--parent pid] [--state-dir dir] [--gbk path].
// --gbk names the GBK font file for reading screen text back. --instance fixes the 8 hex
// digits that make its device paths unique (default: from its process id and
// start time); --parent makes it end when that process ends (the test harness
// passes its own id, so a crashed test leaves no emulator behind). Exit
// codes: 0 after quit or the parent's end, 2 for a bad command line, 3 when
// another emulator serves the same base or the pipes cannot be made.
#pragma once

#include <cstdint>

namespace emu {

const char *const kDefaultPipeBase = "KQTokenEmu";
const char *const kPipeEnvVar = "KQTOKENEMU_PIPE";
const char *const kControlSuffix = ".control";

enum DataOp : std::uint8_t {
    OP_LIST = 0x01,
    OP_OPEN = 0x02,
    OP_CAPS = 0x03,
    OP_SET_FEATURE = 0x04,
    OP_GET_FEATURE = 0x05,
    OP_PRODUCT = 0x06,
    OP_CLOSE = 0x07,
};

enum DataStatus : std::uint8_t {
    STATUS_OK = 0,
    STATUS_FAILED = 1,
};

// Largest message either side sends on the data pipe.
const std::uint32_t kMaxDataMessage = 64 * 1024;
// Largest control answer (the log can be long).
const std::uint32_t kMaxControlMessage = 4 * 1024 * 1024;

// Win32 error codes carried in failure answers (the values of winerror.h,
// repeated here so that the Windows-free emulator core can name them).
const std::uint32_t kErrorInvalidFunction = 1;        // ERROR_INVALID_FUNCTION
const std::uint32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND
const std::uint32_t kErrorInvalidHandle = 6;          // ERROR_INVALID_HANDLE
const std::uint32_t kErrorGenFailure = 31;            // ERROR_GEN_FAILURE
const std::uint32_t kErrorInvalidParameter = 87;      // ERROR_INVALID_PARAMETER
const std::uint32_t kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED

// HID interface class GUID as it stands in device paths.
const char *const kHidClassGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

}  // namespace emu
