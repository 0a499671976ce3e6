#include "posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#include "stop_flag.h"
#include "string_table.h"

namespace {

constexpr int NO_BYTE_WAIT_MS = 100;

using Steady = std::chrono::steady_clock;

// How long one system write or read may wait in the kernel before it returns with
// what it moved: the loops look at their bounds and the stop flag at least as often.
constexpr long SLICE_NS = 100L * 1000 * 1000;

// The signal that cuts a wait in the kernel short; its handler does nothing, and it is
// set without restart, so the call returns with what it moved.
int SliceSignal() {
  static std::once_flag installed;
  static const int number = SIGRTMIN;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ::sigaction(number, &action, nullptr);
  });
  return number;
}

// A timer that interrupts this thread's system call every slice while it is armed: one
// that fires before the call has begun (a thread held up) is followed by another.
class Slice {
 public:
  Slice() : thread_(::gettid()) {
    sigset_t signal;
    sigemptyset(&signal);
    sigaddset(&signal, SliceSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &signal, nullptr);
    sigevent event {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SliceSignal();
    event._sigev_un._tid = thread_;
    ready_ = ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
  }
  ~Slice() {
    if (ready_) ::timer_delete(timer_);
  }
  Slice(const Slice&) = delete;
  Slice& operator=(const Slice&) = delete;
  bool Ready() const { return ready_; }
  pid_t Thread() const { return thread_; }
  void Arm(bool on) {
    itimerspec when {};
    when.it_value.tv_nsec = on ? SLICE_NS : 0;
    when.it_interval = when.it_value;
    ::timer_settime(timer_, 0, &when, nullptr);
  }

 private:
  pid_t thread_;
  timer_t timer_{};
  bool ready_ = false;
};

// The descriptor is opened without waiting (for carrier), then blocks: a read waits in
// poll() for at most 100 ms, and a write or read waits in the kernel a slice at a time.
class PosixSerialChannel : public DeviceChannel {
 public:
  PosixSerialChannel(int fd, std::shared_ptr<std::string> failure, const StopFlag* stop)
      : fd_(fd), failure_(std::move(failure)), stop_(stop) {}
  // The tty is left as it was found: its settings restored, and not exclusive, as it
  // was before this open, since it may outlive this descriptor (another process holding
  // it) and a later open of it must not find it still claimed. Closing lets go of the
  // port's lock.
  ~PosixSerialChannel() override {
    if (settingsTaken_) ::tcsetattr(fd_, TCSANOW, &found_);
    if (exclusive_) ::ioctl(fd_, TIOCNXCL);
    if (claims_ != nullptr) claims_->Release(device_, path_);
    ::close(fd_);
  }
  PosixSerialChannel(const PosixSerialChannel&) = delete;
  PosixSerialChannel& operator=(const PosixSerialChannel&) = delete;

  // Takes the port for this run; false, with the reason kept, when it cannot be used.
  bool Take(const std::string& path, PortClaims* claims) {
    if (::tcgetattr(fd_, &found_) != 0) return Fail(LoadText(IDS_NOT_A_SERIAL_PORT));
    // One device under two names in this process is named as such, before its
    // exclusive mode or its lock would call it another program's.
    struct stat node {};
    if (::fstat(fd_, &node) != 0) return Fail(std::strerror(errno));
    if (claims != nullptr) {
      const std::string other = claims->Claim(node.st_rdev, path);
      if (!other.empty()) return Fail(FormatText(IDS_SAME_DEVICE_AS, {other}));
      claims_ = claims;
      device_ = node.st_rdev;
      path_ = path;
    }
    // Held exclusively by another program: root could open it all the same, and the
    // other program's claim must stay as it is.
    int held = 0;
    if (::ioctl(fd_, TIOCGEXCL, &held) == 0 && held != 0) return Fail(LoadText(IDS_PORT_IN_USE));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      return Fail(errno == EWOULDBLOCK ? LoadText(IDS_PORT_IN_USE) : std::strerror(errno));
    }
    termios raw = found_;
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    settingsTaken_ = true;
    if (::tcsetattr(fd_, TCSANOW, &raw) != 0) return Fail(std::strerror(errno));
    // Not shared: a second opener of the tty is refused while the port is open. What
    // came in before this open is no answer to anything this transfer sends.
    if (::ioctl(fd_, TIOCEXCL) != 0) return Fail(std::strerror(errno));
    exclusive_ = true;
    if (::tcflush(fd_, TCIFLUSH) != 0) return Fail(std::strerror(errno));
    // Writes wait in the kernel from now on, each for a bounded slice.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return Fail(std::strerror(errno));
    return true;
  }

  // A write waits in the kernel for room, as a plain blocking write does, for at most
  // a slice at a time: no poll between pieces, and no piece cut into many writes.
  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    written = 0;
    if (!Sliced()) return WriteEnd::Failed;
    return WriteWhileMoving(clock_, pace_, data, size, written, [this](const std::uint8_t* at, std::uint32_t left,
                                                                       std::uint32_t& moved) {
      if (StopRequested(stop_)) return false;
      slice_->Arm(true);
      const ssize_t n = ::write(fd_, at, left);
      const int error = errno;
      slice_->Arm(false);
      if (n > 0) {
        moved = static_cast<std::uint32_t>(n);
        Queued(held_);
        return true;
      }
      if (n < 0 && error != EINTR && error != EAGAIN) return Fail(std::strerror(error));
      return true;
    });
  }

  // The queue a USB serial driver keeps; a pseudo-terminal always tells 0. A port
  // that has gone while it still held bytes has lost them: it is never drained.
  WriteEnd Drain() override {
    return DrainWhileShrinking(clock_, pace_, held_, [this](std::uint32_t& queued) {
      if (StopRequested(stop_)) return false;
      pollfd state{fd_, POLLOUT, 0};
      const bool hungUp = ::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
      if (!Queued(queued) || hungUp) {
        queued = held_;
        return held_ == 0 || Fail(std::strerror(EIO));
      }
      return true;
    });
  }

  std::uint32_t HeldBytes() const override { return held_; }

  // A tty whose far end has hung up reads as its end (0 bytes), fails with EIO or
  // polls as hung up: every one of these is a port that has gone.
  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override {
    got = 0;
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, NO_BYTE_WAIT_MS);
    if (polled < 0) return errno == EINTR || Fail(std::strerror(errno));
    if (polled == 0) return true;
    if ((ready.revents & POLLIN) == 0) return Fail("hung up");
    // Another reader of the tty may take the byte first: the read waits a slice at most.
    if (!Sliced()) return false;
    slice_->Arm(true);
    const ssize_t n = ::read(fd_, &byte, 1);
    const int error = errno;
    slice_->Arm(false);
    errno = error;
    if (n == 1) {
      got = 1;
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return Fail(n == 0 ? "hung up" : std::strerror(errno));
  }

  // The tty's own wait is fixed at open; the record is kept for whoever reads it back.
  bool GetTimeouts(CommTimeouts& timeouts) override {
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const CommTimeouts& timeouts) override {
    timeouts_ = timeouts;
    return true;
  }

  void DiscardUnsent() override { ::tcflush(fd_, TCOFLUSH); }

 private:
  // The first failure since the port opened is the cause; what follows (a read after
  // a failed write) only shows the same port gone.
  bool Fail(const std::string& why) {
    if (failure_->empty()) *failure_ = why;
    return false;
  }

  // The slice's timer, for the thread that calls; false, with the reason kept, when the
  // system gives none.
  bool Sliced() {
    if (!slice_ || slice_->Thread() != ::gettid()) slice_ = std::make_unique<Slice>();
    return slice_->Ready() || Fail(std::strerror(errno));
  }

  // The bytes written that the tty's driver still holds.
  bool Queued(std::uint32_t& queued) const {
    int count = 0;
    if (::ioctl(fd_, TIOCOUTQ, &count) != 0) return false;
    queued = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    return true;
  }

  int fd_;
  std::shared_ptr<std::string> failure_;
  const StopFlag* stop_;
  termios found_{};
  bool settingsTaken_ = false;
  bool exclusive_ = false;
  PortClaims* claims_ = nullptr;
  dev_t device_ = 0;
  std::string path_;
  SteadyClock clock_;
  std::unique_ptr<Slice> slice_;
  PaceWatch pace_;
  std::uint32_t held_ = 0;
  CommTimeouts timeouts_{};
};

}  // namespace

bool TtyAt(const std::string& path, dev_t& device, std::string& why) {
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISCHR(node.st_mode)) {
    why = LoadText(IDS_NOT_A_SERIAL_PORT);
    return false;
  }
  device = node.st_rdev;
  return true;
}

std::string PortClaims::Claim(dev_t device, const std::string& port) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto [at, added] = ports_.emplace(device, port);
  return added || at->second == port ? "" : at->second;
}

void PortClaims::Release(dev_t device, const std::string& port) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto at = ports_.find(device);
  if (at != ports_.end() && at->second == port) ports_.erase(at);
}

std::unique_ptr<DeviceChannel> PosixPortOpener::Open(const std::string& path) {
  // Only a tty is a port: anything else at the path is left as it is, never opened
  // for writing.
  failure_->clear();
  dev_t device = 0;
  if (!TtyAt(path, device, *failure_)) return nullptr;
  // Not blocking, and CLOCAL below: an open never waits for carrier.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Held exclusively by another program: the system refuses anyone but root.
    *failure_ = errno == EBUSY ? LoadText(IDS_PORT_IN_USE) : std::strerror(errno);
    return nullptr;
  }
  // From here on the channel owns the descriptor: a set-up that fails leaves the tty
  // as it was found, as closing the channel always does.
  auto channel = std::make_unique<PosixSerialChannel>(fd, failure_, stop_);
  if (!channel->Take(path, claims_)) return nullptr;
  return channel;
}

std::uint32_t SteadyClock::TickCount() {
  const auto now = Steady::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
