#include "file.h"

bool ReadExactly(File& file, void* buffer, std::uint32_t count) {
  std::uint32_t got = 0;
  return file.Read(buffer, count, got) && got == count;
}

bool SeekTo(File& file, std::uint64_t offset) {
  std::uint64_t position = 0;
  return file.Seek(static_cast<std::int64_t>(offset), SeekFrom::Begin) && file.GetPosition(position) &&
         position == offset;
}
