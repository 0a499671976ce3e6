#include "device_runner.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

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

class CountedChannel : public DeviceChannel {
 public:
  CountedChannel(std::unique_ptr<DeviceChannel> inner, std::atomic<std::uint64_t>& sent)
      : inner_(std::move(inner)), sent_(sent) {}
  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    const WriteEnd end = inner_->Write(data, size, written);
    sent_ += written;
    return end;
  }
  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override { return inner_->ReadByte(byte, got); }
  bool GetTimeouts(CommTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
  bool SetTimeouts(const CommTimeouts& timeouts) override { return inner_->SetTimeouts(timeouts); }
  void DiscardUnsent() override { inner_->DiscardUnsent(); }

 private:
  std::unique_ptr<DeviceChannel> inner_;
  std::atomic<std::uint64_t>& sent_;
};

std::string StagingIn(const std::string& workdir) { return workdir + "/" + STAGING_FILE_NAME; }

}  // namespace

std::string DeviceRegistry::Claim(dev_t device, const std::string& port) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto [at, added] = ports_.emplace(device, port);
  return added || at->second == port ? "" : at->second;
}

std::unique_ptr<DeviceChannel> DeviceRunner::CountedPorts::Open(const std::string& path) {
  auto port = real_.Open(path);
  if (!port) return nullptr;
  return std::make_unique<CountedChannel>(std::move(port), sent);
}

DeviceRunner::DeviceRunner(std::string port, std::string workdir, bool makeWorkdir, std::string image,
                           const StopFlag& stop, DeviceRegistry& registry)
    : port_(std::move(port)),
      workdir_(std::move(workdir)),
      makeWorkdir_(makeWorkdir),
      image_(std::move(image)),
      stop_(stop),
      registry_(registry),
      ports_(stop) {}

DeviceRunner::~DeviceRunner() {
  if (ownWorkdir_) {
    ::unlink(StagingIn(workdir_).c_str());
    ::rmdir(workdir_.c_str());
  }
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

bool DeviceRunner::Prepare(const struct stat& image, std::uint32_t waitMs, const Complaint& complain) {
  if (!workdir_.empty() && !TakeWorkdir(image, complain)) return false;
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
// that may still come is tried again until it opens or its time is up.
bool DeviceRunner::AwaitPort(std::uint32_t waitMs, const Complaint& complain) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  PosixPortOpener probe;
  bool claimed = false;
  for (;;) {
    std::string why;
    struct stat node {};
    if (::stat(port_.c_str(), &node) != 0) {
      why = std::strerror(errno);
    } else if (!S_ISCHR(node.st_mode)) {
      why = LoadText(IDS_NOT_A_SERIAL_PORT);
    } else {
      if (!claimed) {
        const std::string other = registry_.Claim(node.st_rdev, port_);
        if (!other.empty()) return Refuse(port_, "the same device as " + other, complain);
        claimed = true;
      }
      if (probe.Open(port_)) return true;
      why = probe.LastFailure();
    }
    if (StopRequested(&stop_)) return false;
    if (std::chrono::steady_clock::now() >= deadline) return Refuse(port_, why, complain);
    std::this_thread::sleep_for(PORT_RETRY);
  }
}

// A given working folder must exist (or be made) and be free of other runs, and the
// staging file made there, cut to length 0 when the run starts, must be a plain file
// other than the image.
bool DeviceRunner::TakeWorkdir(const struct stat& image, const Complaint& complain) {
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
  if (!S_ISDIR(node.st_mode)) return Refuse(workdir_, "not a folder", complain);
  // Held until the runner ends; a second run on the folder is refused, not blocked.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return Refuse(workdir_, errno == EWOULDBLOCK ? "in use by another run of orvane-flash" : std::strerror(errno),
                  complain);
  }
  const std::string staging = StagingIn(workdir_);
  if (::stat(staging.c_str(), &node) != 0) return true;  // the run makes it
  if (node.st_dev == image.st_dev && node.st_ino == image.st_ino) {
    return Refuse(staging, "the staging file would overwrite the image", complain);
  }
  if (!S_ISREG(node.st_mode)) return Refuse(staging, "not a regular file", complain);
  return true;
}

DownloadEnding DeviceRunner::Run(ProgressPage& page, MessageBoxes& messages) {
  SteadyClock clock;
  PosixFileSystem files;
  LoggedPage logged(page, log_);
  DownloadContext context{logged, messages, clock, files, ports_, {port_, image_, StagingIn(workdir_)}, &stop_, &log_};
  const auto start = std::chrono::steady_clock::now();
  const DownloadEnding ending = RunDownload(context);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return ending;
}
