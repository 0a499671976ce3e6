// Runs the device push and launch over the real RAPI loader, as the welcome page's
// NEXT will, for the wine tests. One loaded library serves the whole run; it is
// released before the program ends.
//
//   rapi_probe COMMAND...
//     connect              ConnectRapi; an open connection is ended again
//     push LOCAL DEVICE    PushFileToDevice of the local file to the device name
//     launch DEVICE        LaunchOnDevice of the device name
//     next                 as NEXT does: "Nalvex.exe" of the current directory pushed
//                          to "Nalvex.exe", then, when that worked, launched
//
// Prints "COMMAND RESULT" a line, then "released"; exit 0 when every command ran,
// 1 when a local file cannot be opened, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "cfile.h"
#include "device_prep/device_push.h"
#include "win32_rapi.h"

namespace {

const char USAGE[] = "usage: rapi_probe {connect | push LOCAL DEVICE | launch DEVICE | next}...\n";

std::u16string DeviceName(const char* text) { return std::u16string(text, text + std::strlen(text)); }

// Pushes the local file; false when it cannot be opened.
bool Push(RapiLibrary& rapi, const char* local, const std::u16string& device, int& result) {
  CFile file;
  if (!file.Open(local, CFile::modeRead | CFile::shareDenyNone)) {
    std::printf("cannot open %s\n", local);
    return false;
  }
  result = PushFileToDevice(rapi, file, device);
  std::printf("push %d\n", result);
  return true;
}

int Run(int argc, char** argv) {
  RapiLibrary rapi;
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    int result = 0;
    if (command == "connect") {
      result = ConnectRapi(rapi);
      std::printf("connect %d\n", result);
      if (result == RAPI_CONNECTED) rapi.CeRapiUninit();
    } else if (command == "push") {
      if (!Push(rapi, argv[i + 1], DeviceName(argv[i + 2]), result)) return 1;
      i += 2;
    } else if (command == "launch") {
      std::printf("launch %d\n", LaunchOnDevice(rapi, DeviceName(argv[++i])));
    } else {  // next
      if (!Push(rapi, "Nalvex.exe", u"Nalvex.exe", result)) return 1;
      if (result == 1) std::printf("launch %d\n", LaunchOnDevice(rapi, u"Nalvex.exe"));
    }
    std::fflush(stdout);
  }
  return 0;
}

bool ValidArguments(int argc, char** argv) {
  if (argc < 2) return false;
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    int operands = -1;
    if (command == "connect" || command == "next") operands = 0;
    if (command == "launch") operands = 1;
    if (command == "push") operands = 2;
    if (operands < 0 || i + operands > argc - 1) return false;
    i += operands;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ValidArguments(argc, argv)) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  const int status = Run(argc, argv);
  std::printf("released\n");
  return status;
}
