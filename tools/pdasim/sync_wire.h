// The device's side of the sync link's wire, written from the link's facts alone:
// the control connection's words, the device-information block, the remote-API
// framing and the replies of the newer message layout. Every integer is
// little-endian; text on the remote API is UTF-16LE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pdasim::sync {

using Bytes = std::vector<std::uint8_t>;

// Words on the control connection.
constexpr std::uint32_t OPENING_WORD = 0;     // device: first word
constexpr std::uint32_t OPENING_REPLY = 3;    // host: answer to it
constexpr std::uint32_t REQUEST_6 = 6;        // device, optional: answered by 16 bytes
constexpr std::uint32_t INFO_ANNOUNCE = 4;    // device: u32 L and the information block follow
constexpr std::uint32_t PING = 1;             // host
constexpr std::uint32_t PING_REPLY = 2;       // device
constexpr std::uint32_t CHANNEL_REQUEST = 5;  // host: 5, 4, id
constexpr std::uint32_t CHANNEL_REQUEST_LENGTH = 4;
constexpr std::uint32_t UNLOCK_SCREEN = 8;     // host to a WM6-locked device
constexpr std::uint32_t UNLOCKED = 0;          // device, once its user has unlocked it
constexpr std::uint32_t UNLOCK_FOLLOW = 0x0C;  // host: the second word after UNLOCKED (the first is 0)
constexpr std::uint8_t TRIGGER_BYTE = 0x7F;    // host, the UDP datagram

constexpr std::uint32_t KEY_UNLOCKED = 0;
constexpr std::uint32_t KEY_ON_DEVICE = 0xFFFFFFFF;
// Any other key means a password from the host; its low byte encodes it.
constexpr std::uint32_t KEY_FROM_HOST = 0x3C1A775A;

constexpr std::uint32_t DEVICE_NAME_MAX_CHARS = 31;
constexpr std::size_t INFO_TEXT_MAX_BYTES = 255;  // with its NUL
constexpr std::uint32_t PROCESSOR_STRONGARM = 2577;

// Command ids of the newer message layout.
constexpr std::uint32_t CMD_CREATE_FILE = 0x16;
constexpr std::uint32_t CMD_WRITE_FILE = 0x18;
constexpr std::uint32_t CMD_CLOSE_HANDLE = 0x19;
constexpr std::uint32_t CMD_CREATE_PROCESS = 0x2A;
constexpr std::uint32_t CMD_GET_VERSION_EX = 0x43;
constexpr std::uint32_t CMD_GET_POWER_STATUS_EX = 0x49;

constexpr std::uint32_t GENERIC_READ = 0x80000000;
constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
constexpr std::uint32_t CREATE_NEW = 1, CREATE_ALWAYS = 2, OPEN_EXISTING = 3, OPEN_ALWAYS = 4, TRUNCATE_EXISTING = 5;
constexpr std::uint32_t INVALID_HANDLE = 0xFFFFFFFF;
constexpr std::uint32_t VER_PLATFORM_WIN32_CE = 3;
constexpr std::uint32_t OS_VERSION_INFO_BYTES = 276;
constexpr std::uint32_t POWER_STATUS_BYTES = 24;

constexpr std::uint32_t ERROR_SUCCESS = 0;
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t ERROR_DISK_FULL = 112;
constexpr std::uint32_t ERROR_INVALID_NAME = 123;
constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr std::uint32_t ERROR_BAD_EXE_FORMAT = 193;

void Put16(Bytes& out, std::uint16_t value);
void Put32(Bytes& out, std::uint32_t value);
std::uint16_t Get16(const std::uint8_t* at);

// Names on the device compare equal whatever the case of their ASCII letters.
std::string AsciiLower(std::string text);

// UTF-8 to UTF-16 code units; valid is false for text that is not UTF-8.
std::u16string Utf8ToUtf16(const std::string& text, bool& valid);
// UTF-16 to UTF-8; valid is false for an unpaired surrogate.
std::string Utf16ToUtf8(const std::u16string& text, bool& valid);

// What the device says of itself in its information block.
struct DeviceInfo {
  std::string name;  // UTF-8
  std::string platform;
  std::string model;
  std::uint32_t osMajor = 0;
  std::uint32_t osMinor = 0;
  std::uint32_t osBuild = 0;
  std::uint32_t passwordKey = KEY_UNLOCKED;
};

// The information block without its length word: GUID, OS version, the name and its
// terminator, five words, platform and model each with its NUL counted, the one extra
// byte, no components, the key, no extra data.
Bytes InfoBlock(const DeviceInfo& info);

// Whether the device speaks the newer message layout (OS 5.1 and later).
inline bool NewerLayout(std::uint32_t major, std::uint32_t minor) { return major > 5 || (major == 5 && minor >= 1); }

// Reads the parameters of one request; any read past its end, or bytes left over,
// make it malformed.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : at_(data), left_(size) {}
  bool U32(std::uint32_t& value);
  // A string: u32 byte length (0 for none), then UTF-16LE with its NUL counted.
  bool String(std::optional<std::u16string>& text);
  // count bytes, left where they are.
  bool Span(std::size_t count, const std::uint8_t*& data);
  bool AtEnd() const { return left_ == 0; }

 private:
  const std::uint8_t* at_;
  std::size_t left_;
};

// A reply frame: u32 size, then the words given, then extra bytes.
Bytes Reply(std::initializer_list<std::uint32_t> words, const Bytes& extra = {});

// SYSTEM_POWER_STATUS_EX, 24 bytes.
Bytes PowerStatus(std::uint8_t acLineStatus, std::uint8_t batteryFlag, std::uint8_t batteryPercent);
// CEOSVERSIONINFO, 276 bytes.
Bytes OsVersionInfo(std::uint32_t major, std::uint32_t minor, std::uint32_t build);

// The password a WM5-locked device receives: UTF-16LE, each byte XORed with the key's
// low byte. Returns it decoded to UTF-8 (without a trailing NUL), or a note of its size
// when it is no text.
std::string DecodePassword(const std::uint8_t* data, std::size_t size, std::uint32_t key);

}  // namespace pdasim::sync
