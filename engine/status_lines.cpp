#include "status_lines.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "trace.h"

namespace {

constexpr std::string_view LENGTH_MARK = "LENGTH";
constexpr std::string_view PROGRESS_LINE = ".\n";

// The decimal number a line begins with (leading white space and a sign allowed), 0
// when there is none; clamped to the bar's range type.
std::int32_t LeadingNumber(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  std::int64_t value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (line[i] - '0'), std::int64_t{1} << 32);
  }
  value = negative ? -value : value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

bool LineAssembler::Add(std::uint8_t byte) {
  if (complete_) {
    std::memset(line_, 0, sizeof line_);
    used_ = 0;
    overlong_ = false;
    complete_ = false;
  }
  // An over-long line keeps its first 127 bytes and matches nothing.
  if (used_ < LINE_BUFFER_BYTES - 1) {
    line_[used_++] = static_cast<char>(byte);
  } else {
    overlong_ = true;
  }
  complete_ = byte == '\n';
  return complete_;
}

LineWaitEnd FailureIn(std::string_view line) {
  if (line == FLASH_INCORRECT_LINE) return LineWaitEnd::FlashIncorrect;
  if (line == OS_NOT_COMPATIBLE_LINE) return LineWaitEnd::OsNotCompatible;
  return LineWaitEnd::ExpectedLine;
}

namespace {

// A line has come: the trace and the observer are told of it.
void Received(const LineAssembler& lines, LineObserver* observer) {
  ORVANE_TRACE("\t%s", std::string(lines.Line()).c_str());
  if (observer != nullptr) observer->LineReceived(std::string(lines.Line()));
}

// One read of a byte; a read that comes back at once without one takes EMPTY_READ_MS,
// so that a port that has hung up does not keep a core busy.
bool ReadPaced(DeviceChannel& channel, Clock& clock, std::uint8_t& byte, std::uint32_t& got) {
  const std::uint32_t readStart = clock.TickCount();
  if (!channel.ReadByte(byte, got)) return false;
  if (got == 0) {
    const std::uint32_t spent = clock.TickCount() - readStart;
    if (spent < EMPTY_READ_MS) clock.Sleep(EMPTY_READ_MS - spent);
  }
  return true;
}

// How long a wait goes on without a line it knows (the expected line, a failure line,
// a "LENGTH" line or a progress line): its limit, and never less than SILENCE_LIMIT_MS.
std::uint32_t AnswerLimit(std::uint32_t waitLimit) { return std::max(waitLimit, SILENCE_LIMIT_MS); }

}  // namespace

LineWaitEnd ReadFailureLine(DeviceChannel& channel, std::uint32_t limitMs, Clock& clock, LineObserver* observer) {
  const std::uint32_t start = clock.TickCount();
  LineAssembler lines;
  while (clock.TickCount() - start < limitMs) {
    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    if (!ReadPaced(channel, clock, byte, got)) break;
    if (got == 0 || !lines.Add(byte)) continue;
    Received(lines, observer);
    const LineWaitEnd failure = lines.Overlong() ? LineWaitEnd::ExpectedLine : FailureIn(lines.Line());
    if (failure != LineWaitEnd::ExpectedLine) return failure;
  }
  return LineWaitEnd::ZeroLimit;
}

int WaitForDeviceLine(DeviceChannel& channel, std::uint32_t waitLimit, const char* expected, ProgressBar* overallBar,
                      ProgressBar* stepBar, Clock& clock, LineWaitEnd* end, const StopFlag* stop,
                      LineObserver* observer) {
  CommTimeouts saved;
  const bool haveTimeouts = channel.GetTimeouts(saved);
  auto finish = [&](int result, LineWaitEnd why) {
    if (haveTimeouts) channel.SetTimeouts(saved);
    ORVANE_TRACE("Result of SetCommTimeouts = %d\r\n", 0);
    if (end != nullptr) *end = why;
    return result;
  };
  if (waitLimit == 0) return finish(0, LineWaitEnd::ZeroLimit);

  const std::string_view expectedLine(expected);
  const std::uint32_t start = clock.TickCount();
  const std::uint32_t answerLimit = AnswerLimit(waitLimit);
  LineAssembler lines;
  bool anyByte = false;
  std::uint32_t lastByteTick = 0;
  // The start counts as the last known line: a device that says nothing it is known to
  // say ends the wait as one that says nothing at all would.
  std::uint32_t lastKnownLineTick = start;

  for (;;) {
    if (StopRequested(stop)) return finish(0, LineWaitEnd::Stopped);
    const std::uint32_t now = clock.TickCount();
    if (anyByte && now - lastByteTick > SILENCE_LIMIT_MS) return finish(0, LineWaitEnd::Silence);
    if (now - lastKnownLineTick > answerLimit) {
      return finish(0, anyByte ? LineWaitEnd::Unrecognised : LineWaitEnd::NoFirstByte);
    }
    if (now - start > WAIT_CAP_MS) return finish(0, LineWaitEnd::Capped);

    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    if (!ReadPaced(channel, clock, byte, got)) return finish(0, LineWaitEnd::PortGone);
    if (got == 0) continue;
    anyByte = true;
    lastByteTick = clock.TickCount();
    if (!lines.Add(byte)) continue;

    Received(lines, observer);
    if (lines.Overlong()) continue;
    const std::string_view received = lines.Line();
    if (received == expectedLine) {
      if (stepBar != nullptr) stepBar->SetPos(stepBar->GetUpper());
      return finish(1, LineWaitEnd::ExpectedLine);
    }
    const LineWaitEnd failure = FailureIn(received);
    if (failure != LineWaitEnd::ExpectedLine) return finish(0, failure);
    if (received.find(LENGTH_MARK) != std::string_view::npos) {
      lastKnownLineTick = lastByteTick;
      if (stepBar != nullptr) {
        stepBar->SetRange(LeadingNumber(received));
        stepBar->SetPos(0);
      }
    } else if (received == PROGRESS_LINE) {
      lastKnownLineTick = lastByteTick;
      if (overallBar != nullptr && stepBar != nullptr) {
        overallBar->SetPos(overallBar->GetPos() + 1);
        stepBar->SetPos(stepBar->GetPos() + 1);
      }
    }
  }
}
