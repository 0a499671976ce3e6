#include "sync_wire.h"

#include "../common/json.h"
#include "wire.h"

namespace pdasim::sync {

void Put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(Bytes& out, std::uint32_t value) {
  std::uint8_t word[4];
  PutWord(word, value);
  out.insert(out.end(), word, word + 4);
}

std::uint16_t Get16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }

std::string AsciiLower(std::string text) {
  for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

std::u16string Utf8ToUtf16(const std::string& text, bool& valid) {
  std::u16string out;
  valid = true;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : Utf8SequenceLength(text, i);
    if (length == 0) {
      valid = false;
      return out;
    }
    // A lead byte alone carries 7 bits; one of a sequence of n bytes carries 7 - n.
    std::uint32_t point = lead & (length == 1 ? 0x7Fu : 0x7Fu >> length);
    for (std::size_t n = 1; n < length; ++n) point = point << 6 | (static_cast<unsigned char>(text[i + n]) & 0x3Fu);
    if (point >= 0x10000) {
      point -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (point >> 10));
      out += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
    } else {
      out += static_cast<char16_t>(point);
    }
    i += length;
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text, bool& valid) {
  std::string out;
  valid = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t point = text[i];
    if (point >= 0xD800 && point <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00u);
    } else if (point >= 0xD800 && point <= 0xDFFF) {
      valid = false;
      point = 0xFFFD;
    }
    if (point < 0x80) {
      out += static_cast<char>(point);
    } else if (point < 0x800) {
      out += static_cast<char>(0xC0 | point >> 6);
      out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      out += static_cast<char>(0xE0 | point >> 12);
      out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | point >> 18);
      out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return out;
}

namespace {

// The device's GUID and id come from its name, so that devices of different names
// differ and a run is repeatable.
std::uint64_t NameHash(const std::string& name, std::uint64_t seed) {
  std::uint64_t hash = 0xcbf29ce484222325ull ^ seed;
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  return hash;
}

void PutText(Bytes& out, const std::string& text) {
  Put32(out, static_cast<std::uint32_t>(text.size() + 1));
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

}  // namespace

Bytes InfoBlock(const DeviceInfo& info) {
  Bytes block;
  for (std::uint64_t seed : {1ull, 2ull}) {
    const std::uint64_t hash = NameHash(info.name, seed);
    for (int i = 0; i < 8; ++i) block.push_back(static_cast<std::uint8_t>(hash >> (8 * i)));
  }
  Put32(block, info.osMajor);
  Put32(block, info.osMinor);
  bool valid = false;
  const std::u16string name = Utf8ToUtf16(info.name, valid);
  Put32(block, static_cast<std::uint32_t>(name.size()));
  for (char16_t unit : name) Put16(block, unit);
  Put16(block, 0);
  Put32(block, info.osBuild);  // Version
  Put32(block, PROCESSOR_STRONGARM);
  Put32(block, 0);                                                   // Unknown1
  Put32(block, 0);                                                   // CurrentPartnerId: no partnership yet
  Put32(block, static_cast<std::uint32_t>(NameHash(info.name, 3)));  // Id
  PutText(block, info.platform);
  PutText(block, info.model);
  block.push_back(0);  // the byte after the model
  Put32(block, 0);     // no component entries
  Put32(block, info.passwordKey);
  return block;
}

bool Reader::U32(std::uint32_t& value) {
  if (left_ < 4) return false;
  value = GetWord(at_);
  at_ += 4;
  left_ -= 4;
  return true;
}

bool Reader::String(std::optional<std::u16string>& text) {
  std::uint32_t bytes = 0;
  if (!U32(bytes)) return false;
  if (bytes == 0) {
    text.reset();
    return true;
  }
  const std::uint8_t* data = nullptr;
  if (bytes % 2 != 0 || !Span(bytes, data) || Get16(data + bytes - 2) != 0) return false;
  std::u16string units;
  for (std::uint32_t i = 0; i + 2 < bytes; i += 2) units += static_cast<char16_t>(Get16(data + i));
  text = units;
  return true;
}

bool Reader::Span(std::size_t count, const std::uint8_t*& data) {
  if (left_ < count) return false;
  data = at_;
  at_ += count;
  left_ -= count;
  return true;
}

Bytes Reply(std::initializer_list<std::uint32_t> words, const Bytes& extra) {
  Bytes frame;
  Put32(frame, static_cast<std::uint32_t>(4 * words.size() + extra.size()));
  for (std::uint32_t word : words) Put32(frame, word);
  frame.insert(frame.end(), extra.begin(), extra.end());
  return frame;
}

Bytes PowerStatus(std::uint8_t acLineStatus, std::uint8_t batteryFlag, std::uint8_t batteryPercent) {
  Bytes status = {acLineStatus, batteryFlag, batteryPercent, 0};
  Put32(status, 0xFFFFFFFF);  // BatteryLifeTime: unknown
  Put32(status, 0xFFFFFFFF);  // BatteryFullLifeTime: unknown
  status.push_back(0);
  status.push_back(0x01);  // the backup battery: high
  status.push_back(100);
  status.push_back(0);
  Put32(status, 0xFFFFFFFF);
  Put32(status, 0xFFFFFFFF);
  return status;
}

Bytes OsVersionInfo(std::uint32_t major, std::uint32_t minor, std::uint32_t build) {
  Bytes info;
  Put32(info, OS_VERSION_INFO_BYTES);
  Put32(info, major);
  Put32(info, minor);
  Put32(info, build);
  Put32(info, VER_PLATFORM_WIN32_CE);
  info.resize(OS_VERSION_INFO_BYTES, 0);  // szCSDVersion: empty
  return info;
}

std::string DecodePassword(const std::uint8_t* data, std::size_t size, std::uint32_t key) {
  const auto mask = static_cast<std::uint8_t>(key);
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    units += static_cast<char16_t>((data[i] ^ mask) | (data[i + 1] ^ mask) << 8);
  while (!units.empty() && units.back() == 0) units.pop_back();
  bool valid = false;
  const std::string text = Utf16ToUtf8(units, valid);
  if (size % 2 != 0 || !valid) return "<" + std::to_string(size) + " bytes that are no text>";
  return text;
}

}  // namespace pdasim::sync
