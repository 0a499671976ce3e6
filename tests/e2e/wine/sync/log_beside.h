// The log of the stand-in sync programs: a file beside the program, one line a call.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// Appends the line to the file of that name beside the program. Several instances may
// write at once, and appends from two processes are not atomic under wine, so the
// writers of one log take turns through the named mutex.
inline void LogBeside(const char* fileName, const char* turnName, const std::string& line) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  std::string logPath(path, length);
  logPath.replace(logPath.find_last_of('\\') + 1, std::string::npos, fileName);
  HANDLE turn = CreateMutexA(nullptr, FALSE, turnName);
  if (turn != nullptr) WaitForSingleObject(turn, 5000);
  if (FILE* f = std::fopen(logPath.c_str(), "ab")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
  if (turn != nullptr) {
    ReleaseMutex(turn);
    CloseHandle(turn);
  }
}
