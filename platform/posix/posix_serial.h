// The device's USB serial port as a POSIX tty, and the steady clock.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "clock.h"
#include "download.h"
#include "stop_flag.h"

// The tty at a path: its device number, when the path names a tty at all; otherwise
// the reason it cannot be a port.
bool TtyAt(const std::string& path, dev_t& device, std::string& why);

// The ttys the ports of this process hold open, by device number: one device given
// under two names is held under one of them at a time.
class PortClaims {
 public:
  // The port that holds the device already, or empty: then this port holds it.
  std::string Claim(dev_t device, const std::string& port);
  void Release(dev_t device, const std::string& port);

 private:
  std::mutex lock_;
  std::map<dev_t, std::string> ports_;
};

// Opens only a tty, for reading and writing, not shared while open, raw, with what
// came in before the open thrown away; closing it restores its settings as found.
// One run per port, whoever runs it: a tty another program holds exclusively, or
// another run holds by its lock, is refused and left exactly as found, and the port
// stays locked (flock) while open. Nothing on the port waits without a bound: the open
// never waits for carrier, a read gives no byte after about 100 ms, a write stalls once
// the device has taken nothing for 30 s, and a write or drain ends within 100 ms of a
// stop request.
class PosixPortOpener : public PortOpener {
 public:
  explicit PosixPortOpener(const StopFlag* stop = nullptr, PortClaims* claims = nullptr)
      : stop_(stop), claims_(claims) {}
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
  // The system's reason why the last open failed, or the first read, write or drain
  // that failed on the port it opened; empty when none has.
  const std::string& LastFailure() const { return *failure_; }

 private:
  const StopFlag* stop_;
  PortClaims* claims_;
  std::shared_ptr<std::string> failure_ = std::make_shared<std::string>();
};

class SteadyClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
};
