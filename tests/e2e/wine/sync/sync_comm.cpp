// A stand-in for the sync software's connection program, for the wine tests; never
// shipped. It does nothing but run under the program's process name until it is
// terminated.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Sleep(INFINITE);
  return 0;
}
