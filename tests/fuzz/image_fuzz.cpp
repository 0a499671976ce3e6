// Feeds arbitrary images through the header reader, the reserved-region lookup and
// the builders of both staged streams, checking what must hold for any input.
#include <cstdlib>

#include "image.h"
#include "memory_file.h"

#define CHECK(condition) \
  if (!(condition)) std::abort()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFile image(data, size);
  MemoryFile staging;
  ImageHeader header;
  ImageLayout layout;
  if (!ReadImageHeader(image, header, layout)) {
    CHECK(size < HEADER_BYTES);
    return 0;
  }
  RegionLookup lookup = MakeRegionLookup("REV");
  const bool found = DefineReserveRegion(image, lookup);
  std::uint64_t position = 0;
  CHECK(image.GetPosition(position) && position == HEADER_BYTES);
  CHECK(lookup.tableEntries <= RESERVED_ENTRY_CAPACITY);
  if (!SectionsFitImage(layout, size)) return 0;

  if (layout.Has(ImageFlags::UD)) {
    std::uint32_t length = 0;
    if (BuildDownloaderPackage(image, staging, header, layout, length)) {
      CHECK(length == HEADER_BYTES + BOOT_BLOCKS_BYTES + layout.bl + layout.ud);
    }
    CHECK(staging.Seek(0, SeekFrom::Begin));
  }
  std::uint32_t reserve = 0;
  if (!found || !ComputeReserveSize(lookup, layout, reserve)) return 0;
  CHECK(BuildPartTwoFile(image, staging, header, layout, reserve));
  std::uint64_t staged = 0;
  CHECK(staging.GetLength(staged));
  CHECK(staged == std::uint64_t{HEADER_BYTES} + reserve + layout.bl + layout.kn + layout.eb);
  const ByteRange remainder = OsRemainder(layout, reserve);
  CHECK(std::uint64_t{remainder.offset} + remainder.length == std::uint64_t{HEADER_BYTES} + layout.os);
  return 0;
}
