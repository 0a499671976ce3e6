#include "board.h"

#include <algorithm>

namespace {

constexpr std::size_t PORT_COLUMN_MAX = 32;
constexpr char ELLIPSIS[] = "...";

std::string Pad(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Numbers(int percent, double rate) {
  char text[48];
  std::snprintf(text, sizeof text, " %3d%% %7.0f KiB/s", percent, rate);
  return text;
}

}  // namespace

std::string FitPort(const std::string& port, std::size_t width) {
  if (port.size() <= width) return Pad(port, width);
  if (width <= sizeof ELLIPSIS - 1) return port.substr(port.size() - width);
  return ELLIPSIS + port.substr(port.size() - (width - (sizeof ELLIPSIS - 1)));
}

std::string RenderRow(const RowView& row, std::size_t portWidth, std::size_t width) {
  const double rate = row.seconds > 0 ? static_cast<double>(row.bytes) / 1024.0 / row.seconds : 0.0;
  std::string line = FitPort(row.port, portWidth) + "  " + Pad(row.caption.substr(0, CAPTION_COLUMN), CAPTION_COLUMN) +
                     Numbers(std::clamp(row.percent, 0, 100), rate) + "  " + row.state;
  if (line.size() > width) line.resize(width);
  return line;
}

std::string RenderTableHeading(std::size_t portWidth) {
  return FitPort("port", portWidth) + "  " + Pad("result", 11) + "  " + "  bytes sent" + "   seconds" + "  reason";
}

std::string RenderTableRow(const std::string& port, const std::string& result, std::uint64_t bytes, double seconds,
                           const std::string& reason, std::size_t portWidth) {
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, "%12llu%10.1f", static_cast<unsigned long long>(bytes), seconds);
  return FitPort(port, portWidth) + "  " + Pad(result, 11) + "  " + numbers + "  " + reason;
}

BenchRow::BenchRow(Board& board, std::string port, const std::atomic<std::uint64_t>& sent)
    : board_(board), port_(std::move(port)), sent_(sent) {}

void BenchRow::SetStepCaption(const std::string& text) {
  if (!captions_.IsNew(text)) return;
  if (!board_.Live()) {
    board_.Line(port_ + ": " + text);
    if (overall_.Ranged()) board_.Line(port_ + ": " + lines_.ProgressLine(overall_.Percent()));
  }
  {
    std::lock_guard<std::mutex> hold(board_.Lock());
    caption_ = text;
  }
  board_.Changed();
}

void BenchRow::BarsMoved() {
  const int percent = overall_.Percent();
  if (!board_.Live()) {
    if (lines_.NewTenth(percent)) board_.Line(port_ + ": " + lines_.ProgressLine(percent));
  }
  {
    std::lock_guard<std::mutex> hold(board_.Lock());
    if (percent == percent_) return;
    percent_ = percent;
  }
  board_.Changed();
}

void BenchRow::SetState(const std::string& state, Phase phase) {
  {
    std::lock_guard<std::mutex> hold(board_.Lock());
    state_ = state;
    const auto now = std::chrono::steady_clock::now();
    if (phase == Phase::Running && phase_ != Phase::Running) start_ = now;
    if (phase == Phase::Ended && phase_ == Phase::Running) end_ = now;
    phase_ = phase;
  }
  board_.Changed();
}

RowView BenchRow::View() const {
  RowView view;
  view.port = port_;
  view.caption = caption_;
  view.percent = percent_;
  view.bytes = sent_.load(std::memory_order_relaxed);
  const auto until = phase_ == Phase::Running ? std::chrono::steady_clock::now() : end_;
  view.seconds = phase_ == Phase::Waiting ? 0.0 : std::chrono::duration<double>(until - start_).count();
  view.state = state_;
  return view;
}

std::string BenchRow::AsLine() const {
  return port_ + ": " + (caption_.empty() ? state_ : caption_ + ", " + std::to_string(percent_) + "%, " + state_);
}

Board::Board(std::FILE* out, bool live, TerminalSize size) : out_(out), live_(false), size_(std::move(size)) {
  if (!live || !size_(columns_, lines_)) return;
  live_ = true;
  catchUp_ = std::thread([this] { CatchUp(); });
}

Board::~Board() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
  }
  wake_.notify_all();
  if (catchUp_.joinable()) catchUp_.join();
}

BenchRow& Board::AddRow(const std::string& port, const std::atomic<std::uint64_t>& sent) {
  std::lock_guard<std::mutex> hold(lock_);
  portWidth_ = std::min(std::max(portWidth_, port.size()), PORT_COLUMN_MAX);
  rows_.push_back(std::make_unique<BenchRow>(*this, port, sent));
  return *rows_.back();
}

void Board::Line(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  Erase();
  std::fprintf(out_, "%s\n", text.c_str());
  if (live_) Draw();
  std::fflush(out_);
}

void Board::Changed() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!live_) return;
  dirty_ = true;
  if (!redraws_.Due()) {
    wake_.notify_all();
    return;
  }
  Erase();
  Draw();
  std::fflush(out_);
}

// Draws what changed too soon after the last drawing, as soon as a tenth of a second
// has passed since it: a row never shows "running" for a device that has ended.
void Board::CatchUp() {
  std::unique_lock<std::mutex> hold(lock_);
  while (!finished_) {
    if (!live_ || !dirty_) {
      wake_.wait(hold);
      continue;
    }
    wake_.wait_until(hold, redraws_.NextDue());
    if (finished_ || !live_ || !dirty_ || !redraws_.Due()) continue;
    Erase();
    Draw();
    std::fflush(out_);
  }
}

void Board::Finish(const std::vector<std::string>& table) {
  std::lock_guard<std::mutex> hold(lock_);
  finished_ = true;
  if (live_) {
    Erase();
    Draw();
    drawn_ = 0;  // the last rows stay on the screen
  }
  for (const std::string& line : table) std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
  wake_.notify_all();
}

void Board::Erase() {
  if (drawn_ == 0) return;
  std::fprintf(out_, "\033[%zuA\r\033[J", drawn_);
  drawn_ = 0;
}

bool Board::StillFits() {
  std::size_t columns = 0;
  std::size_t lines = 0;
  if (size_(columns, lines) && columns == columns_ && lines == lines_ && rows_.size() < lines_) return true;
  // Rows that no longer fit would be drawn over each other: each becomes a line, and
  // lines follow from here on.
  live_ = false;
  for (const auto& row : rows_) std::fprintf(out_, "%s\n", row->AsLine().c_str());
  return false;
}

void Board::Draw() {
  dirty_ = false;
  if (!StillFits()) return;
  for (const auto& row : rows_) std::fprintf(out_, "%s\n", RenderRow(row->View(), portWidth_, columns_).c_str());
  drawn_ = rows_.size();
}
