// A file held in memory, so a fuzz run does no disk I/O.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "file.h"

class MemoryFile : public File {
 public:
  MemoryFile() = default;
  MemoryFile(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}

  bool Seek(std::int64_t offset, SeekFrom from) override {
    const std::int64_t target = (from == SeekFrom::Begin ? 0 : static_cast<std::int64_t>(position_)) + offset;
    if (target < 0) return false;
    position_ = static_cast<std::uint64_t>(target);
    return true;
  }
  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override {
    const std::uint64_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    got = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, left));
    if (got > 0) std::memcpy(buffer, bytes_.data() + position_, got);
    position_ += got;
    return true;
  }
  bool Write(const void* data, std::uint32_t count) override {
    if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
    if (count > 0) std::memcpy(bytes_.data() + position_, data, count);
    position_ += count;
    return true;
  }
  bool GetLength(std::uint64_t& length) override {
    length = bytes_.size();
    return true;
  }
  bool GetPosition(std::uint64_t& position) override {
    position = position_;
    return true;
  }
  bool SetLength(std::uint64_t length) override {
    bytes_.resize(length);
    return true;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
};
