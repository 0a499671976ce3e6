// The device's USB serial port as a POSIX tty, and the steady clock.
#pragma once

#include <memory>
#include <string>

#include "clock.h"
#include "download.h"
#include "stop_flag.h"

// Opens only a tty, for reading and writing, not shared while open, raw, with what
// came in before the open thrown away; closing it restores its settings as found.
// Nothing on the port blocks: the open never waits for carrier, a read gives no byte
// after about 100 ms, a write stalls once the device has taken nothing for 30 s, and
// a write ends within 100 ms of a stop request.
class PosixPortOpener : public PortOpener {
 public:
  explicit PosixPortOpener(const StopFlag* stop = nullptr) : stop_(stop) {}
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
  // The system's reason why the last open, or the last read or write on a port opened
  // since, failed; empty when none has.
  const std::string& LastFailure() const { return *failure_; }

 private:
  const StopFlag* stop_;
  std::shared_ptr<std::string> failure_ = std::make_shared<std::string>();
};

class SteadyClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
};
