#include "download.h"

#include <new>
#include <stdexcept>

#include "image.h"
#include "packet_stream.h"
#include "string_table.h"
#include "trace.h"

std::int32_t OverallBarRange(std::uint32_t os, std::uint32_t ud, std::uint32_t kn, std::uint32_t eb) {
  const std::uint32_t pieces = (eb + kn + ud + os) / PACKET_BYTES;
  return static_cast<std::int32_t>(pieces + os / BLOCK_BYTES);
}

bool OsAnswerAccepted(LineWaitEnd end) {
  return end == LineWaitEnd::ExpectedLine || end == LineWaitEnd::Silence || end == LineWaitEnd::NoFirstByte;
}

namespace {

// One transfer: the open port and files live here and are closed when it ends.
class Download {
 public:
  explicit Download(DownloadContext& context) : c_(context) {}
  // Closes the port and both files, in this order.
  ~Download() {
    port_.reset();
    image_.reset();
    staging_.reset();
  }
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  bool Run() {
    c_.page.SetTitle(LoadText(IDS_PROGRESS_TITLE));
    c_.page.SetHeading(LoadText(IDS_PROGRESS_HEADING));
    port_ = c_.ports.Open(c_.paths.port);
    ORVANE_TRACE("USB handle is %x\r\n", port_ ? 1u : 0u);

    image_ = c_.files.Open(c_.paths.image, OpenMode::ReadShared);
    if (!image_) {
      c_.messages.ShowOk(LoadText(IDS_NO_IMAGE));
      return false;
    }
    staging_ = c_.files.Open(c_.paths.staging, OpenMode::CreateReadWrite);
    if (!staging_) return false;
    // Every check runs before the first byte leaves: a refused image never reaches the
    // device, not even its downloader package.
    TransferPlan plan;
    if (!PlanTransfer(*image_, plan)) {
      c_.messages.ShowOk(LoadText(plan.refusal));
      return false;
    }
    const ImageLayout& layout = plan.layout;
    c_.page.OverallBar().SetRange(OverallBarRange(layout.os, layout.ud, layout.kn, layout.eb));
    c_.page.OverallBar().SetPos(0);

    if (layout.Has(ImageFlags::UD) && !SendDownloaderPackage(plan.header, layout)) return false;

    c_.page.SetStepCaption(LoadText(IDS_STEP3_DOWNLOAD_ADDON));
    if (!BuildPartTwoFile(*image_, *staging_, plan.header, layout, plan.reserveSize)) return false;
    c_.page.SetStepCaption(LoadText(IDS_STEP3_DOWNLOAD_ADDON));
    ORVANE_TRACE("Download part 2.\r\n");
    std::uint64_t partTwoLength = 0;
    if (!staging_->GetLength(partTwoLength) || partTwoLength > UINT32_MAX ||
        !Send(*staging_, 0, static_cast<std::uint32_t>(partTwoLength))) {
      return false;
    }
    c_.page.SetStepCaption(LoadText(IDS_STEP4_UPDATE_ADDON));
    const bool regionOk = Wait(PART_TWO_ANSWER_WAIT, RESERVED_REGION_OK_LINE) == LineWaitEnd::ExpectedLine;
    staging_.reset();
    c_.page.SetStepCaption(LoadText(IDS_STEP5_DOWNLOAD_OS));
    if (!regionOk) {
      c_.page.SetStepCaption(LoadText(IDS_UPDATE_FAILED));
      return false;
    }

    const ByteRange remainder = OsRemainder(layout, plan.reserveSize);
    if (!Send(*image_, remainder.offset, remainder.length)) return false;
    c_.page.SetStepCaption(LoadText(IDS_STEP6_UPDATE_OS));
    return OsAnswerAccepted(Wait(OS_ANSWER_WAIT, OS_PROGRAM_OK_LINE));
  }

 private:
  bool Send(File& source, std::uint32_t offset, std::uint32_t length) {
    return SendStreamToDevice(port_.get(), source, offset, length, 0, c_.page, c_.messages);
  }

  LineWaitEnd Wait(std::uint32_t limit, const char* expected) {
    LineWaitEnd end = LineWaitEnd::ZeroLimit;
    if (port_) {
      WaitForDeviceLine(*port_, limit, expected, &c_.page.OverallBar(), &c_.page.StepBar(), c_.clock, &end);
    }
    return end;
  }

  bool SendDownloaderPackage(const ImageHeader& header, const ImageLayout& layout) {
    c_.page.SetStepCaption(LoadText(IDS_STEP1_DOWNLOAD_SYSTEM));
    std::uint32_t length = 0;
    if (!BuildDownloaderPackage(*image_, *staging_, header, layout, length)) return false;
    if (!Send(*staging_, 0, length)) return false;
    if (!staging_->Seek(0, SeekFrom::Begin)) return false;
    c_.page.SetStepCaption(LoadText(IDS_STEP2_UPDATE_SYSTEM));
    const LineWaitEnd end = Wait(RESET_ANSWER_WAIT, DEVICE_RESET_LINE);
    ORVANE_TRACE("result of Recive [device reset.] = %d\r\n", end == LineWaitEnd::ExpectedLine ? 1 : 0);
    if (end != LineWaitEnd::ExpectedLine) return false;
    return ReopenAfterReset();
  }

  // The device restarts its downloader: the port goes away and comes back.
  bool ReopenAfterReset() {
    port_.reset();
    c_.clock.Sleep(RESET_SETTLE_MS);
    c_.clock.Sleep(REOPEN_INTERVAL_MS);
    // The bound runs from a tick already read: a sleep may wake a little before the tick
    // it aimed at, so a tick projected past a sleep could still lie in the future.
    const std::uint32_t firstAttempt = c_.clock.TickCount();
    for (;;) {
      port_ = c_.ports.Open(c_.paths.port);
      if (port_) break;
      if (c_.clock.TickCount() - firstAttempt >= REOPEN_LIMIT_MS) {
        c_.page.SetStepCaption(LoadText(IDS_PORT_NOT_BACK));
        return false;
      }
      c_.clock.Sleep(REOPEN_INTERVAL_MS);
    }
    ORVANE_TRACE("Get Handle.\r\n");
    ORVANE_TRACE("Download USB Downloader Finish.\r\n");
    return true;
  }

  DownloadContext& c_;
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

unsigned DownloadThreadProc(DownloadContext& context) {
  int result = DOWNLOAD_FAILED;
  // No exception may leave the worker, or the page would never end. By the time a
  // handler runs, the transfer's port, files and buffers have been released.
  try {
    Download download(context);
    if (download.Run()) result = DOWNLOAD_SUCCEEDED;
  } catch (const std::bad_alloc&) {
    ShowWhyStopped(context.messages, IDS_OUT_OF_MEMORY);
  } catch (const std::length_error&) {  // a buffer larger than the process can address
    ShowWhyStopped(context.messages, IDS_OUT_OF_MEMORY);
  } catch (...) {
    ShowWhyStopped(context.messages, IDS_UNEXPECTED_ERROR);
  }
  context.page.End(result);
  return 0;
}
