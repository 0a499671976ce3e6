// Status lines: the device's USB downloader reports with short line-feed-terminated
// text lines on the same port that carries the streams.
#pragma once

#include <cstdint>
#include <string>

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

// How long a wait goes on without a line it knows (the expected line, a failure line,
// a "LENGTH" line or a progress line): its limit, and never less than SILENCE_LIMIT_MS.
std::uint32_t AnswerLimit(std::uint32_t waitLimit);

// Reads lines until the expected one (which includes its line feed) arrives: 1, or 0
// when the device reports a failure, falls silent, never says anything it is known to
// say, or its port fails; end tells which. Progress lines move the bars; either bar
// may be absent, as may the observer of the lines. The channel's time-outs are restored
// on return.
int WaitForDeviceLine(DeviceChannel& channel, std::uint32_t waitLimit, const char* expected, ProgressBar* overallBar,
                      ProgressBar* stepBar, Clock& clock, LineWaitEnd* end = nullptr, const StopFlag* stop = nullptr,
                      LineObserver* observer = nullptr);
