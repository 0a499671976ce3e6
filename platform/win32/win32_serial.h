// The device's USB serial port on Win32.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "download.h"
#include "win32_clock.h"

// How long one read waits for a byte before it returns without one, so that the
// status-line reader's silence rules can act.
constexpr DWORD PORT_READ_TIMEOUT_MS = 100;
// How long one system write may take before it returns with what went out: the stall
// bound itself, so that a device that pauses (a flash erase) never ends the transfer
// however the driver reports a time-out. A little over the bound, so that a write that
// timed out with nothing moved is a stall by the clock too.
constexpr DWORD PORT_WRITE_TIMEOUT_MS = WRITE_STALL_LIMIT_MS + 1000;
#ifndef _WIN64
static_assert(sizeof(COMMTIMEOUTS) == 20, "the port's time-out record");
#endif

// The device path of a port of the sync software's USB serial driver; the device's
// downloader is port 1.
constexpr int DEVICE_PORT_NUMBER = 1;
std::string UsbSerialPortPath(int number);

class Win32DeviceChannel : public DeviceChannel {
 public:
  explicit Win32DeviceChannel(HANDLE port) : port_(port) {}
  ~Win32DeviceChannel() override { CloseHandle(port_); }
  Win32DeviceChannel(const Win32DeviceChannel&) = delete;
  Win32DeviceChannel& operator=(const Win32DeviceChannel&) = delete;

  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override;
  WriteEnd Drain() override;
  std::uint32_t HeldBytes() const override { return held_; }
  bool ReadByte(std::uint8_t& value, std::uint32_t& got) override;
  bool GetTimeouts(CommTimeouts& timeouts) override;
  bool SetTimeouts(const CommTimeouts& timeouts) override;
  void DiscardUnsent() override;

 private:
  // The bytes written that the driver still holds, from its comm status.
  bool Queued(std::uint32_t& queued);

  HANDLE port_;
  Win32Clock clock_;
  PaceWatch pace_;
  std::uint32_t held_ = 0;
};

class Win32PortOpener : public PortOpener {
 public:
  // Opens the port for reading and writing, not shared, existing devices only, and
  // gives its reads the PORT_READ_TIMEOUT_MS wait and its writes PORT_WRITE_TIMEOUT_MS.
  // A path that is no comm device (a plain file) opens all the same, with the reads
  // and writes it has.
  std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
};
