#include "device_prep/temp_files.h"

#include <string>

namespace {

bool ReadTempFolder(Desktop& desktop, std::string& folder) {
  return desktop.ReadEnvironmentVariable("TEMP", folder) && !folder.empty() && folder.size() <= TEMP_FOLDER_MAX_CHARS;
}

}  // namespace

bool EnterTempFolder(Desktop& desktop) {
  std::string folder;
  return ReadTempFolder(desktop, folder) && desktop.EnterFolder(folder);
}

bool TempFilePath(Desktop& desktop, const char* name, std::string& path) {
  if (!ReadTempFolder(desktop, path)) return false;
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  path += name;
  return true;
}

void DeleteTempFiles(Desktop& desktop) {
  if (!EnterTempFolder(desktop)) return;

  for (const char* name : {HELPER_FILE_NAME, WIZARD_FILE_NAME, IMAGE_FILE_NAME, STAGING_FILE_NAME}) {
    desktop.RemoveFile(name);
  }
}
