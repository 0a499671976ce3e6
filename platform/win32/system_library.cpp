#include "system_library.h"

#include <string>

HMODULE LoadSystemLibrary(const char* fileName) {
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::string path = std::string(folder, length) + "\\" + fileName;
  // The altered search path starts the search for its dependencies in the library's
  // own folder instead of the program's.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
