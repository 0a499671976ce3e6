// orvane-flash: runs the download sequence from Linux, where the kernel's USB serial
// driver gives the device's downloader a tty; several devices at once, one thread each.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../common/sha256.h"
#include "board.h"
#include "closing.h"
#include "console_page.h"
#include "device_runner.h"
#include "download.h"
#include "image.h"
#include "options.h"
#include "posix_file.h"
#include "report.h"
#include "string_table.h"

namespace {

// Windows 5.0 and 5.1 have codes of their own; every other host, Linux included, has this.
constexpr std::uint32_t HOST_OS_CODE_OTHER = 1003;
constexpr std::size_t TERMINAL_WIDTH_DEFAULT = 120;

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
  std::printf("sha256 %s\n", Sha256OfFile(path).c_str());
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

std::string SignalName() {
  const char* name = ::sigabbrev_np(static_cast<int>(stopSignal));
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(stopSignal);
}

// One device given twice, by one path or by two names of one tty, is refused before
// anything is sent.
bool DistinctDevices(const std::vector<std::string>& ports) {
  for (std::size_t j = 0; j < ports.size(); ++j) {
    struct stat later {};
    const bool isTty = ::stat(ports[j].c_str(), &later) == 0 && S_ISCHR(later.st_mode);
    for (std::size_t i = 0; i < j; ++i) {
      struct stat earlier {};
      const bool same = ports[i] == ports[j] || (isTty && ::stat(ports[i].c_str(), &earlier) == 0 &&
                                                 S_ISCHR(earlier.st_mode) && earlier.st_rdev == later.st_rdev);
      if (same) {
        Complain(ports[j], "the same device as " + ports[i]);
        return false;
      }
    }
  }
  return true;
}

// The report and the logs go where the run can write, or the run does not start.
bool OutputsUsable(const Options& options) {
  auto folderUsable = [](const std::string& folder) {
    struct stat node {};
    if (::stat(folder.c_str(), &node) != 0) {
      Complain(folder, std::strerror(errno));
      return false;
    }
    if (!S_ISDIR(node.st_mode)) {
      Complain(folder, "not a folder");
      return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
      Complain(folder, std::strerror(errno));
      return false;
    }
    return true;
  };
  if (!options.logDir.empty() && !folderUsable(options.logDir)) return false;
  if (options.report.empty()) return true;
  const std::size_t slash = options.report.rfind('/');
  return folderUsable(slash == std::string::npos ? "." : slash == 0 ? "/" : options.report.substr(0, slash));
}

std::size_t TerminalWidth() {
  winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return TERMINAL_WIDTH_DEFAULT;
}

// How each device's run went: its record for the table and the report, and its
// closing sentence.
struct DeviceRun {
  DeviceRecord record;
  std::string closing;
};

// Prepares one device and runs its transfer; row is its bench row, if any.
DeviceRun RunDevice(DeviceRunner& runner, const Options& options, const std::string& fileName,
                    const struct stat& image, ProgressPage& page, MessageBoxes& boxes, const Complaint& complain,
                    BenchRow* row) {
  DeviceRun run;
  DeviceRecord& record = run.record;
  record.port = runner.Port();
  auto state = [row](const std::string& text, BenchRow::Phase phase) {
    if (row != nullptr) row->SetState(text, phase);
  };
  const bool logged = options.logDir.empty() || runner.OpenLog(options.logDir + "/" + fileName + ".log", complain);
  record.log = runner.LogPath();
  state("waiting for the port", BenchRow::Phase::Waiting);
  if (!logged || !runner.Prepare(image, options.waitSeconds * 1000, complain)) {
    // Refused with a reason, or stopped by a signal while the port was awaited.
    record.result = runner.Refusal().empty() ? "interrupted" : "refused";
    record.reason = runner.Refusal();
    if (record.reason.empty()) {
      DownloadEnding stopped;
      stopped.result = DownloadResult::Interrupted;
      record.reason = EndingReason(stopped);
      run.closing = ClosingSentence(stopped, record.reason, 0, 0, SignalName());
    }
    runner.NoteInLog(record.result + ": " + record.reason);
    state(record.result, BenchRow::Phase::Ended);
    return run;
  }
  state("running", BenchRow::Phase::Running);
  const DownloadEnding ending = runner.Run(page, boxes);
  record.result = ResultWord(ending.result);
  record.reason = ClosingReason(ending, runner.PortFailure());
  record.bytesSent = runner.Sent().load();
  record.seconds = runner.Seconds();
  run.closing = ClosingSentence(ending, record.reason, record.bytesSent, record.seconds, SignalName());
  runner.NoteInLog(run.closing);
  state(record.result, BenchRow::Phase::Ended);
  return run;
}

int Flash(const Options& options, const struct stat& image) {
  const std::vector<std::string> ports = options.ports.empty() ? std::vector<std::string>{DEFAULT_PORT} : options.ports;
  if (!DistinctDevices(ports) || !OutputsUsable(options)) return 1;
  const bool bench = ports.size() > 1;
  const std::vector<std::string> names = PortFileNames(ports);
  DeviceRegistry registry;
  std::vector<std::unique_ptr<DeviceRunner>> runners;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    std::string workdir = options.workdir.empty() ? "" : bench ? options.workdir + "/" + names[i] : options.workdir;
    runners.push_back(
        std::make_unique<DeviceRunner>(ports[i], std::move(workdir), bench, options.image, stopRequested, registry));
  }
  // Written once, before any transfer starts; the transfers only read it.
  HostOsCode = HOST_OS_CODE_OTHER;
  const bool live = ::isatty(STDERR_FILENO) != 0;
  std::vector<DeviceRun> runs(ports.size());
  if (!bench) {
    ConsolePage page(stderr, live);
    runs[0] = RunDevice(*runners[0], options, names[0], image, page, page, Complain, nullptr);
    if (!runs[0].closing.empty()) std::fprintf(stderr, "%s\n", runs[0].closing.c_str());
  } else {
    Board board(stderr, live, TerminalWidth());
    const Complaint complain = [&board](const std::string& what, const std::string& why) {
      board.Line("orvane-flash: " + what + ": " + why);
    };
    std::vector<BenchRow*> rows;
    for (const auto& runner : runners) rows.push_back(&board.AddRow(runner->Port(), runner->Sent()));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runners.size(); ++i) {
      threads.emplace_back([&, i] {
        runs[i] = RunDevice(*runners[i], options, names[i], image, *rows[i], *rows[i], complain, rows[i]);
      });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> table{RenderTableHeading(board.PortWidth())};
    for (const DeviceRun& run : runs) {
      const DeviceRecord& r = run.record;
      table.push_back(RenderTableRow(r.port, r.result, r.bytesSent, r.seconds, r.reason, board.PortWidth()));
    }
    board.Finish(table);
  }
  runners.clear();  // every port closed and every own folder removed before the report

  std::vector<std::string> results;
  std::vector<DeviceRecord> records;
  for (const DeviceRun& run : runs) {
    results.push_back(run.record.result);
    records.push_back(run.record);
  }
  int status = ExitStatus(results, static_cast<int>(stopSignal));
  std::string why;
  if (!options.report.empty() &&
      !WriteWhole(options.report,
                  ReportJson(options.image, static_cast<std::uint64_t>(image.st_size), Sha256OfFile(options.image),
                             records),
                  why)) {
    Complain(options.report, why);
    if (status == 0 || status == 3) status = 1;
  }
  return status;
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
