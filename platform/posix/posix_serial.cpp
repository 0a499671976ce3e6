#include "posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "string_table.h"

namespace {

constexpr int NO_BYTE_WAIT_MS = 100;
constexpr std::chrono::milliseconds WRITE_STALL_LIMIT{30000};  // of no progress at all
// A tty may not wake a poll for room that came (a pty's does not, under load), so
// room is looked for again at least this often.
constexpr std::chrono::milliseconds ROOM_RECHECK{100};

using Steady = std::chrono::steady_clock;

// The descriptor stays non-blocking for its whole life: every wait is a poll() with
// its own bound.
class PosixSerialChannel : public DeviceChannel {
 public:
  PosixSerialChannel(int fd, std::shared_ptr<std::string> failure) : fd_(fd), failure_(std::move(failure)) {}
  ~PosixSerialChannel() override {
    // Exclusive only while open: the tty may outlive this descriptor (another process
    // holding it), and a later open of it must not find it still claimed.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  PosixSerialChannel(const PosixSerialChannel&) = delete;
  PosixSerialChannel& operator=(const PosixSerialChannel&) = delete;

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    written = 0;
    Steady::time_point lastProgress = Steady::now();
    while (written < size) {
      const ssize_t n = ::write(fd_, data + written, size - written);
      if (n > 0) {
        written += static_cast<std::uint32_t>(n);
        lastProgress = Steady::now();
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return Fail(std::strerror(errno));
      // The device takes nothing for now: wait for room, but not for ever.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(WRITE_STALL_LIMIT - (Steady::now() - lastProgress));
      if (left.count() <= 0) return Fail(LoadText(IDS_PORT_STALLED));
      pollfd ready{fd_, POLLOUT, 0};
      const auto wait = std::min(left, ROOM_RECHECK);
      // Hung up or failed, with no room to come: as the write itself would report it.
      if (::poll(&ready, 1, static_cast<int>(wait.count())) > 0 && (ready.revents & POLLOUT) == 0) {
        return Fail(std::strerror(EIO));
      }
    }
    return true;
  }

  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override {
    got = 0;
    ssize_t n = ::read(fd_, &byte, 1);
    if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, NO_BYTE_WAIT_MS) > 0) n = ::read(fd_, &byte, 1);
    }
    if (n == 1) {
      got = 1;
      return true;
    }
    // A tty that has hung up reads as its end: no byte, like a wait that ran out.
    return n == 0 || errno == EAGAIN || errno == EINTR;
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

 private:
  bool Fail(const char* why) {
    *failure_ = why;
    return false;
  }

  int fd_;
  std::shared_ptr<std::string> failure_;
  CommTimeouts timeouts_{};
};

}  // namespace

std::unique_ptr<DeviceChannel> PosixPortOpener::Open(const std::string& path) {
  auto fail = [this](const char* why) {
    *failure_ = why;
    return nullptr;
  };
  // Only a tty is a port: anything else at the path is left as it is, never opened
  // for writing.
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) return fail(std::strerror(errno));
  if (!S_ISCHR(node.st_mode)) return fail(LoadText(IDS_NOT_A_SERIAL_PORT));
  // Not blocking, and CLOCAL below: an open never waits for carrier.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    return fail(LoadText(IDS_NOT_A_SERIAL_PORT));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  // Not shared: a second opener of the tty is refused while the port is open.
  if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(std::strerror(error));
  }
  failure_->clear();
  return std::make_unique<PosixSerialChannel>(fd, failure_);
}

std::uint32_t SteadyClock::TickCount() {
  const auto now = Steady::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
