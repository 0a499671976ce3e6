// A stand-in for the sync software's manager program, for the wine tests; never
// shipped. The first start creates the manager's named event and one top-level
// window of each of its three classes, and runs until asked to quit. A start with
// "/quit" on its command line signals that event and ends; any other start while
// one runs ends at once, as a second start of the real one does.
//
//   --ignore-close   the windows ignore WM_CLOSE (otherwise each closes itself)
//   --ignore-quit    quit requests are ignored: only termination ends it
//
// Each step goes to manager.log beside the program, one line each:
//   start COMMAND-LINE | already running | quit requested | nothing to quit
//   close CLASS obeyed|ignored | quit obeyed|ignored
// and at each start, which of the wizard's working files are in TEMP at that moment:
//   temp holds NAME... | temp holds none
#include <windows.h>

#include <string>

#include "log_beside.h"

namespace {

const char EVENT_NAME[] = "Microsoft Windows CE Services Manager Event";
const char* const CLASSES[] = {"CEAppMgr", "SyncMgrUI", "DccMan Class"};

bool ignoreClose = false;

void Log(const std::string& line) { LogBeside("manager.log", "orvane-test-manager-log", line); }

std::string WizardFilesInTemp() {
  char folder[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("TEMP", folder, MAX_PATH);
  std::string names;
  for (const char* name : {"Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown"}) {
    const std::string path = std::string(folder, length < MAX_PATH ? length : 0) + "\\" + name;
    if (length > 0 && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) names += std::string(" ") + name;
  }
  return names.empty() ? " none" : names;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    Log("close " + ClassOf(window) + (ignoreClose ? " ignored" : " obeyed"));
    if (!ignoreClose) DestroyWindow(window);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const std::string commandLine = GetCommandLineA();
  Log("start " + commandLine);
  Log("temp holds" + WizardFilesInTemp());
  const bool quit = commandLine.find("/quit") != std::string::npos;
  ignoreClose = commandLine.find("--ignore-close") != std::string::npos;
  const bool ignoreQuit = commandLine.find("--ignore-quit") != std::string::npos;

  // Made and tested in one step, so that two starts at once cannot both run.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, EVENT_NAME);
  if (event == nullptr) return 1;
  const bool running = GetLastError() == ERROR_ALREADY_EXISTS;
  if (running || quit) {
    if (!running) {
      Log("nothing to quit");
    } else if (quit) {
      // Logged first: the running instance logs its answer only once the event is set.
      Log("quit requested");
      SetEvent(event);
    } else {
      Log("already running");
    }
    CloseHandle(event);
    return 0;
  }

  HWND windows[3] = {};
  for (int i = 0; i < 3; ++i) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = CLASSES[i];
    RegisterClassA(&windowClass);
    windows[i] = CreateWindowA(CLASSES[i], CLASSES[i], WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40 + 60 * i, 40 + 60 * i,
                               240, 120, nullptr, nullptr, instance, nullptr);
  }

  for (;;) {
    if (MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0) {
      Log(ignoreQuit ? "quit ignored" : "quit obeyed");
      if (!ignoreQuit) break;
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  for (HWND window : windows) {
    if (IsWindow(window)) DestroyWindow(window);
  }
  CloseHandle(event);
  return 0;
}
