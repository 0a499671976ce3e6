// The program's entry point, linked into each GUI program of the slice (a library
// member would never be pulled in: the C runtime asks for WinMain after the
// libraries have been searched).
#include "afxwin.h"
#include "system_library.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  SetLibrarySearchOrder();
  return AfxWinMain(instance);
}
