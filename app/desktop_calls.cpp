#include "desktop_calls.h"

#include <string>

#include "cfile.h"
#include "device_prep/image_check.h"
#include "device_prep/sync_control.h"
#include "device_prep/temp_files.h"
#include "system_library.h"
#include "win32_desktop.h"
#include "win32_message_boxes.h"

namespace {

using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);

// A call that only later systems' user32 has; null where it is missing.
template <typename Fn>
Fn LaterUserFunction(const char* name) {
  return LookUpFunction<Fn>(GetModuleHandleA("user32.dll"), name);
}

}  // namespace

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

void HoldDesktop(CWnd& page, LPCSTR reason) {
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  const auto create = LaterUserFunction<ShutdownBlockReasonCreateFn>("ShutdownBlockReasonCreate");
  if (create == nullptr) return;
  const int length = MultiByteToWideChar(CP_ACP, 0, reason, -1, nullptr, 0);
  if (length <= 0) return;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, reason, -1, &wide[0], length);
  create(page.GetSafeHwnd(), wide.c_str());
}

void ReleaseDesktop(CWnd& page) {
  if (const auto destroy = LaterUserFunction<ShutdownBlockReasonDestroyFn>("ShutdownBlockReasonDestroy")) {
    destroy(page.GetSafeHwnd());
  }
  SetThreadExecutionState(ES_CONTINUOUS);  // the system may sleep again
}
