#include "image_check.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>

namespace pdasim {

namespace {

constexpr std::size_t CHUNK = 64 * 1024;
constexpr std::uint32_t FLASH_SIGNATURE_OFFSET = 520;
constexpr std::uint32_t TABLE_SIZE_OFFSET = 528;
constexpr std::uint32_t TABLE_OFFSET = 536;
constexpr std::uint32_t ENTRY_BYTES = 16;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::uint64_t FileSize(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return 0;
  const long size = std::ftell(file);
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

bool ReadAt(std::FILE* file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fread(buffer, 1, size, file) == size;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

}  // namespace

bool ImageCheck::Load(const std::string& path, std::uint32_t hostOsCode, std::string& error) {
  path_ = path;
  hostOsCode_ = hostOsCode;
  FilePtr image(std::fopen(path.c_str(), "rb"));
  if (!image) {
    error = "cannot open image " + path + ": " + std::strerror(errno);
    return false;
  }
  fileSize_ = FileSize(image.get());
  header_.assign(HEADER_BYTES, 0);
  if (!ReadAt(image.get(), 0, header_.data(), HEADER_BYTES)) {
    error = "image " + path + " is shorter than its 116-byte header";
    return false;
  }
  flags_ = GetWord(&header_[4]);
  os_ = GetWord(&header_[8]);
  bl_ = flags_ & FLAG_BL ? GetWord(&header_[12]) : 0;
  ud_ = flags_ & FLAG_UD ? GetWord(&header_[16]) : 0;
  kn_ = flags_ & FLAG_KN ? GetWord(&header_[20]) : 0;
  eb_ = flags_ & FLAG_EB ? GetWord(&header_[24]) : 0;
  reserveProblem_ = FindReserve(image.get());
  return true;
}

// The first block of the OS layout with a boot-sector signature holds the flash
// layout sector; its reserved table's first "REV" entry sizes the reserved region.
// The whole table is searched, as far as it lies in the block.
std::string ImageCheck::FindReserve(std::FILE* image) {
  std::vector<std::uint8_t> block(BLOCK_BYTES);
  for (std::uint64_t at = HEADER_BYTES; at + BLOCK_BYTES <= fileSize_; at += BLOCK_BYTES) {
    if (!ReadAt(image, at, block.data(), BLOCK_BYTES)) return "the image cannot be read";
    if ((block[0] != 0xEB && block[0] != 0xE9) || block[510] != 0x55 || block[511] != 0xAA) continue;
    if (std::memcmp(&block[FLASH_SIGNATURE_OFFSET], "MSFLSH50", 8) != 0)
      return "the image's boot block has no flash layout sector";
    const std::uint64_t declared = GetWord(&block[TABLE_SIZE_OFFSET]) / ENTRY_BYTES;
    const std::uint64_t fits = (BLOCK_BYTES - TABLE_OFFSET) / ENTRY_BYTES;
    for (std::uint64_t i = 0; i < declared && i < fits; ++i) {
      const std::uint8_t* entry = &block[TABLE_OFFSET + i * ENTRY_BYTES];
      if (std::memcmp(entry, "REV", 4) == 0) {
        reserveBytes_ = std::uint64_t{GetWord(entry + 12)} * BLOCK_BYTES;
        return "";
      }
    }
    return "the image's reserved table has no REV entry";
  }
  return "the image has no boot block";
}

std::string ImageCheck::Expect(Role role, std::vector<Segment>& segments,
                               std::vector<std::uint8_t>& header) const {
  header = header_;
  const std::uint64_t sectionsAt = HEADER_BYTES + os_;
  std::uint64_t end = 0;
  if (role == Role::Package) {
    if (!ExpectsPackage()) return "the image carries no UD section, so no downloader package belongs";
    PutWord(&header[4], flags_ & ~std::uint32_t{0x01 | FLAG_KN | FLAG_EB});
    PutWord(&header[8], BOOT_BLOCKS_BYTES);
    segments = {{"package header", true, 0, HEADER_BYTES},
                {"boot blocks", false, HEADER_BYTES, BOOT_BLOCKS_BYTES},
                {"BL section", false, sectionsAt, bl_},
                {"UD section", false, sectionsAt + bl_, ud_}};
    end = HEADER_BYTES + BOOT_BLOCKS_BYTES > sectionsAt + bl_ + ud_ ? HEADER_BYTES + BOOT_BLOCKS_BYTES
                                                                   : sectionsAt + bl_ + ud_;
  } else {
    if (!reserveProblem_.empty()) return reserveProblem_;
    if (reserveBytes_ > os_)
      return "the image's reserved region (" + std::to_string(reserveBytes_) +
             " bytes) is larger than its OS section (" + std::to_string(os_) + " bytes)";
    if (role == Role::PartTwo) {
      PutWord(&header[4], flags_ & ~std::uint32_t{FLAG_UD | 0x40});
      PutWord(&header[8], static_cast<std::uint32_t>(reserveBytes_));
      PutWord(&header[16], 0);
      segments = {{"part-2 header", true, 0, HEADER_BYTES},
                  {"reserved region", false, HEADER_BYTES, reserveBytes_},
                  {"BL section", false, sectionsAt, bl_},
                  {"KN section", false, sectionsAt + bl_ + ud_, kn_},
                  {"EB section", false, sectionsAt + bl_ + ud_ + kn_, eb_}};
      end = sectionsAt + bl_ + ud_ + kn_ + eb_;
    } else {
      segments = {{"OS remainder", false, HEADER_BYTES + reserveBytes_, os_ - reserveBytes_}};
      end = sectionsAt;
    }
  }
  PutWord(&header[96], hostOsCode_);
  if (end > fileSize_)
    return "the image is too short for the " + std::string(RoleName(role)) + " stream (" +
           std::to_string(fileSize_) + " bytes, " + std::to_string(end) + " needed)";
  return "";
}

std::string ImageCheck::Check(Role role, const std::string& received) const {
  const std::string name = RoleName(role);
  std::vector<Segment> segments;
  std::vector<std::uint8_t> header;
  const std::string impossible = Expect(role, segments, header);
  if (!impossible.empty()) return name + " should not have been sent: " + impossible;

  FilePtr got(std::fopen(received.c_str(), "rb"));
  FilePtr image(std::fopen(path_.c_str(), "rb"));
  if (!got || !image) return name + ": cannot read " + (got ? path_ : received);
  const std::uint64_t gotSize = FileSize(got.get());
  std::fseek(got.get(), 0, SEEK_SET);
  std::uint64_t expectedSize = 0;
  for (const Segment& segment : segments) expectedSize += segment.length;

  std::vector<std::uint8_t> want(CHUNK), have(CHUNK);
  std::uint64_t position = 0;  // in the received payload
  for (const Segment& segment : segments) {
    for (std::uint64_t done = 0; done < segment.length && position < gotSize;) {
      std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, segment.length - done));
      size = static_cast<std::size_t>(std::min<std::uint64_t>(size, gotSize - position));
      if (segment.header) {
        std::memcpy(want.data(), &header[done], size);
      } else if (!ReadAt(image.get(), segment.offset + done, want.data(), size)) {
        return name + ": cannot read the image";
      }
      if (std::fread(have.data(), 1, size, got.get()) != size) return name + ": cannot read " + received;
      for (std::size_t i = 0; i < size; ++i) {
        if (have[i] == want[i]) continue;
        const std::uint64_t at = done + i;
        if (segment.header && i - i % 4 + 4 <= size) {
          const std::uint64_t word = at / 4;
          return name + ": " + segment.name + " word " + std::to_string(word) + " is " +
                 Hex(GetWord(&have[i - i % 4])) + ", expected " + Hex(GetWord(&header[word * 4]));
        }
        char detail[160];
        std::snprintf(detail, sizeof detail, "byte %llu (%s offset %llu) is 0x%02x, expected 0x%02x",
                      static_cast<unsigned long long>(position + i), segment.name.c_str(),
                      static_cast<unsigned long long>(at), have[i], want[i]);
        return name + ": " + detail;
      }
      done += size;
      position += size;
    }
  }
  if (gotSize != expectedSize)
    return name + ": " + std::to_string(gotSize) + " payload bytes, expected " + std::to_string(expectedSize);
  return "";
}

}  // namespace pdasim
