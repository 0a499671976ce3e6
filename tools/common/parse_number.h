// Number arguments of the test tools: decimal or 0x-prefixed hexadecimal, no sign.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

inline bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

inline bool ParseU32(const std::string& text, std::uint32_t& value) {
  std::uint64_t wide = 0;
  if (!ParseNumber(text, 0xFFFFFFFFu, wide)) return false;
  value = static_cast<std::uint32_t>(wide);
  return true;
}
