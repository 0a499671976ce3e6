#include "desktop_calls.h"

#include "cfile.h"
#include "device_prep/image_check.h"
#include "device_prep/sync_control.h"
#include "device_prep/temp_files.h"
#include "win32_desktop.h"
#include "win32_message_boxes.h"

void DeleteTempFiles() {
  Win32Desktop desktop;
  DeleteTempFiles(desktop);
}

bool TempImageAccepted(CWnd& page) {
  Win32Desktop desktop;
  Win32FileSystem files;
  AfxMessageBoxes boxes(&page);
  return TempImageAccepted(desktop, files, boxes);
}

void StopActiveSync() {
  Win32Desktop desktop;
  ShutdownActiveSync(desktop);
  KillActiveSyncProcesses(desktop);
}

void RestartActiveSync() {
  Win32Desktop desktop;
  AfxMessageBoxes boxes;
  StartActiveSyncQuoted(desktop, nullptr);
  StartActiveSync(desktop, boxes);
}
