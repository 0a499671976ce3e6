// A read-only local file held in memory, seen through the engine's file seam.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/file.h"

class MemoryFile : public File {
 public:
  explicit MemoryFile(std::vector<std::uint8_t> content) : content_(std::move(content)) {}

  // Script: reads stop short of the end here, as when the file shrinks underneath.
  std::size_t readableBytes = SIZE_MAX;
  bool lengthFails = false;

  bool Seek(std::int64_t offset, SeekFrom from) override {
    const std::int64_t base = from == SeekFrom::Begin ? 0 : static_cast<std::int64_t>(position_);
    if (base + offset < 0) return false;
    position_ = static_cast<std::size_t>(base + offset);
    return true;
  }
  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override {
    const std::size_t end = std::min(content_.size(), readableBytes);
    got = static_cast<std::uint32_t>(std::min<std::size_t>(count, end > position_ ? end - position_ : 0));
    std::memcpy(buffer, content_.data() + position_, got);
    position_ += got;
    return true;
  }
  // Opened for reading only, as the welcome page opens the helper.
  bool Write(const void*, std::uint32_t) override { return false; }
  bool GetLength(std::uint64_t& length) override {
    length = content_.size();
    return !lengthFails;
  }
  bool GetPosition(std::uint64_t& position) override {
    position = position_;
    return true;
  }
  bool SetLength(std::uint64_t) override { return false; }

 private:
  std::vector<std::uint8_t> content_;
  std::size_t position_ = 0;
};
