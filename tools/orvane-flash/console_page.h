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

class ConsoleBar : public ProgressBar {
 public:
  explicit ConsoleBar(class ConsolePage& page) : page_(page) {}
  void SetRange(std::int32_t upper) override;
  std::int32_t GetUpper() override { return upper_; }
  void SetPos(std::int32_t position) override;
  std::int32_t GetPos() override { return pos_; }
  // How full the bar is, 0 to 100.
  int Percent() const;

 private:
  ConsolePage& page_;
  std::int32_t upper_ = 100;
  std::int32_t pos_ = 0;
};

class ConsolePage : public ProgressPage, public MessageBoxes {
 public:
  ConsolePage(std::FILE* out, bool live) : out_(out), live_(live) {}
  void SetTitle(const std::string& text) override { PrintLine(text); }
  void SetHeading(const std::string& text) override { PrintLine(text); }
  // The sequence may set a caption twice in a row; it is printed once.
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
  void BarsMoved();

 private:
  void PrintLine(const std::string& text);
  void PrintProgress();
  void ClearLiveLine();
  std::FILE* out_;
  bool live_;
  bool liveLineShown_ = false;
  std::string caption_;
  int printedTenths_ = 0;
  ConsoleBar overall_{*this};
  ConsoleBar step_{*this};
  std::chrono::steady_clock::time_point lastDraw_{};
};
