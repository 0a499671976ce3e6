#include "sync_wire.h"

#include <algorithm>
#include <initializer_list>

namespace {

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsControl(std::uint32_t code) { return code < 0x20 || (code >= 0x7F && code < 0xA0); }

std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
  WireWriter out;
  for (std::uint32_t word : words) out.U32(word);
  return out.Data();
}

// The block from its platform name on. [uncertain] Both connection managers written
// against devices skip one byte after the model name, which one description of the
// block does not show: a block is read with it, and when that fails, without it, as
// that description has it, with nothing after the key.
bool ParseBlockTail(WireReader in, bool extraByte, DeviceInfo& info) {
  std::uint32_t platformBytes = 0;
  std::uint32_t modelBytes = 0;
  std::uint32_t components = 0;
  const std::uint8_t* platform = nullptr;
  const std::uint8_t* model = nullptr;
  if (!in.U32(platformBytes) || !in.Take(platformBytes, platform)) return false;
  if (!in.U32(modelBytes) || !in.Take(modelBytes, model)) return false;
  if (extraByte && !in.Skip(1)) return false;
  // Component entries, two words each, that nothing here needs.
  if (!in.U32(components) || !in.Skip(std::uint64_t{components} * 8)) return false;
  // Whatever follows the key (extra data of unsettled meaning) is left unread.
  if (!in.U32(info.passwordKey) || (!extraByte && in.Remaining() != 0)) return false;
  info.platform = PrintableFromLatin1(platform, platformBytes);
  info.model = PrintableFromLatin1(model, modelBytes);
  return true;
}

}  // namespace

void WireWriter::U16(std::uint16_t value) {
  data_.push_back(static_cast<std::uint8_t>(value));
  data_.push_back(static_cast<std::uint8_t>(value >> 8));
}

void WireWriter::U32(std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) data_.push_back(static_cast<std::uint8_t>(value >> shift));
}

void WireWriter::Bytes(const std::uint8_t* data, std::size_t size) {
  if (size > 0) data_.insert(data_.end(), data, data + size);
}

bool WireReader::U32(std::uint32_t& value) {
  const std::uint8_t* at = nullptr;
  if (!Take(4, at)) return false;
  value = LoadU32(at);
  return true;
}

bool WireReader::Take(std::uint64_t count, const std::uint8_t*& at) {
  if (count > Remaining()) return false;
  at = data_ + position_;
  position_ += static_cast<std::size_t>(count);
  return true;
}

std::uint32_t LoadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::vector<std::uint8_t> ControlWord(std::uint32_t word) { return Words({word}); }

std::vector<std::uint8_t> QueryReply() { return Words({7, 8, 4, 5}); }

std::vector<std::uint8_t> ChannelRequest(std::uint32_t id) { return Words({CONTROL_CHANNEL_REQUEST, 4, id}); }

std::vector<std::uint8_t> UnlockAcknowledgement() { return Words({0, CONTROL_UNLOCK_ACK}); }

DeviceLock LockOf(std::uint32_t passwordKey) {
  if (passwordKey == PASSWORD_KEY_NONE) return DeviceLock::None;
  if (passwordKey == PASSWORD_KEY_ON_DEVICE) return DeviceLock::OnDevice;
  return DeviceLock::HostPassword;
}

bool ParseDeviceInfo(const std::uint8_t* block, std::size_t size, DeviceInfo& info) {
  WireReader in(block, size);
  const std::uint8_t* guid = nullptr;
  std::uint32_t nameChars = 0;
  const std::uint8_t* name = nullptr;
  if (!in.Take(info.guid.size(), guid) || !in.U32(info.osMajor) || !in.U32(info.osMinor)) return false;
  // The name's length counts characters without the terminator that follows them.
  if (!in.U32(nameChars) || !in.Take(std::uint64_t{nameChars} * 2, name) || !in.Skip(2)) return false;
  std::uint32_t unknown1 = 0;
  if (!in.U32(info.version) || !in.U32(info.cpuType) || !in.U32(unknown1) || !in.U32(info.currentPartnerId) ||
      !in.U32(info.deviceId)) {
    return false;
  }
  if (!ParseBlockTail(in, true, info) && !ParseBlockTail(in, false, info)) return false;
  std::copy(guid, guid + info.guid.size(), info.guid.begin());
  std::u16string wide;
  for (std::uint32_t i = 0; i < nameChars; ++i) {
    const auto c = static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
    if (c == 0) break;
    wide += c;
  }
  info.name = PrintableFromUtf16(wide);
  return true;
}

std::string PrintableFromUtf16(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = '?';
    }
    AppendUtf8(out, IsControl(code) ? '?' : code);
  }
  return out;
}

std::string PrintableFromLatin1(const std::uint8_t* text, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size && text[i] != 0; ++i) AppendUtf8(out, IsControl(text[i]) ? '?' : text[i]);
  return out;
}
