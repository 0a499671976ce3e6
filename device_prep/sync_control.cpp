#include "device_prep/sync_control.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char* MANAGER_EVENT = "Microsoft Windows CE Services Manager Event";
constexpr const char* QUIT_ARGUMENTS = " /quit";
// The same key in both spellings: registry names ignore case.
constexpr const char* APP_PATH_KEY_QUOTED =
    "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\WCESMGR.EXE";
constexpr const char* APP_PATH_KEY_PLAIN =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\WCESMGR.EXE";
constexpr const char* UNKNOWN_MODULE = "<unknown>";
// The programs ended: ActiveSync's manager and connection program, and the user
// programs of the sync software of Windows Vista and later.
constexpr const char* SYNC_PROGRAMS[] = {"wcesmgr.exe", "wcescomm.exe", "wmdc.exe", "wmdcBase.exe"};

// Compares as the C library's _stricmp does in the C locale: ASCII letters fold.
bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const auto fold = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  const std::string other(b);
  if (a.size() != other.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(other[i])) return false;
  }
  return true;
}

// Closes an opened process handle on every way out.
class OpenedProcess {
 public:
  OpenedProcess(Desktop& desktop, ProcessHandle handle) : desktop_(desktop), handle_(handle) {}
  ~OpenedProcess() { desktop_.CloseProcess(handle_); }
  OpenedProcess(const OpenedProcess&) = delete;
  OpenedProcess& operator=(const OpenedProcess&) = delete;
  ProcessHandle handle() const { return handle_; }

 private:
  Desktop& desktop_;
  ProcessHandle handle_;
};

void TerminateReportingItsOwnCode(Desktop& desktop, ProcessHandle process) {
  std::uint32_t exitCode = 0;
  if (!desktop.ReadExitCode(process, exitCode)) exitCode = RUNNING_EXIT_CODE;
  desktop.TerminateWithExitCode(process, exitCode);
}

}  // namespace

int CloseWindowByClass(Desktop& desktop, const char* className) {
  const WindowHandle window = desktop.FindWindowByClass(className);
  if (window != 0) desktop.SendCloseMessage(window, CLOSE_WINDOW_TIMEOUT_MS);
  return desktop.FindWindowByClass(className) == 0 ? 1 : 0;
}

int ShutdownActiveSync(Desktop& desktop) {
  CloseWindowByClass(desktop, "CEAppMgr");
  CloseWindowByClass(desktop, "SyncMgrUI");
  // The event tells only whether the manager runs; the manager quits when it is
  // started once more with the quit argument.
  if (desktop.EventExists(MANAGER_EVENT)) StartActiveSyncQuoted(desktop, QUIT_ARGUMENTS);
  CloseWindowByClass(desktop, "SyncMgrUI");

  // A failed check leaves the later classes without a further WM_CLOSE.
  if (!CloseWindowByClass(desktop, "DccMan Class")) return 0;
  if (!CloseWindowByClass(desktop, "CEAppMgr")) return 0;
  return CloseWindowByClass(desktop, "SyncMgrUI");
}

void KillIfActiveSyncProcess(Desktop& desktop, std::uint32_t processId) {
  const ProcessHandle handle = desktop.OpenProcessForTermination(processId);
  // A process that cannot be opened is left running, whatever its name.
  if (handle == 0) return;
  OpenedProcess process(desktop, handle);

  std::string name = UNKNOWN_MODULE;
  std::string baseName;
  if (desktop.ReadFirstModuleBaseName(process.handle(), baseName)) name = baseName;

  for (const char* program : SYNC_PROGRAMS) {
    if (EqualsIgnoringCase(name, program)) TerminateReportingItsOwnCode(desktop, process.handle());
  }
}

void KillActiveSyncProcesses(Desktop& desktop) {
  std::vector<std::uint32_t> ids;
  if (!desktop.EnumerateProcessIds(ids, PROCESS_ID_CAPACITY)) {
    desktop.PrintText("EnumProcesses error\n");
    return;
  }
  for (const std::uint32_t id : ids) KillIfActiveSyncProcess(desktop, id);
}

int StartActiveSyncQuoted(Desktop& desktop, const char* arguments) {
  // A failed query leaves the path empty, and an empty path starts nothing.
  std::string path;
  if (desktop.ReadDefaultValue(APP_PATH_KEY_QUOTED, path) != RegistryRead::Ok || path.empty()) return 0;

  std::string commandLine = "\"" + path + "\"";
  if (arguments != nullptr) commandLine += arguments;
  // A line that does not fit its buffer is not started at all, rather than cut short.
  if (commandLine.size() > COMMAND_LINE_MAX_CHARS) return 0;

  return desktop.StartProcess(commandLine) ? 1 : 0;
}

void StartActiveSync(Desktop& desktop, MessageBoxes& boxes) {
  std::string path;
  switch (desktop.ReadDefaultValue(APP_PATH_KEY_PLAIN, path)) {
    case RegistryRead::Ok:
      // A value longer than the buffer offered fails its query.
      if (path.size() > APP_PATH_MAX_CHARS) {
        path.clear();
        boxes.ShowOk("RegQueryKey error: ActiveSync in Finish.");
      }
      break;
    case RegistryRead::OpenFailed:
      boxes.ShowOk("RegOpenKey error");
      break;
    case RegistryRead::QueryFailed:
      boxes.ShowOk("RegQueryKey error: ActiveSync in Finish.");
      break;
  }

  // The path alone is the command line; an empty one can start nothing.
  if (path.empty() || !desktop.StartProcess(path)) {
    boxes.ShowOk("CreateProcess failed: ActiveSync in Finish.");
  }
}

bool SyncServiceRuns(Desktop& desktop) {
  return std::any_of(std::begin(SYNC_SERVICES), std::end(SYNC_SERVICES),
                     [&desktop](const char* name) { return desktop.ServiceRuns(name); });
}

std::vector<std::string> StopSyncServices(Desktop& desktop, std::vector<std::string>& stopped) {
  const auto stop = [&](const std::string& name) {
    const ServiceStop end = desktop.StopServiceWithin(name, SERVICE_STOP_TIMEOUT_MS);
    if (end == ServiceStop::Stopped && std::find(stopped.begin(), stopped.end(), name) == stopped.end()) {
      stopped.push_back(name);
    }
    return end;
  };
  std::vector<std::string> refused;
  std::vector<std::string> running;
  for (const char* name : SYNC_SERVICES) {
    const ServiceStop end = stop(name);
    if (end == ServiceStop::Refused) refused.push_back(name);
    if (end == ServiceStop::StillRunning) running.push_back(name);
  }
  for (const std::string& name : refused) {
    const ServiceStop end = stop(name);
    if (end == ServiceStop::Refused || end == ServiceStop::StillRunning) running.push_back(name);
  }
  return running;
}

void StartSyncServices(Desktop& desktop, std::vector<std::string>& stopped) {
  for (auto name = stopped.rbegin(); name != stopped.rend(); ++name) desktop.StartServiceAgain(*name);
  stopped.clear();
}
