#include "normal_options.h"

#include <arpa/inet.h>

#include "../common/parse_number.h"
#include "sync_wire.h"

namespace pdasim {

const char NORMAL_USAGE[] =
    "Normal state, before the downloader (--link and --out as above):\n"
    "  pdasim --normal wm5|wm6 --host ADDR:PORT --link PATH --out DIR [options]\n"
    "  --normal wm5|wm6        start as a WM5 or WM6 device in its normal state; once\n"
    "                          the helper (any Nalvex.exe) is started, drop every\n"
    "                          connection and become the downloader above\n"
    "  --host ADDR:PORT        the host's listener: the control connection, then one\n"
    "                          connection per remote-API channel the host asks for\n"
    "  --trigger-at ADDR:PORT  connect only after the one-byte trigger arrives on this\n"
    "                          UDP address (default: connect at once, retrying while\n"
    "                          refused)\n"
    "  --restart-delay-ms N    from the helper's start to the downloader port (default 3000)\n"
    "  --device-name TEXT      up to 31 characters (default pdasim-wm5 or pdasim-wm6)\n"
    "  --model TEXT            (default \"PDASIM WM5\" or \"PDASIM WM6\")\n"
    "  --platform TEXT         (default PocketPC)\n"
    "  --os-version MAJOR.MINOR.BUILD\n"
    "                          (default 5.1.1702 or 5.2.1235; the newer message layout\n"
    "                          needs 5.1 or later, and an older device takes no calls)\n"
    "  A WM6 device sends the optional request 6 in its handshake; a WM5 device does not.\n"
    "  GetSystemPowerStatusEx replies in the 28-byte form (no lastError). Files live in\n"
    "  memory (at most 256 files, 64 MiB) and are written to DIR/device-files at the end.\n"
    "  CreateProcess starts only a stored, closed file that begins with \"MZ\".\n"
    "Normal-state faults:\n"
    "  --never-connect         never answer the trigger\n"
    "  --lock wm5              locked, the host to supply the password (every one is refused)\n"
    "  --lock wm6[:SECONDS]    locked, its user unlocks it SECONDS after the host asks\n"
    "                          (never without SECONDS)\n"
    "  --refuse-call CALL:ERROR\n"
    "                          CALL (CreateFile, WriteFile, CloseHandle, CreateProcess)\n"
    "                          fails with lastError ERROR; may be given once per CALL\n"
    "  --drop-link-after-write K\n"
    "                          abort every connection once K bytes of file content arrived\n"
    "  --lose-launch-reply     the helper starts but its CreateProcess reply never goes out\n"
    "  --launch-prompt-ms N    CreateProcess answers only after N ms (the device asks its user)\n"
    "  --battery PERCENT[:ac-online|ac-offline][:high|low|critical]\n"
    "                          what GetSystemPowerStatusEx tells (default 100:ac-online:high)\n"
    "With --normal, exit status 0 also needs the normal state to have gone without a\n"
    "problem (a fault asked for and applied is none; a call that fails unasked is one).\n";

const char* CallName(Call call) {
  switch (call) {
    case Call::CreateFile:
      return "CreateFile";
    case Call::WriteFile:
      return "WriteFile";
    case Call::CloseHandle:
      return "CloseHandle";
    case Call::CreateProcess:
      return "CreateProcess";
    case Call::GetSystemPowerStatusEx:
      return "GetSystemPowerStatusEx";
    case Call::GetVersionEx:
      return "GetVersionEx";
  }
  return "?";
}

namespace {

bool ParseEndpoint(const std::string& text, Endpoint& endpoint) {
  const std::size_t colon = text.rfind(':');
  std::uint32_t port = 0;
  in_addr address{};
  if (colon == std::string::npos || !ParseU32(text.substr(colon + 1), port) || port == 0 || port > 0xFFFF ||
      inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1)
    return false;
  endpoint.address = address.s_addr;
  endpoint.port = static_cast<std::uint16_t>(port);
  endpoint.text = text;
  return true;
}

bool ParseOsVersion(const std::string& text, NormalOptions& normal) {
  const std::size_t first = text.find('.');
  const std::size_t second = first == std::string::npos ? first : text.find('.', first + 1);
  std::uint32_t major = 0, minor = 0, build = 0;
  if (second == std::string::npos || !ParseU32(text.substr(0, first), major) ||
      !ParseU32(text.substr(first + 1, second - first - 1), minor) || !ParseU32(text.substr(second + 1), build))
    return false;
  normal.osMajor = major;
  normal.osMinor = minor;
  normal.osBuild = build;
  return true;
}

bool ParseBattery(const std::string& text, NormalOptions& normal) {
  std::size_t at = 0;
  bool first = true, acGiven = false, levelGiven = false;
  while (at <= text.size()) {
    const std::size_t colon = text.find(':', at);
    const std::string part = text.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    std::uint32_t percent = 0;
    if (first) {
      if (!ParseU32(part, percent) || percent > 100) return false;
      normal.batteryPercent = static_cast<std::uint8_t>(percent);
    } else if (!acGiven && !levelGiven && (part == "ac-online" || part == "ac-offline")) {
      normal.acLineStatus = part == "ac-online" ? 1 : 0;
      acGiven = true;
    } else if (!levelGiven && (part == "high" || part == "low" || part == "critical")) {
      normal.batteryFlag = part == "high" ? 0x01 : part == "low" ? 0x02 : 0x04;
      levelGiven = true;
    } else {
      return false;
    }
    first = false;
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  normal.batteryGiven = true;
  return true;
}

bool ParseRefusal(const std::string& text, NormalOptions& normal) {
  const std::size_t colon = text.find(':');
  std::uint32_t error = 0;
  if (colon == std::string::npos || !ParseU32(text.substr(colon + 1), error)) return false;
  const std::string name = text.substr(0, colon);
  for (Call call : {Call::CreateFile, Call::WriteFile, Call::CloseHandle, Call::CreateProcess}) {
    if (name == CallName(call)) return normal.refuse.emplace(call, error).second;
  }
  return false;
}

bool PrintableAscii(const std::string& text) {
  for (char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

}  // namespace

int ParseNormalOption(int argc, char** argv, int i, NormalOptions& normal, std::string& complaint) {
  const std::string arg = argv[i];
  if (arg == "--never-connect") {
    normal.neverConnect = true;
    return 1;
  }
  if (arg == "--lose-launch-reply") {
    normal.loseLaunchReply = true;
    return 1;
  }
  static const char* const WITH_VALUE[] = {
      "--normal", "--host", "--trigger-at", "--restart-delay-ms", "--device-name", "--model", "--platform",
      "--os-version", "--lock", "--refuse-call", "--drop-link-after-write", "--launch-prompt-ms", "--battery"};
  bool known = false;
  for (const char* name : WITH_VALUE) known |= arg == name;
  if (!known) return 0;
  if (i + 1 >= argc) {
    complaint = "missing value for " + arg;
    return 0;
  }
  const std::string value = argv[i + 1];
  bool ok = true;
  if (arg == "--normal") {
    ok = value == "wm5" || value == "wm6";
    normal.kind = value == "wm5" ? DeviceKind::Wm5 : DeviceKind::Wm6;
  } else if (arg == "--host") {
    ok = ParseEndpoint(value, normal.host);
  } else if (arg == "--trigger-at") {
    ok = ParseEndpoint(value, normal.triggerAt.emplace());
  } else if (arg == "--restart-delay-ms") {
    ok = ParseU32(value, normal.restartDelayMs);
  } else if (arg == "--device-name") {
    bool valid = false;
    const std::size_t units = sync::Utf8ToUtf16(value, valid).size();
    ok = valid && units >= 1 && units <= sync::DEVICE_NAME_MAX_CHARS;
    normal.deviceName = value;
  } else if (arg == "--model" || arg == "--platform") {
    ok = !value.empty() && value.size() < sync::INFO_TEXT_MAX_BYTES && PrintableAscii(value);
    (arg == "--model" ? normal.model : normal.platform) = value;
  } else if (arg == "--os-version") {
    ok = ParseOsVersion(value, normal);
  } else if (arg == "--lock") {
    const std::size_t colon = value.find(':');
    const std::string kind = value.substr(0, colon);
    if (kind == "wm5") {
      normal.lock = LockKind::Wm5;
      ok = colon == std::string::npos;
    } else {
      normal.lock = LockKind::Wm6;
      std::uint32_t seconds = 0;
      ok = kind == "wm6" && (colon == std::string::npos || ParseU32(value.substr(colon + 1), seconds));
      if (colon != std::string::npos) normal.unlockAfterSeconds = seconds;
    }
  } else if (arg == "--refuse-call") {
    ok = ParseRefusal(value, normal);
  } else if (arg == "--drop-link-after-write") {
    std::uint64_t bytes = 0;
    ok = ParseNumber(value, UINT64_MAX, bytes) && bytes > 0;
    normal.dropAfterWrite = bytes;
  } else if (arg == "--launch-prompt-ms") {
    ok = ParseU32(value, normal.launchPromptMs);
  } else {
    ok = ParseBattery(value, normal);
  }
  if (!ok) {
    complaint = "bad value for " + arg + ": " + value;
    return 0;
  }
  return 2;
}

std::string FinishNormalOptions(NormalOptions& normal, const std::string& triggerFile) {
  const bool anyGiven = normal.host.port != 0 || normal.triggerAt || !normal.deviceName.empty() ||
                        !normal.model.empty() || !normal.platform.empty() || normal.osMajor || normal.neverConnect ||
                        normal.lock != LockKind::None || !normal.refuse.empty() || normal.dropAfterWrite ||
                        normal.loseLaunchReply || normal.launchPromptMs != 0 || normal.batteryGiven;
  if (normal.kind == DeviceKind::None) return anyGiven ? "the normal state's options need --normal" : "";
  if (normal.host.port == 0) return "--normal needs --host";
  if (!triggerFile.empty()) return "--trigger belongs to the downloader alone; the normal state restarts into it";
  const bool wm5 = normal.kind == DeviceKind::Wm5;
  if (normal.deviceName.empty()) normal.deviceName = wm5 ? "pdasim-wm5" : "pdasim-wm6";
  if (normal.model.empty()) normal.model = wm5 ? "PDASIM WM5" : "PDASIM WM6";
  if (normal.platform.empty()) normal.platform = "PocketPC";
  if (!normal.osMajor) {
    normal.osMajor = 5;
    normal.osMinor = wm5 ? 1 : 2;
    normal.osBuild = wm5 ? 1702 : 1235;
  }
  return "";
}

}  // namespace pdasim
