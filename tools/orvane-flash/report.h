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

std::string ReportJson(const std::string& imagePath, std::uint64_t imageBytes, const std::string& sha256,
                       const std::vector<DeviceRecord>& devices);

// Writes the text to a temporary name beside path, then renames it there, so a report
// is whole or absent. False with the system's reason.
bool WriteWhole(const std::string& path, const std::string& text, std::string& why);
