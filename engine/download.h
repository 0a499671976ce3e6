// The download sequence: the worker that sends an update image to the device's USB
// downloader in up to three packet streams while the progress page is shown.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clock.h"
#include "device_channel.h"
#include "file.h"
#include "message_boxes.h"
#include "progress_page.h"
#include "status_lines.h"

class PortOpener {
 public:
  virtual ~PortOpener() = default;
  // Opens the port for reading and writing, not shared; null when it does not open.
  virtual std::unique_ptr<DeviceChannel> Open(const std::string& path) = 0;
};

// The update image and the staging file, by name in the temporary folder.
constexpr char IMAGE_FILE_NAME[] = "temp.dat";
constexpr char STAGING_FILE_NAME[] = "TempFileToDown";

// Where the sequence finds its port and files; on Windows the port is
// \\.\wceusbsh001 and the files are IMAGE_FILE_NAME and STAGING_FILE_NAME in %TEMP%.
struct DownloadPaths {
  std::string port;
  std::string image;
  std::string staging;
};

// Everything the sequence touches outside the process.
struct DownloadContext {
  ProgressPage& page;
  MessageBoxes& messages;
  Clock& clock;
  FileSystem& files;
  PortOpener& ports;
  DownloadPaths paths;
};

constexpr int DOWNLOAD_SUCCEEDED = 1;
constexpr int DOWNLOAD_FAILED = 3;

constexpr std::uint32_t RESET_ANSWER_WAIT = 5000;
constexpr std::uint32_t PART_TWO_ANSWER_WAIT = 300000;
constexpr std::uint32_t OS_ANSWER_WAIT = 600000;
constexpr std::uint32_t RESET_SETTLE_MS = 5000;    // after "device reset.\n", before the first reopen
constexpr std::uint32_t REOPEN_INTERVAL_MS = 3000;
constexpr std::uint32_t REOPEN_LIMIT_MS = 120000;  // of failed reopen attempts, then the transfer fails

constexpr const char DEVICE_RESET_LINE[] = "device reset.\n";
constexpr const char RESERVED_REGION_OK_LINE[] = "Reserved region ok.\n";
constexpr const char OS_PROGRAM_OK_LINE[] = "OS program ok!\n";

// The overall bar's upper end for an image.
std::int32_t OverallBarRange(std::uint32_t os, std::uint32_t ud, std::uint32_t kn, std::uint32_t eb);

// Whether the wait for "OS program ok!\n" lets the transfer succeed: the line itself,
// or silence, as the device may restart without answering. A failure line does not, nor
// a wait that could not read at all.
bool OsAnswerAccepted(LineWaitEnd end);

// Runs the whole transfer, closes everything it opened and ends the page with
// DOWNLOAD_SUCCEEDED or DOWNLOAD_FAILED. Returns 0, the thread's exit code.
unsigned DownloadThreadProc(DownloadContext& context);
