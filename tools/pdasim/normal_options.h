// pdasim's command line for the device's normal state: the device that connects to the
// host's sync listener before it is ever in its downloader.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pdasim {

enum class DeviceKind { None, Wm5, Wm6 };

// How the device is locked: WM5 takes a password from the host, WM6 asks its own user.
enum class LockKind { None, Wm5, Wm6 };

// The remote-API calls pdasim serves.
enum class Call { CreateFile, WriteFile, CloseHandle, CreateProcess, GetSystemPowerStatusEx, GetVersionEx };

const char* CallName(Call call);

// An IPv4 address and port, as given.
struct Endpoint {
  std::uint32_t address = 0;  // network byte order
  std::uint16_t port = 0;
  std::string text;
};

struct NormalOptions {
  DeviceKind kind = DeviceKind::None;
  Endpoint host;
  std::optional<Endpoint> triggerAt;
  std::uint32_t restartDelayMs = 3000;
  std::string deviceName;  // empty until FinishNormalOptions fills the kind's default
  std::string model;
  std::string platform;
  std::optional<std::uint32_t> osMajor, osMinor, osBuild;

  bool neverConnect = false;
  LockKind lock = LockKind::None;
  std::optional<std::uint32_t> unlockAfterSeconds;
  std::map<Call, std::uint32_t> refuse;  // call -> the lastError it fails with
  std::optional<std::uint64_t> dropAfterWrite;
  bool loseLaunchReply = false;
  std::uint32_t launchPromptMs = 0;
  bool batteryGiven = false;
  std::uint8_t acLineStatus = 1;    // online
  std::uint8_t batteryFlag = 0x01;  // high
  std::uint8_t batteryPercent = 100;
};

extern const char NORMAL_USAGE[];

// Takes argv[i], and its value, when it is a normal-state option: returns how many
// arguments it used (0 when it is none of them); a bad value sets complaint.
int ParseNormalOption(int argc, char** argv, int i, NormalOptions& normal, std::string& complaint);

// After the whole command line: fills the kind's defaults and says what does not fit
// together. triggerFile is the downloader's --trigger, which the normal state replaces.
std::string FinishNormalOptions(NormalOptions& normal, const std::string& triggerFile);

}  // namespace pdasim
