#include "preflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "console_page.h"
#include "posix_serial.h"
#include "string_table.h"
#include "sync_link.h"

namespace {

// Whether two paths name one file: the same file where both exist, else the same name
// in the same folder.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat na {};
  struct stat nb {};
  if (::stat(a.c_str(), &na) == 0 && ::stat(b.c_str(), &nb) == 0) {
    return na.st_dev == nb.st_dev && na.st_ino == nb.st_ino;
  }
  auto normal = [](const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return ::realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) + "/" + name : path;
  };
  return normal(a) == normal(b);
}

}  // namespace

bool DistinctDevices(const std::vector<std::string>& ports) {
  PortClaims claims;
  for (std::size_t j = 0; j < ports.size(); ++j) {
    std::string other;
    dev_t device = 0;
    std::string why;
    if (TtyAt(ports[j], device, why)) other = claims.Claim(device, ports[j]);
    for (std::size_t i = 0; i < j && other.empty(); ++i) {
      if (ports[i] == ports[j]) other = ports[i];
    }
    if (!other.empty()) {
      Complain(ports[j], FormatText(IDS_SAME_DEVICE_AS, {other}));
      return false;
    }
  }
  return true;
}

bool OutputsUsable(const Options& options, const OpenedFile& image, const std::vector<std::string>& logs,
                   const std::vector<std::string>& stagingFiles) {
  auto folderUsable = [](const std::string& folder) {
    struct stat node {};
    const char* why = nullptr;
    if (::stat(folder.c_str(), &node) != 0 || (S_ISDIR(node.st_mode) && ::access(folder.c_str(), W_OK) != 0)) {
      why = std::strerror(errno);
    } else if (!S_ISDIR(node.st_mode)) {
      why = LoadText(IDS_NOT_A_FOLDER);
    }
    if (why != nullptr) Complain(folder, why);
    return why == nullptr;
  };
  auto harmless = [&](const std::string& output) {
    StringId harm = IDS_OUTPUT_WOULD_OVERWRITE_IMAGE;
    bool harms = SameFile(output, image.Path());
    for (const std::string& staging : stagingFiles) {
      if (!harms && SameFile(output, staging)) {
        harm = IDS_OUTPUT_WOULD_OVERWRITE_STAGING;
        harms = true;
      }
    }
    if (harms) Complain(output, LoadText(harm));
    return !harms;
  };
  if (!options.logDir.empty() && !folderUsable(options.logDir)) return false;
  for (const std::string& log : logs) {
    if (!harmless(log)) return false;
  }
  if (options.report.empty()) return true;
  const std::size_t slash = options.report.rfind('/');
  return folderUsable(slash == std::string::npos ? "." : slash == 0 ? "/" : options.report.substr(0, slash)) &&
         harmless(options.report);
}

bool LinkAddressesValid(const Options& options) {
  LinkAddress address;
  for (const std::string& text : options.listens) {
    if (!ParseLinkAddress(text, HOST_LISTEN_PORT, address)) return false;
  }
  for (const std::string& text : options.triggers) {
    if (!ParseLinkAddress(text, DEVICE_TRIGGER_PORT, address)) return false;
  }
  return true;
}

bool LooksLikeProgram(const OpenedFile& helper) {
  char start[2] = {};
  return ReadExactly(*helper.Reader(), start, 2) && start[0] == 'M' && start[1] == 'Z';
}

