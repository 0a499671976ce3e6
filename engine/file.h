// The file operations the engine needs from the platform: the image is read through
// them, the staging file is written and read back through them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum class SeekFrom { Begin, Current };

// Open modes, with the values of the framework's file class.
enum class OpenMode : std::uint32_t {
  ReadShared = 0x40,         // read only, others may read and write
  CreateReadWrite = 0x1002,  // create or cut to length 0, read and write, not shared
};

class File {
 public:
  virtual ~File() = default;
  // Moves the position; false when the platform refuses the seek.
  virtual bool Seek(std::int64_t offset, SeekFrom from) = 0;
  // Reads up to count bytes; got is less than count only at the end of the file.
  virtual bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) = 0;
  // Writes all count bytes or reports false.
  virtual bool Write(const void* data, std::uint32_t count) = 0;
  virtual bool GetLength(std::uint64_t& length) = 0;
  virtual bool GetPosition(std::uint64_t& position) = 0;
  virtual bool SetLength(std::uint64_t length) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens a file by name in the current directory; null when it cannot be opened.
  virtual std::unique_ptr<File> Open(const std::string& name, OpenMode mode) = 0;
};

// Reads exactly count bytes; false on an error or a short read.
bool ReadExactly(File& file, void* buffer, std::uint32_t count);
// Seeks from the start and checks that the position reached is the one asked for.
bool SeekTo(File& file, std::uint64_t offset);
