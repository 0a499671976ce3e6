#include "device_runner.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "posix_file.h"
#include "console_page.h"

namespace {

class CountedChannel : public DeviceChannel {
 public:
  CountedChannel(std::unique_ptr<DeviceChannel> inner, std::uint64_t& sent) : inner_(std::move(inner)), sent_(sent) {}
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
  std::uint64_t& sent_;
};

std::string StagingIn(const std::string& workdir) { return workdir + "/" + STAGING_FILE_NAME; }

}  // namespace

std::unique_ptr<DeviceChannel> DeviceRunner::CountedPorts::Open(const std::string& path) {
  auto port = real_.Open(path);
  if (!port) return nullptr;
  return std::make_unique<CountedChannel>(std::move(port), sent);
}

DeviceRunner::DeviceRunner(std::string port, std::string workdir, std::string image, const StopFlag& stop)
    : port_(std::move(port)), workdir_(std::move(workdir)), image_(std::move(image)), stop_(stop), ports_(stop) {}

DeviceRunner::~DeviceRunner() {
  if (ownWorkdir_) {
    ::unlink(StagingIn(workdir_).c_str());
    ::rmdir(workdir_.c_str());
  }
  if (workdirLock_ >= 0) ::close(workdirLock_);
}

bool DeviceRunner::Prepare(const struct stat& image) {
  if (!workdir_.empty() && !TakeWorkdir(image)) return false;
  // The port is opened once and let go, as the Windows program's port watcher does
  // before the transfer, so a port that cannot be used is named before any work.
  PosixPortOpener probe;
  if (!probe.Open(port_)) {
    Complain(port_, probe.LastFailure());
    return false;
  }
  if (workdir_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-flash-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      Complain(pattern, std::strerror(errno));
      return false;
    }
    workdir_ = pattern;
    ownWorkdir_ = true;
  }
  return true;
}

// A given working folder must exist and be free of other runs, and the staging file
// made there, cut to length 0 when the run starts, must be a plain file other than
// the image.
bool DeviceRunner::TakeWorkdir(const struct stat& image) {
  const int fd = ::open(workdir_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat node {};
  if (fd < 0 || ::fstat(fd, &node) != 0) {
    Complain(workdir_, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  workdirLock_ = fd;
  if (!S_ISDIR(node.st_mode)) {
    Complain(workdir_, "not a folder");
    return false;
  }
  // Held until the runner ends; a second run on the folder is refused, not blocked.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Complain(workdir_, errno == EWOULDBLOCK ? "in use by another run of orvane-flash" : std::strerror(errno));
    return false;
  }
  const std::string staging = StagingIn(workdir_);
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

DownloadEnding DeviceRunner::Run(ProgressPage& page, MessageBoxes& messages) {
  SteadyClock clock;
  PosixFileSystem files;
  DownloadContext context{page, messages, clock, files, ports_, {port_, image_, StagingIn(workdir_)}, &stop_};
  const auto start = std::chrono::steady_clock::now();
  const DownloadEnding ending = RunDownload(context);
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return ending;
}
