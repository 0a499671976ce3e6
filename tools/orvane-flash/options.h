// orvane-flash's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr char DEFAULT_PORT[] = "/dev/ttyUSB0";

enum class Command { Flash, Check, Help, Version };

struct Options {
  Command command = Command::Flash;
  std::vector<std::string> ports;  // as given, in order; empty: DEFAULT_PORT
  std::string workdir;
  std::string image;
  std::string report;
  std::string logDir;
  std::uint32_t waitSeconds = 0;  // how long a port may take to appear
};

extern const char USAGE[];

// False on a command line that is not one of the usages.
bool ParseOptions(int argc, char** argv, Options& options);
