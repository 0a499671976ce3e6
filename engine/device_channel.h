// The open USB serial port of the device, as the engine sees it.
#pragma once

#include <cstdint>

// The port's read and write time-outs, in the platform's own units (milliseconds).
struct CommTimeouts {
  std::uint32_t readIntervalTimeout = 0;
  std::uint32_t readTotalTimeoutMultiplier = 0;
  std::uint32_t readTotalTimeoutConstant = 0;
  std::uint32_t writeTotalTimeoutMultiplier = 0;
  std::uint32_t writeTotalTimeoutConstant = 0;
};

class DeviceChannel {
 public:
  virtual ~DeviceChannel() = default;
  // Writes a buffer; written tells how many bytes went out.
  virtual bool Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) = 0;
  // Reads at most one byte; got is 0 when none came within the port's own time-outs.
  virtual bool ReadByte(std::uint8_t& byte, std::uint32_t& got) = 0;
  virtual bool GetTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
};
