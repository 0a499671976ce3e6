#include "console_page.h"

#include <algorithm>

void Complain(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "orvane-flash: %s: %s\n", what.c_str(), why.c_str());
}

void ConsoleBar::SetRange(std::int32_t upper) {
  upper_ = upper;
  page_.BarsMoved();
}

void ConsoleBar::SetPos(std::int32_t position) {
  pos_ = position;
  page_.BarsMoved();
}

int ConsoleBar::Percent() const {
  if (upper_ <= 0) return pos_ > 0 ? 100 : 0;
  return static_cast<int>(std::clamp<std::int64_t>(std::int64_t{pos_} * 100 / upper_, 0, 100));
}

void ConsolePage::SetStepCaption(const std::string& text) {
  if (text == caption_) return;
  caption_ = text;
  PrintLine(text);
  if (!live_) PrintProgress();
}

void ConsolePage::ClearLiveLine() {
  if (liveLineShown_) std::fprintf(out_, "\r\033[K");
  liveLineShown_ = false;
}

void ConsolePage::PrintLine(const std::string& text) {
  ClearLiveLine();
  std::fprintf(out_, "%s\n", text.c_str());
}

void ConsolePage::PrintProgress() {
  printedTenths_ = overall_.Percent() / 10;
  std::fprintf(out_, "progress %d%%\n", overall_.Percent());
  std::fflush(out_);
}

void ConsolePage::BarsMoved() {
  if (!live_) {
    if (overall_.Percent() / 10 > printedTenths_) PrintProgress();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
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
