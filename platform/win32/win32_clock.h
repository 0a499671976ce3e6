// The engine's clock on Win32: the system tick count and Sleep.
#pragma once

#include "clock.h"

class Win32Clock : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
};
