// The bench report: the image, and how each device's run ended, as one JSON document
// written whole at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DeviceRecord {
  std::string port;
  std::string result;  // "confirmed", "unconfirmed", "failed", "refused" or "interrupted"
  std::string reason;
  std::uint64_t bytesSent = 0;
  double seconds = 0;
  std::string log;  // empty: no log
};

// The image as the run opened it: its digest (empty: not taken, as a signal came
// first), and whether it changed on disk while the run went on.
struct ImageRecord {
  std::string path;
  std::uint64_t bytes = 0;
  std::string sha256;
  bool changed = false;
};

std::string ReportJson(const ImageRecord& image, const std::vector<DeviceRecord>& devices);

// Writes the text to a temporary name beside path, then renames it there, so a report
// is whole or absent. False with the system's reason.
bool WriteWhole(const std::string& path, const std::string& text, std::string& why);
