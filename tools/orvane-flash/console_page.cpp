#include "console_page.h"

#include <algorithm>


void Complain(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "orvane-flash: %s: %s\n", what.c_str(), why.c_str());
}

int PercentOf(std::int32_t position, std::int32_t upper) {
  if (upper <= 0) return position > 0 ? 100 : 0;
  return static_cast<int>(std::clamp<std::int64_t>(std::int64_t{position} * 100 / upper, 0, 100));
}

bool CaptionOnce::IsNew(const std::string& caption) {
  if (caption == last_) return false;
  last_ = caption;
  return true;
}

bool Throttle::Due() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return false;
  last_ = now;
  return true;
}

void ConsoleBar::SetRange(std::int32_t upper) {
  ranged_ = true;
  upper_ = upper;
  listener_.BarsMoved();
}

void ConsoleBar::SetPos(std::int32_t position) {
  pos_ = position;
  listener_.BarsMoved();
}

bool ProgressLines::NewTenth(int percent) const { return percent / 10 > shownTenths_; }

std::string ProgressLines::ProgressLine(int percent) {
  shownTenths_ = std::max(shownTenths_, percent / 10);
  return "progress " + std::to_string(percent) + "%";
}

void ConsolePage::SetStepCaption(const std::string& text) {
  if (!captions_.IsNew(text)) return;
  PrintLine(text);
  if (!live_ && overall_.Ranged()) PrintLine(lines_.ProgressLine(overall_.Percent()));
}

void ConsolePage::ClearLiveLine() {
  if (liveLineShown_) std::fprintf(out_, "\r\033[K");
  liveLineShown_ = false;
}

void ConsolePage::PrintLine(const std::string& text) {
  ClearLiveLine();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void ConsolePage::BarsMoved() {
  if (!live_) {
    if (lines_.NewTenth(overall_.Percent())) PrintLine(lines_.ProgressLine(overall_.Percent()));
    return;
  }
  if (!redraws_.Due()) return;
  auto bar = [](int percent) {
    std::string cells(20, '.');
    std::fill_n(cells.begin(), percent / 5, '#');
    return cells;
  };
  std::fprintf(out_, "\r\033[K  all [%s] %3d%%   step [%s] %3d%%", bar(overall_.Percent()).c_str(), overall_.Percent(),
               bar(step_.Percent()).c_str(), step_.Percent());
  std::fflush(out_);
  liveLineShown_ = true;
}
