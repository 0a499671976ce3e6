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

bool TempImageAccepted(Desktop& desktop, FileSystem& files, MessageBoxes& messages) {
  std::string path;
  std::unique_ptr<File> image;
  if (TempFilePath(desktop, IMAGE_FILE_NAME, path)) image = files.Open(path, OpenMode::ReadShared);
  if (!image) {
    messages.ShowOk(LoadText(IDS_NO_IMAGE));
    return false;
  }
  return ImageAccepted(*image, messages);
}
