#include "device_prep/image_check.h"

#include <memory>

#include "device_prep/temp_files.h"
#include "engine/image.h"

bool ImageAccepted(File& image, MessageBoxes& messages) {
  TransferPlan plan;
  if (PlanTransfer(image, plan)) return true;
  messages.ShowOk(LoadText(plan.refusal));
  return false;
}

bool TempFilesReady(Desktop& desktop, FileSystem& files, MessageBoxes& messages) {
  std::string image;
  std::string staging;
  std::unique_ptr<File> opened;
  if (TempFilePath(desktop, IMAGE_FILE_NAME, image) && TempFilePath(desktop, STAGING_FILE_NAME, staging)) {
    opened = files.Open(image, OpenMode::ReadShared);
  }
  if (!opened) {
    messages.ShowOk(LoadText(IDS_NO_IMAGE));
    return false;
  }
  if (!ImageAccepted(*opened, messages)) return false;
  // The transfer makes its staging file anew; one it cannot replace would fail it only
  // once the device waits in its downloader, and every run after it the same way.
  if (desktop.RemoveStaleFile(staging)) return true;
  messages.ShowOk(FormatText(IDS_STAGING_FILE_IN_THE_WAY, {staging}));
  return false;
}
