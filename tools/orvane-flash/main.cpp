// orvane-flash: runs the download sequence from Linux, where the kernel's USB serial
// driver gives the device's downloader a tty; several devices at once, one thread each.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "closing.h"
#include "console_page.h"
#include "device_runner.h"
#include "download.h"
#include "device_prep/device_push.h"
#include "image.h"
#include "into_downloader.h"
#include "opened_file.h"
#include "options.h"
#include "preflight.h"
#include "posix_serial.h"
#include "report.h"
#include "string_table.h"

namespace {

// Signals that end a run: each sets the stop flag, which every phase looks at (the
// transfer before each piece, read and pause, a digest between its pieces), and then
// closes and removes what it has as it would after a failure. The number is stored
// before the flag, so whoever sees the flag sees the number.
StopFlag stopRequested{false};
std::atomic<int> stopSignal{0};

extern "C" void OnStopSignal(int number) {
  stopSignal.store(number);
  stopRequested.store(true);
}

// A signal ignored when the run starts (nohup, a script's background job) stays
// ignored.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a wait in progress returns at once
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction found {};
    if (::sigaction(number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) continue;
    ::sigaction(number, &action, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);  // a closed reader of the output is no reason to stop a device halfway
}

std::string SignalName() {
  const int number = stopSignal.load();
  const char* name = ::sigabbrev_np(number);
  return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(number);
}

// A phase that ends on a signal before any device was touched.
int Stopped() {
  std::fprintf(stderr, "orvane-flash: %s\n", FormatText(IDS_STOPPED_BY, {SignalName()}).c_str());
  return 128 + stopSignal.load();
}

// Windows 5.0 and 5.1 have codes of their own; every other host, Linux included, has this.
constexpr std::uint32_t HOST_OS_CODE_OTHER = 1003;

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
int CheckImage(const OpenedFile& opened) {
  auto image = opened.Reader();
  TransferPlan plan;
  const bool sendable = PlanTransfer(*image, plan);
  if (!sendable && plan.refusal == IDS_IMAGE_TOO_SHORT) return Refuse(plan.refusal);
  const ImageLayout& layout = plan.layout;
  std::string names;
  std::printf("image %s: %" PRIu64 " bytes\n", opened.Path().c_str(), plan.imageBytes);
  const std::string digest = opened.Sha256(&stopRequested);
  if (StopRequested(&stopRequested)) return Stopped();
  std::printf("sha256 %s\n", digest.c_str());
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

bool TerminalSizeOf(std::size_t& columns, std::size_t& lines) {
  winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return false;
  columns = size.ws_col;
  lines = size.ws_row;
  return true;
}

// How each device's run went: its record for the table and the report, its verdict,
// and its closing sentence.
struct DeviceRun {
  DeviceRecord record;
  Verdict verdict = Verdict::Interrupted;
  std::string closing;
};

// The link of the device with this index: its interface, or the addresses given for it.
LinkOptions LinkOptionsFor(const Options& options, std::size_t device) {
  LinkOptions link;
  link.stop = &stopRequested;
  if (!options.links.empty()) link.interfaceName = options.links[device];
  if (!options.ports.empty()) link.socketOf = options.ports[device];
  LinkAddress address;
  if (!options.listens.empty() && ParseLinkAddress(options.listens[device], HOST_LISTEN_PORT, address)) {
    link.listen = address;
  }
  if (!options.triggers.empty() && ParseLinkAddress(options.triggers[device], DEVICE_TRIGGER_PORT, address)) {
    link.trigger = address;
  }
  return link;
}

// What the device on its link tells about itself; nothing is written to it.
int ShowDeviceInfo(LinkOptions link) {
  link.notify = [](LinkNotice notice, const std::string& detail) {
    std::fprintf(stderr, "%s\n", LinkNoticeText(notice, detail).c_str());
  };
  SyncLink device(std::move(link));
  auto failed = [&device] {
    if (StopRequested(&stopRequested)) return Stopped();
    const std::string where =
        device.InterfaceName().empty() ? FormatLinkAddress(device.ListenAddress()) : device.InterfaceName();
    Complain(where, LinkEndingReason(device.Ending()));
    return 1;
  };
  if (!device.Open() || !device.Connect()) return failed();
  const DeviceInfo& info = device.Info();
  std::printf("device %s\nmodel %s\nplatform %s\n", info.name.c_str(), info.model.c_str(), info.platform.c_str());
  if (ConnectRapi(device) != RAPI_CONNECTED) return failed();
  OsVersionInfo version;
  PowerStatus power;
  const bool told = device.GetVersionEx(version) && device.GetSystemPowerStatusEx(power);
  device.CeRapiUninit();
  if (!told) return failed();
  std::printf("os %u.%u.%u\npower %s\n", version.major, version.minor, version.build, DescribePower(power).c_str());
  return 0;
}

// What a device's run is given besides its runner.
struct DeviceRoad {
  std::string log;           // empty: no log
  std::uint32_t waitMs = 0;  // for its port to appear
  const Road* road = nullptr;  // from the normal state over its link; null: in its downloader already
  LinkOptions link;
};

// Prepares one device, from its normal state when it has a road, and runs its
// transfer; row is its bench row, if any.
DeviceRun RunDevice(DeviceRunner& runner, const OpenedFile& image, const DeviceRoad& setup, ProgressPage& page,
                    MessageBoxes& boxes, const Complaint& complain, BenchRow* row) {
  const auto started = std::chrono::steady_clock::now();
  DeviceRun run;
  DeviceRecord& record = run.record;
  record.port = runner.Port();
  auto state = [row](const std::string& text, BenchRow::Phase phase) {
    if (row != nullptr) row->SetState(text, phase);
  };
  // The seconds of a run that ends before its transfer count from its start.
  auto end = [&](Verdict verdict, const std::string& reason) {
    if (record.seconds == 0) {
      record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    run.verdict = verdict;
    record.result = VerdictWord(verdict);
    record.reason = reason;
    run.closing = ClosingSentence(verdict, reason, record.bytesSent, record.seconds, SignalName());
    runner.CloseLog(verdict == Verdict::Refused ? record.result + ": " + reason : run.closing);
    state(record.result, BenchRow::Phase::Ended);
    return run;
  };
  // Refused with a reason told already: the refusal is the last word.
  auto refused = [&] {
    end(Verdict::Refused, runner.Refusal());
    run.closing.clear();
    return run;
  };
  const bool logged = setup.log.empty() || runner.OpenLog(setup.log, complain);
  record.log = runner.LogPath();
  if (!logged || !runner.TakeFolder(complain)) return refused();
  if (StopRequested(&stopRequested)) return end(Verdict::Interrupted, LoadText(IDS_REASON_NOTHING_SENT));
  if (setup.road != nullptr) {
    state("connecting", BenchRow::Phase::Waiting);
    const LinkEnding ending = runner.IntoDownloader(*setup.road, setup.link, page);
    if (ending.result != LinkResult::None) return end(VerdictOf(ending.result), LinkEndingReason(ending));
  }
  state("waiting for the port", BenchRow::Phase::Waiting);
  // After the helper, a port that does not come is the road's ending, not a refusal.
  const Complaint quiet = [](const std::string&, const std::string&) {};
  if (!runner.Prepare(setup.waitMs, setup.road != nullptr ? quiet : complain)) {
    if (StopRequested(&stopRequested)) {
      return end(Verdict::Interrupted,
                 LoadText(setup.road != nullptr ? IDS_REASON_STOPPED_IN_DOWNLOADER : IDS_REASON_NOTHING_SENT));
    }
    if (setup.road == nullptr) return refused();
    // A port that never came is the road's ending; one that came and cannot be used
    // says why.
    if (runner.Refusal() != std::strerror(ENOENT)) return end(Verdict::Failed, runner.Port() + ": " + runner.Refusal());
    const LinkEnding missing{LinkResult::NoDownloader, RapiCall::None, 0, runner.Port()};
    return end(VerdictOf(missing.result), LinkEndingReason(missing));
  }
  state("running", BenchRow::Phase::Running);
  const DownloadEnding ending = runner.Run(page, boxes);
  record.bytesSent = runner.Sent().load();
  record.seconds = runner.Seconds();
  // An image written in place while it was sent failed its reads: that, not a file
  // error, is what happened.
  if (PageResult(ending.result) != DOWNLOAD_SUCCEEDED && ending.result != DownloadResult::Interrupted &&
      image.Changed()) {
    return end(Verdict::Failed, LoadText(IDS_REASON_IMAGE_CHANGED));
  }
  return end(VerdictOf(ending.result), ClosingReason(ending, runner.PortFailure()));
}

int Flash(const Options& options, const OpenedFile& image, const Road* road) {
  const std::vector<std::string> ports = options.ports.empty() ? std::vector<std::string>{DEFAULT_PORT} : options.ports;
  const bool bench = ports.size() > 1;
  const std::vector<std::string> names = PortFileNames(ports);
  std::vector<std::string> workdirs;
  std::vector<std::string> stagingFiles;
  std::vector<std::string> logs;
  for (const std::string& name : names) {
    workdirs.push_back(options.workdir.empty() ? "" : bench ? options.workdir + "/" + name : options.workdir);
    if (!workdirs.back().empty()) stagingFiles.push_back(StagingIn(workdirs.back()));
    logs.push_back(options.logDir.empty() ? "" : options.logDir + "/" + name + ".log");
  }
  std::vector<std::string> givenLogs;
  if (!options.logDir.empty()) givenLogs = logs;
  if (!DistinctDevices(ports) || !OutputsUsable(options, image, givenLogs, stagingFiles)) return 1;

  // The report describes the bytes the devices are sent: the digest is taken of the
  // open image before any of them starts.
  ImageRecord imageRecord{image.Path(), image.Size(), "", false};
  if (!options.report.empty()) imageRecord.sha256 = image.Sha256(&stopRequested);

  PortClaims claims;
  std::vector<std::unique_ptr<DeviceRunner>> runners;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    runners.push_back(std::make_unique<DeviceRunner>(ports[i], workdirs[i], bench, image, stopRequested, claims));
  }
  // The ports of devices that start in their normal state may only come after the helper.
  const std::uint32_t waitSeconds =
      road != nullptr && !options.waitGiven ? HELPER_PORT_WAIT_SECONDS : options.waitSeconds;
  std::vector<DeviceRoad> setups(ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    setups[i].log = logs[i];
    setups[i].waitMs = waitSeconds * 1000;
    setups[i].road = road;
    setups[i].link = LinkOptionsFor(options, i);
  }
  // Written once, before any transfer starts; the transfers only read it.
  HostOsCode = HOST_OS_CODE_OTHER;
  const bool live = ::isatty(STDERR_FILENO) != 0;
  std::vector<DeviceRun> runs(ports.size());
  if (!bench) {
    ConsolePage page(stderr, live);
    runs[0] = RunDevice(*runners[0], image, setups[0], page, page, Complain, nullptr);
    if (!runs[0].closing.empty()) std::fprintf(stderr, "%s\n", runs[0].closing.c_str());
  } else {
    Board board(stderr, live, TerminalSizeOf);
    const Complaint complain = [&board](const std::string& what, const std::string& why) {
      board.Line("orvane-flash: " + what + ": " + why);
    };
    std::vector<BenchRow*> rows;
    for (const auto& runner : runners) rows.push_back(&board.AddRow(runner->Port(), runner->Sent()));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runners.size(); ++i) {
      threads.emplace_back([&, i] {
        runs[i] = RunDevice(*runners[i], image, setups[i], *rows[i], *rows[i], complain, rows[i]);
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

  imageRecord.changed = image.Changed();
  if (imageRecord.changed) Complain(image.Path(), LoadText(IDS_IMAGE_CHANGED));
  std::vector<Verdict> verdicts;
  std::vector<DeviceRecord> records;
  for (const DeviceRun& run : runs) {
    verdicts.push_back(run.verdict);
    records.push_back(run.record);
  }
  int status = ExitStatus(verdicts, stopSignal.load());
  std::string why;
  if (!options.report.empty() && !WriteWhole(options.report, ReportJson(imageRecord, records), why)) {
    Complain(options.report, why);
    if (status == 0 || status == 3) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CatchStopSignals();
  Options options;
  if (!ParseOptions(argc, argv, options) || !LinkAddressesValid(options)) {
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
  if (options.command == Command::DeviceInfo) return ShowDeviceInfo(LinkOptionsFor(options, 0));
  OpenedFile image;
  std::string why;
  if (!image.Open(options.image, why)) {
    Complain(options.image, why);
    return 1;
  }
  if (options.command == Command::Check) return CheckImage(image);
  if (options.helper.empty()) return Flash(options, image, nullptr);
  // Devices that all found the one link would fight over it.
  std::string controller;
  std::string chain;
  if (options.Devices() > 1 && options.links.empty() && options.listens.empty() &&
      !std::all_of(options.ports.begin(), options.ports.end(),
                   [&](const std::string& port) { return UsbSocketOf(port, controller, chain); })) {
    std::fprintf(stderr, "orvane-flash: %s\n", LoadText(IDS_LINK_NEEDED_PER_DEVICE));
    return 2;
  }

  OpenedFile helper;
  if (!helper.Open(options.helper, why)) {
    Complain(options.helper, why);
    return 1;
  }
  if (!LooksLikeProgram(helper)) {
    Complain(options.helper, LoadText(IDS_HELPER_NOT_A_PROGRAM));
    return 1;
  }
  // A refused image never gets as far as a device's link.
  TransferPlan plan;
  if (!PlanTransfer(*image.Reader(), plan)) {
    Complain(options.image, LoadText(plan.refusal));
    return 1;
  }
  const Road road{helper, options.anyPower};
  return Flash(options, image, &road);
}
