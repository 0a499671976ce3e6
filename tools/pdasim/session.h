// One session of the simulated USB downloader: publish the port, take the host's
// packet streams, answer each with status lines, reset after a downloader package,
// then report what came and whether it matches the image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image_check.h"
#include "normal_state.h"
#include "options.h"
#include "pty_port.h"
#include "wire.h"

namespace pdasim {

class Session {
 public:
  // check is null when no image was given.
  Session(const Options& options, const ImageCheck* check, int signalFd);
  // Runs to the end of the session and writes the report; returns the exit status.
  int Run();

 private:
  enum class Phase { WaitTrigger, Receiving, DrainThenReset, ResetDown, DrainThenFinish, Linger, Silent, Ended };
  enum class Expect { First, PartTwo, OsRemainder, Nothing };
  enum class After { NextStream, Reset, Finish, Silence };

  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  struct Stream {
    unsigned index = 0;
    Role role = Role::Unknown;
    std::uint8_t head[STREAM_HEAD_BYTES] = {};
    std::uint8_t header[HEADER_BYTES] = {};  // the payload's first bytes
    std::uint8_t checksum[CHECKSUM_BYTES] = {};
    std::uint64_t received = 0;              // stream bytes, head and checksum included
    std::uint32_t sum = 0;
    bool complete = false;
    bool early = false;
    bool dropped = false;
    unsigned linesSent = 0;
    std::string answer;
    std::string file;                        // empty until the role is known
    std::unique_ptr<std::FILE, FileCloser> out;
    std::string mismatch;
    bool checked = false;

    std::uint32_t firstWord() const { return GetWord(head); }
    std::uint32_t lengthField() const { return GetWord(head + 4); }
    std::uint64_t payloadBytes() const { return lengthField() - std::uint64_t{STREAM_OVERHEAD}; }
    std::uint64_t payloadReceived() const;
    std::uint16_t checksumReceived() const { return static_cast<std::uint16_t>(checksum[0] | checksum[1] << 8); }
  };

  // A line to send count times, each after a pause; progress lines are one entry, so
  // the queue stays small however long the stream.
  struct OutLine {
    std::string text;
    std::uint32_t delayMs;
    std::uint64_t count;
  };

  struct Fault {
    std::string name;
    std::string detail;
    bool applied = false;
  };

  std::int64_t Now() const;
  bool Publish();
  void End(const std::string& reason);
  void Problem(const std::string& text);
  void Unexpected(std::size_t count, const std::string& context);

  void Step();
  // One read of what the host wrote; true when more may be read at once.
  bool ReadFromHost();
  std::size_t ReadLimit() const;
  void Feed(const std::uint8_t* data, std::size_t size);
  void StartStream();
  void Classify(Stream& stream);
  void TakePayload(Stream& stream, const std::uint8_t* data, std::size_t size);
  void CompleteStream(Stream& stream);
  void CheckDeclaredLength(const Stream& stream);
  void Answer(Stream& stream);
  void Queue(const std::string& text, std::uint32_t delayMs, std::uint64_t count = 1);
  void PumpOutput();
  void AfterAnswer();
  void StepDrain();

  bool DropMatches(const Stream& stream) const;
  void Verify();
  void WriteReport(int exitCode) const;
  std::string Path(const std::string& name) const;

  const Options& options_;
  const ImageCheck* check_;
  int signalFd_;
  std::optional<NormalState> normal_;  // with --normal: the device before its downloader
  PtyPort port_;
  Phase phase_ = Phase::WaitTrigger;
  Expect expect_ = Expect::First;
  std::int64_t deadline_ = 0;
  std::int64_t timer_ = 0;  // the current phase's next point in time
  std::int64_t nextReadAt_ = 0;

  std::vector<std::unique_ptr<Stream>> streams_;
  bool inStream_ = false;
  bool stalled_ = false;  // a stream's stall point was reached: nothing more is read

  std::deque<OutLine> outQueue_;
  std::size_t outOffset_ = 0;
  std::int64_t outReadyAt_ = 0;
  bool outBlocked_ = false;
  After after_ = After::NextStream;
  Stream* answering_ = nullptr;

  std::int64_t drainStart_ = 0;
  int drainZeroChecks_ = 0;

  unsigned resets_ = 0;
  std::uint64_t unexpectedBytes_ = 0;
  std::string unexpectedContext_;
  std::vector<std::string> problems_;
  std::vector<Fault> faults_;
  std::string endReason_;
  std::string finishReason_;  // why the session ends once the last answer is read
  std::string verification_ = "not requested";
};

}  // namespace pdasim
