// One ORVANE at a time: every running ORVANE holds this named mutex, in the session's
// own name space, from its start to its end. A second ORVANE finds it held and ends
// at once, touching nothing; the launcher finds it held and starts nothing.
#pragma once

#include <windows.h>

constexpr char WIZARD_RUNNING_MUTEX[] = "ORVANE update wizard is running";

// Whether the name of a mutex that CreateMutex has just given (null when it failed) is
// someone else's: the mutex existed before, or it exists and is not ours to open
// (another user's, or an elevated program's), or another kind of object has the name.
inline bool HeldElsewhere(HANDLE mutex) {
  const DWORD error = GetLastError();
  if (mutex != nullptr) return error == ERROR_ALREADY_EXISTS;
  return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE;
}
