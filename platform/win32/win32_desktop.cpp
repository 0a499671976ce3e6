#include "win32_desktop.h"

#include <windows.h>

#include <cstdio>

#include "system_library.h"

namespace {

// The process list of psapi.dll, taken from the system folder once and kept for the
// life of the process; a missing library or function fails the calls that need it.
struct Psapi {
  using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
  using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
  using GetModuleBaseNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

  Psapi()
      : module(LoadSystemLibrary("psapi.dll")),
        enumProcesses(LookUpFunction<EnumProcessesFn>(module, "EnumProcesses")),
        enumProcessModules(LookUpFunction<EnumProcessModulesFn>(module, "EnumProcessModules")),
        getModuleBaseName(LookUpFunction<GetModuleBaseNameFn>(module, "GetModuleBaseNameA")) {}

  HMODULE module;
  EnumProcessesFn enumProcesses;
  EnumProcessModulesFn enumProcessModules;
  GetModuleBaseNameFn getModuleBaseName;
};

const Psapi& PsapiFunctions() {
  static const Psapi psapi;
  return psapi;
}

HANDLE AsHandle(ProcessHandle process) { return reinterpret_cast<HANDLE>(process); }

// Query information, read memory (for the module name) and terminate.
constexpr DWORD PROCESS_ACCESS_FOR_TERMINATION = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;

}  // namespace

WindowHandle Win32Desktop::FindWindowByClass(const std::string& className) {
  return reinterpret_cast<WindowHandle>(FindWindowA(className.c_str(), nullptr));
}

void Win32Desktop::SendCloseMessage(WindowHandle window, std::uint32_t timeoutMilliseconds) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(reinterpret_cast<HWND>(window), WM_CLOSE, 0, 0, SMTO_NORMAL, timeoutMilliseconds, &result);
}

bool Win32Desktop::EventExists(const std::string& name) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
}

RegistryRead Win32Desktop::ReadDefaultValue(const std::string& keyPath, std::string& value) {
  value.clear();
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return RegistryRead::OpenFailed;
  }
  // The value's type is not examined: its bytes up to the first zero are the path.
  DWORD size = 0;
  RegistryRead result = RegistryRead::QueryFailed;
  if (RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    std::string buffer(size + 1, '\0');
    if (RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &size) == ERROR_SUCCESS) {
      value.assign(buffer.c_str());
      result = RegistryRead::Ok;
    }
  }
  RegCloseKey(key);
  return result;
}

#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record of a 32-bit process");
#endif

bool Win32Desktop::StartProcess(const std::string& commandLine) {
  std::string line = commandLine;  // the call may write into its command line
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

bool Win32Desktop::EnumerateProcessIds(std::vector<std::uint32_t>& ids, std::size_t capacity) {
  const Psapi& psapi = PsapiFunctions();
  if (psapi.enumProcesses == nullptr) return false;
  std::vector<DWORD> buffer(capacity);
  DWORD bytes = 0;
  if (!psapi.enumProcesses(buffer.data(), static_cast<DWORD>(capacity * sizeof(DWORD)), &bytes)) return false;
  buffer.resize(bytes / sizeof(DWORD));
  ids.assign(buffer.begin(), buffer.end());
  return true;
}

ProcessHandle Win32Desktop::OpenProcessForTermination(std::uint32_t processId) {
  return reinterpret_cast<ProcessHandle>(OpenProcess(PROCESS_ACCESS_FOR_TERMINATION, FALSE, processId));
}

bool Win32Desktop::ReadFirstModuleBaseName(ProcessHandle process, std::string& name) {
  const Psapi& psapi = PsapiFunctions();
  if (psapi.enumProcessModules == nullptr || psapi.getModuleBaseName == nullptr) return false;
  HMODULE module = nullptr;
  DWORD needed = 0;
  if (!psapi.enumProcessModules(AsHandle(process), &module, sizeof module, &needed)) return false;
  char buffer[MAX_PATH] = {};
  if (psapi.getModuleBaseName(AsHandle(process), module, buffer, MAX_PATH) == 0) return false;
  name = buffer;
  return true;
}

bool Win32Desktop::ReadExitCode(ProcessHandle process, std::uint32_t& exitCode) {
  DWORD code = 0;
  const bool ok = GetExitCodeProcess(AsHandle(process), &code) != 0;
  exitCode = code;
  return ok;
}

void Win32Desktop::TerminateWithExitCode(ProcessHandle process, std::uint32_t exitCode) {
  TerminateProcess(AsHandle(process), exitCode);
}

void Win32Desktop::CloseProcess(ProcessHandle process) { CloseHandle(AsHandle(process)); }

bool Win32Desktop::ReadEnvironmentVariable(const std::string& name, std::string& value) {
  const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return false;
  std::string buffer(size, '\0');
  const DWORD length = GetEnvironmentVariableA(name.c_str(), &buffer[0], size);
  if (length == 0 || length >= size) return false;
  value.assign(buffer.c_str(), length);
  return true;
}

bool Win32Desktop::EnterFolder(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

void Win32Desktop::RemoveFile(const std::string& name) { DeleteFileA(name.c_str()); }

void Win32Desktop::PrintText(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}
