#include "win32_serial.h"

#include <cstdio>

std::string UsbSerialPortPath(int number) {
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\wceusbsh00%d", number);
  return path;
}

WriteEnd Win32DeviceChannel::Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) {
  // Drivers report a write that ran out of time in their own ways: as a success with
  // the bytes that went (serial.sys), or as a failure with a time-out error, 121 or
  // 1460, or another. A write that moved bytes goes on with the rest, whatever it
  // returned. One that moved nothing, with a time-out error or after the whole stall
  // bound whatever its error, is a device taking nothing, which the write loop ends as
  // a stall; any other failure is a port that failed.
  return WriteWhileMoving(clock_, pace_, data, size, written,
                          [this](const std::uint8_t* at, std::uint32_t left, std::uint32_t& moved) {
                            const std::uint32_t start = clock_.TickCount();
                            DWORD count = 0;
                            const BOOL ok = WriteFile(port_, at, left, &count, nullptr);
                            moved = count;
                            if (count > 0) Queued(held_);
                            if (ok || count > 0) return true;
                            const DWORD error = GetLastError();
                            return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT ||
                                   clock_.TickCount() - start >= WRITE_STALL_LIMIT_MS;
                          });
}

bool Win32DeviceChannel::Queued(std::uint32_t& queued) {
  DWORD errors = 0;
  COMSTAT status = {};
  if (!ClearCommError(port_, &errors, &status)) return false;
  queued = status.cbOutQue;
  return true;
}

// A port that has gone while it still held bytes has lost them: it is never drained.
// A plain file, which has no comm status, holds nothing.
WriteEnd Win32DeviceChannel::Drain() {
  return DrainWhileShrinking(clock_, pace_, held_, [this](std::uint32_t& queued) {
    if (Queued(queued)) return true;
    queued = held_;
    return held_ == 0;
  });
}

void Win32DeviceChannel::DiscardUnsent() { PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR); }

bool Win32DeviceChannel::ReadByte(std::uint8_t& value, std::uint32_t& got) {
  DWORD count = 0;
  const BOOL ok = ReadFile(port_, &value, 1, &count, nullptr);
  got = count;
  return ok != FALSE;
}

bool Win32DeviceChannel::GetTimeouts(CommTimeouts& timeouts) {
  COMMTIMEOUTS record = {};
  if (!GetCommTimeouts(port_, &record)) return false;
  timeouts.readIntervalTimeout = record.ReadIntervalTimeout;
  timeouts.readTotalTimeoutMultiplier = record.ReadTotalTimeoutMultiplier;
  timeouts.readTotalTimeoutConstant = record.ReadTotalTimeoutConstant;
  timeouts.writeTotalTimeoutMultiplier = record.WriteTotalTimeoutMultiplier;
  timeouts.writeTotalTimeoutConstant = record.WriteTotalTimeoutConstant;
  return true;
}

bool Win32DeviceChannel::SetTimeouts(const CommTimeouts& timeouts) {
  COMMTIMEOUTS record = {};
  record.ReadIntervalTimeout = timeouts.readIntervalTimeout;
  record.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
  record.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
  record.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
  record.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
  return SetCommTimeouts(port_, &record) != FALSE;
}

std::unique_ptr<DeviceChannel> Win32PortOpener::Open(const std::string& path) {
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) return nullptr;
  auto channel = std::make_unique<Win32DeviceChannel>(port);
  // A one-byte read asks for no more than one byte, so a total time-out alone bounds
  // the wait: the read returns as soon as a byte is there, or after the time-out
  // without one. A write gets a fixed time, whatever its size. A plain file has no
  // time-outs and is used as it is.
  CommTimeouts timeouts;
  if (channel->GetTimeouts(timeouts)) {
    timeouts.readIntervalTimeout = 0;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = PORT_READ_TIMEOUT_MS;
    timeouts.writeTotalTimeoutMultiplier = 0;
    timeouts.writeTotalTimeoutConstant = PORT_WRITE_TIMEOUT_MS;
    channel->SetTimeouts(timeouts);
  }
  return channel;
}
