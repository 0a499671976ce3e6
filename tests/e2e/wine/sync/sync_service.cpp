// A stand-in for a service of the sync software of Windows Vista and later, for the
// wine tests; never shipped. Registered under the services' names, it runs as a
// service of its own process and, while it runs, holds the device's downloader port
// whenever the port is there and reads everything the device says, as a service that
// talks to the device would: a transfer beside it loses the device's answers. (Wine
// lets a second program open a port that one holds, which Windows does not.) Started
// with the argument "--no-stop" it takes no stop request, as a service this user may
// not stop.
//
// Each step goes to service.log beside the program, one line each, with the name it
// was started under:
//   NAME started | NAME holds the port | NAME stopped
#include <windows.h>

#include <string>

#include "log_beside.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;
std::string serviceName;

void Log(const std::string& line) { LogBeside("service.log", "orvane-test-service-log", serviceName + " " + line); }

void Report(DWORD state, DWORD accepted) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    SetEvent(stopRequested);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  serviceName = argc > 0 ? argv[0] : "?";
  const bool noStop = argc > 1 && std::string(argv[1]) == "--no-stop";
  statusHandle = RegisterServiceCtrlHandlerExA(serviceName.c_str(), &Handler, nullptr);
  if (statusHandle == nullptr) return;
  stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING, noStop ? 0 : SERVICE_ACCEPT_STOP);
  Log("started");
  HANDLE port = INVALID_HANDLE_VALUE;
  while (WaitForSingleObject(stopRequested, port == INVALID_HANDLE_VALUE ? 100 : 0) == WAIT_TIMEOUT) {
    if (port == INVALID_HANDLE_VALUE) {
      port = CreateFileA("\\\\.\\wceusbsh001", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (port == INVALID_HANDLE_VALUE) continue;
      COMMTIMEOUTS timeouts{};
      timeouts.ReadTotalTimeoutConstant = 100;  // so that a stop request is seen
      SetCommTimeouts(port, &timeouts);
      Log("holds the port");
    }
    char buffer[64];
    DWORD got = 0;
    if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) {  // the port has gone
      CloseHandle(port);
      port = INVALID_HANDLE_VALUE;
    }
  }
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  Log("stopped");
  Report(SERVICE_STOPPED, 0);
}

}  // namespace

int main() {
  char name[] = "";  // an own-process service: its name is the one it was started under
  SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
