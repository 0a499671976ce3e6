// The simulated device's USB serial port: a pseudo-terminal whose slave is published
// as a symlink, so the host opens it by a fixed path.
#pragma once

#include <string>

namespace pdasim {

class PtyPort {
 public:
  PtyPort() = default;
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;
  ~PtyPort() { Close(); }

  // Creates the pty in raw mode and points link at its slave. On failure says why.
  bool Open(const std::string& link, std::string& error);
  // Removes the link (when it still points here) and closes both sides; the host's
  // open slave sees a hangup, as when a device drops off the bus.
  void Close();

  bool IsOpen() const { return master_ >= 0; }
  int master() const { return master_; }
  const std::string& slaveName() const { return slaveName_; }
  // Bytes written to the host that it has not read yet.
  int Unread() const;

 private:
  int master_ = -1;
  // Held open so that the host closing and reopening the slave never hangs up the
  // master, and so that what is written meanwhile waits for the next open.
  int slave_ = -1;
  std::string slaveName_;
  std::string link_;
};

}  // namespace pdasim
