// Bench mode's display: one row per port, redrawn in place on a terminal, or lines
// prefixed with the port elsewhere; and the table of how each device ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "console_page.h"

// What a row shows of one device.
struct RowView {
  std::string port;
  std::string caption;
  int percent = 0;
  std::uint64_t bytes = 0;
  double seconds = 0;
  std::string state;
};

// The width of the step-caption column: the longest caption of the sequence.
constexpr std::size_t CAPTION_COLUMN = 36;

// A port name cut to width, keeping its end, which tells ports apart (by-path names
// share their beginning); padded when shorter.
std::string FitPort(const std::string& port, std::size_t width);
// port, step caption, overall percent, KiB/s since the start, state; never wider
// than width.
std::string RenderRow(const RowView& row, std::size_t portWidth, std::size_t width);
// The final table's heading and rows: port, result, bytes sent, seconds, reason.
std::string RenderTableHeading(std::size_t portWidth);
std::string RenderTableRow(const std::string& port, const std::string& result, std::uint64_t bytes, double seconds,
                           const std::string& reason, std::size_t portWidth);

class Board;

// One device's page: its row on a terminal, or its lines elsewhere.
class BenchRow : public ProgressPage, public MessageBoxes, public BarListener {
 public:
  BenchRow(Board& board, std::string port, const std::atomic<std::uint64_t>& sent);
  // The title and heading are the same for every device: the rows do not repeat them.
  void SetTitle(const std::string&) override {}
  void SetHeading(const std::string&) override {}
  void SetStepCaption(const std::string& text) override;
  ProgressBar& OverallBar() override { return overall_; }
  ProgressBar& StepBar() override { return step_; }
  void End(int) override {}
  // As on a single device's page: the cause is in the final table.
  void ShowOk(const std::string&) override {}
  void BarsMoved() override;

  enum class Phase { Waiting, Running, Ended };
  // The state column; the rate counts from the start of the running phase to its end.
  void SetState(const std::string& state, Phase phase);
  // Under the board's lock.
  RowView View() const;

 private:
  Board& board_;
  std::string port_;
  const std::atomic<std::uint64_t>& sent_;
  ConsoleBar overall_{*this};
  ConsoleBar step_{*this};
  ProgressLines lines_;
  // What the board reads, set under its lock.
  std::string caption_;
  int percent_ = 0;
  std::string state_;
  Phase phase_ = Phase::Waiting;
  std::chrono::steady_clock::time_point start_{};
  std::chrono::steady_clock::time_point end_{};
};

class Board {
 public:
  Board(std::FILE* out, bool live, std::size_t width) : out_(out), live_(live), width_(width) {}
  BenchRow& AddRow(const std::string& port, const std::atomic<std::uint64_t>& sent);
  // A line of its own, above the rows on a terminal.
  void Line(const std::string& text);
  // A row has changed: the rows are redrawn, at most ten times a second.
  void Changed();
  // The rows once more, as they ended, then the table lines below them.
  void Finish(const std::vector<std::string>& table);

  bool Live() const { return live_; }
  std::size_t PortWidth() const { return portWidth_; }
  std::mutex& Lock() { return lock_; }

 private:
  void Draw();   // under the lock
  void Erase();  // under the lock: the rows drawn last are cleared
  std::FILE* out_;
  bool live_;
  std::size_t width_;
  std::size_t portWidth_ = 4;
  std::mutex lock_;
  std::vector<std::unique_ptr<BenchRow>> rows_;
  std::size_t drawn_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
};
