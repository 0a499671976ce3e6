#include "device_runner.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "posix_file.h"
#include "string_table.h"

namespace {

// How often a port that did not open is tried again while it may still come.
constexpr auto PORT_RETRY = std::chrono::milliseconds(100);

bool SameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

CountedChannel::CountedChannel(std::unique_ptr<DeviceChannel> inner, std::atomic<std::uint64_t>& sent)
    : inner_(std::move(inner)), sent_(sent), before_(sent.load()) {}

WriteEnd CountedChannel::Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
  const WriteEnd end = inner_->Write(data, size, written);
  written_ += written;
  Count();
  return end;
}

WriteEnd CountedChannel::Drain() {
  const WriteEnd end = inner_->Drain();
  Count();
  return end;
}

void CountedChannel::Count() { sent_ = before_ + written_ - std::min<std::uint64_t>(written_, inner_->HeldBytes()); }

std::string StagingIn(const std::string& workdir) { return workdir + "/" + STAGING_FILE_NAME; }

std::unique_ptr<DeviceChannel> DeviceRunner::CountedPorts::Open(const std::string& path) {
  auto port = real_.Open(path);
  if (!port) return nullptr;
  return std::make_unique<CountedChannel>(std::move(port), sent);
}

DeviceRunner::DeviceRunner(std::string port, std::string workdir, bool makeWorkdir, const OpenedFile& image,
                           const StopFlag& stop, PortClaims& claims)
    : port_(std::move(port)),
      workdir_(std::move(workdir)),
      makeWorkdir_(makeWorkdir),
      image_(image),
      stop_(stop),
      ports_(stop, claims) {}

DeviceRunner::~DeviceRunner() {
  if (ownWorkdir_ || removeStaging_) ::unlink(StagingIn(workdir_).c_str());
  if (ownWorkdir_) ::rmdir(workdir_.c_str());
  if (workdirLock_ >= 0) ::close(workdirLock_);
}

bool DeviceRunner::Refuse(const std::string& what, const std::string& why, const Complaint& complain) {
  refusal_ = why;
  complain(what, why);
  return false;
}

bool DeviceRunner::OpenLog(const std::string& path, const Complaint& complain) {
  std::string why;
  return log_.Open(path, why) || Refuse(path, why, complain);
}

LinkEnding DeviceRunner::IntoDownloader(const Road& road, const LinkOptions& link, ProgressPage& page) {
  LoggedPage logged(page, log_);
  LinkOptions stoppable = link;
  stoppable.stop = &stop_;
  const LinkEnding ending = ::IntoDownloader(road, stoppable, logged);
  if (ending.result == LinkResult::None) logged.SetStepCaption(FormatText(IDS_ROAD_AWAITING_PORT, {port_}));
  return ending;
}

bool DeviceRunner::Prepare(std::uint32_t waitMs, const Complaint& complain) {
  if (!AwaitPort(waitMs, complain)) return false;
  if (workdir_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-flash-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return Refuse(pattern, std::strerror(errno), complain);
    workdir_ = pattern;
    ownWorkdir_ = true;
  }
  return true;
}

// The port is opened once and let go, as the Windows program's port watcher does
// before the transfer, so a port that cannot be used is named before any work. One
// that may still come, or be let go by whoever holds it, is tried again until it opens
// or its time is up.
bool DeviceRunner::AwaitPort(std::uint32_t waitMs, const Complaint& complain) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (ports_.Open(port_)) return true;
    if (StopRequested(&stop_)) return false;
    if (std::chrono::steady_clock::now() >= deadline) return Refuse(port_, ports_.LastFailure(), complain);
    std::this_thread::sleep_for(PORT_RETRY);
  }
}

// A given working folder must exist (or be made) and be free of other runs, and the
// staging file made there, cut to length 0 when the run starts, must be a plain file
// other than the image.
bool DeviceRunner::TakeFolder(const Complaint& complain) {
  if (workdir_.empty()) return true;
  if (makeWorkdir_ && ::mkdir(workdir_.c_str(), 0700) != 0 && errno != EEXIST) {
    return Refuse(workdir_, std::strerror(errno), complain);
  }
  const int fd = ::open(workdir_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat node {};
  if (fd < 0 || ::fstat(fd, &node) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return Refuse(workdir_, std::strerror(error), complain);
  }
  workdirLock_ = fd;
  if (!S_ISDIR(node.st_mode)) return Refuse(workdir_, LoadText(IDS_NOT_A_FOLDER), complain);
  // Held until the runner ends; a second run on the folder is refused, not blocked.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return Refuse(workdir_, errno == EWOULDBLOCK ? LoadText(IDS_WORKDIR_IN_USE) : std::strerror(errno), complain);
  }
  const std::string staging = StagingIn(workdir_);
  if (::stat(staging.c_str(), &node) != 0) return true;  // the run makes it
  if (SameNode(node, image_.Node())) return Refuse(staging, LoadText(IDS_STAGING_WOULD_OVERWRITE_IMAGE), complain);
  if (!S_ISREG(node.st_mode)) return Refuse(staging, LoadText(IDS_NOT_A_REGULAR_FILE), complain);
  return true;
}

DownloadEnding DeviceRunner::Run(ProgressPage& page, MessageBoxes& messages) {
  SteadyClock clock;
  PosixFileSystem others;
  ImageFiles files(image_, others);
  LoggedPage logged(page, log_);
  DownloadContext context{logged,   messages, clock, files, ports_, {port_, image_.Path(), StagingIn(workdir_)},
                          &stop_, &log_};
  const auto start = std::chrono::steady_clock::now();
  DownloadEnding ending = RunDownload(context);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // A staging file is left only by a run that sent every part; a given folder is
  // otherwise left as it was found.
  removeStaging_ = PageResult(ending.result) != DOWNLOAD_SUCCEEDED;
  return ending;
}
