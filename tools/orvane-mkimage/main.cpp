// orvane-mkimage: writes update images for the end-to-end tests and the demo.
//
// An image is a 116-byte header of 29 little-endian words, the OS section in raw
// flash layout (520-byte sectors, 16640-byte blocks) and the BL, UD, KN and EB
// sections, present by IMGFLAG bits 0x02, 0x04, 0x08 and 0x10. Every content byte
// is derived from its section and its offset in that section, so a byte that lands
// in the wrong place is caught by a plain comparison. The boot block carries the
// flash layout sector with the reserved table. Switches produce the malformed
// images the transfer must cope with.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "../common/parse_number.h"

namespace {

constexpr std::uint32_t HEADER_BYTES = 116;
constexpr std::uint32_t HEADER_WORDS = 29;
constexpr std::uint32_t SECTOR_BYTES = 520;
constexpr std::uint32_t BLOCK_BYTES = 16640;
constexpr std::uint32_t FLASH_SIGNATURE_OFFSET = 520;
constexpr std::uint32_t RESERVED_TABLE_OFFSET = 536;
constexpr std::uint32_t RESERVED_ENTRY_BYTES = 16;
constexpr std::uint32_t SECTION_FLAG_BITS = 0x1E;

// Section ids in the high nibble of every content word; the OS section is 1.
enum SectionId : std::uint32_t { OS_ID = 1, BL_ID = 2, UD_ID = 3, KN_ID = 4, EB_ID = 5 };

struct Section {
  const char* name;
  std::uint32_t id;
  std::uint32_t flag;
  std::uint32_t sizeWord;
  bool present;
  std::uint32_t size;
};

struct ReservedEntry {
  std::string name;
  std::uint32_t startBlock;
  std::uint32_t blockCount;
};

struct Options {
  std::uint32_t osSize = 32 * BLOCK_BYTES;
  Section extra[4] = {
      {"BL", BL_ID, 0x02, 3, false, 0},
      {"UD", UD_ID, 0x04, 4, false, 0},
      {"KN", KN_ID, 0x08, 5, false, 0},
      {"EB", EB_ID, 0x10, 6, false, 0},
  };
  std::uint32_t extraFlags = 0;
  std::uint32_t word0 = 0x4F525631;
  std::uint32_t word24 = 0;
  std::vector<ReservedEntry> reserved;
  bool revBlocksGiven = false;
  std::uint32_t revBlocks = 2;
  std::uint32_t bootBlock = 0;
  std::uint32_t bootByte = 0xEB;
  bool tableSizeGiven = false;
  std::uint32_t tableSize = 0;
  bool noBootBlock = false;
  bool noFlashSignature = false;
  bool noRev = false;
  bool staleSizes = false;
  bool shortHeaderGiven = false;
  std::uint32_t shortHeader = 0;
  std::uint64_t cut = 0;
  std::string out;
};

const char USAGE[] =
    "usage: orvane-mkimage [options] OUT\n"
    "  --os-size N             OS section bytes (default 532480, 32 blocks)\n"
    "  --bl N | --ud N | --kn N | --eb N\n"
    "                          add that section with N bytes and set its IMGFLAG bit\n"
    "  --flags N               further IMGFLAG bits, outside 0x1E (e.g. 0x41)\n"
    "  --word0 N               header word 0 (default 0x4F525631)\n"
    "  --word24 N              header word 24 (default 0)\n"
    "  --reserved NAME:START:COUNT\n"
    "                          reserved table entry; repeat for more; replaces the\n"
    "                          default single entry REV:0:<rev-blocks>\n"
    "  --rev-blocks N          block count of the default REV entry (default 2)\n"
    "  --boot-block K          index of the boot block (default 0); blocks before it\n"
    "                          carry 55 AA but a first byte of 0x90\n"
    "  --boot-byte N           first byte of the boot block, 0xEB (default) or 0xE9\n"
    "  --table-size N          reserved table size field (default 16 x entries)\n"
    "  --no-boot-block         no block carries the boot-sector signature\n"
    "  --no-flash-signature    the boot block lacks \"MSFLSH50\"\n"
    "  --no-rev                every entry named REV is renamed REVX\n"
    "  --stale-sizes           size words of absent sections hold non-zero values\n"
    "  --short-header N        write only the first N (< 116) header bytes\n"
    "  --cut N                 end the file N bytes before its declared end\n"
    "Numbers are decimal or 0x-prefixed hexadecimal.\n";

bool ParseEntry(const std::string& text, ReservedEntry& entry) {
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) return false;
  entry.name = text.substr(0, first);
  if (entry.name.empty() || entry.name.size() > 8) return false;
  return ParseU32(text.substr(first + 1, second - first - 1), entry.startBlock) &&
         ParseU32(text.substr(second + 1), entry.blockCount);
}

// Returns an empty string on success, else the complaint to print before the usage.
std::string ParseArgs(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& text) {
      if (i + 1 >= argc) return false;
      text = argv[++i];
      return true;
    };
    std::string text;
    bool ok = true;
    if (arg == "--os-size") {
      ok = value(text) && ParseU32(text, options.osSize);
    } else if (arg == "--bl" || arg == "--ud" || arg == "--kn" || arg == "--eb") {
      Section& section = options.extra[arg == "--bl" ? 0 : arg == "--ud" ? 1 : arg == "--kn" ? 2 : 3];
      section.present = true;
      ok = value(text) && ParseU32(text, section.size);
    } else if (arg == "--flags") {
      ok = value(text) && ParseU32(text, options.extraFlags);
      if (ok && (options.extraFlags & SECTION_FLAG_BITS) != 0)
        return "--flags may not set the section bits 0x1E; use --bl, --ud, --kn, --eb";
    } else if (arg == "--word0") {
      ok = value(text) && ParseU32(text, options.word0);
    } else if (arg == "--word24") {
      ok = value(text) && ParseU32(text, options.word24);
    } else if (arg == "--reserved") {
      ReservedEntry entry;
      ok = value(text) && ParseEntry(text, entry);
      if (ok) options.reserved.push_back(entry);
    } else if (arg == "--rev-blocks") {
      options.revBlocksGiven = true;
      ok = value(text) && ParseU32(text, options.revBlocks);
    } else if (arg == "--boot-block") {
      ok = value(text) && ParseU32(text, options.bootBlock);
    } else if (arg == "--boot-byte") {
      ok = value(text) && ParseU32(text, options.bootByte) &&
           (options.bootByte == 0xEB || options.bootByte == 0xE9);
    } else if (arg == "--table-size") {
      options.tableSizeGiven = true;
      ok = value(text) && ParseU32(text, options.tableSize);
    } else if (arg == "--no-boot-block") {
      options.noBootBlock = true;
    } else if (arg == "--no-flash-signature") {
      options.noFlashSignature = true;
    } else if (arg == "--no-rev") {
      options.noRev = true;
    } else if (arg == "--stale-sizes") {
      options.staleSizes = true;
    } else if (arg == "--short-header") {
      options.shortHeaderGiven = true;
      ok = value(text) && ParseU32(text, options.shortHeader) && options.shortHeader < HEADER_BYTES;
    } else if (arg == "--cut") {
      ok = value(text) && ParseNumber(text, UINT64_MAX, options.cut);
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options.out.empty()) {
      options.out = arg;
    } else {
      return "more than one output file given";
    }
    if (!ok) return "bad or missing value for " + arg;
  }
  if (options.out.empty()) return "no output file given";
  if (options.revBlocksGiven && !options.reserved.empty())
    return "--rev-blocks sets the default entry; give the count in --reserved instead";
  if (options.reserved.empty()) options.reserved.push_back({"REV", 0, options.revBlocks});
  const std::uint64_t tableEnd =
      RESERVED_TABLE_OFFSET + std::uint64_t{RESERVED_ENTRY_BYTES} * options.reserved.size();
  if (tableEnd > BLOCK_BYTES) return "too many reserved entries for one block";
  if (!options.noBootBlock && (std::uint64_t{options.bootBlock} + 1) * BLOCK_BYTES > options.osSize)
    return "the boot block does not fit in the OS section";
  return "";
}

void PutWord(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The byte at a section offset: byte (offset % 4) of the little-endian word
// (id << 28) | (offset / 4), so every aligned word names its section and place.
std::uint8_t ContentByte(std::uint32_t id, std::uint64_t offset) {
  const std::uint32_t word = (id << 28) | static_cast<std::uint32_t>((offset / 4) & 0x0FFFFFFF);
  return static_cast<std::uint8_t>(word >> (8 * (offset % 4)));
}

std::vector<std::uint8_t> BuildHeader(const Options& options) {
  std::vector<std::uint8_t> header(HEADER_BYTES);
  // Words nobody interprets carry recognisable values so a rewrite that touches them shows.
  for (std::uint32_t i = 0; i < HEADER_WORDS; ++i) PutWord(&header[4 * i], 0xC0DE0000u | i);
  std::uint32_t flags = options.extraFlags;
  for (const Section& section : options.extra) {
    std::uint32_t word = options.staleSizes ? 0x5A5A0000u | section.sizeWord : 0;
    if (section.present) {
      flags |= section.flag;
      word = section.size;
    }
    PutWord(&header[4 * section.sizeWord], word);
  }
  PutWord(&header[0], options.word0);
  PutWord(&header[4], flags);
  PutWord(&header[8], options.osSize);
  PutWord(&header[96], options.word24);
  return header;
}

// Writes the file, stopping at limit bytes, in bounded chunks so the OS size does not
// decide the memory used.
class LimitedWriter {
 public:
  LimitedWriter(std::ofstream& out, std::uint64_t limit) : out_(out), limit_(limit) {}
  void Write(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t room = limit_ > written_ ? limit_ - written_ : 0;
    const std::size_t take = room < size ? static_cast<std::size_t>(room) : size;
    out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(take));
    written_ += take;
  }

 private:
  std::ofstream& out_;
  std::uint64_t limit_;
  std::uint64_t written_ = 0;
};

void OverlayBootBlock(const Options& options, std::vector<std::uint8_t>& block) {
  block[0] = static_cast<std::uint8_t>(options.bootByte);
  block[510] = 0x55;
  block[511] = 0xAA;
  if (!options.noFlashSignature) std::memcpy(&block[FLASH_SIGNATURE_OFFSET], "MSFLSH50", 8);
  const std::uint32_t count = static_cast<std::uint32_t>(options.reserved.size());
  PutWord(&block[528], options.tableSizeGiven ? options.tableSize : RESERVED_ENTRY_BYTES * count);
  PutWord(&block[532], RESERVED_ENTRY_BYTES);
  std::uint8_t* entry = &block[RESERVED_TABLE_OFFSET];
  for (const ReservedEntry& reserved : options.reserved) {
    std::memset(entry, 0, 8);
    const std::string name = options.noRev && reserved.name == "REV" ? "REVX" : reserved.name;
    std::memcpy(entry, name.data(), name.size());
    PutWord(entry + 8, reserved.startBlock);
    PutWord(entry + 12, reserved.blockCount);
    entry += RESERVED_ENTRY_BYTES;
  }
}

void WriteOsSection(const Options& options, LimitedWriter& writer) {
  std::vector<std::uint8_t> block(BLOCK_BYTES);
  for (std::uint64_t start = 0; start < options.osSize; start += BLOCK_BYTES) {
    const std::uint64_t index = start / BLOCK_BYTES;
    const std::size_t size = static_cast<std::size_t>(
        options.osSize - start < BLOCK_BYTES ? options.osSize - start : BLOCK_BYTES);
    for (std::size_t i = 0; i < size; ++i) block[i] = ContentByte(OS_ID, start + i);
    if (!options.noBootBlock && size == BLOCK_BYTES) {
      if (index == options.bootBlock) {
        OverlayBootBlock(options, block);
      } else if (index < options.bootBlock) {
        // Decoys: the 0xAA55 word without a boot jump byte must be passed over.
        block[0] = 0x90;
        block[510] = 0x55;
        block[511] = 0xAA;
      }
    }
    writer.Write(block.data(), size);
  }
}

void WriteSection(const Section& section, LimitedWriter& writer) {
  std::vector<std::uint8_t> chunk(64 * 1024);
  for (std::uint64_t start = 0; start < section.size; start += chunk.size()) {
    const std::size_t size = static_cast<std::size_t>(
        section.size - start < chunk.size() ? section.size - start : chunk.size());
    for (std::size_t i = 0; i < size; ++i) chunk[i] = ContentByte(section.id, start + i);
    writer.Write(chunk.data(), size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const std::string complaint = ParseArgs(argc, argv, options);
  if (!complaint.empty()) {
    std::cerr << "orvane-mkimage: " << complaint << "\n" << USAGE;
    return 2;
  }

  std::uint64_t declared = HEADER_BYTES + std::uint64_t{options.osSize};
  for (const Section& section : options.extra)
    if (section.present) declared += section.size;
  if (options.cut > declared) {
    std::cerr << "orvane-mkimage: --cut " << options.cut << " is more than the image's "
              << declared << " bytes\n" << USAGE;
    return 2;
  }
  const std::uint64_t limit = options.shortHeaderGiven ? options.shortHeader : declared - options.cut;

  std::ofstream out(options.out, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::cerr << "orvane-mkimage: cannot create " << options.out << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  LimitedWriter writer(out, limit);
  const std::vector<std::uint8_t> header = BuildHeader(options);
  writer.Write(header.data(), header.size());
  WriteOsSection(options, writer);
  for (const Section& section : options.extra)
    if (section.present) WriteSection(section, writer);
  out.close();
  if (!out) {
    std::cerr << "orvane-mkimage: writing " << options.out << " failed\n";
    return 1;
  }

  std::uint32_t flags = options.extraFlags;
  for (const Section& section : options.extra)
    if (section.present) flags |= section.flag;
  std::cout << options.out << ": " << limit << " bytes, IMGFLAG 0x" << std::hex << flags << std::dec
            << ", OS " << options.osSize;
  for (const Section& section : options.extra)
    if (section.present) std::cout << ", " << section.name << " " << section.size;
  std::cout << "\n";
  return 0;
}
