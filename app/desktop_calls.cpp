#include "desktop_calls.h"

#include <string>
#include <vector>

#include "cfile.h"
#include "device_prep/image_check.h"
#include "device_prep/sync_control.h"
#include "device_prep/temp_files.h"
#include "string_table.h"
#include "system_library.h"
#include "win32_desktop.h"
#include "win32_message_boxes.h"
#include "win32_serial.h"

namespace {

using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);

// The services that StopActiveSync stopped, for RestartActiveSync; the UI thread's.
std::vector<std::string> stoppedServices;

}  // namespace

void DeleteTempFiles() {
  Win32Desktop desktop;
  DeleteTempFiles(desktop);
}

bool TempFilesReady(CWnd& page) {
  Win32Desktop desktop;
  Win32FileSystem files;
  AfxMessageBoxes boxes(&page);
  return TempFilesReady(desktop, files, boxes);
}

void StopActiveSync(CWnd* page) {
  Win32Desktop desktop;
  ShutdownActiveSync(desktop);
  KillActiveSyncProcesses(desktop);
  std::string running;
  for (const std::string& name : StopSyncServices(desktop, stoppedServices)) {
    running += (running.empty() ? "" : "\n    ") + name;
  }
  if (!running.empty() && page != nullptr) {
    AfxMessageBoxes(page).ShowOk(FormatText(IDS_SYNC_SERVICES_RUNNING, {running}));
  }
}

void RestartActiveSync() {
  Win32Desktop desktop;
  AfxMessageBoxes boxes;
  StartActiveSyncQuoted(desktop, nullptr);
  StartActiveSync(desktop, boxes);
  StartSyncServices(desktop, stoppedServices);
}

bool DownloaderPortPresent() {
  Win32PortOpener ports;
  if (ports.Open(UsbSerialPortPath(DEVICE_PORT_NUMBER)) != nullptr) return true;
  // Nothing is called between the failed open and here.
  const DWORD error = GetLastError();
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

void HoldDesktop(CWnd& page, LPCSTR reason) {
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  const auto create = LookUpLoadedFunction<ShutdownBlockReasonCreateFn>("user32.dll", "ShutdownBlockReasonCreate");
  if (create == nullptr) return;
  const int length = MultiByteToWideChar(CP_ACP, 0, reason, -1, nullptr, 0);
  if (length <= 0) return;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, reason, -1, &wide[0], length);
  create(page.GetSafeHwnd(), wide.c_str());
}

void ReleaseDesktop(CWnd& page) {
  if (const auto destroy =
          LookUpLoadedFunction<ShutdownBlockReasonDestroyFn>("user32.dll", "ShutdownBlockReasonDestroy")) {
    destroy(page.GetSafeHwnd());
  }
  SetThreadExecutionState(ES_CONTINUOUS);  // the system may sleep again
}
