// SHA-256, for the digest of an update image that a user compares with its publisher's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const std::uint8_t* data, std::size_t size);
  // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
  std::string Hex();

 private:
  void Block(const std::uint8_t* block);
  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingBytes_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of a whole file, read in pieces; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);
