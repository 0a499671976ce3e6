// Builds update images for the engine's tests: position-dependent content, so a byte
// read from the wrong offset shows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image.h"

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

inline void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Entry {
  std::string name;
  std::uint32_t blockCount;
};

// Marks block `index` of an OS section as the boot block with the given reserved table.
inline void MakeBootBlock(std::vector<std::uint8_t>& os, std::uint32_t index, const std::vector<Entry>& entries,
                          std::uint32_t tableBytes, const char* signature = "MSFLSH50") {
  const std::size_t at = std::size_t{index} * BLOCK_BYTES;
  os[at] = 0xEB;
  os[at + 510] = 0x55;
  os[at + 511] = 0xAA;
  std::copy(signature, signature + 8, os.begin() + static_cast<long>(at + 520));
  PutLe32(os, at + 528, tableBytes);
  PutLe32(os, at + 532, 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t e = at + RESERVED_TABLE_OFFSET + 16 * i;
    std::fill(os.begin() + static_cast<long>(e), os.begin() + static_cast<long>(e + 8), 0);
    std::copy(entries[i].name.begin(), entries[i].name.end(), os.begin() + static_cast<long>(e));
    PutLe32(os, e + 8, 7);  // start block: never read
    PutLe32(os, e + 12, entries[i].blockCount);
  }
}

struct TestImage {
  std::uint32_t flags = 0;
  std::vector<std::uint8_t> os, bl, ud, kn, eb;
  ImageHeader header;  // words 0 and 7..28 carry a pattern; flags and sizes come from above

  TestImage() {
    const auto words = Pattern(HEADER_BYTES, 99);
    std::copy(words.begin(), words.end(), header.bytes.begin());
  }

  // OS section of `blocks` blocks with a boot block at `boot` holding one REV entry.
  static TestImage WithOs(std::uint32_t blocks, std::uint32_t revBlocks, std::uint32_t boot = 0) {
    TestImage image;
    image.os = Pattern(std::size_t{blocks} * BLOCK_BYTES, 1);
    for (std::size_t b = 0; b < blocks; ++b) image.os[b * BLOCK_BYTES] = 0;  // no accidental boot block
    MakeBootBlock(image.os, boot, {{"REV", revBlocks}}, 16);
    return image;
  }

  ImageHeader Header() const {
    ImageHeader h = header;
    h.SetWord(ImageHeader::WORD_FLAGS, flags);
    h.SetWord(ImageHeader::WORD_OS_SIZE, static_cast<std::uint32_t>(os.size()));
    h.SetWord(ImageHeader::WORD_BL_SIZE, static_cast<std::uint32_t>(bl.size()));
    h.SetWord(ImageHeader::WORD_UD_SIZE, static_cast<std::uint32_t>(ud.size()));
    h.SetWord(ImageHeader::WORD_KN_SIZE, static_cast<std::uint32_t>(kn.size()));
    h.SetWord(ImageHeader::WORD_EB_SIZE, static_cast<std::uint32_t>(eb.size()));
    return h;
  }

  // Adds a section and sets its flag.
  void Add(std::uint32_t bit, std::size_t size) {
    const auto bytes = Pattern(size, bit + 10);
    flags |= bit;
    (bit == ImageFlags::BL ? bl : bit == ImageFlags::UD ? ud : bit == ImageFlags::KN ? kn : eb) = bytes;
  }

  std::vector<std::uint8_t> Bytes() const {
    const ImageHeader h = Header();
    std::vector<std::uint8_t> out(h.bytes.begin(), h.bytes.end());
    for (const auto* s : {&os, &bl, &ud, &kn, &eb}) out.insert(out.end(), s->begin(), s->end());
    return out;
  }
};

inline std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t size) {
  return {bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size)};
}
