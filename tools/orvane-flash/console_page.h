// The progress page on a terminal: step captions and both bars on stderr, live on a
// terminal; otherwise a line per step and about every tenth of the whole, so a log
// shows the run moving.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "message_boxes.h"
#include "progress_page.h"

// One line on stderr naming what cannot be used, and why.
void Complain(const std::string& what, const std::string& why);

// How full a bar is, 0 to 100.
int PercentOf(std::int32_t position, std::int32_t upper);

// Each step caption once: the sequence may set one twice in a row.
class CaptionOnce {
 public:
  // False when the caption is the one given last.
  bool IsNew(const std::string& caption);

 private:
  std::string last_;
};

// Redraws of a live display, at most ten a second.
class Throttle {
 public:
  // True when a tenth of a second has passed since it was last true.
  bool Due();
  // When it will next be true.
  std::chrono::steady_clock::time_point NextDue() const { return last_ + std::chrono::milliseconds(100); }

 private:
  std::chrono::steady_clock::time_point last_{};
};

// Told when a bar of the page moves.
class BarListener {
 public:
  virtual ~BarListener() = default;
  virtual void BarsMoved() = 0;
};

class ConsoleBar : public ProgressBar {
 public:
  explicit ConsoleBar(BarListener& listener) : listener_(listener) {}
  void SetRange(std::int32_t upper) override;
  std::int32_t GetUpper() override { return upper_; }
  void SetPos(std::int32_t position) override;
  std::int32_t GetPos() override { return pos_; }
  int Percent() const { return PercentOf(pos_, upper_); }
  // Whether a transfer has given the bar its range: before, there is no percentage.
  bool Ranged() const { return ranged_; }

 private:
  BarListener& listener_;
  bool ranged_ = false;
  std::int32_t upper_ = 100;
  std::int32_t pos_ = 0;
};

// The percentage lines a page that is not on a terminal prints: at each step, and
// again each time the percentage passes another tenth.
class ProgressLines {
 public:
  // True once for each tenth the percentage reaches.
  bool NewTenth(int percent) const;
  // The percentage line, which counts as shown for its tenth.
  std::string ProgressLine(int percent);

 private:
  int shownTenths_ = 0;
};

class ConsolePage : public ProgressPage, public MessageBoxes, public BarListener {
 public:
  ConsolePage(std::FILE* out, bool live) : out_(out), live_(live) {}
  void SetTitle(const std::string& text) override { PrintLine(text); }
  void SetHeading(const std::string& text) override { PrintLine(text); }
  void SetStepCaption(const std::string& text) override;
  ProgressBar& OverallBar() override { return overall_; }
  ProgressBar& StepBar() override { return step_; }
  // The live bars end with the page, so what follows starts on a line of its own.
  void End(int) override { ClearLiveLine(); }
  // Every box the engine shows names the cause the run ends with, which the closing
  // sentence gives: it is not printed twice.
  void ShowOk(const std::string&) override {}

  // Redraws the live bars, at most ten times a second, or prints the overall
  // percentage each time it passes another tenth.
  void BarsMoved() override;

 private:
  void PrintLine(const std::string& text);
  void ClearLiveLine();
  std::FILE* out_;
  bool live_;
  bool liveLineShown_ = false;
  CaptionOnce captions_;
  ProgressLines lines_;
  ConsoleBar overall_{*this};
  ConsoleBar step_{*this};
  Throttle redraws_;
};
