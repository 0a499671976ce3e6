// The device's USB serial port as a POSIX tty, and the steady clock.
#pragma once

#include <memory>
#include <string>

#include "clock.h"
#include "download.h"

// Opens the tty in raw mode with reads that return within about 100 ms when no byte
// comes, so the status reader's silence rules can act. A path that is not a tty (a
// plain file) still opens.
class PosixPortOpener : public PortOpener {
 public:
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
};

class SteadyClock : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
};
