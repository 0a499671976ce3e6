// orvane-flash: runs the download sequence from Linux, where the kernel's USB serial
// driver gives the device's downloader a tty.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "console_page.h"
#include "download.h"
#include "image.h"
#include "posix_file.h"
#include "posix_serial.h"
#include "string_table.h"

namespace {

constexpr char USAGE[] =
    "usage: orvane-flash [--port PATH] [--workdir DIR] IMAGE\n"
    "       orvane-flash --check IMAGE\n"
    "       orvane-flash --help | --version\n";
constexpr char DEFAULT_PORT[] = "/dev/ttyUSB0";
// Windows 5.0 and 5.1 have codes of their own; every other host, Linux included, has this.
constexpr std::uint32_t HOST_OS_CODE_OTHER = 1003;

enum class Command { Flash, Check, Help, Version };

struct Options {
  Command command = Command::Flash;
  std::string port = DEFAULT_PORT;
  std::string workdir;
  std::string image;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((arg == "--help" || arg == "--version") && argc == 2) {
      options.command = arg == "--help" ? Command::Help : Command::Version;
      return true;
    }
    if (arg == "--port" && hasValue) {
      options.port = argv[++i];
    } else if (arg == "--workdir" && hasValue) {
      options.workdir = argv[++i];
    } else if (arg == "--check") {
      options.command = Command::Check;
    } else if (!arg.empty() && arg[0] != '-' && options.image.empty()) {
      options.image = arg;
    } else {
      return false;
    }
  }
  const bool portOrWorkdir = !options.workdir.empty() || options.port != DEFAULT_PORT;
  return !options.image.empty() && !(options.command == Command::Check && portOrWorkdir);
}

const char* SectionNames(std::uint32_t flags, std::string& out) {
  const struct {
    std::uint32_t bit;
    const char* name;
  } sections[] = {{ImageFlags::BL, " BL"}, {ImageFlags::UD, " UD"}, {ImageFlags::KN, " KN"}, {ImageFlags::EB, " EB"}};
  out = " OS";
  for (const auto& s : sections) {
    if ((flags & s.bit) != 0) out += s.name;
  }
  return out.c_str();
}

// One line on stderr naming what cannot be used, and why.
void Complain(const std::string& what, const char* why) {
  std::fprintf(stderr, "orvane-flash: %s: %s\n", what.c_str(), why);
}

// The image must be a file this run can read.
bool ImageReadable(const std::string& path, struct stat& image) {
  const char* why = nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
  } else {
    if (::fstat(fd, &image) != 0) {
      why = std::strerror(errno);
    } else if (!S_ISREG(image.st_mode)) {
      why = "not a regular file";
    }
    ::close(fd);
  }
  if (why != nullptr) Complain(path, why);
  return why == nullptr;
}

int Refuse(std::uint32_t textId) {
  std::printf("refused: %s\n", LoadText(textId));
  return 1;
}

// Validates the image with the transfer's own checks and prints what would be sent.
int CheckImage(const std::string& path) {
  PosixFileSystem files;
  auto image = files.Open(path, OpenMode::ReadShared);
  if (!image) {
    Complain(path, std::strerror(errno));
    return 1;
  }
  TransferPlan plan;
  const bool sendable = PlanTransfer(*image, plan);
  if (!sendable && plan.refusal == IDS_IMAGE_TOO_SHORT) return Refuse(plan.refusal);
  const ImageLayout& layout = plan.layout;
  std::string names;
  std::printf("image %s: %" PRIu64 " bytes\n", path.c_str(), plan.imageBytes);
  std::printf("IMGFLAG 0x%x, sections%s\n", layout.flags, SectionNames(layout.flags, names));
  std::printf("sizes OS %u, BL %u, UD %u, KN %u, EB %u\n", layout.os, layout.bl, layout.ud, layout.kn, layout.eb);
  if (!sendable && (plan.refusal == IDS_IMAGE_DAMAGED || plan.refusal == IDS_NO_BOOT_BLOCKS)) {
    return Refuse(plan.refusal);
  }

  const RegionLookup& lookup = plan.lookup;
  std::printf("reserved table: %u entries declared\n", lookup.declaredEntries);
  for (std::uint32_t i = 0; i < lookup.tableEntries; ++i) {
    const ReservedEntry& e = lookup.table[i];
    std::printf("  %-8.8s start block %u, %u blocks\n", e.name, e.startBlock, e.blockCount);
  }
  if (lookup.declaredEntries > lookup.tableEntries) {
    std::printf("  (%u more)\n", lookup.declaredEntries - lookup.tableEntries);
  }
  if (!sendable) return Refuse(plan.refusal);
  std::printf("RESERVE_SIZE %u (%u blocks)\n", plan.reserveSize, lookup.blockCount);

  int stream = 1;
  if (layout.Has(ImageFlags::UD)) {
    std::printf("stream %d: downloader package from the staging file, offset 0, length %" PRIu64 "\n", stream++,
                std::uint64_t{HEADER_BYTES} + BOOT_BLOCKS_BYTES + layout.bl + layout.ud);
  }
  std::printf("stream %d: part-2 file from the staging file, offset 0, length %" PRIu64 "\n", stream++,
              std::uint64_t{HEADER_BYTES} + plan.reserveSize + layout.bl + layout.kn + layout.eb);
  const ByteRange remainder = OsRemainder(layout, plan.reserveSize);
  std::printf("stream %d: OS remainder from the image, offset %u, length %u\n", stream, remainder.offset,
              remainder.length);
  std::printf("would be sent\n");
  return 0;
}

// The real ports, counting the bytes that reach them for the closing summary.
class WatchedPorts : public PortOpener {
 public:
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override {
    auto port = real_.Open(path);
    if (!port) return nullptr;
    return std::make_unique<Counted>(std::move(port), sent);
  }
  const std::string& LastFailure() const { return real_.LastFailure(); }
  std::uint64_t sent = 0;

 private:
  class Counted : public DeviceChannel {
   public:
    Counted(std::unique_ptr<DeviceChannel> inner, std::uint64_t& sent) : inner_(std::move(inner)), sent_(sent) {}
    bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
      const bool ok = inner_->Write(data, size, written);
      sent_ += written;
      return ok;
    }
    bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override { return inner_->ReadByte(byte, got); }
    bool GetTimeouts(CommTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
    bool SetTimeouts(const CommTimeouts& timeouts) override { return inner_->SetTimeouts(timeouts); }

   private:
    std::unique_ptr<DeviceChannel> inner_;
    std::uint64_t& sent_;
  };
  PosixPortOpener real_;
};

// A given working folder must exist, and the staging file made there, cut to length 0
// when the run starts, must be a plain file other than the image.
bool WorkdirUsable(const std::string& workdir, const std::string& staging, const struct stat& image) {
  struct stat node {};
  if (::stat(workdir.c_str(), &node) != 0) {
    Complain(workdir, std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(node.st_mode)) {
    Complain(workdir, "not a folder");
    return false;
  }
  if (::stat(staging.c_str(), &node) != 0) return true;  // the run makes it
  const char* why = nullptr;
  if (node.st_dev == image.st_dev && node.st_ino == image.st_ino) {
    why = "the staging file would overwrite the image";
  } else if (!S_ISREG(node.st_mode)) {
    why = "not a regular file";
  }
  if (why != nullptr) Complain(staging, why);
  return why == nullptr;
}

// Opens the port once and lets it go, as the Windows program's port watcher does before
// the transfer, so a port that cannot be used is named before any work is done.
bool PortOpens(const std::string& path) {
  PosixPortOpener probe;
  if (probe.Open(path)) return true;
  Complain(path, probe.LastFailure().c_str());
  return false;
}

int Flash(const Options& options, const struct stat& image) {
  std::string workdir = options.workdir;
  const bool ownWorkdir = workdir.empty();
  if (!ownWorkdir && !WorkdirUsable(workdir, workdir + "/" + STAGING_FILE_NAME, image)) return 1;
  if (!PortOpens(options.port)) return 1;
  if (ownWorkdir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-flash-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      Complain(pattern, std::strerror(errno));
      return 1;
    }
    workdir = pattern;
  }
  HostOsCode = HOST_OS_CODE_OTHER;

  ConsolePage page(stderr, ::isatty(STDERR_FILENO) != 0);
  SteadyClock clock;
  PosixFileSystem files;
  WatchedPorts ports;
  const std::string staging = workdir + "/" + STAGING_FILE_NAME;
  DownloadContext context{page, page, clock, files, ports, {options.port, options.image, staging}};
  const auto start = std::chrono::steady_clock::now();
  DownloadThreadProc(context);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (ownWorkdir) {
    ::unlink(staging.c_str());
    ::rmdir(workdir.c_str());
  }
  if (page.Result() != DOWNLOAD_SUCCEEDED) {
    if (!ports.LastFailure().empty()) Complain(options.port, ports.LastFailure().c_str());
    std::fprintf(stderr, "Update failed after sending %" PRIu64 " bytes in %.1f s.\n", ports.sent, seconds);
    return 1;
  }
  std::fprintf(stderr, "Update done: %" PRIu64 " bytes sent in %.1f s (%.0f KiB/s).\n", ports.sent, seconds,
               seconds > 0 ? static_cast<double>(ports.sent) / 1024.0 / seconds : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  if (options.command == Command::Help) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (options.command == Command::Version) {
    std::printf("orvane-flash %s\n", ORVANE_VERSION);
    return 0;
  }
  struct stat image {};
  if (!ImageReadable(options.image, image)) return 1;
  return options.command == Command::Check ? CheckImage(options.image) : Flash(options, image);
}
