#include "device_prep/temp_files.h"

#include <string>

void DeleteTempFiles(Desktop& desktop) {
  std::string folder;
  if (!desktop.ReadEnvironmentVariable("TEMP", folder) || folder.empty() ||
      folder.size() > TEMP_FOLDER_MAX_CHARS) {
    return;
  }
  if (!desktop.EnterFolder(folder)) return;

  for (const char* name : {HELPER_FILE_NAME, WIZARD_FILE_NAME, IMAGE_FILE_NAME, STAGING_FILE_NAME}) {
    desktop.RemoveFile(name);
  }
}
