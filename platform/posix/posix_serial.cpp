#include "posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "stop_flag.h"
#include "string_table.h"

namespace {

constexpr int NO_BYTE_WAIT_MS = 100;
// A tty may not wake a poll for room that came (a pty's does not, under load), so
// room is looked for again at least this often.
constexpr int ROOM_RECHECK_MS = 100;

using Steady = std::chrono::steady_clock;

// The descriptor stays non-blocking for its whole life: every wait is a poll() with
// its own bound.
class PosixSerialChannel : public DeviceChannel {
 public:
  PosixSerialChannel(int fd, const termios& found, std::shared_ptr<std::string> failure, const StopFlag* stop)
      : fd_(fd), found_(found), failure_(std::move(failure)), stop_(stop) {}
  // The tty is left as it was found: its settings restored, and exclusive no more, as
  // it may outlive this descriptor (another process holding it) and a later open of it
  // must not find it still claimed.
  ~PosixSerialChannel() override {
    ::tcsetattr(fd_, TCSANOW, &found_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  PosixSerialChannel(const PosixSerialChannel&) = delete;
  PosixSerialChannel& operator=(const PosixSerialChannel&) = delete;

  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    return WriteWhileMoving(clock_, data, size, written, [this](const std::uint8_t* at, std::uint32_t left,
                                                                std::uint32_t& moved) {
      if (StopRequested(stop_)) return false;
      const ssize_t n = ::write(fd_, at, left);
      if (n > 0) {
        moved = static_cast<std::uint32_t>(n);
        return true;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return Fail(std::strerror(errno));
      // The device takes nothing for now: wait a little for room.
      pollfd ready{fd_, POLLOUT, 0};
      // Hung up or failed, with no room to come: as the write itself would report it.
      if (::poll(&ready, 1, ROOM_RECHECK_MS) > 0 && (ready.revents & POLLOUT) == 0) return Fail(std::strerror(EIO));
      return true;
    });
  }

  // A tty whose far end has hung up reads as its end (0 bytes), fails with EIO or
  // polls as hung up: every one of these is a port that has gone.
  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override {
    got = 0;
    ssize_t n = ::read(fd_, &byte, 1);
    if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, NO_BYTE_WAIT_MS);
      if (polled < 0) return errno == EINTR || Fail(std::strerror(errno));
      if (polled == 0) return true;
      if ((ready.revents & POLLIN) == 0) return Fail("hung up");
      n = ::read(fd_, &byte, 1);
    }
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
  bool Fail(const char* why) {
    *failure_ = why;
    return false;
  }

  int fd_;
  termios found_;
  std::shared_ptr<std::string> failure_;
  const StopFlag* stop_;
  SteadyClock clock_;
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
  termios found{};
  if (::tcgetattr(fd, &found) != 0) {
    ::close(fd);
    return fail(LoadText(IDS_NOT_A_SERIAL_PORT));
  }
  // From here on the channel owns the descriptor: a set-up that fails leaves the tty
  // as it was found, as closing the channel always does.
  auto channel = std::make_unique<PosixSerialChannel>(fd, found, failure_, stop_);
  termios raw = found;
  ::cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  // Not shared: a second opener of the tty is refused while the port is open. What
  // came in before this open is no answer to anything this transfer sends.
  if (::tcsetattr(fd, TCSANOW, &raw) != 0 || ::ioctl(fd, TIOCEXCL) != 0 || ::tcflush(fd, TCIFLUSH) != 0) {
    return fail(std::strerror(errno));
  }
  failure_->clear();
  return channel;
}

std::uint32_t SteadyClock::TickCount() {
  const auto now = Steady::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
