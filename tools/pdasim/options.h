// pdasim's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "normal_options.h"
#include "wire.h"

namespace pdasim {

// Names one stream of the session: by its place in arrival order (1, 2, 3) or by role.
struct StreamRef {
  unsigned index = 0;  // 0 when the role names it
  Role role = Role::Unknown;
  std::string text;    // as given, for the report

  bool Matches(unsigned streamIndex, Role streamRole) const {
    return index != 0 ? index == streamIndex : role != Role::Unknown && role == streamRole;
  }
};

struct Options {
  std::string link;
  std::string out;
  std::string image;
  std::string trigger;
  std::uint32_t hostOsCode = 1003;
  std::uint32_t resetDelayMs = 4000;
  std::uint32_t dotBytes = 16640;
  std::uint32_t dotMs = 10;
  std::uint32_t lingerMs = 300;
  std::uint32_t maxSeconds = 600;

  std::optional<StreamRef> failAfter;
  std::string failLine;
  std::optional<StreamRef> badChecksum;
  std::optional<StreamRef> silence;
  std::uint32_t silenceLines = 0;
  std::optional<StreamRef> drop;
  std::uint64_t dropBytes = 0;
  bool stall = false;  // at the drop point, take no more data but keep the port
  std::string midwayLine;  // with stall: the failure line sent at the drop point
  std::uint32_t slowBytes = 0;  // 0: read as much as is there
  std::uint32_t slowMs = 0;
  std::uint32_t garbageLines = 0;
  std::uint32_t longLines = 0;
  bool noReturn = false;

  NormalOptions normal;
};

extern const char USAGE[];

// Fills options; returns an empty string, or what is wrong with the command line.
std::string ParseOptions(int argc, char** argv, Options& options);

}  // namespace pdasim
