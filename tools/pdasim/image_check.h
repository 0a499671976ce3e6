// Checks received streams against the update image they were cut from: what the
// device would have flashed must equal the image byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace pdasim {

class ImageCheck {
 public:
  // Reads the image's header and reserved table; false with a reason when unusable.
  bool Load(const std::string& path, std::uint32_t hostOsCode, std::string& error);

  bool ExpectsPackage() const { return (flags_ & FLAG_UD) != 0; }
  // Compares a received payload with what the stream of this role must carry.
  // Returns an empty string when they are equal, else the first difference.
  std::string Check(Role role, const std::string& received) const;

 private:
  // A stretch of the expected payload: the rewritten header or a range of the image.
  struct Segment {
    std::string name;
    bool header;
    std::uint64_t offset;
    std::uint64_t length;
  };

  // Lays out what the role must carry; returns why nothing can be expected, or "".
  std::string Expect(Role role, std::vector<Segment>& segments, std::vector<std::uint8_t>& header) const;
  std::string FindReserve(std::FILE* image);

  std::string path_;
  std::uint32_t hostOsCode_ = 0;
  std::uint64_t fileSize_ = 0;
  std::vector<std::uint8_t> header_;
  std::uint32_t flags_ = 0;
  std::uint64_t os_ = 0, bl_ = 0, ud_ = 0, kn_ = 0, eb_ = 0;
  std::uint64_t reserveBytes_ = 0;
  std::string reserveProblem_;  // empty when the reserved region was found
};

}  // namespace pdasim
