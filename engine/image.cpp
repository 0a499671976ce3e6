#include "image.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "trace.h"

std::uint32_t HostOsCode = HOST_OS_CODE_DEFAULT;

namespace {

std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

// Boot-sector signature: a jump opcode first and 0xAA55 at the end of sector 0.
bool IsBootBlock(const std::uint8_t* block) {
  return (block[0] == 0xEB || block[0] == 0xE9) && LoadLe16(block + 510) == 0xAA55;
}

constexpr std::uint32_t FLASH_LAYOUT_OFFSET = SECTOR_BYTES;  // sector 1 of the boot block
constexpr char FLASH_LAYOUT_SIGNATURE[8] = {'M', 'S', 'F', 'L', 'S', 'H', '5', '0'};

// Names are compared as NUL-terminated strings of at most 8 bytes, exactly.
bool SameEntryName(const char* a, const char* b) {
  for (std::size_t i = 0; i < sizeof(ReservedEntry::name); ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

ReservedEntry DecodeEntry(const std::uint8_t* p) {
  ReservedEntry entry{};
  std::memcpy(entry.name, p, sizeof entry.name);
  entry.startBlock = LoadLe32(p + 8);
  entry.blockCount = LoadLe32(p + 12);
  return entry;
}

bool LookUpInFlashLayout(const std::uint8_t* block, RegionLookup& lookup) {
  if (std::memcmp(block + FLASH_LAYOUT_OFFSET, FLASH_LAYOUT_SIGNATURE, sizeof FLASH_LAYOUT_SIGNATURE) != 0) {
    return false;
  }
  lookup.declaredEntries = LoadLe32(block + FLASH_LAYOUT_OFFSET + 8) / RESERVED_ENTRY_BYTES;
  const std::uint32_t inBlock = std::min(lookup.declaredEntries, RESERVED_TABLE_MAX_ENTRIES);
  const std::uint8_t* table = block + RESERVED_TABLE_OFFSET;
  lookup.tableEntries = std::min(inBlock, RESERVED_ENTRY_CAPACITY);
  for (std::uint32_t i = 0; i < lookup.tableEntries; ++i) {
    lookup.table[i] = DecodeEntry(table + i * RESERVED_ENTRY_BYTES);
  }
  for (std::uint32_t i = 0; i < inBlock; ++i) {
    const ReservedEntry entry = DecodeEntry(table + i * RESERVED_ENTRY_BYTES);
    if (SameEntryName(lookup.name, entry.name)) {
      lookup.startBlock = 0;
      lookup.blockCount = entry.blockCount;
      return true;
    }
  }
  return false;
}

// Copies size bytes from the image's position to the staging file's, in whole chunks
// and then the remainder, so the next section is read from its true offset.
bool CopySection(File& image, File& staging, std::uint32_t size) {
  std::uint8_t chunk[CHUNK_BYTES];
  while (size > 0) {
    const std::uint32_t count = std::min(size, CHUNK_BYTES);
    if (!ReadExactly(image, chunk, count) || !staging.Write(chunk, count)) return false;
    size -= count;
  }
  return true;
}

}  // namespace

std::uint32_t ImageHeader::Word(std::size_t index) const { return LoadLe32(bytes.data() + 4 * index); }

void ImageHeader::SetWord(std::size_t index, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[4 * index + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t ImageLayout::DeclaredBytes() const {
  return std::uint64_t{HEADER_BYTES} + os + bl + ud + kn + eb;
}

ImageLayout DecodeImageLayout(const ImageHeader& header) {
  ImageLayout layout;
  layout.flags = header.Word(ImageHeader::WORD_FLAGS);
  layout.os = header.Word(ImageHeader::WORD_OS_SIZE);
  layout.bl = layout.Has(ImageFlags::BL) ? header.Word(ImageHeader::WORD_BL_SIZE) : 0;
  layout.ud = layout.Has(ImageFlags::UD) ? header.Word(ImageHeader::WORD_UD_SIZE) : 0;
  layout.kn = layout.Has(ImageFlags::KN) ? header.Word(ImageHeader::WORD_KN_SIZE) : 0;
  layout.eb = layout.Has(ImageFlags::EB) ? header.Word(ImageHeader::WORD_EB_SIZE) : 0;
  return layout;
}

std::uint32_t HostOsCodeForVersion(std::uint32_t major, std::uint32_t minor) {
  if (major == 5 && minor == 0) return HOST_OS_CODE_DEFAULT;
  if (major == 5 && minor == 1) return HOST_OS_CODE_DEFAULT + 1;
  return HOST_OS_CODE_DEFAULT + 3;
}

bool ReadImageHeader(File& image, ImageHeader& header, ImageLayout& layout) {
  if (!ReadExactly(image, header.bytes.data(), HEADER_BYTES)) return false;
  layout = DecodeImageLayout(header);
  ORVANE_TRACE("IMGFLAG is %x\r\n", layout.flags);
  ORVANE_TRACE("OS size is %d\r\nBL size is %d\r\nUD size is %d\r\nKN size is %d\r\nEB size is %d\r\n", layout.os,
               layout.bl, layout.ud, layout.kn, layout.eb);
  return true;
}

bool SectionsFitImage(const ImageLayout& layout, std::uint64_t imageLength) {
  // Offsets and stream lengths on the wire are 32-bit: a larger image cannot be sent.
  return layout.DeclaredBytes() <= imageLength && layout.DeclaredBytes() <= std::numeric_limits<std::uint32_t>::max();
}

bool BuildDownloaderPackage(File& image, File& staging, const ImageHeader& header, const ImageLayout& layout,
                            std::uint32_t& length) {
  const std::uint64_t sections = std::uint64_t{layout.bl} + layout.ud;
  const std::uint64_t total = HEADER_BYTES + BOOT_BLOCKS_BYTES + sections;
  if (total > std::numeric_limits<std::uint32_t>::max()) return false;
  const auto sectionBytes = static_cast<std::uint32_t>(sections);

  std::vector<std::uint8_t> package(static_cast<std::size_t>(total), 0);
  ImageHeader packageHeader = header;
  packageHeader.SetWord(ImageHeader::WORD_FLAGS,
                        layout.flags & ~(ImageFlags::BIT_01 | ImageFlags::KN | ImageFlags::EB));
  packageHeader.SetWord(ImageHeader::WORD_OS_SIZE, BOOT_BLOCKS_BYTES);
  packageHeader.SetWord(ImageHeader::WORD_HOST_OS, HostOsCode);
  std::copy(packageHeader.bytes.begin(), packageHeader.bytes.end(), package.begin());

  // The two boot blocks are taken whatever the OS size; BL and UD follow the OS section.
  std::uint32_t bootRead = 0;
  std::uint32_t sectionsRead = 0;
  // Pointers, not indexes: with no BL and an empty UD the sections start at the end.
  std::uint8_t* const bootBlocks = package.data() + HEADER_BYTES;
  std::uint8_t* const sectionStart = bootBlocks + BOOT_BLOCKS_BYTES;
  if (!SeekTo(image, HEADER_BYTES) || !image.Read(bootBlocks, BOOT_BLOCKS_BYTES, bootRead)) return false;
  if (!SeekTo(image, std::uint64_t{HEADER_BYTES} + layout.os) || !image.Read(sectionStart, sectionBytes, sectionsRead)) {
    return false;
  }
  if (!staging.Write(package.data(), static_cast<std::uint32_t>(total))) return false;
  ORVANE_TRACE("Download USB downloader\r\n");
  if (bootRead != BOOT_BLOCKS_BYTES || sectionsRead != sectionBytes) return false;
  length = static_cast<std::uint32_t>(total);
  return true;
}

RegionLookup MakeRegionLookup(const char* name) {
  RegionLookup lookup;
  std::strncpy(lookup.name, name, sizeof lookup.name - 1);
  return lookup;
}

bool DefineReserveRegion(File& image, RegionLookup& lookup) {
  std::uint64_t noted = 0;
  if (!image.GetPosition(noted)) return false;
  if (!SeekTo(image, HEADER_BYTES)) return false;

  std::vector<std::uint8_t> block(BLOCK_BYTES);
  bool found = false;
  for (;;) {
    std::uint32_t got = 0;
    if (!image.Read(block.data(), BLOCK_BYTES, got) || got != BLOCK_BYTES) break;
    if (IsBootBlock(block.data())) {
      // The first boot block decides, whatever follows it.
      found = LookUpInFlashLayout(block.data(), lookup);
      break;
    }
  }
  return SeekTo(image, noted) && found;
}

bool ComputeReserveSize(const RegionLookup& lookup, const ImageLayout& layout, std::uint32_t& reserveSize) {
  const std::uint64_t size = std::uint64_t{lookup.blockCount} * BLOCK_BYTES;
  if (size > layout.os) return false;
  reserveSize = static_cast<std::uint32_t>(size);
  ORVANE_TRACE("DefineReserveRegion ok Reserve block = %d RESERVE_SIZE = %d\r\n", lookup.blockCount, reserveSize);
  return true;
}

bool BuildPartTwoFile(File& image, File& staging, const ImageHeader& header, const ImageLayout& layout,
                      std::uint32_t reserveSize) {
  ImageHeader partTwoHeader = header;
  partTwoHeader.SetWord(ImageHeader::WORD_FLAGS, layout.flags & ~(ImageFlags::UD | ImageFlags::BIT_40));
  partTwoHeader.SetWord(ImageHeader::WORD_OS_SIZE, reserveSize);
  partTwoHeader.SetWord(ImageHeader::WORD_UD_SIZE, 0);
  partTwoHeader.SetWord(ImageHeader::WORD_HOST_OS, HostOsCode);

  if (!SeekTo(image, HEADER_BYTES)) return false;
  if (!staging.Write(partTwoHeader.bytes.data(), HEADER_BYTES)) return false;
  std::uint8_t sector[SECTOR_BYTES];
  for (std::uint32_t written = 0; written < reserveSize; written += SECTOR_BYTES) {
    if (!ReadExactly(image, sector, SECTOR_BYTES) || !staging.Write(sector, SECTOR_BYTES)) return false;
    ORVANE_TRACE("write %d bytes. %02x %02x %02x %02x\n", written, sector[0], sector[4], sector[8], sector[12]);
  }

  if (!SeekTo(image, std::uint64_t{HEADER_BYTES} + layout.os)) return false;
  if (!CopySection(image, staging, layout.bl)) return false;
  if (layout.Has(ImageFlags::UD) && !image.Seek(layout.ud, SeekFrom::Current)) return false;
  if (!CopySection(image, staging, layout.kn) || !CopySection(image, staging, layout.eb)) return false;

  // A downloader package written before may be longer: nothing of it may ride along.
  std::uint64_t end = 0;
  return staging.GetPosition(end) && staging.SetLength(end);
}

bool PlanTransfer(File& image, TransferPlan& plan) {
  auto refuse = [&plan](StringId reason) {
    plan.refusal = reason;
    return false;
  };
  if (!ReadImageHeader(image, plan.header, plan.layout)) return refuse(IDS_IMAGE_TOO_SHORT);
  if (!image.GetLength(plan.imageBytes) || !SectionsFitImage(plan.layout, plan.imageBytes)) {
    return refuse(IDS_IMAGE_DAMAGED);
  }
  if (plan.layout.Has(ImageFlags::UD) && plan.imageBytes < std::uint64_t{HEADER_BYTES} + BOOT_BLOCKS_BYTES) {
    return refuse(IDS_NO_BOOT_BLOCKS);
  }
  if (!DefineReserveRegion(image, plan.lookup)) return refuse(IDS_NO_RESERVED_REGION);
  if (!ComputeReserveSize(plan.lookup, plan.layout, plan.reserveSize)) return refuse(IDS_RESERVE_TOO_LARGE);
  return true;
}

ByteRange OsRemainder(const ImageLayout& layout, std::uint32_t reserveSize) {
  return {HEADER_BYTES + reserveSize, layout.os - reserveSize};
}
