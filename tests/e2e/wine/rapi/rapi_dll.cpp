// The device's side of RAPI for the wine tests: a stand-in RAPI.dll, never shipped.
// It exports the calls the wizard looks up, stdcall and under their plain names, and
// plays a device whose files live in a folder of the wine prefix. Like the real
// library it takes one connection per process: a start-up before the last one has
// been ended is refused (0x80041001, already initialised).
//
// Set through the environment of the process that loads it:
//   ORVANE_RAPI_DEVICE    the device's root folder
//   ORVANE_RAPI_LOG       every call is appended to this file, one line each
//   ORVANE_RAPI_FAULTS    blank-separated faults:
//                           refuse           CeRapiInitEx fails
//                           timeout          the start-up event is never signalled
//                           abandoned        the start-up event is an abandoned mutex
//                           no-file          CeCreateFile fails
//                           fail-write:N     the Nth write of the process fails
//                           short-write:N:K  the Nth write stores and reports only K bytes
//   ORVANE_RAPI_NALVEX    the built Nalvex.exe
//   ORVANE_RAPI_TRIGGER   made when the device is asked to start "Nalvex.exe" and its
//                         copy on the device equals the built one: the device then
//                         restarts into its downloader
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RAPIINIT {
  DWORD cbSize;
  HANDLE heRapiInit;
  HRESULT hrRapiInit;
};

std::string Env(const char* name) {
  char buffer[1024];
  const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

void Log(const char* format, ...) {
  const std::string path = Env("ORVANE_RAPI_LOG");
  if (path.empty()) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  // Opened per line, so that the log is whole whenever the process ends.
  if (FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
  }
}

bool HasFault(const std::string& fault) {
  std::istringstream faults(Env("ORVANE_RAPI_FAULTS"));
  std::string word;
  while (faults >> word) {
    if (word == fault) return true;
  }
  return false;
}

// Whether a fault "NAME:N" or "NAME:N:K" names this write; value receives K (0 without).
bool WriteFault(const char* name, unsigned write, unsigned& value) {
  std::istringstream faults(Env("ORVANE_RAPI_FAULTS"));
  std::string word;
  const std::string prefix = std::string(name) + ":";
  while (faults >> word) {
    if (word.compare(0, prefix.size(), prefix) != 0) continue;
    unsigned n = 0;
    unsigned k = 0;
    if (std::sscanf(word.c_str() + prefix.size(), "%u:%u", &n, &k) >= 1 && n == write) {
      value = k;
      return true;
    }
  }
  return false;
}

std::string Narrow(LPCWSTR text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A device name without its leading backslash: the device's root folder is the default.
LPCWSTR InRoot(LPCWSTR name) { return name != nullptr && *name == L'\\' ? name + 1 : name; }

std::wstring DevicePath(LPCWSTR name) { return Widen(Env("ORVANE_RAPI_DEVICE")) + L"\\" + InRoot(name); }

bool ReadWhole(const std::wstring& path, std::vector<char>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  CloseHandle(file);
  return ok;
}

DWORD WINAPI TakeAndKeep(LPVOID mutex) { return WaitForSingleObject(mutex, INFINITE); }

// Begun by a start-up that succeeded and not yet ended: the library takes one
// connection per process and refuses a second start-up until then.
bool initialised = false;
bool connected = false;  // the device answered the start-up
unsigned writes = 0;

constexpr HRESULT ALREADY_INITIALISED = static_cast<HRESULT>(0x80041001);

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT WINAPI CeRapiInitEx(RAPIINIT* init) {
  if (initialised) {
    Log("CeRapiInitEx cbSize=%lu -> already initialised", init->cbSize);
    return ALREADY_INITIALISED;
  }
  if (HasFault("refuse")) {
    Log("CeRapiInitEx cbSize=%lu -> refused", init->cbSize);
    return E_FAIL;
  }
  const char* kind = "signalled";
  if (HasFault("timeout")) {
    init->heRapiInit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    kind = "never signalled";
  } else if (HasFault("abandoned")) {
    // A mutex whose owner ends without releasing it: the wait reports it abandoned.
    init->heRapiInit = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE owner = CreateThread(nullptr, 0, TakeAndKeep, init->heRapiInit, 0, nullptr);
    WaitForSingleObject(owner, INFINITE);
    CloseHandle(owner);
    kind = "abandoned";
  } else {
    init->heRapiInit = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    connected = true;
  }
  init->hrRapiInit = S_OK;
  initialised = true;
  Log("CeRapiInitEx cbSize=%lu -> S_OK, event %s", init->cbSize, kind);
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI CeRapiUninit() {
  Log("CeRapiUninit");
  initialised = false;
  connected = false;
  return S_OK;
}

__declspec(dllexport) HANDLE WINAPI CeCreateFile(LPCWSTR name, DWORD access, DWORD share,
                                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                                 HANDLE templateFile) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (connected && !HasFault("no-file") && security == nullptr && templateFile == nullptr) {
    file = CreateFileW(DevicePath(name).c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
  Log("CeCreateFile %s access=%lx share=%lu disposition=%lu flags=%lx%s -> %s", Narrow(name).c_str(), access, share,
      disposition, flags, connected ? "" : " (not connected)", file == INVALID_HANDLE_VALUE ? "failed" : "opened");
  return file;
}

__declspec(dllexport) BOOL WINAPI CeWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                                              LPOVERLAPPED overlapped) {
  ++writes;
  unsigned shortCount = 0;
  DWORD done = 0;
  BOOL ok = FALSE;
  if (connected && overlapped == nullptr && !WriteFault("fail-write", writes, shortCount)) {
    const bool cut = WriteFault("short-write", writes, shortCount) && shortCount < count;
    ok = WriteFile(file, data, cut ? shortCount : count, &done, nullptr);
  }
  *written = done;
  Log("CeWriteFile %lu -> %s written=%lu", count, ok ? "ok" : "failed", done);
  return ok;
}

__declspec(dllexport) BOOL WINAPI CeCloseHandle(HANDLE handle) {
  Log("CeCloseHandle");
  return CloseHandle(handle);
}

__declspec(dllexport) BOOL WINAPI CeCreateProcess(LPCWSTR name, LPCWSTR commandLine,
                                                  LPSECURITY_ATTRIBUTES processAttributes,
                                                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags,
                                                  LPVOID environment, LPWSTR folder, LPSTARTUPINFOW startup,
                                                  LPPROCESS_INFORMATION info) {
  const bool plain = commandLine == nullptr && processAttributes == nullptr && threadAttributes == nullptr &&
                     !inherit && flags == 0 && environment == nullptr && folder == nullptr && startup == nullptr &&
                     info != nullptr;
  std::vector<char> program;
  const bool present = connected && ReadWhole(DevicePath(name), program);
  const char* outcome = !connected ? "not connected" : present ? "started" : "no such program";

  std::vector<char> built;
  const std::string nalvex = Env("ORVANE_RAPI_NALVEX");
  if (present && lstrcmpiW(InRoot(name), L"Nalvex.exe") == 0 && !nalvex.empty() && ReadWhole(Widen(nalvex), built) &&
      built == program) {
    outcome = "started, the device restarts into its downloader";
    const std::string trigger = Env("ORVANE_RAPI_TRIGGER");
    HANDLE marker = CreateFileA(trigger.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  if (present && info != nullptr) {
    // Handles of the device's process: the PC never uses them.
    info->hProcess = reinterpret_cast<HANDLE>(0x1000);
    info->hThread = reinterpret_cast<HANDLE>(0x1004);
    info->dwProcessId = 0x2000;
    info->dwThreadId = 0x2004;
  }
  Log("CeCreateProcess %s%s -> %s", Narrow(name).c_str(), plain ? "" : " (unexpected arguments)", outcome);
  return present ? TRUE : FALSE;
}

}  // extern "C"

// A library unloaded while a connection is open would cut that connection: the log
// shows whether that happens.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    Log("unloaded%s", initialised ? " with a connection open" : "");
  }
  return TRUE;
}
