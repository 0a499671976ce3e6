#include "download.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "image.h"
#include "packet_stream.h"
#include "trace.h"

std::int32_t OverallBarRange(std::uint32_t os, std::uint32_t ud, std::uint32_t kn, std::uint32_t eb) {
  const std::uint32_t pieces = (eb + kn + ud + os) / PACKET_BYTES;
  return static_cast<std::int32_t>(pieces + os / BLOCK_BYTES);
}

int PageResult(DownloadResult result) {
  return result == DownloadResult::Confirmed || result == DownloadResult::Unconfirmed ? DOWNLOAD_SUCCEEDED
                                                                                       : DOWNLOAD_FAILED;
}

namespace {

std::string StageName(DownloadStage stage) {
  switch (stage) {
    case DownloadStage::DownloaderPackage: return LoadText(IDS_STAGE_PACKAGE);
    case DownloadStage::PartTwoFile: return LoadText(IDS_STAGE_PART_TWO);
    default: return LoadText(IDS_STAGE_OS_REMAINDER);
  }
}

// The failure line the device sent, without its line feed.
std::string DeviceWords(LineWaitEnd wait) {
  const std::string line = wait == LineWaitEnd::FlashIncorrect ? FLASH_INCORRECT_LINE : OS_NOT_COMPATIBLE_LINE;
  return line.substr(0, line.size() - 1);
}

}  // namespace

std::string EndingReason(const DownloadEnding& ending) {
  const std::string stage = StageName(ending.stage);
  switch (ending.result) {
    case DownloadResult::Confirmed: return LoadText(IDS_REASON_CONFIRMED);
    case DownloadResult::Unconfirmed:
      return LoadText(ending.wait == LineWaitEnd::PortGone ? IDS_REASON_UNCONFIRMED_GONE : IDS_REASON_UNCONFIRMED);
    case DownloadResult::ImageRefused: return LoadText(ending.refusal);
    case DownloadResult::NoImage: return LoadText(IDS_NO_IMAGE);
    case DownloadResult::StagingNotCreated: return LoadText(IDS_REASON_STAGING_NOT_CREATED);
    case DownloadResult::PortNotOpened: return LoadText(IDS_REASON_PORT_NOT_OPENED);
    case DownloadResult::FileFailed: return LoadText(IDS_REASON_FILE_FAILED);
    case DownloadResult::WriteFailed: return FormatText(IDS_REASON_WRITE_FAILED, {stage});
    case DownloadResult::PortStalled: return LoadText(IDS_PORT_STALLED);
    case DownloadResult::PortTooSlow: return LoadText(IDS_PORT_TOO_SLOW);
    case DownloadResult::DeviceRefused: return FormatText(IDS_REASON_DEVICE_REFUSED, {DeviceWords(ending.wait), stage});
    case DownloadResult::NoAnswer: return FormatText(IDS_REASON_NO_ANSWER, {stage});
    case DownloadResult::PortGone: return FormatText(IDS_REASON_PORT_GONE, {stage});
    case DownloadResult::PortNotBack: return LoadText(IDS_REASON_PORT_NOT_BACK);
    case DownloadResult::OutOfMemory: return LoadText(IDS_REASON_OUT_OF_MEMORY);
    case DownloadResult::UnexpectedError: break;
    case DownloadResult::Interrupted: return LoadText(IDS_REASON_INTERRUPTED);
  }
  return LoadText(IDS_REASON_UNEXPECTED_ERROR);
}

namespace {

// Pauses are cut into steps this long when a stop can be requested.
constexpr std::uint32_t STOP_CHECK_MS = 100;

// One transfer: the open port and files live here and are closed when it ends. The
// ending is made at the first failure, where its cause is seen, and left alone after.
class Download {
 public:
  Download(DownloadContext& context, DownloadEnding& ending) : c_(context), ending_(ending) {}
  // Closes the port and both files, in this order. A port that is left before the
  // device confirmed may hold bytes it will never take: closing must not wait for them.
  ~Download() {
    if (port_ && ending_.result != DownloadResult::Confirmed) port_->DiscardUnsent();
    port_.reset();
    image_.reset();
    staging_.reset();
  }
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // True when every stream went out and was accepted; the ending says the rest.
  bool Run() {
    c_.page.SetTitle(LoadText(IDS_PROGRESS_TITLE));
    c_.page.SetHeading(LoadText(IDS_PROGRESS_HEADING));
    port_ = c_.ports.Open(c_.paths.port);
    ORVANE_TRACE("USB handle is %x\r\n", port_ ? 1u : 0u);

    image_ = c_.files.Open(c_.paths.image, OpenMode::ReadShared);
    if (!image_) {
      c_.messages.ShowOk(LoadText(IDS_NO_IMAGE));
      return Fail(DownloadResult::NoImage);
    }
    staging_ = c_.files.Open(c_.paths.staging, OpenMode::CreateReadWrite);
    if (!staging_) return Fail(DownloadResult::StagingNotCreated);
    // Every check runs before the first byte leaves: a refused image never reaches the
    // device, not even its downloader package.
    TransferPlan plan;
    if (!PlanTransfer(*image_, plan)) {
      c_.messages.ShowOk(LoadText(plan.refusal));
      ending_.refusal = plan.refusal;
      return Fail(DownloadResult::ImageRefused);
    }
    const ImageLayout& layout = plan.layout;
    c_.page.OverallBar().SetRange(OverallBarRange(layout.os, layout.ud, layout.kn, layout.eb));
    c_.page.OverallBar().SetPos(0);

    if (layout.Has(ImageFlags::UD) && !SendDownloaderPackage(plan.header, layout)) return false;

    ending_.stage = DownloadStage::PartTwoFile;
    c_.page.SetStepCaption(LoadText(IDS_STEP3_DOWNLOAD_ADDON));
    if (!BuildPartTwoFile(*image_, *staging_, plan.header, layout, plan.reserveSize)) {
      return Fail(DownloadResult::FileFailed);
    }
    c_.page.SetStepCaption(LoadText(IDS_STEP3_DOWNLOAD_ADDON));
    ORVANE_TRACE("Download part 2.\r\n");
    std::uint64_t partTwoLength = 0;
    if (!staging_->GetLength(partTwoLength) || partTwoLength > UINT32_MAX) return Fail(DownloadResult::FileFailed);
    if (!Send(*staging_, 0, static_cast<std::uint32_t>(partTwoLength))) return false;
    c_.page.SetStepCaption(LoadText(IDS_STEP4_UPDATE_ADDON));
    const LineWaitEnd regionAnswer = Wait(PART_TWO_ANSWER_WAIT, RESERVED_REGION_OK_LINE);
    staging_.reset();
    c_.page.SetStepCaption(LoadText(IDS_STEP5_DOWNLOAD_OS));
    if (regionAnswer != LineWaitEnd::ExpectedLine) {
      c_.page.SetStepCaption(LoadText(IDS_UPDATE_FAILED));
      return Fail(regionAnswer);
    }

    ending_.stage = DownloadStage::OsRemainder;
    const ByteRange remainder = OsRemainder(layout, plan.reserveSize);
    if (!Send(*image_, remainder.offset, remainder.length)) return false;
    c_.page.SetStepCaption(LoadText(IDS_STEP6_UPDATE_OS));
    return OsAnswered(Wait(OS_ANSWER_WAIT, OS_PROGRAM_OK_LINE));
  }

 private:
  bool Fail(DownloadResult result) {
    ending_.result = result;
    return false;
  }

  // A wait that did not bring the expected line, before the last stream.
  bool Fail(LineWaitEnd end) {
    ending_.wait = end;
    switch (end) {
      case LineWaitEnd::FlashIncorrect:
      case LineWaitEnd::OsNotCompatible: return Fail(DownloadResult::DeviceRefused);
      case LineWaitEnd::Silence:
      case LineWaitEnd::NoFirstByte:
      case LineWaitEnd::Unrecognised:
      case LineWaitEnd::Capped: return Fail(DownloadResult::NoAnswer);
      case LineWaitEnd::PortGone: return Fail(DownloadResult::PortGone);
      case LineWaitEnd::Stopped: return Fail(DownloadResult::Interrupted);
      case LineWaitEnd::ExpectedLine:
      case LineWaitEnd::ZeroLimit: break;
    }
    return Fail(DownloadResult::UnexpectedError);
  }

  // The answer to the OS remainder. The device may restart right after writing its
  // flash, so a device that falls silent, or whose port goes away, has had everything
  // and accepted every stream before, but has not confirmed.
  bool OsAnswered(LineWaitEnd end) {
    switch (end) {
      case LineWaitEnd::ExpectedLine: ending_.result = DownloadResult::Confirmed; break;
      case LineWaitEnd::Silence:
      case LineWaitEnd::NoFirstByte:
      case LineWaitEnd::Unrecognised:
      case LineWaitEnd::Capped:
      case LineWaitEnd::PortGone: ending_.result = DownloadResult::Unconfirmed; break;
      default: return Fail(end);
    }
    ending_.wait = end;
    return true;
  }

  bool Send(File& source, std::uint32_t offset, std::uint32_t length) {
    const StreamEnd end = SendStreamToDevice(port_.get(), source, offset, length, 0, c_.page, c_.messages, c_.stop);
    switch (end) {
      case StreamEnd::Sent: return true;
      case StreamEnd::NoPort: return Fail(DownloadResult::PortNotOpened);
      case StreamEnd::SourceFailed: return Fail(DownloadResult::FileFailed);
      case StreamEnd::Stopped: return Fail(DownloadResult::Interrupted);
      case StreamEnd::WriteFailed:
      case StreamEnd::Stalled:
      case StreamEnd::TooSlow: break;
    }
    // A device that refused the stream midway may have said so before it stopped taking
    // data or went away: its own words are the ending.
    const LineWaitEnd said = ReadFailureLine(*port_, FAILURE_LINE_LOOK_MS, c_.clock, c_.lines);
    if (said != LineWaitEnd::ZeroLimit) return Fail(said);
    return Fail(end == StreamEnd::Stalled   ? DownloadResult::PortStalled
                : end == StreamEnd::TooSlow ? DownloadResult::PortTooSlow
                                            : DownloadResult::WriteFailed);
  }

  // Only called after a stream went out, so the port is open.
  LineWaitEnd Wait(std::uint32_t limit, const char* expected) {
    LineWaitEnd end = LineWaitEnd::ZeroLimit;
    WaitForDeviceLine(*port_, limit, expected, &c_.page.OverallBar(), &c_.page.StepBar(), c_.clock, &end, c_.stop,
                      c_.lines);
    return end;
  }

  bool SendDownloaderPackage(const ImageHeader& header, const ImageLayout& layout) {
    ending_.stage = DownloadStage::DownloaderPackage;
    c_.page.SetStepCaption(LoadText(IDS_STEP1_DOWNLOAD_SYSTEM));
    std::uint32_t length = 0;
    if (!BuildDownloaderPackage(*image_, *staging_, header, layout, length)) return Fail(DownloadResult::FileFailed);
    if (!Send(*staging_, 0, length)) return false;
    if (!staging_->Seek(0, SeekFrom::Begin)) return Fail(DownloadResult::FileFailed);
    c_.page.SetStepCaption(LoadText(IDS_STEP2_UPDATE_SYSTEM));
    const LineWaitEnd end = Wait(RESET_ANSWER_WAIT, DEVICE_RESET_LINE);
    ORVANE_TRACE("result of Recive [device reset.] = %d\r\n", end == LineWaitEnd::ExpectedLine ? 1 : 0);
    if (end != LineWaitEnd::ExpectedLine) return Fail(end);
    return ReopenAfterReset();
  }

  // The device restarts its downloader: the port goes away and comes back.
  bool ReopenAfterReset() {
    port_.reset();
    if (!Pause(RESET_SETTLE_MS) || !Pause(REOPEN_INTERVAL_MS)) return Fail(DownloadResult::Interrupted);
    // The bound runs from a tick already read: a sleep may wake a little before the tick
    // it aimed at, so a tick projected past a sleep could still lie in the future.
    const std::uint32_t firstAttempt = c_.clock.TickCount();
    for (;;) {
      port_ = c_.ports.Open(c_.paths.port);
      if (port_) break;
      if (c_.clock.TickCount() - firstAttempt >= REOPEN_LIMIT_MS) {
        c_.page.SetStepCaption(LoadText(IDS_PORT_NOT_BACK));
        return Fail(DownloadResult::PortNotBack);
      }
      if (!Pause(REOPEN_INTERVAL_MS)) return Fail(DownloadResult::Interrupted);
    }
    ORVANE_TRACE("Get Handle.\r\n");
    ORVANE_TRACE("Download USB Downloader Finish.\r\n");
    return true;
  }

  // Sleeps; where a stop can be requested, in short steps, and false once it was.
  bool Pause(std::uint32_t milliseconds) {
    if (c_.stop == nullptr) {
      c_.clock.Sleep(milliseconds);
      return true;
    }
    const std::uint32_t start = c_.clock.TickCount();
    while (!StopRequested(c_.stop)) {
      const std::uint32_t spent = c_.clock.TickCount() - start;
      if (spent >= milliseconds) return true;
      c_.clock.Sleep(std::min(milliseconds - spent, STOP_CHECK_MS));
    }
    return false;
  }

  DownloadContext& c_;
  DownloadEnding& ending_;
  std::unique_ptr<DeviceChannel> port_;
  std::unique_ptr<File> image_;
  std::unique_ptr<File> staging_;
};

// A box that cannot be shown either is left out: the page's result still tells.
void ShowWhyStopped(MessageBoxes& messages, StringId why) noexcept {
  try {
    messages.ShowOk(LoadText(why));
  } catch (...) {
  }
}

}  // namespace

DownloadEnding RunDownload(DownloadContext& context) {
  DownloadEnding ending;
  // No exception may leave the worker, or the page would never end. By the time a
  // handler runs, the transfer's port, files and buffers have been released.
  try {
    Download download(context, ending);
    download.Run();
  } catch (const std::bad_alloc&) {
    ending.result = DownloadResult::OutOfMemory;
    ShowWhyStopped(context.messages, IDS_OUT_OF_MEMORY);
  } catch (const std::length_error&) {  // a buffer larger than the process can address
    ending.result = DownloadResult::OutOfMemory;
    ShowWhyStopped(context.messages, IDS_OUT_OF_MEMORY);
  } catch (...) {
    ending.result = DownloadResult::UnexpectedError;
    ShowWhyStopped(context.messages, IDS_UNEXPECTED_ERROR);
  }
  context.page.End(PageResult(ending.result));
  return ending;
}

unsigned DownloadThreadProc(DownloadContext& context) {
  RunDownload(context);
  return 0;
}
