// The device's sync link on the wire, without sockets: little-endian words, the
// control connection's messages and the device-information block. Everything the
// device sends is untrusted: every length is checked against the bytes that arrived.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends little-endian values; nothing is padded or aligned.
class WireWriter {
 public:
  void U16(std::uint16_t value);
  void U32(std::uint32_t value);
  void Bytes(const std::uint8_t* data, std::size_t size);
  const std::vector<std::uint8_t>& Data() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
};

// Reads little-endian values from bytes that arrived; every read that would pass
// their end fails and leaves the position where it was.
class WireReader {
 public:
  WireReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool U32(std::uint32_t& value);
  // Takes count bytes in place; 64-bit so that a lying 32-bit length cannot wrap.
  bool Take(std::uint64_t count, const std::uint8_t*& at);
  bool Skip(std::uint64_t count) {
    const std::uint8_t* ignored = nullptr;
    return Take(count, ignored);
  }
  std::size_t Remaining() const { return size_ - position_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

std::uint32_t LoadU32(const std::uint8_t* at);

// Words of the control connection (the device's first connection to the host).
constexpr std::uint32_t CONTROL_HELLO = 0;            // device: opening word
constexpr std::uint32_t CONTROL_HELLO_REPLY = 3;      // host: its answer
constexpr std::uint32_t CONTROL_QUERY = 6;            // device: a request some devices send
constexpr std::uint32_t CONTROL_INFO = 4;             // device: the information block follows
constexpr std::uint32_t CONTROL_CHANNEL_REQUEST = 5;  // host: 5, 4, id asks for a remote-API channel
constexpr std::uint32_t CONTROL_PING = 1;             // host: keep-alive
constexpr std::uint32_t CONTROL_PING_REPLY = 2;       // device: its answer
constexpr std::uint32_t CONTROL_SHOW_UNLOCK = 8;      // host: asks a locked device to show its unlock screen
constexpr std::uint32_t CONTROL_UNLOCKED = 0;         // device: the user has unlocked it
constexpr std::uint32_t CONTROL_UNLOCK_ACK = 0x0C;    // host: sent after a 0, once the device reported its unlock

// One word on its own: the host's CONTROL_HELLO_REPLY, CONTROL_PING or CONTROL_SHOW_UNLOCK.
std::vector<std::uint8_t> ControlWord(std::uint32_t word);
// The host's answer to CONTROL_QUERY, four words. [uncertain] Another reading answers
// 7, 8, 4, 1; this is the one both later connection managers send.
std::vector<std::uint8_t> QueryReply();
// 5, 4, id.
std::vector<std::uint8_t> ChannelRequest(std::uint32_t id);
// The words the host sends once a locked device reports its unlock: 0, then 0x0C.
std::vector<std::uint8_t> UnlockAcknowledgement();

// PasswordKey values of the information block.
constexpr std::uint32_t PASSWORD_KEY_NONE = 0;
constexpr std::uint32_t PASSWORD_KEY_ON_DEVICE = 0xFFFFFFFF;  // locked: the user unlocks it on the device
// Any other key: locked with a password that the host has to send.

enum class DeviceLock { None, OnDevice, HostPassword };
DeviceLock LockOf(std::uint32_t passwordKey);

// The largest information block taken from a device; real ones are a few hundred bytes.
constexpr std::uint32_t INFO_BLOCK_LIMIT = 64 * 1024;

// What the device tells about itself in its information block. Texts are kept as
// printable UTF-8: a control character in them could drive the user's terminal.
struct DeviceInfo {
  std::array<std::uint8_t, 16> guid{};
  std::uint32_t osMajor = 0;
  std::uint32_t osMinor = 0;
  std::string name;
  std::uint32_t version = 0;
  std::uint32_t cpuType = 0;
  std::uint32_t currentPartnerId = 0;
  std::uint32_t deviceId = 0;
  std::string platform;
  std::string model;
  std::uint32_t passwordKey = 0;
};

// Parses the block (the bytes after its length word). False when a length in it
// points past the bytes that arrived.
bool ParseDeviceInfo(const std::uint8_t* block, std::size_t size, DeviceInfo& info);

// UTF-16LE characters as printable UTF-8: a control character, or half of a
// surrogate pair, becomes '?'.
std::string PrintableFromUtf16(const std::u16string& text);
// 8-bit text up to its first NUL, read as Latin-1, as printable UTF-8.
std::string PrintableFromLatin1(const std::uint8_t* text, std::size_t size);
