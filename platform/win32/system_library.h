// Libraries taken from the system folder by full path, and the one way the programs
// reach a function at run time. The programs run from folders that other programs
// can write, and Windows looks in a program's own folder and in the current one
// before the system folder: a library asked for by its bare name could be anybody's.
#pragma once

#include <windows.h>

#include <type_traits>

// Makes the system folder the only place where libraries loaded by bare name are
// looked for, the program's own folder and the current one included, for the
// libraries the system's own libraries load later too; where the system lacks that
// (Windows XP SP1 to Windows 7 without its update), at least takes the current folder
// out of the search. The first thing each program does.
void SetLibrarySearchOrder();

// Loads the library of that file name from the system folder; the libraries it needs
// in turn are looked for there first as well. Null when it is not there or does not
// load.
HMODULE LoadSystemLibrary(const char* fileName);

// Whether a function pointer type calls as the system's functions do. On x86 a
// function of the system called through a pointer of the C calling convention
// leaves its arguments on the stack twice over; on x86-64 there is one convention
// and every type passes.
template <typename Fn>
struct IsSystemCallType : std::false_type {};
template <typename Result, typename... Arguments>
struct IsSystemCallType<Result(WINAPI*)(Arguments...)> : std::true_type {};

// A function of a loaded library, as the type it is called through; null when the
// library is null or lacks it. The one way the programs find a function at run time.
template <typename Fn>
Fn LookUpFunction(HMODULE module, const char* name) {
#ifndef _WIN64
  static_assert(IsSystemCallType<Fn>::value, "a function found at run time is called as WINAPI");
#endif
  return module != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// A function of a library that every process has loaded already (kernel32, user32,
// advapi32), which later systems have and earlier ones lack; null where it is missing.
template <typename Fn>
Fn LookUpLoadedFunction(const char* library, const char* name) {
  return LookUpFunction<Fn>(GetModuleHandleA(library), name);
}
