// Runs the sync-software shutdown, restart and temp clean-up over the real desktop
// calls, as the wizard's pages will, for the wine tests. Message boxes are real
// ones with the wizard's caption. What it checks on its own goes through other
// calls than the wizard's: the window list and the tool-help snapshot.
//
//   sync_probe COMMAND...
//     shutdown       ShutdownActiveSync; prints "shutdown RESULT"
//     kill           KillActiveSyncProcesses; prints "kill done"
//     restart        the restart pair: StartActiveSyncQuoted with no arguments
//                    ("quoted RESULT"), then StartActiveSync ("box TEXT" for each box
//                    once it is answered, then "restart done")
//     temp           prints "temp VALUE" of TEMP as this process sees it
//     settemp VALUE  sets TEMP for this process; "-" removes it
//     clean          DeleteTempFiles; prints "cwd FOLDER" afterwards
//     await          waits (at most 30 s) until a top-level window of each of the sync
//                    software's three classes and a process of each of its two
//                    program names is there; prints "awaited"
//     watch          keeps a handle of each process of the two names now running
//     settle         waits (at most 30 s) until none of those windows and processes
//                    is left; prints "present NAME" for each one still there, then
//                    "exit NAME CODE" for each watched process, then "settled"
//
// Exit 0 when every command ran, 2 usage.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "afxwin.h"
#include "device_prep/sync_control.h"
#include "device_prep/temp_files.h"
#include "win32_desktop.h"
#include "win32_message_boxes.h"

namespace {

const char USAGE[] =
    "usage: sync_probe {shutdown | kill | restart | temp | settemp VALUE | clean | await | watch | settle}...\n";

CWinApp theApp("ORVANE");

// The program's own boxes, and a line for each once it is answered.
class ScreenBoxes : public AfxMessageBoxes {
 public:
  void ShowOk(const std::string& text) override {
    AfxMessageBoxes::ShowOk(text);
    std::printf("box %s\n", text.c_str());
    std::fflush(stdout);
  }
};

const char* const CLASSES[] = {"CEAppMgr", "SyncMgrUI", "DccMan Class"};
const char* const PROGRAMS[] = {"wcesmgr.exe", "wcescomm.exe"};

BOOL CALLBACK CollectSyncWindow(HWND window, LPARAM found) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  for (const char* cls : CLASSES) {
    if (lstrcmpA(name, cls) == 0) reinterpret_cast<std::set<std::string>*>(found)->insert(cls);
  }
  return TRUE;
}

// Calls back with the program name (in lower case) and id of each process of the
// sync software's two names.
void ForEachSyncProcess(const std::function<void(const std::string&, DWORD)>& visit) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    for (const char* program : PROGRAMS) {
      if (lstrcmpiA(entry.szExeFile, program) == 0) visit(program, entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
}

std::set<std::string> SyncSoftwarePresent() {
  std::set<std::string> present;
  EnumWindows(CollectSyncWindow, reinterpret_cast<LPARAM>(&present));
  ForEachSyncProcess([&present](const std::string& name, DWORD) { present.insert(name); });
  return present;
}

std::set<std::string> WaitUntilPresent(std::size_t count) {
  std::set<std::string> present = SyncSoftwarePresent();
  for (int tries = 0; present.size() != count && tries < 300; ++tries) {
    Sleep(100);
    present = SyncSoftwarePresent();
  }
  return present;
}

std::vector<std::pair<std::string, HANDLE>> watched;

void Watch() {
  ForEachSyncProcess([](const std::string& name, DWORD id) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id);
    if (process != nullptr) watched.emplace_back(name, process);
  });
  std::sort(watched.begin(), watched.end());
}

void Settle() {
  for (const std::string& name : WaitUntilPresent(0)) std::printf("present %s\n", name.c_str());
  for (const auto& [name, process] : watched) {
    DWORD code = 0;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code)) {
      std::printf("exit %s %lu\n", name.c_str(), code);
    } else {
      std::printf("running %s\n", name.c_str());
    }
    CloseHandle(process);
  }
  watched.clear();
  std::printf("settled\n");
}

bool ValidArguments(int argc, char** argv) {
  static const std::set<std::string> commands = {"shutdown", "kill",  "restart", "temp",  "settemp",
                                                 "clean",    "await", "watch",   "settle"};
  if (argc < 2) return false;
  for (int i = 1; i < argc; ++i) {
    if (commands.count(argv[i]) == 0) return false;
    if (std::string(argv[i]) == "settemp" && ++i >= argc) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ValidArguments(argc, argv)) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  Win32Desktop desktop;
  ScreenBoxes boxes;
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    if (command == "shutdown") {
      std::printf("shutdown %d\n", ShutdownActiveSync(desktop));
    } else if (command == "kill") {
      KillActiveSyncProcesses(desktop);
      std::printf("kill done\n");
    } else if (command == "restart") {
      std::printf("quoted %d\n", StartActiveSyncQuoted(desktop, nullptr));
      std::fflush(stdout);
      StartActiveSync(desktop, boxes);
      std::printf("restart done\n");
    } else if (command == "temp") {
      char value[MAX_PATH] = {};
      GetEnvironmentVariableA("TEMP", value, MAX_PATH);
      std::printf("temp %s\n", value);
    } else if (command == "settemp") {
      const std::string value = argv[++i];
      SetEnvironmentVariableA("TEMP", value == "-" ? nullptr : value.c_str());
    } else if (command == "clean") {
      DeleteTempFiles(desktop);
      char folder[MAX_PATH] = {};
      GetCurrentDirectoryA(MAX_PATH, folder);
      std::printf("cwd %s\n", folder);
    } else if (command == "await") {
      const std::set<std::string> present = WaitUntilPresent(std::size(CLASSES) + std::size(PROGRAMS));
      std::printf("%s\n", present.size() == std::size(CLASSES) + std::size(PROGRAMS) ? "awaited" : "not all there");
    } else if (command == "watch") {
      Watch();
    } else {  // settle
      Settle();
    }
    std::fflush(stdout);
  }
  return 0;
}
