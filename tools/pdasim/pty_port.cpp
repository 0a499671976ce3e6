#include "pty_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pdasim {

bool PtyPort::Open(const std::string& link, std::string& error) {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pty: ") + std::strerror(errno);
    Close();
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    Close();
    return false;
  }
  slaveName_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
    error = "cannot open " + slaveName_ + ": " + std::strerror(errno);
    Close();
    return false;
  }
  // Raw, so the host's bytes arrive unchanged even if it sets no mode of its own.
  cfmakeraw(&tio);
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
    error = std::string("cannot set raw mode: ") + std::strerror(errno);
    Close();
    return false;
  }
  // Published by rename so that the path never names a half-made link.
  const std::string temp = link + ".pdasim-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(slaveName_.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
    error = "cannot publish " + link + ": " + std::strerror(errno);
    unlink(temp.c_str());
    Close();
    return false;
  }
  link_ = link;
  return true;
}

void PtyPort::Close() {
  if (!link_.empty()) {
    char target[256];
    const ssize_t size = readlink(link_.c_str(), target, sizeof target - 1);
    if (size >= 0 && slaveName_ == std::string(target, static_cast<std::size_t>(size)))
      unlink(link_.c_str());
    link_.clear();
  }
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = -1;
  master_ = -1;
}

int PtyPort::Unread() const {
  int count = 0;
  if (slave_ < 0 || ioctl(slave_, FIONREAD, &count) != 0) return 0;
  return count;
}

}  // namespace pdasim
