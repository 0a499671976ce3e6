// Libraries taken from the system folder by full path. The program runs from the
// temporary folder, which other programs can write, and Windows looks in a program's
// own folder and in the current one before the system folder: a library asked for
// by its bare name could be anybody's.
#pragma once

#include <windows.h>

// Loads the library of that file name from the system folder; the libraries it needs
// in turn are looked for there first as well. Null when it is not there or does not
// load.
HMODULE LoadSystemLibrary(const char* fileName);

// A function of a loaded library, as the type it is called through; null when the
// library is null or lacks it.
template <typename Fn>
Fn LookUpFunction(HMODULE module, const char* name) {
  return module != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
