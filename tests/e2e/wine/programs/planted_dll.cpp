// A library that other programs leave, under a system library's name, where ORVANE
// would find it first if it asked by name alone: beside its own file, in its current
// folder. It exports nothing and only tells when it is loaded, appending its own path
// to the file that ORVANE_PLANTED_LOG names.
#include <windows.h>

#include <cstdio>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH] = {};
  char log[MAX_PATH] = {};
  GetModuleFileNameA(self, path, MAX_PATH);
  const DWORD length = GetEnvironmentVariableA("ORVANE_PLANTED_LOG", log, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    if (FILE* f = std::fopen(log, "ab")) {
      std::fprintf(f, "loaded %s\n", path);
      std::fclose(f);
    }
  }
  return TRUE;
}
