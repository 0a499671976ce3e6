#include "device_prep/temp_files.h"

#include <string>

bool EnterTempFolder(Desktop& desktop) {
  std::string folder;
  return desktop.ReadEnvironmentVariable("TEMP", folder) && !folder.empty() &&
         folder.size() <= TEMP_FOLDER_MAX_CHARS && desktop.EnterFolder(folder);
}

void DeleteTempFiles(Desktop& desktop) {
  if (!EnterTempFolder(desktop)) return;

  for (const char* name : {HELPER_FILE_NAME, WIZARD_FILE_NAME, IMAGE_FILE_NAME, STAGING_FILE_NAME}) {
    desktop.RemoveFile(name);
  }
}
