// The update image "temp.dat" and the two streams staged from it in "TempFileToDown":
// the downloader package and the part-2 file. The third stream, the OS remainder, is a
// byte range of the image itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "file.h"
#include "string_table.h"

constexpr std::uint32_t HEADER_BYTES = 116;        // 29 little-endian words
constexpr std::uint32_t SECTOR_BYTES = 520;        // 512 data bytes + 8 spare bytes
constexpr std::uint32_t BLOCK_BYTES = 16640;       // 32 sectors
constexpr std::uint32_t BOOT_BLOCKS_BYTES = 33280; // the first two blocks of the OS section
constexpr std::uint32_t CHUNK_BYTES = 512;         // copy unit of the BL, KN and EB sections
constexpr std::uint32_t RESERVED_ENTRY_CAPACITY = 4;

// The reserved table starts at this offset of the boot block, so a block holds at most
// (16640 - 536) / 16 = 1006 entries of it.
constexpr std::uint32_t RESERVED_TABLE_OFFSET = 536;
constexpr std::uint32_t RESERVED_ENTRY_BYTES = 16;
constexpr std::uint32_t RESERVED_TABLE_MAX_ENTRIES = (BLOCK_BYTES - RESERVED_TABLE_OFFSET) / RESERVED_ENTRY_BYTES;

// The bits of IMGFLAG, header word 1.
struct ImageFlags {
  static constexpr std::uint32_t BIT_01 = 0x01;  // cleared in the package header only
  static constexpr std::uint32_t BL = 0x02;
  static constexpr std::uint32_t UD = 0x04;
  static constexpr std::uint32_t KN = 0x08;
  static constexpr std::uint32_t EB = 0x10;
  static constexpr std::uint32_t BIT_40 = 0x40;  // cleared in the part-2 header only
};

struct ImageHeader {
  static constexpr std::size_t WORD_FLAGS = 1;
  static constexpr std::size_t WORD_OS_SIZE = 2;
  static constexpr std::size_t WORD_BL_SIZE = 3;
  static constexpr std::size_t WORD_UD_SIZE = 4;
  static constexpr std::size_t WORD_KN_SIZE = 5;
  static constexpr std::size_t WORD_EB_SIZE = 6;
  static constexpr std::size_t WORD_HOST_OS = 24;

  std::array<std::uint8_t, HEADER_BYTES> bytes{};

  std::uint32_t Word(std::size_t index) const;
  void SetWord(std::size_t index, std::uint32_t value);
};

// The decoded header: an absent section has size 0 whatever its word holds.
struct ImageLayout {
  std::uint32_t flags = 0;
  std::uint32_t os = 0;
  std::uint32_t bl = 0;
  std::uint32_t ud = 0;
  std::uint32_t kn = 0;
  std::uint32_t eb = 0;

  bool Has(std::uint32_t bit) const { return (flags & bit) != 0; }
  // Header and every present section: the bytes the image must at least hold.
  std::uint64_t DeclaredBytes() const;
};

ImageLayout DecodeImageLayout(const ImageHeader& header);

// Written into word 24 of every header the engine sends; set from the host's Windows
// version before any transfer.
extern std::uint32_t HostOsCode;
constexpr std::uint32_t HOST_OS_CODE_DEFAULT = 1000;  // Windows 5.0, or the version is unknown
std::uint32_t HostOsCodeForVersion(std::uint32_t major, std::uint32_t minor);

// Reads the header from the start of the image; false when fewer than 116 bytes come.
bool ReadImageHeader(File& image, ImageHeader& header, ImageLayout& layout);

// True when the image is long enough for the header and every declared section, and
// small enough for the 32-bit offsets of the wire.
bool SectionsFitImage(const ImageLayout& layout, std::uint64_t imageLength);

// Writes the downloader package to the staging file at its position (0) and gives its
// length. False when the image ran short (the package is written zero-filled all the
// same) or a file operation failed.
bool BuildDownloaderPackage(File& image, File& staging, const ImageHeader& header, const ImageLayout& layout,
                            std::uint32_t& length);

struct ReservedEntry {
  char name[8];  // NUL-terminated when shorter than 8 bytes
  std::uint32_t startBlock;
  std::uint32_t blockCount;
};

// The region asked for, and on a match its block count; holds a copy of the first
// entries of the reserved table.
struct RegionLookup {
  char name[8] = {};
  std::uint32_t startBlock = 0;
  std::uint32_t blockCount = 0;
  ReservedEntry table[RESERVED_ENTRY_CAPACITY] = {};
  std::uint32_t tableEntries = 0;     // entries copied into table
  std::uint32_t declaredEntries = 0;  // entries the flash layout sector declares
};

RegionLookup MakeRegionLookup(const char* name);
constexpr const char RESERVED_REGION_NAME[] = "REV";

// Finds the boot block, reads its flash layout sector and looks the region up by name
// in the whole reserved table as far as it lies inside the block. True on a match.
// Leaves the image's position as it found it once the seek to the OS section worked.
bool DefineReserveRegion(File& image, RegionLookup& lookup);

// RESERVE_SIZE of a found region: its block count times BLOCK_BYTES. False when that
// exceeds the OS section, which the OS remainder could then not be cut from.
bool ComputeReserveSize(const RegionLookup& lookup, const ImageLayout& layout, std::uint32_t& reserveSize);

// Writes the part-2 file to the staging file from its position (0) and cuts the file
// to the part-2 length. False when any read, seek or write fails or comes back short.
bool BuildPartTwoFile(File& image, File& staging, const ImageHeader& header, const ImageLayout& layout,
                      std::uint32_t reserveSize);

// What a transfer of the image sends, as found by the checks it passes before its
// first byte leaves.
struct TransferPlan {
  ImageHeader header;
  ImageLayout layout;
  std::uint64_t imageBytes = 0;
  RegionLookup lookup = MakeRegionLookup(RESERVED_REGION_NAME);
  std::uint32_t reserveSize = 0;
  StringId refusal = IDS_IMAGE_TOO_SHORT;  // why the image cannot be sent; only once a check failed
};

// Reads the header and checks everything the transfer will rely on, in this order:
// the header is whole, the sections fit the file, an image with a downloader holds the
// package's two boot blocks, the reserved region is found, and it fits the OS section.
// False at the first check that fails, with its reason. The image's position is left
// just after the header.
bool PlanTransfer(File& image, TransferPlan& plan);

struct ByteRange {
  std::uint32_t offset;
  std::uint32_t length;
};

// The OS section after the reserved region; reserveSize must not exceed the OS size.
ByteRange OsRemainder(const ImageLayout& layout, std::uint32_t reserveSize);
