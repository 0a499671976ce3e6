#include "win32_desktop.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "system_library.h"

namespace {

// The process list of psapi.dll, taken from the system folder once and kept for the
// life of the process; a missing library or function fails the calls that need it.
struct Psapi {
  using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
  using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
  using GetModuleBaseNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
  using GetProcessImageFileNameFn = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD);

  Psapi()
      : module(LoadSystemLibrary("psapi.dll")),
        enumProcesses(LookUpFunction<EnumProcessesFn>(module, "EnumProcesses")),
        enumProcessModules(LookUpFunction<EnumProcessModulesFn>(module, "EnumProcessModules")),
        getModuleBaseName(LookUpFunction<GetModuleBaseNameFn>(module, "GetModuleBaseNameA")),
        getProcessImageFileName(LookUpFunction<GetProcessImageFileNameFn>(module, "GetProcessImageFileNameA")) {}

  HMODULE module;
  EnumProcessesFn enumProcesses;
  EnumProcessModulesFn enumProcessModules;
  GetModuleBaseNameFn getModuleBaseName;
  GetProcessImageFileNameFn getProcessImageFileName;  // Windows XP and later
};

const Psapi& PsapiFunctions() {
  static const Psapi psapi;
  return psapi;
}

HANDLE AsHandle(ProcessHandle process) { return reinterpret_cast<HANDLE>(process); }

// Query information, read memory (for the module name) and terminate.
constexpr DWORD PROCESS_ACCESS_FOR_TERMINATION = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE;
// How often a service that is stopping is looked at.
constexpr DWORD SERVICE_POLL_MS = 100;

using ServiceHandle = std::unique_ptr<SC_HANDLE__, BOOL(WINAPI*)(SC_HANDLE)>;

ServiceHandle OpenNamedService(SC_HANDLE manager, const std::string& name, DWORD access) {
  return ServiceHandle(OpenServiceA(manager, name.c_str(), access), &CloseServiceHandle);
}

bool Runs(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// The user's own environment, as the shell gives it to a program it starts; null, for
// this process's own, where it cannot be had. Freed with DestroyEnvironmentBlock.
struct UserEnvironment {
  using CreateFn = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
  using DestroyFn = BOOL(WINAPI*)(LPVOID);

  UserEnvironment() {
    const HMODULE userenv = LoadSystemLibrary("userenv.dll");
    const auto create = LookUpFunction<CreateFn>(userenv, "CreateEnvironmentBlock");
    destroy = LookUpFunction<DestroyFn>(userenv, "DestroyEnvironmentBlock");
    HANDLE token = nullptr;
    if (create == nullptr || destroy == nullptr ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
      return;
    }
    if (!create(&block, token, FALSE)) block = nullptr;
    CloseHandle(token);
  }
  ~UserEnvironment() {
    if (block != nullptr) destroy(block);
  }
  UserEnvironment(const UserEnvironment&) = delete;
  UserEnvironment& operator=(const UserEnvironment&) = delete;

  LPVOID block = nullptr;  // wide strings
  DestroyFn destroy = nullptr;
};

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
static_assert(sizeof(PROCESS_INFORMATION) == 16, "the process record of a 32-bit process");
static_assert(sizeof(SERVICE_STATUS) == 28, "the service status record");
#endif

bool Win32Desktop::StartProcess(const std::string& commandLine) {
  std::string line = commandLine;  // the call may write into its command line
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // The wizard's temporary folder may be the launcher's private one, which is removed
  // when the wizard ends: a program that lives on (the sync software) gets neither it
  // as its current folder nor as its own temporary folder.
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  const UserEnvironment environment;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE,
                      environment.block != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0, environment.block,
                      length > 0 && length < MAX_PATH ? folder : nullptr, &startup, &info)) {
    return false;
  }
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
  char buffer[MAX_PATH] = {};
  if (psapi.enumProcessModules(AsHandle(process), &module, sizeof module, &needed)) {
    if (psapi.getModuleBaseName(AsHandle(process), module, buffer, MAX_PATH) == 0) return false;
    name = buffer;
    return true;
  }
  // A 32-bit program cannot list the modules of a 64-bit one, which the sync software
  // of 64-bit Windows is; the name of its program file tells the same.
  if (psapi.getProcessImageFileName == nullptr) return false;
  const DWORD length = psapi.getProcessImageFileName(AsHandle(process), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string path(buffer, length);
  name = path.substr(path.find_last_of('\\') + 1);
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

bool Win32Desktop::ServiceRuns(const std::string& name) {
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) return false;
  const ServiceHandle service = OpenNamedService(manager.get(), name, SERVICE_QUERY_STATUS);
  return service && Runs(service.get());
}

ServiceStop Win32Desktop::StopServiceWithin(const std::string& name, std::uint32_t timeoutMilliseconds) {
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) return ServiceStop::NotRunning;
  const ServiceHandle service = OpenNamedService(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) {
    // Not installed; or a user who may look at it but not stop it.
    if (GetLastError() != ERROR_ACCESS_DENIED) return ServiceStop::NotRunning;
    const ServiceHandle looked = OpenNamedService(manager.get(), name, SERVICE_QUERY_STATUS);
    return looked && Runs(looked.get()) ? ServiceStop::Refused : ServiceStop::NotRunning;
  }
  if (!Runs(service.get())) return ServiceStop::NotRunning;
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    switch (GetLastError()) {
      case ERROR_SERVICE_NOT_ACTIVE:
        return ServiceStop::NotRunning;
      case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        break;  // starting or stopping already: its end is waited for
      default:
        return ServiceStop::Refused;  // takes no stop, or services that need it run
    }
  }
  const DWORD start = GetTickCount();
  while (Runs(service.get())) {
    if (GetTickCount() - start >= timeoutMilliseconds) return ServiceStop::StillRunning;
    Sleep(SERVICE_POLL_MS);
  }
  return ServiceStop::Stopped;
}

bool Win32Desktop::StartServiceAgain(const std::string& name) {
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) return false;
  const ServiceHandle service = OpenNamedService(manager.get(), name, SERVICE_START);
  return service && StartServiceA(service.get(), 0, nullptr);
}

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

bool Win32Desktop::RemoveStaleFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  // Read-only refuses a delete; hidden refuses the transfer's create.
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path.c_str()) != 0;
}

void Win32Desktop::PrintText(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}
