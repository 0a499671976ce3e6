#include "port_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "string_table.h"

bool PortLog::Open(const std::string& path, std::string& why) {
  file_.reset(std::fopen(path.c_str(), "w"));
  if (!file_) {
    why = std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

void PortLog::Write(const std::string& text) {
  if (!file_) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int size = std::fprintf(file_.get(), "[%9.3f] %s\n", seconds, text.c_str());
  std::fflush(file_.get());
  if (size > 0) written_ += static_cast<std::uint64_t>(size);
}

void PortLog::Note(const std::string& text) {
  EndRun();
  Write(text);
}

void PortLog::LineReceived(const std::string& line) {
  std::string shown = "device: ";
  const std::size_t end = !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
  for (std::size_t i = 0; i < end; ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += line[i];
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    }
  }
  if (shown == repeated_) {
    ++repeats_;
    return;
  }
  EndRun();
  repeated_ = shown;
  if (written_ + shown.size() < LOG_LIMIT_BYTES) {
    Write(shown);
  } else {
    ++leftOut_;
  }
}

// A run of one line: its first was written as it came, the rest as one line now.
void PortLog::EndRun() {
  if (repeats_ > 0) {
    const std::string line = FormatText(IDS_LOG_REPEATED, {repeated_, std::to_string(repeats_ + 1)});
    if (written_ + line.size() < LOG_LIMIT_BYTES) {
      Write(line);
    } else {
      leftOut_ += repeats_;
    }
  }
  repeated_.clear();
  repeats_ = 0;
}

void PortLog::Close(const std::string& ending) {
  EndRun();
  if (leftOut_ > 0) Write(FormatText(IDS_LOG_LEFT_OUT, {std::to_string(leftOut_)}));
  Write(ending);
}

void LoggedPage::SetStepCaption(const std::string& text) {
  if (captions_.IsNew(text)) log_.Note(text);
  inner_.SetStepCaption(text);
}

std::vector<std::string> PortFileNames(const std::vector<std::string>& ports) {
  std::vector<std::string> names;
  for (const std::string& port : ports) {
    std::string name;
    for (const char c : port.substr(std::min(port.find_first_not_of('/'), port.size()))) {
      const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '_' || c == '-';
      name += plain ? c : '_';
    }
    if (name.empty() || name == "." || name == "..") name = "port";
    const std::string base = name;
    for (int n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n) {
      name = base + "-" + std::to_string(n);
    }
    names.push_back(name);
  }
  return names;
}
