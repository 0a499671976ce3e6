#include "system_library.h"

#include <string>

void SetLibrarySearchOrder() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  const auto setDefault = LookUpLoadedFunction<SetDefaultDllDirectoriesFn>("kernel32.dll", "SetDefaultDllDirectories");
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // An empty folder takes the current folder out of the search; the program's own
  // folder stays in it.
  if (const auto setDirectory = LookUpLoadedFunction<SetDllDirectoryFn>("kernel32.dll", "SetDllDirectoryW")) {
    setDirectory(L"");
  }
}

HMODULE LoadSystemLibrary(const char* fileName) {
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::string path = std::string(folder, length) + "\\" + fileName;
  // The altered search path starts the search for its dependencies in the library's
  // own folder instead of the program's.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
