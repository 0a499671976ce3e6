// The progress page on a terminal: step captions and both bars on stderr, live on a
// terminal, one line per step otherwise; message boxes become lines.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "message_boxes.h"
#include "progress_page.h"

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
  void SetStepCaption(const std::string& text) override { PrintLine(text); }
  ProgressBar& OverallBar() override { return overall_; }
  ProgressBar& StepBar() override { return step_; }
  void End(int result) override { result_ = result; }
  void ShowOk(const std::string& text) override { PrintLine("! " + text); }

  int Result() const { return result_; }
  // Redraws the live bars, at most ten times a second.
  void BarsMoved();

 private:
  void PrintLine(const std::string& text);
  void ClearLiveLine();
  std::FILE* out_;
  bool live_;
  bool liveLineShown_ = false;
  int result_ = 0;
  ConsoleBar overall_{*this};
  ConsoleBar step_{*this};
  std::chrono::steady_clock::time_point lastDraw_{};
};
