// The device's USB serial port as a POSIX tty, and the steady clock.
#pragma once

#include <memory>
#include <string>

#include "clock.h"
#include "download.h"

// Opens only a tty, for reading and writing, not shared while open, raw. Nothing on the
// port blocks: the open never waits for carrier, a read gives no byte after about
// 100 ms, and a write fails once the device has taken nothing for 30 s.
class PosixPortOpener : public PortOpener {
 public:
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
  // Why the last open, or the last write on a port opened since, failed; empty when
  // neither has.
  const std::string& LastFailure() const { return *failure_; }

 private:
  std::shared_ptr<std::string> failure_ = std::make_shared<std::string>();
};

class SteadyClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
};
