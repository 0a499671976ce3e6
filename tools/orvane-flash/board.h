// Bench mode's display: one row per port, redrawn in place on a terminal, or lines
// prefixed with the port elsewhere; and the table of how each device ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// The terminal's size in columns and lines; false when there is no terminal.
using TerminalSize = std::function<bool(std::size_t& columns, std::size_t& lines)>;

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
  // Under the board's lock: the line that stands for the row once rows are no longer
  // drawn in place.
  std::string AsLine() const;

 private:
  Board& board_;
  std::string port_;
  const std::atomic<std::uint64_t>& sent_;
  ConsoleBar overall_{*this};
  ConsoleBar step_{*this};
  CaptionOnce captions_;
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
  // live: rows drawn in place on a terminal of that size, as long as they fit and its
  // size stays; then, and elsewhere, lines.
  Board(std::FILE* out, bool live, TerminalSize size);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  BenchRow& AddRow(const std::string& port, const std::atomic<std::uint64_t>& sent);
  // A line of its own, above the rows on a terminal.
  void Line(const std::string& text);
  // A row has changed: the rows are redrawn, at most ten times a second, and a change
  // that came too soon is drawn once the tenth has passed.
  void Changed();
  // The rows once more, as they ended, then the table lines below them.
  void Finish(const std::vector<std::string>& table);

  bool Live() const { return live_.load(); }
  std::size_t PortWidth() const { return portWidth_; }
  std::mutex& Lock() { return lock_; }

 private:
  void Draw();   // under the lock
  void Erase();  // under the lock: the rows drawn last are cleared
  // Under the lock: whether the rows still fit the terminal as it was at the start;
  // when not, they become lines for the rest of the run.
  bool StillFits();
  void CatchUp();

  std::FILE* out_;
  std::atomic<bool> live_;
  TerminalSize size_;
  std::size_t columns_ = 0;
  std::size_t lines_ = 0;
  std::size_t portWidth_ = 4;
  std::mutex lock_;
  std::vector<std::unique_ptr<BenchRow>> rows_;
  std::size_t drawn_ = 0;
  Throttle redraws_;
  bool dirty_ = false;
  bool finished_ = false;
  std::condition_variable wake_;
  std::thread catchUp_;
};
