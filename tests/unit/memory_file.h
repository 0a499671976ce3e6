// A file held in memory, seen through the engine's file seam: no disk I/O for fuzz runs,
// and scripted faults for tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "file.h"

class MemoryFile : public File {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<std::uint8_t> content) : content_(std::move(content)) {}
  MemoryFile(const std::uint8_t* data, std::size_t size) : content_(data, data + size) {}

  // Script: reads stop short of the end here, as when the file shrinks underneath.
  std::size_t readableBytes = SIZE_MAX;
  bool lengthFails = false;
  bool readOnly = false;

  bool Seek(std::int64_t offset, SeekFrom from) override {
    const std::int64_t base = from == SeekFrom::Begin ? 0 : static_cast<std::int64_t>(position_);
    if (base + offset < 0) return false;
    position_ = static_cast<std::uint64_t>(base + offset);
    return true;
  }
  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override {
    const std::uint64_t end = std::min<std::uint64_t>(content_.size(), readableBytes);
    got = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, end > position_ ? end - position_ : 0));
    if (got > 0) std::memcpy(buffer, content_.data() + position_, got);
    position_ += got;
    return true;
  }
  bool Write(const void* data, std::uint32_t count) override {
    if (readOnly) return false;
    if (position_ + count > content_.size()) content_.resize(position_ + count);
    if (count > 0) std::memcpy(content_.data() + position_, data, count);
    position_ += count;
    return true;
  }
  bool GetLength(std::uint64_t& length) override {
    length = content_.size();
    return !lengthFails;
  }
  bool GetPosition(std::uint64_t& position) override {
    position = position_;
    return true;
  }
  bool SetLength(std::uint64_t length) override {
    if (readOnly) return false;
    content_.resize(length);
    return true;
  }

 private:
  std::vector<std::uint8_t> content_;
  std::uint64_t position_ = 0;
};
