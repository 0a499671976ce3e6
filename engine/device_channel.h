// The open USB serial port of the device, as the engine sees it.
#pragma once

#include <algorithm>
#include <array>
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

// How a write, or a drain of what the port still holds, ended.
enum class WriteEnd {
  Written,  // every byte went out: the device has taken all of it where the port can tell
  Stalled,  // the device took no byte for WRITE_STALL_LIMIT_MS
  TooSlow,  // the device took fewer than PACE_FLOOR_BYTES in PACE_WINDOW_MS of writing
  Failed,   // the port refused the write or has gone, or a stop was requested
};

// A device that takes no byte of a piece for this long is not going to.
constexpr std::uint32_t WRITE_STALL_LIMIT_MS = 30000;
// The least time between system writes that keep moving nothing, so a port that
// returns at once without taking anything does not keep a core busy.
constexpr std::uint32_t WRITE_RETRY_MS = 100;
// How often a drain looks at what the port still holds.
constexpr std::uint32_t DRAIN_POLL_MS = 10;
// A device that takes less than 1 KiB a second, over any minute of writing, would take
// days over an image a real downloader takes in minutes (about 1 MB/s).
constexpr std::uint32_t PACE_WINDOW_MS = 60000;
constexpr std::uint32_t PACE_FLOOR_BYTES = 60 * 1024;

// The bytes a device took over the last minute of writing. Only time spent inside
// writes and drains counts: a wait for the device's answer is no slowness of its port.
class PaceWatch {
 public:
  // Notes that moved bytes went after elapsedMs more of writing; false once a whole
  // window of writing has moved fewer than PACE_FLOOR_BYTES.
  bool Note(std::uint32_t elapsedMs, std::uint32_t moved) {
    const std::uint64_t before = busyMs_ / SLOT_MS;
    busyMs_ += elapsedMs;
    const std::uint64_t now = busyMs_ / SLOT_MS;
    for (std::uint64_t slot = before + 1; slot <= now && slot <= before + SLOTS; ++slot) slots_[SlotOf(slot)] = 0;
    slots_[SlotOf(now)] += moved;
    if (busyMs_ < PACE_WINDOW_MS) return true;
    std::uint64_t window = 0;
    for (const std::uint32_t bytes : slots_) window += bytes;
    return window >= PACE_FLOOR_BYTES;
  }

 private:
  static constexpr std::uint32_t SLOT_MS = 1000;
  static constexpr std::size_t SLOTS = PACE_WINDOW_MS / SLOT_MS;
  static std::size_t SlotOf(std::uint64_t second) { return static_cast<std::size_t>(second % SLOTS); }
  std::uint64_t busyMs_ = 0;
  std::array<std::uint32_t, SLOTS> slots_{};
};

class DeviceChannel {
 public:
  virtual ~DeviceChannel() = default;
  // Writes the whole buffer, in as many system writes as it takes; written tells how
  // many bytes the port took from it.
  virtual WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) = 0;
  // Waits until the device has taken every byte written: the port's output queue is
  // empty. A port that does not tell its queue (a pseudo-terminal) returns at once.
  virtual WriteEnd Drain() = 0;
  // The written bytes the port still held when it was last asked, after a write or
  // during a drain: bytes the device has not taken, lost if the port goes away.
  virtual std::uint32_t HeldBytes() const = 0;
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
// once no byte has moved for WRITE_STALL_LIMIT_MS, and is too slow once the pace has
// seen a whole window of writing move less than its floor.
template <typename Attempt>
WriteEnd WriteWhileMoving(Clock& clock, PaceWatch& pace, const std::uint8_t* data, std::uint32_t size,
                          std::uint32_t& written, Attempt&& attempt) {
  written = 0;
  std::uint32_t lastMove = clock.TickCount();
  std::uint32_t lastTick = lastMove;
  bool idle = false;  // the last attempt moved nothing
  while (written < size) {
    const std::uint32_t attemptStart = clock.TickCount();
    std::uint32_t moved = 0;
    if (!attempt(data + written, size - written, moved)) return WriteEnd::Failed;
    moved = std::min(moved, size - written);
    const std::uint32_t now = clock.TickCount();
    written += moved;
    const bool paced = pace.Note(now - lastTick, moved);
    lastTick = now;
    if (moved > 0) {
      lastMove = now;
      idle = false;
    } else if (now - lastMove >= WRITE_STALL_LIMIT_MS) {
      return WriteEnd::Stalled;
    }
    if (!paced) return WriteEnd::TooSlow;
    if (moved > 0) continue;
    // One attempt may find no room and return as room comes; a second in a row that
    // comes back at once with nothing waits out the rest of the retry time.
    if (idle && now - attemptStart < WRITE_RETRY_MS) clock.Sleep(WRITE_RETRY_MS - (now - attemptStart));
    idle = true;
  }
  return WriteEnd::Written;
}

// The drain loop of the real ports. queued(held) reads how many written bytes the port
// still holds, and returns false when the port has gone (or a stop was requested).
// It waits until the port holds none, under the same bounds as a write: the count not
// shrinking for WRITE_STALL_LIMIT_MS, or shrinking slower than the pace's floor.
template <typename Queued>
WriteEnd DrainWhileShrinking(Clock& clock, PaceWatch& pace, std::uint32_t& held, Queued&& queued) {
  std::uint32_t lastTick = clock.TickCount();
  std::uint32_t lastMove = lastTick;
  for (;;) {
    std::uint32_t now = 0;
    if (!queued(now)) return WriteEnd::Failed;
    const std::uint32_t tick = clock.TickCount();
    const std::uint32_t moved = now < held ? held - now : 0;
    held = now;
    if (held == 0) return WriteEnd::Written;
    const bool paced = pace.Note(tick - lastTick, moved);
    lastTick = tick;
    if (moved > 0) {
      lastMove = tick;
    } else if (tick - lastMove >= WRITE_STALL_LIMIT_MS) {
      return WriteEnd::Stalled;
    }
    if (!paced) return WriteEnd::TooSlow;
    clock.Sleep(DRAIN_POLL_MS);
  }
}
