// orvane-flash's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr char DEFAULT_PORT[] = "/dev/ttyUSB0";
// How long the downloader's port may take to appear after the helper has started,
// unless --wait says otherwise: the device restarts into its downloader first.
constexpr std::uint32_t HELPER_PORT_WAIT_SECONDS = 90;

enum class Command { Flash, Check, DeviceInfo, Help, Version };

struct Options {
  Command command = Command::Flash;
  std::vector<std::string> ports;  // as given, in order; empty: DEFAULT_PORT
  std::string workdir;
  std::string image;
  std::string report;
  std::string logDir;
  std::uint32_t waitSeconds = 0;  // how long a port may take to appear
  bool waitGiven = false;
  // The road from the device's normal state over its sync link: the helper to push and
  // start; empty when the devices are in their downloader already.
  std::string helper;
  // Per device, in the order of the ports: the link's interface, or the addresses that
  // replace the link's own. Either none, or one for each device.
  std::vector<std::string> links;
  std::vector<std::string> listens;
  std::vector<std::string> triggers;
  bool anyPower = false;

  std::size_t Devices() const { return ports.empty() ? 1 : ports.size(); }
};

extern const char USAGE[];

// False on a command line that is not one of the usages.
bool ParseOptions(int argc, char** argv, Options& options);
