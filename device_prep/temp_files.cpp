#include "device_prep/temp_files.h"

#include <string>

void DeleteTempFiles(Desktop& desktop) {
  std::string folder;
  if (!desktop.ReadEnvironmentVariable("TEMP", folder) || folder.empty() ||
      folder.size() > TEMP_FOLDER_MAX_CHARS) {
    return;
  }
  if (!desktop.EnterFolder(folder)) return;

  for (const char* name : {"Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown"}) {
    desktop.RemoveFile(name);
  }
}
