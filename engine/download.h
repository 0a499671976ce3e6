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
#include "stop_flag.h"
#include "string_table.h"

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
  const StopFlag* stop = nullptr;  // none on Windows: nothing there stops a transfer
  LineObserver* lines = nullptr;   // told of every line the device sends
};

// The page's results.
constexpr int DOWNLOAD_SUCCEEDED = 1;
constexpr int DOWNLOAD_FAILED = 3;

// Why a transfer ended.
enum class DownloadResult {
  Confirmed,          // the device answered "OS program ok!\n"
  Unconfirmed,        // every stream went out and was accepted, but the OS got no answer
  ImageRefused,       // a check of the image failed before anything was sent
  NoImage,            // the image did not open
  StagingNotCreated,  // the staging file could not be created
  PortNotOpened,      // the port did not open at the start
  FileFailed,         // reading the image or writing the staging file failed
  WriteFailed,        // a write failed, or the port went away before the device took it all
  PortStalled,        // the device took no data for WRITE_STALL_LIMIT_MS
  PortTooSlow,        // the device took data slower than PACE_FLOOR_BYTES a minute
  DeviceRefused,      // the device sent a failure line
  NoAnswer,           // the device did not answer the package or the part-2 file
  PortGone,           // the port went away while the device was answering
  PortNotBack,        // the port did not come back after the device's reset
  OutOfMemory,
  UnexpectedError,
  Interrupted,        // a stop was requested
};

// The stream an ending concerns: the one being sent or answered.
enum class DownloadStage { Preparing, DownloaderPackage, PartTwoFile, OsRemainder };

// A transfer's ending, made where its cause was seen.
struct DownloadEnding {
  DownloadResult result = DownloadResult::UnexpectedError;
  DownloadStage stage = DownloadStage::Preparing;
  StringId refusal = IDS_IMAGE_TOO_SHORT;      // of ImageRefused: the check that failed
  LineWaitEnd wait = LineWaitEnd::ZeroLimit;  // of the endings a wait made: how it ended
};

// The page's result for an ending: every stream went out and was accepted, or not.
int PageResult(DownloadResult result);
// One sentence that says why the transfer ended, in the device's own words when it
// sent a failure line.
std::string EndingReason(const DownloadEnding& ending);

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

// Runs the whole transfer, closes everything it opened, ends the page with
// DOWNLOAD_SUCCEEDED or DOWNLOAD_FAILED, and tells why it ended.
DownloadEnding RunDownload(DownloadContext& context);
// The worker: RunDownload, then 0, the thread's exit code.
unsigned DownloadThreadProc(DownloadContext& context);
