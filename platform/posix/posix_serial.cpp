#include "posix_serial.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

constexpr std::chrono::milliseconds NO_BYTE_WAIT{100};

class PosixSerialChannel : public DeviceChannel {
 public:
  PosixSerialChannel(int fd, bool isTty) : fd_(fd), isTty_(isTty) {}
  ~PosixSerialChannel() override { ::close(fd_); }
  PosixSerialChannel(const PosixSerialChannel&) = delete;
  PosixSerialChannel& operator=(const PosixSerialChannel&) = delete;

  bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override {
    written = 0;
    while (written < size) {
      const ssize_t n = ::write(fd_, data + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      written += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override {
    got = 0;
    const ssize_t n = ::read(fd_, &byte, 1);
    if (n == 1) {
      got = 1;
      return true;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
    // A tty waits VTIME itself; a plain file at its end answers at once.
    if (!isTty_) std::this_thread::sleep_for(NO_BYTE_WAIT);
    return true;
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
  int fd_;
  bool isTty_;
  CommTimeouts timeouts_{};
};

}  // namespace

std::unique_ptr<DeviceChannel> PosixPortOpener::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  termios tio{};
  const bool isTty = ::tcgetattr(fd, &tio) == 0;
  if (isTty) {
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;  // tenths of a second
    // Not shared: a second opener of the tty is refused while the port is open.
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
      ::close(fd);
      return nullptr;
    }
  }
  return std::make_unique<PosixSerialChannel>(fd, isTty);
}

std::uint32_t SteadyClock::TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
