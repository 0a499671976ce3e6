// Bytes as the device sends them, built here apart from the link's own writer, so that
// a mistake in its framing cannot hide behind shared code.
#pragma once

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// "34 00 00 00 | 16 00 ..." as bytes: hex pairs, anything else a separator.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::string pair;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    pair += c;
    if (pair.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
      pair.clear();
    }
  }
  return out;
}

inline void PutU32(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 24));
}

inline Bytes Words(std::initializer_list<std::uint32_t> words) {
  Bytes out;
  for (std::uint32_t word : words) PutU32(out, word);
  return out;
}

// The fields of a device-information block, and the lengths it claims for them.
struct InfoBlock {
  std::uint32_t osMajor = 5;
  std::uint32_t osMinor = 1;
  std::u16string name = u"vmda";
  std::string platform = "PocketPC";
  std::string model = "HX4700";
  std::uint32_t passwordKey = 0;
  bool extraByte = true;              // the byte after the model name
  std::uint32_t components = 0;
  Bytes extraData;                     // after the key
  // Lengths as claimed; 0 takes the real one.
  std::uint32_t claimedNameChars = 0;
  std::uint32_t claimedPlatformBytes = 0;
  std::uint32_t claimedModelBytes = 0;
  std::uint32_t claimedComponents = 0;

  // The block, without its length word; platform and model with their NUL counted.
  Bytes Build() const {
    Bytes out;
    for (std::uint8_t i = 0; i < 16; ++i) out.push_back(static_cast<std::uint8_t>(0xA0 + i));
    PutU32(out, osMajor);
    PutU32(out, osMinor);
    PutU32(out, claimedNameChars ? claimedNameChars : static_cast<std::uint32_t>(name.size()));
    for (char16_t c : name) {
      out.push_back(static_cast<std::uint8_t>(c));
      out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    for (std::uint32_t word : {0x05010000u, 2577u, 0u, 0x11u, 0x22u}) PutU32(out, word);
    PutU32(out, claimedPlatformBytes ? claimedPlatformBytes : static_cast<std::uint32_t>(platform.size() + 1));
    out.insert(out.end(), platform.begin(), platform.end());
    out.push_back(0);
    PutU32(out, claimedModelBytes ? claimedModelBytes : static_cast<std::uint32_t>(model.size() + 1));
    out.insert(out.end(), model.begin(), model.end());
    out.push_back(0);
    if (extraByte) out.push_back(0);
    PutU32(out, claimedComponents ? claimedComponents : components);
    for (std::uint32_t i = 0; i < components; ++i) {
      PutU32(out, i);
      PutU32(out, i + 1);
    }
    PutU32(out, passwordKey);
    out.insert(out.end(), extraData.begin(), extraData.end());
    return out;
  }
};
