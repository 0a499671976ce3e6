// Fakes of the engine's seams: a scripted device channel, a virtual clock, a recording
// progress page and message boxes, a temporary folder, and a file that fails on demand.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "device_channel.h"
#include "file.h"
#include "message_boxes.h"
#include "progress_page.h"

// Milliseconds pass only when the code under test sleeps or reads without a byte.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(std::uint32_t start = 5000) : now_(start) {}
  std::uint32_t TickCount() override { return now_; }
  // Sleeps may wake earlyWakeMs before the tick they aimed at, as Windows' can.
  void Sleep(std::uint32_t milliseconds) override { now_ += milliseconds - std::min(milliseconds, earlyWakeMs); }
  void Advance(std::uint32_t milliseconds) { now_ += milliseconds; }
  std::uint32_t earlyWakeMs = 0;

 private:
  std::uint32_t now_;
};

// Plays a script of device bytes and pauses; a read without a byte costs readWaitMs of
// virtual time, as a port's read time-out would.
class FakeChannel : public DeviceChannel {
 public:
  explicit FakeChannel(VirtualClock* clock = nullptr, std::uint32_t readWaitMs = 100)
      : clock_(clock), readWaitMs_(readWaitMs) {}

  void Say(const std::string& text);
  void Pause(std::uint32_t milliseconds);
  // The write with this index (0 = first) ends so, half of it written.
  void FailWrite(std::size_t index, WriteEnd end = WriteEnd::Failed);
  // Every read after the script has run out fails, as on a port that has gone.
  void GoAway() { gone_ = true; }

  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override;
  WriteEnd Drain() override {
    ++drains;
    return drainEnd;
  }
  std::uint32_t HeldBytes() const override { return held; }
  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override;
  bool GetTimeouts(CommTimeouts& timeouts) override;
  bool SetTimeouts(const CommTimeouts& timeouts) override;
  void DiscardUnsent() override { ++discards; }

  std::vector<std::vector<std::uint8_t>> writes;  // every write attempted, as given
  std::vector<std::uint8_t> Wire() const;         // the bytes that went out, in order
  std::size_t reads = 0;
  std::size_t pendingBytes() const;
  CommTimeouts timeouts{1, 2, 3, 4, 5};
  int timeoutSets = 0;
  int discards = 0;
  int drains = 0;
  WriteEnd drainEnd = WriteEnd::Written;  // how every drain ends
  std::uint32_t held = 0;                 // what the port says it still holds

 private:
  struct Event {
    bool isPause;
    std::uint8_t byte;
    std::uint32_t pauseMs;
  };
  VirtualClock* clock_;
  std::uint32_t readWaitMs_;
  std::deque<Event> script_;
  std::size_t failIndex_ = SIZE_MAX;
  WriteEnd failEnd_ = WriteEnd::Failed;
  bool gone_ = false;
  std::vector<bool> writeOk_;
};

class RecordingBar : public ProgressBar {
 public:
  explicit RecordingBar(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
  void SetRange(std::int32_t upper) override;
  std::int32_t GetUpper() override { return upper; }
  void SetPos(std::int32_t position) override;
  std::int32_t GetPos() override { return pos; }
  std::int32_t upper = 100;
  std::int32_t pos = 0;

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

class RecordingPage : public ProgressPage {
 public:
  void SetTitle(const std::string& text) override { log.push_back("title " + text); }
  void SetHeading(const std::string& text) override { log.push_back("heading " + text); }
  void SetStepCaption(const std::string& text) override { log.push_back("caption " + text); }
  ProgressBar& OverallBar() override { return overall; }
  ProgressBar& StepBar() override { return step; }
  void End(int value) override { results.push_back(value); }

  std::vector<std::string> log;
  std::vector<int> results;
  RecordingBar overall{"overall", &log};
  RecordingBar step{"step", &log};
};

class RecordingMessages : public MessageBoxes {
 public:
  void ShowOk(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
  std::vector<std::uint8_t> Read(const std::string& name) const;

 private:
  std::string path_;
};

// Passes every operation to a real file, except the ones a test makes fail.
class FaultyFile : public File {
 public:
  enum class Op { Seek, Read, Write, SetLength };
  explicit FaultyFile(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}
  // The call with this index (0 = first) of that kind fails; a read may come back short.
  void Fail(Op op, int index, bool shortRead = false);
  // That call throws the error instead.
  void Throw(Op op, int index, std::exception_ptr error);

  bool Seek(std::int64_t offset, SeekFrom from) override;
  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override;
  bool Write(const void* data, std::uint32_t count) override;
  bool GetLength(std::uint64_t& length) override { return inner_->GetLength(length); }
  bool GetPosition(std::uint64_t& position) override { return inner_->GetPosition(position); }
  bool SetLength(std::uint64_t length) override;

 private:
  bool Failing(Op op);
  std::unique_ptr<File> inner_;
  Op failOp_ = Op::Seek;
  int failIndex_ = -1;
  bool shortRead_ = false;
  std::exception_ptr error_;
  int counts_[4] = {};
};

std::vector<std::uint8_t> Bytes(const std::string& text);
