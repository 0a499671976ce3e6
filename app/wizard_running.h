// One ORVANE at a time: every running ORVANE holds this named mutex, in the session's
// own name space, from its start to its end. A second ORVANE finds it held and ends
// at once, touching nothing; the launcher finds it held and starts nothing.
#pragma once

#include <windows.h>

constexpr char WIZARD_RUNNING_MUTEX[] = "ORVANE update wizard is running";

// Whether a mutex that a create or open call has just given (null when the call
// failed) belongs to someone else: it existed before, or it exists and is not ours
// to open (another user's, or an elevated program's).
inline bool HeldElsewhere(HANDLE mutex) {
  const DWORD error = GetLastError();
  return mutex == nullptr ? error == ERROR_ACCESS_DENIED : error == ERROR_ALREADY_EXISTS;
}
