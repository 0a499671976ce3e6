// One device's text log: each step caption and every line the device sent, with the
// seconds since the run began, and how the run ended. A run of one line repeated is
// written once with its count, and the device's lines stop at about 1 MiB: a device
// that chatters cannot fill the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "console_page.h"
#include "progress_page.h"
#include "status_lines.h"

// A name for each port's log and working folder: its path with every byte outside
// [A-Za-z0-9._-] as '_', made unique among the ports by a "-N" ending.
std::vector<std::string> PortFileNames(const std::vector<std::string>& ports);

// What a log holds of the device's lines at most.
constexpr std::uint64_t LOG_LIMIT_BYTES = 1 << 20;

class PortLog : public LineObserver {
 public:
  // Creates or cuts the file; false with the system's reason when it cannot.
  bool Open(const std::string& path, std::string& why);
  const std::string& Path() const { return path_; }
  // One line, stamped; written through at once, so a log is whole up to its last line
  // whatever ends the run.
  void Note(const std::string& text);
  // A device line, without its line feed, bytes outside printable text as \xNN.
  void LineReceived(const std::string& line) override;
  // The last line: how the run ended, after what is still pending of the device's.
  void Close(const std::string& ending);

 private:
  void Write(const std::string& text);
  void EndRun();

  std::string path_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::uint64_t written_ = 0;
  std::uint64_t leftOut_ = 0;
  std::string repeated_;       // the device line of the current run
  std::uint64_t repeats_ = 0;  // how often it came after its first
};

// A page that notes each new step caption in a log and passes everything on.
class LoggedPage : public ProgressPage {
 public:
  LoggedPage(ProgressPage& inner, PortLog& log) : inner_(inner), log_(log) {}
  void SetTitle(const std::string& text) override { inner_.SetTitle(text); }
  void SetHeading(const std::string& text) override { inner_.SetHeading(text); }
  void SetStepCaption(const std::string& text) override;
  ProgressBar& OverallBar() override { return inner_.OverallBar(); }
  ProgressBar& StepBar() override { return inner_.StepBar(); }
  void End(int result) override { inner_.End(result); }

 private:
  ProgressPage& inner_;
  PortLog& log_;
  CaptionOnce captions_;
};
