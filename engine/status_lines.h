// Status lines: the device's USB downloader reports with short line-feed-terminated
// text lines on the same port that carries the streams.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clock.h"
#include "device_channel.h"
#include "progress_page.h"
#include "stop_flag.h"

constexpr std::uint32_t LINE_BUFFER_BYTES = 128;  // a line of up to 127 bytes, line feed included
constexpr std::uint32_t SILENCE_LIMIT_MS = 60000;
// The least time a read that gives no byte takes: a port that has hung up answers
// every read at once, and retrying at once would keep a core busy for the whole wait.
constexpr std::uint32_t EMPTY_READ_MS = 100;
// No wait lasts longer, whatever the device sends.
constexpr std::uint32_t WAIT_CAP_MS = 30 * 60 * 1000;

constexpr const char FLASH_INCORRECT_LINE[] = "Flash Incorrect.\n";
constexpr const char OS_NOT_COMPATIBLE_LINE[] = "OS not compatible.\n";

// Why a wait ended.
enum class LineWaitEnd {
  ExpectedLine,     // the awaited line arrived: result 1
  FlashIncorrect,   // the device's failure line "Flash Incorrect.\n"
  OsNotCompatible,  // the device's failure line "OS not compatible.\n"
  Silence,          // no byte for more than SILENCE_LIMIT_MS after the last one
  NoFirstByte,      // no byte at all within the answer limit
  Unrecognised,     // bytes, but no line the wait knows within the answer limit
  Capped,           // progress lines went on for WAIT_CAP_MS without the answer
  PortGone,         // a read failed: the port has gone
  Stopped,          // a stop was requested
  ZeroLimit,        // a wait limit of 0: nothing read
};

// Told of every line the device sends during a wait, as it ends; an over-long line
// gives its first 127 bytes.
class LineObserver {
 public:
  virtual ~LineObserver() = default;
  virtual void LineReceived(const std::string& line) = 0;
};

// Gathers the device's bytes into lines of at most LINE_BUFFER_BYTES - 1 bytes; the
// bytes of an over-long line past that are dropped, and the line matches nothing.
class LineAssembler {
 public:
  // Adds a byte; true when it ended a line, which Line() then holds until the next Add.
  bool Add(std::uint8_t byte);
  std::string_view Line() const { return {line_, used_}; }
  bool Overlong() const { return overlong_; }

 private:
  char line_[LINE_BUFFER_BYTES] = {};
  std::size_t used_ = 0;
  bool overlong_ = false;
  bool complete_ = false;
};

// The failure a whole line reports: FlashIncorrect, OsNotCompatible, or ExpectedLine
// for a line that is neither.
LineWaitEnd FailureIn(std::string_view line);

// Reads what the device has sent already, for at most limitMs, and tells the failure
// line found there (FlashIncorrect or OsNotCompatible); ZeroLimit when there was none.
// After a write that failed or stalled, a device that refused the stream midway has
// said so here, and its own words are the truer ending.
LineWaitEnd ReadFailureLine(DeviceChannel& channel, std::uint32_t limitMs, Clock& clock,
                            LineObserver* observer = nullptr);
// How long ReadFailureLine looks.
constexpr std::uint32_t FAILURE_LINE_LOOK_MS = 1000;

// Reads lines until the expected one (which includes its line feed) arrives: 1, or 0
// when the device reports a failure, falls silent, never says anything it is known to
// say, or its port fails; end tells which. Progress lines move the bars; either bar
// may be absent, as may the observer of the lines. The channel's time-outs are restored
// on return.
int WaitForDeviceLine(DeviceChannel& channel, std::uint32_t waitLimit, const char* expected, ProgressBar* overallBar,
                      ProgressBar* stepBar, Clock& clock, LineWaitEnd* end = nullptr, const StopFlag* stop = nullptr,
                      LineObserver* observer = nullptr);
