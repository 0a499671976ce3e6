// The framework's file class on Win32 handles, as the engine's File.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "file.h"

class CFile : public File {
 public:
  // Open flags, with the framework's values.
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeCreate = 0x1000,
  };

  CFile() = default;
  ~CFile() override;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens a file by name; with modeCreate an existing file is cut to length 0. The
  // wide name reaches files whose names the ANSI code page cannot spell.
  BOOL Open(LPCSTR fileName, UINT openFlags);
  BOOL Open(LPCWSTR fileName, UINT openFlags);
  void Close();

  bool Seek(std::int64_t offset, SeekFrom from) override;
  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override;
  bool Write(const void* data, std::uint32_t count) override;
  bool GetLength(std::uint64_t& length) override;
  bool GetPosition(std::uint64_t& position) override;
  bool SetLength(std::uint64_t length) override;

 private:
  HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& name, OpenMode mode) override;
};
