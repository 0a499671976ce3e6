// Formats the simulated downloader shares with the host: packet stream framing, the
// image header and the flash geometry. Written independently of the host's code.
#pragma once

#include <cstdint>
#include <string>

namespace pdasim {

constexpr std::uint32_t STREAM_HEAD_BYTES = 8;
constexpr std::uint32_t CHECKSUM_BYTES = 2;
constexpr std::uint32_t STREAM_OVERHEAD = STREAM_HEAD_BYTES + CHECKSUM_BYTES;
constexpr std::uint32_t HEADER_BYTES = 116;
constexpr std::uint32_t HEADER_WORDS = 29;
constexpr std::uint32_t BLOCK_BYTES = 16640;
constexpr std::uint32_t BOOT_BLOCKS_BYTES = 2 * BLOCK_BYTES;

constexpr std::uint32_t FLAG_BL = 0x02;
constexpr std::uint32_t FLAG_UD = 0x04;
constexpr std::uint32_t FLAG_KN = 0x08;
constexpr std::uint32_t FLAG_EB = 0x10;

// The three streams of an update, in the order the host sends them.
enum class Role { Unknown, Package, PartTwo, OsRemainder };

inline const char* RoleName(Role role) {
  switch (role) {
    case Role::Package: return "package";
    case Role::PartTwo: return "part2";
    case Role::OsRemainder: return "os-remainder";
    case Role::Unknown: break;
  }
  return "unknown";
}

inline std::string RoleFile(Role role) { return std::string(RoleName(role)) + ".bin"; }

inline std::uint32_t GetWord(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

inline void PutWord(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A downloader package is recognised by its header alone: UD bit set, word 2 = 33280.
inline bool LooksLikePackage(const std::uint8_t* header) {
  return (GetWord(header + 4) & FLAG_UD) != 0 && GetWord(header + 8) == BOOT_BLOCKS_BYTES;
}

}  // namespace pdasim
