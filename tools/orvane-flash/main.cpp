// orvane-flash: runs the download sequence from Linux, where the kernel's USB serial
// driver gives the device's downloader a tty.
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
    "       orvane-flash --check IMAGE\n";
constexpr char DEFAULT_PORT[] = "/dev/ttyUSB0";
constexpr char STAGING_NAME[] = "TempFileToDown";
// Windows 5.0 and 5.1 have codes of their own; every other host, Linux included, has this.
constexpr std::uint32_t HOST_OS_CODE_OTHER = 1003;

struct Options {
  std::string port = DEFAULT_PORT;
  std::string workdir;
  std::string image;
  bool check = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue) {
      options.port = argv[++i];
    } else if (arg == "--workdir" && hasValue) {
      options.workdir = argv[++i];
    } else if (arg == "--check") {
      options.check = true;
    } else if (!arg.empty() && arg[0] != '-' && options.image.empty()) {
      options.image = arg;
    } else {
      return false;
    }
  }
  return !options.image.empty() && !(options.check && (!options.workdir.empty() || options.port != DEFAULT_PORT));
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

int Refuse(std::uint32_t textId) {
  std::printf("refused: %s\n", LoadText(textId));
  return 1;
}

// Validates the image with the transfer's own checks and prints what would be sent.
int CheckImage(const std::string& path) {
  PosixFileSystem files;
  auto image = files.Open(path, OpenMode::ReadShared);
  if (!image) {
    std::printf("refused: %s: %s\n", LoadText(IDS_NO_IMAGE), path.c_str());
    return 1;
  }
  TransferPlan plan;
  const bool sendable = PlanTransfer(*image, plan);
  if (plan.refusal == IDS_IMAGE_TOO_SHORT) return Refuse(plan.refusal);
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

// Counts the bytes that reach the port, for the closing summary.
class CountingPorts : public PortOpener {
 public:
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override {
    auto port = real_.Open(path);
    if (!port) return nullptr;
    return std::make_unique<Counted>(std::move(port), sent);
  }
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

int Flash(const Options& options) {
  std::string workdir = options.workdir;
  const bool ownWorkdir = workdir.empty();
  struct stat folder {};
  if (!ownWorkdir && (::stat(workdir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))) {
    std::fprintf(stderr, "orvane-flash: %s is not a folder\n", workdir.c_str());
    return 1;
  }
  if (ownWorkdir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-flash-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "orvane-flash: cannot make a working folder in %s: %s\n", pattern.c_str(),
                   std::strerror(errno));
      return 1;
    }
    workdir = pattern;
  }
  HostOsCode = HOST_OS_CODE_OTHER;

  ConsolePage page(stderr, ::isatty(STDERR_FILENO) != 0);
  SteadyClock clock;
  PosixFileSystem files;
  CountingPorts ports;
  const std::string staging = workdir + "/" + STAGING_NAME;
  DownloadContext context{page, page, clock, files, ports, {options.port, options.image, staging}};
  const auto start = std::chrono::steady_clock::now();
  DownloadThreadProc(context);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (ownWorkdir) {
    ::unlink(staging.c_str());
    ::rmdir(workdir.c_str());
  }
  const bool ok = page.Result() == DOWNLOAD_SUCCEEDED;
  std::fprintf(stderr, "%s: %" PRIu64 " bytes sent in %.1f s (%.0f KiB/s)\n", ok ? "done" : LoadText(IDS_UPDATE_FAILED),
               ports.sent, seconds, seconds > 0 ? static_cast<double>(ports.sent) / 1024.0 / seconds : 0.0);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  return options.check ? CheckImage(options.image) : Flash(options);
}
