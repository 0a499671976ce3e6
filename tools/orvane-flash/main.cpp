// orvane-flash: runs the download sequence from Linux, where the kernel's USB serial
// driver gives the device's downloader a tty.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "console_page.h"
#include "device_runner.h"
#include "download.h"
#include "image.h"
#include "posix_file.h"
#include "string_table.h"

namespace {

constexpr char USAGE[] =
    "usage: orvane-flash [--port PATH] [--workdir DIR] IMAGE\n"
    "       orvane-flash --check IMAGE\n"
    "       orvane-flash --help | --version\n"
    "Exit status: 0 the device confirmed the OS; 3 every part was sent and accepted, but\n"
    "the device did not confirm (check that the PDA starts); 1 refused or failed; 2 usage;\n"
    "128 + N stopped by signal N (Ctrl-C: 130), with the port and files left as found.\n";
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

// The image must be a regular file this run can read. Its kind is looked at before it
// is opened, and it is opened without waiting, so a FIFO or a device is refused at once.
bool ImageReadable(const std::string& path, struct stat& image) {
  const char* why = nullptr;
  struct stat opened {};
  if (::stat(path.c_str(), &image) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(image.st_mode)) {
    why = "not a regular file";
  } else if (const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); fd < 0) {
    why = std::strerror(errno);
  } else {
    // Whatever was at the path when it was looked at is what was opened.
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != image.st_ino ||
        opened.st_dev != image.st_dev) {
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

// Signals that end a run: each sets the stop flag, which the transfer looks at before
// each piece, read and pause, and then closes and removes what it has as it would after
// a failure.
StopFlag stopRequested{false};
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int number) {
  stopSignal = number;
  stopRequested.store(true, std::memory_order_relaxed);
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a wait in progress returns at once
  for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // a closed reader of the output is no reason to stop a device halfway
}

int InterruptedStatus() { return 128 + static_cast<int>(stopSignal); }

// The exit status of an ending: 0 confirmed, 3 sent but not confirmed, 1 otherwise,
// 128 + N after signal N.
int ExitStatus(DownloadResult result) {
  switch (result) {
    case DownloadResult::Confirmed: return 0;
    case DownloadResult::Unconfirmed: return 3;
    case DownloadResult::Interrupted: return InterruptedStatus();
    default: return 1;
  }
}

std::string SignalName() {
  const char* name = ::sigabbrev_np(static_cast<int>(stopSignal));
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(stopSignal);
}

// The one closing sentence: what happened, why, what was sent and how long it took.
std::string ClosingSentence(const DownloadEnding& ending, const DeviceRunner& runner) {
  std::string reason = EndingReason(ending);
  const bool portCause = ending.result == DownloadResult::PortNotOpened || ending.result == DownloadResult::WriteFailed ||
                         ending.result == DownloadResult::PortGone || ending.result == DownloadResult::PortNotBack;
  if (portCause && !runner.PortFailure().empty() && !reason.empty() && reason.back() == '.') {
    reason.insert(reason.size() - 1, " (" + runner.PortFailure() + ")");
  }
  std::string verdict;
  switch (ending.result) {
    case DownloadResult::Confirmed: verdict = LoadText(IDS_VERDICT_DONE); break;
    case DownloadResult::Unconfirmed:
      verdict = LoadText(IDS_VERDICT_UNCONFIRMED);
      reason += std::string(" ") + LoadText(IDS_CHECK_PDA_STARTS);
      break;
    case DownloadResult::Interrupted: verdict = FormatText(IDS_VERDICT_INTERRUPTED, {SignalName()}); break;
    default: verdict = LoadText(IDS_VERDICT_FAILED); break;
  }
  char number[64];
  std::snprintf(number, sizeof number, "%" PRIu64, runner.BytesSent());
  const std::string bytes = number;
  std::snprintf(number, sizeof number, "%.1f", runner.Seconds());
  const std::string seconds = number;
  std::string sent;
  if (ending.result == DownloadResult::Confirmed && runner.Seconds() > 0) {
    std::snprintf(number, sizeof number, "%.0f", static_cast<double>(runner.BytesSent()) / 1024.0 / runner.Seconds());
    sent = FormatText(IDS_BYTES_SENT_RATE, {bytes, seconds, number});
  } else {
    sent = FormatText(IDS_BYTES_SENT, {bytes, seconds});
  }
  return verdict + ": " + reason + " " + sent;
}

int Flash(const Options& options, const struct stat& image) {
  DeviceRunner runner(options.port, options.workdir, options.image, stopRequested);
  if (!runner.Prepare(image)) return 1;
  HostOsCode = HOST_OS_CODE_OTHER;
  ConsolePage page(stderr, ::isatty(STDERR_FILENO) != 0);
  const DownloadEnding ending = runner.Run(page, page);
  std::fprintf(stderr, "%s\n", ClosingSentence(ending, runner).c_str());
  return ExitStatus(ending.result);
}

}  // namespace

int main(int argc, char** argv) {
  CatchStopSignals();
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
