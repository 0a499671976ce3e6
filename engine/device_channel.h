// The open USB serial port of the device, as the engine sees it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "clock.h"

// The port's read and write time-outs, in the platform's own units (milliseconds).
struct CommTimeouts {
  std::uint32_t readIntervalTimeout = 0;
  std::uint32_t readTotalTimeoutMultiplier = 0;
  std::uint32_t readTotalTimeoutConstant = 0;
  std::uint32_t writeTotalTimeoutMultiplier = 0;
  std::uint32_t writeTotalTimeoutConstant = 0;
};

// How a write ended.
enum class WriteEnd {
  Written,  // every byte went out
  Stalled,  // the device took no byte for WRITE_STALL_LIMIT_MS
  Failed,   // the port refused the write or has gone, or a stop was requested
};

// A device that takes no byte of a piece for this long is not going to.
constexpr std::uint32_t WRITE_STALL_LIMIT_MS = 30000;
// The least time between system writes that keep moving nothing, so a port that
// returns at once without taking anything does not keep a core busy.
constexpr std::uint32_t WRITE_RETRY_MS = 100;

class DeviceChannel {
 public:
  virtual ~DeviceChannel() = default;
  // Writes the whole buffer, in as many system writes as it takes; written tells how
  // many bytes went out.
  virtual WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) = 0;
  // Reads at most one byte: true with got 0 when none came within the port's own
  // time-outs; false when the read failed, which means the port has gone.
  virtual bool ReadByte(std::uint8_t& byte, std::uint32_t& got) = 0;
  virtual bool GetTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  // Throws away what was written but not yet sent, so that closing the port does not
  // wait for a device that has stopped reading.
  virtual void DiscardUnsent() = 0;
};

// The write loop of the real ports. attempt(data, size, moved) is one system write: it
// sets moved to the bytes that went out (0 when none could, for now) and returns false
// when the write failed outright. Short writes go on with the rest; the write stalls
// once no byte has moved for WRITE_STALL_LIMIT_MS.
template <typename Attempt>
WriteEnd WriteWhileMoving(Clock& clock, const std::uint8_t* data, std::uint32_t size, std::uint32_t& written,
                          Attempt&& attempt) {
  written = 0;
  std::uint32_t lastMove = clock.TickCount();
  bool idle = false;  // the last attempt moved nothing
  while (written < size) {
    const std::uint32_t attemptStart = clock.TickCount();
    std::uint32_t moved = 0;
    if (!attempt(data + written, size - written, moved)) return WriteEnd::Failed;
    moved = std::min(moved, size - written);
    const std::uint32_t now = clock.TickCount();
    if (moved > 0) {
      written += moved;
      lastMove = now;
      idle = false;
      continue;
    }
    if (now - lastMove >= WRITE_STALL_LIMIT_MS) return WriteEnd::Stalled;
    // One attempt may find no room and return as room comes; a second in a row that
    // comes back at once with nothing waits out the rest of the retry time.
    if (idle && now - attemptStart < WRITE_RETRY_MS) clock.Sleep(WRITE_RETRY_MS - (now - attemptStart));
    idle = true;
  }
  return WriteEnd::Written;
}
