// StartORVANE, what a Windows user double-clicks or drops the update image on. It
// checks the image with the transfer's own checks, makes a fresh working folder of its
// own under the temporary folder, which nobody else can plant files in, lays ORVANE.exe,
// Nalvex.exe and the image (as temp.dat) out there, runs ORVANE with that folder as
// its temporary and current folder, waits for it, then removes the folder and all in
// it. One launcher at a time. Paths go through the wide calls only, so any file the
// user can name is a file it can take.
#include <windows.h>
#include <commdlg.h>
#include <sddl.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/wizard_running.h"
#include "cfile.h"
#include "device_prep/image_check.h"
#include "device_prep/sync_control.h"
#include "device_prep/temp_files.h"
#include "engine/string_table.h"
#include "system_library.h"
#include "win32_desktop.h"

namespace {

// ORVANE.exe and Nalvex.exe, in a folder of their own beside the launcher: the top of
// the unpacked release shows only the launcher and the guide.
constexpr wchar_t PROGRAMS_FOLDER[] = L"files\\";
// A path as long as the wide calls take.
constexpr DWORD LONGEST_PATH = 32768;
// Held from the launcher's start until its ORVANE has ended: two launches at once would
// start two ORVANEs.
constexpr wchar_t LAUNCHER_RUNNING_MUTEX[] = L"ORVANE launcher is running";
// The launcher's first argument when it runs, as an administrator, only ORVANE in the
// working folder given as its second.
constexpr wchar_t RUN_IN_FOLDER[] = L"/run-in";
// The working folder's name: this and 16 random hexadecimal digits.
constexpr wchar_t WORK_FOLDER_PREFIX[] = L"ORVANE-";
// Fresh names tried while a folder of the name is there already.
constexpr int WORK_FOLDER_TRIES = 8;
// An anti-virus program may still hold ORVANE.exe a moment after ORVANE has ended.
constexpr int REMOVE_TRIES = 10;
constexpr DWORD REMOVE_PAUSE_MS = 200;

using Handle = std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)>;

#ifndef _WIN64
static_assert(sizeof(OPENFILENAMEW) == 88, "the Open dialog's record of a 32-bit process");
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "the shell's start record of a 32-bit process");
static_assert(sizeof(STARTUPINFOW) == 68, "the start-up record of a 32-bit process");
static_assert(sizeof(PROCESS_INFORMATION) == 16, "the process record of a 32-bit process");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "the security record of a 32-bit process");
static_assert(sizeof(OSVERSIONINFOW) == 276, "the version record the system expects");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "the file-search record of a 32-bit process");
#endif

std::wstring Widen(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
  wide.pop_back();  // the terminator
  return wide;
}

std::string Narrow(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

std::wstring Text(StringId id) { return Widen(LoadText(id)); }

void Tell(const std::wstring& text) {
  MessageBoxW(nullptr, text.c_str(), Text(IDS_LAUNCHER_CAPTION).c_str(), MB_OK | MB_ICONEXCLAMATION);
}

// The system's own words for an error, or its number where it has none.
std::wstring SystemReason(DWORD error) {
  LPWSTR text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring reason = length > 0 ? std::wstring(text, length) : std::to_wstring(error);
  LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' ')) {
    reason.pop_back();
  }
  return reason;
}

// What went wrong, the paths it concerns, and why.
void TellFailure(StringId what, const std::vector<std::wstring>& paths, const std::wstring& why) {
  std::wstring text = Text(what) + L"\n";
  for (const std::wstring& path : paths) text += L"\n    " + path;
  Tell(why.empty() ? text : text + L"\n\n" + why);
}

// The transfer's refusal of an image, with the image's path.
class RefusalBoxes : public MessageBoxes {
 public:
  explicit RefusalBoxes(const std::wstring& image) : image_(image) {}
  void ShowOk(const std::string& text) override {
    TellFailure(IDS_LAUNCHER_IMAGE_REFUSED, {image_}, Widen(text.c_str()));
  }

 private:
  const std::wstring& image_;
};

bool WizardRunning() {
  HANDLE running = OpenMutexA(SYNCHRONIZE, FALSE, WIZARD_RUNNING_MUTEX);
  if (running == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to open
  CloseHandle(running);
  return true;
}

// The launcher's arguments, without its own name. The shell's parser is loaded from the
// system folder only once the search order keeps planted libraries out.
std::vector<std::wstring> Arguments() {
  using CommandLineToArgvFn = LPWSTR*(WINAPI*)(LPCWSTR, int*);
  const auto parse = LookUpFunction<CommandLineToArgvFn>(LoadSystemLibrary("shell32.dll"), "CommandLineToArgvW");
  int count = 0;
  LPWSTR* words = parse != nullptr ? parse(GetCommandLineW(), &count) : nullptr;
  std::vector<std::wstring> arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(words[i]);
  LocalFree(words);
  return arguments;
}

// The image: the one argument (a file dropped on the launcher arrives as that), or else
// the file chosen in an Open dialog, which leaves the current folder as it is. False
// when there is none to take.
bool ImagePath(const std::vector<std::wstring>& arguments, std::wstring& path) {
  if (arguments.size() > 1) {
    Tell(Text(IDS_LAUNCHER_ONE_IMAGE));
    return false;
  }
  if (arguments.size() == 1) {
    path = arguments[0];
    return true;
  }
  using GetOpenFileNameFn = BOOL(WINAPI*)(OPENFILENAMEW*);
  const auto open = LookUpFunction<GetOpenFileNameFn>(LoadSystemLibrary("comdlg32.dll"), "GetOpenFileNameW");
  if (open == nullptr) return false;
  std::vector<wchar_t> chosen(LONGEST_PATH, L'\0');
  const std::wstring title = Text(IDS_LAUNCHER_OPEN_TITLE);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.lpstrFile = chosen.data();
  dialog.nMaxFile = LONGEST_PATH;
  dialog.lpstrTitle = title.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!open(&dialog)) return false;
  path = chosen.data();
  return true;
}

// True when the image opens and the transfer would send it; otherwise a box has said
// why not.
bool ImageUsable(const std::wstring& path) {
  CFile image;
  if (!image.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone)) {
    TellFailure(IDS_LAUNCHER_CANNOT_OPEN_IMAGE, {path}, SystemReason(GetLastError()));
    return false;
  }
  RefusalBoxes boxes(path);
  return ImageAccepted(image, boxes);
}

std::wstring Environment(const wchar_t* name) {
  std::vector<wchar_t> value(LONGEST_PATH, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), LONGEST_PATH);
  return length < LONGEST_PATH ? std::wstring(value.data(), length) : std::wstring();
}

// The launcher's own file.
std::wstring LauncherPath() {
  std::vector<wchar_t> file(LONGEST_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, file.data(), LONGEST_PATH);
  return std::wstring(file.data(), length < LONGEST_PATH ? length : 0);
}

// 16 hexadecimal digits from the system's random source; where that fails, from the
// clock and the process: the folder is made new in any case, never taken over.
std::wstring RandomDigits() {
  unsigned char bytes[8] = {};
  HCRYPTPROV provider = 0;
  const bool random = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
                      CryptGenRandom(provider, sizeof bytes, bytes);
  if (provider != 0) CryptReleaseContext(provider, 0);
  if (!random) {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::uint64_t mixed =
        static_cast<std::uint64_t>(counter.QuadPart) ^ (std::uint64_t{GetCurrentProcessId()} << 32);
    std::memcpy(bytes, &mixed, sizeof bytes);
  }
  std::wstring digits;
  for (unsigned char byte : bytes) {
    digits += L"0123456789abcdef"[byte >> 4];
    digits += L"0123456789abcdef"[byte & 15];
  }
  return digits;
}

// The security of the working folder, for its user and the administrators only; null
// when it cannot be made, and then the folder is not made either.
std::unique_ptr<void, HLOCAL(WINAPI*)(HLOCAL)> PrivateFolderSecurity() {
  std::unique_ptr<void, HLOCAL(WINAPI*)(HLOCAL)> descriptor(nullptr, &LocalFree);
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return descriptor;
  const Handle owned(token, &CloseHandle);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  LPWSTR sid = nullptr;
  if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    return descriptor;
  }
  // Full control for the user, and for the administrators when elevated; nothing
  // inherited from the temporary folder, which others may write.
  const std::wstring access = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")(A;OICI;FA;;;BA)";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR made = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(access.c_str(), SDDL_REVISION_1, &made, nullptr)) {
    descriptor.reset(made);
  }
  return descriptor;
}

// Makes a fresh folder of a random name in the temporary folder, which only its user
// can write where the file system keeps such rights; false, once a box has said why,
// when none can be made.
bool MakeWorkFolder(const std::wstring& temp, std::wstring& folder) {
  const auto descriptor = PrivateFolderSecurity();
  DWORD error = GetLastError();
  folder = temp;
  for (int i = 0; descriptor && i < WORK_FOLDER_TRIES; ++i) {
    folder = temp + WORK_FOLDER_PREFIX + RandomDigits();
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    if (CreateDirectoryW(folder.c_str(), &security)) return true;
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) break;
  }
  TellFailure(IDS_LAUNCHER_FOLDER_NOT_MADE, {folder}, SystemReason(error));
  return false;
}

// The working folder as ORVANE can take it: ORVANE reads its temporary folder through
// the system's ANSI calls and puts its working files' names after it within the
// classic path length. Its short form where the long one cannot be spelled so; empty
// when neither can.
std::wstring WizardForm(const std::wstring& folder) {
  const auto usable = [](const std::wstring& path) {
    // The staging file's is the longest of the working files' names.
    return !path.empty() && Widen(Narrow(path).c_str()) == path &&
           path.size() + 1 + std::strlen(STAGING_FILE_NAME) < MAX_PATH;
  };
  if (usable(folder)) return folder;
  std::vector<wchar_t> shortPath(LONGEST_PATH, L'\0');
  const DWORD length = GetShortPathNameW(folder.c_str(), shortPath.data(), LONGEST_PATH);
  const std::wstring shortened(shortPath.data(), length < LONGEST_PATH ? length : 0);
  return usable(shortened) ? shortened : std::wstring();
}

// A copy keeps the read-only attribute of its source (an image from a CD), and ORVANE's
// clean-up could not delete it.
void MakeWritable(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
}

struct Placing {
  std::wstring source;
  const char* name;  // in the working folder
};

// Copies each file into the folder, never read-only; false, once a box has named the
// file and the system's reason, when one fails.
bool Place(const std::vector<Placing>& files, const std::wstring& folder) {
  for (const Placing& file : files) {
    const std::wstring target = folder + L"\\" + Widen(file.name);
    if (!CopyFileW(file.source.c_str(), target.c_str(), TRUE)) {
      TellFailure(IDS_LAUNCHER_COPY_FAILED, {file.source, folder}, SystemReason(GetLastError()));
      return false;
    }
    MakeWritable(target);
  }
  return true;
}

// Removes the folder and every file in it, waiting a moment for a file still held;
// true when nothing of it is left.
bool RemoveWorkFolder(const std::wstring& folder) {
  for (int attempt = 0; attempt < REMOVE_TRIES; ++attempt) {
    if (attempt > 0) Sleep(REMOVE_PAUSE_MS);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    if (RemoveDirectoryW(folder.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
  }
  return false;
}

// Runs ORVANE from the folder, which is its current folder and, through TEMP and TMP,
// its temporary one, until it ends; false, once a box has said why, when it cannot be
// started.
bool RunWizard(const std::wstring& folder, DWORD& exitCode) {
  const std::wstring program = folder + L"\\" + Widen(WIZARD_FILE_NAME);
  std::wstring commandLine = L"\"" + program + L"\"";
  SetEnvironmentVariableW(L"TEMP", folder.c_str());
  SetEnvironmentVariableW(L"TMP", folder.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                      &process)) {
    TellFailure(IDS_LAUNCHER_START_FAILED, {program}, SystemReason(GetLastError()));
    return false;
  }
  CloseHandle(process.hThread);
  // The wizard ends when its user ends it; the wait has no bound of its own.
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  return true;
}

// On Windows Vista and later, stopping the sync software's services needs an
// administrator; on Windows 2000 and XP the sync software has none.
bool ElevationWanted() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version) || version.dwMajorVersion < 6) return false;
  Win32Desktop desktop;
  if (!SyncServiceRuns(desktop)) return false;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const Handle owned(token, &CloseHandle);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated == 0;
}

// Runs ORVANE as an administrator, the user asked once: the launcher starts again,
// elevated, to run it in the folder (a program started elevated gets a fresh
// environment, not its starter's, so ORVANE could not be handed its TEMP directly).
// False when it did not run: the user said no, or the system cannot elevate.
bool RunElevated(const std::wstring& folder, DWORD& exitCode) {
  using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  const auto execute = LookUpFunction<ShellExecuteExFn>(LoadSystemLibrary("shell32.dll"), "ShellExecuteExW");
  const std::wstring self = LauncherPath();
  const std::wstring parameters = std::wstring(RUN_IN_FOLDER) + L" \"" + folder + L"\"";
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  run.lpVerb = L"runas";
  run.lpFile = self.c_str();
  run.lpParameters = parameters.c_str();
  run.lpDirectory = folder.c_str();
  run.nShow = SW_SHOWNORMAL;
  if (execute == nullptr || !execute(&run) || run.hProcess == nullptr) return false;
  WaitForSingleObject(run.hProcess, INFINITE);  // as long as ORVANE runs
  GetExitCodeProcess(run.hProcess, &exitCode);
  CloseHandle(run.hProcess);
  return true;
}

int Launch() {
  const Handle launcher(CreateMutexW(nullptr, FALSE, LAUNCHER_RUNNING_MUTEX), &CloseHandle);
  const bool anotherLauncher = HeldElsewhere(launcher.get());
  const std::vector<std::wstring> arguments = Arguments();
  if (arguments.size() == 2 && arguments[0] == RUN_IN_FOLDER) {
    // Started by a launcher that holds the mutex and has laid the folder out.
    DWORD code = 1;
    return RunWizard(arguments[1], code) ? static_cast<int>(code) : 1;
  }
  if (anotherLauncher || WizardRunning()) {
    Tell(Text(IDS_LAUNCHER_ALREADY_RUNNING));
    return 1;
  }
  std::wstring image;
  if (!ImagePath(arguments, image) || !ImageUsable(image)) return 1;
  std::wstring temp = Environment(L"TEMP");
  if (temp.empty()) {
    Tell(Text(IDS_LAUNCHER_NO_TEMP));
    return 1;
  }
  if (temp.back() != L'\\') temp += L'\\';
  std::wstring folder;
  if (!MakeWorkFolder(temp, folder)) return 1;

  const std::wstring launcherPath = LauncherPath();
  const std::wstring programs = launcherPath.substr(0, launcherPath.find_last_of(L'\\') + 1) + PROGRAMS_FOLDER;
  const std::wstring wizardFolder = WizardForm(folder);
  DWORD code = 1;
  bool ran = false;
  if (wizardFolder.empty()) {
    TellFailure(IDS_LAUNCHER_FOLDER_UNUSABLE, {folder}, L"");
  } else if (Place({{programs + Widen(WIZARD_FILE_NAME), WIZARD_FILE_NAME},
                    {programs + Widen(HELPER_FILE_NAME), HELPER_FILE_NAME},
                    {image, IMAGE_FILE_NAME}},
                   folder)) {
    ran = (ElevationWanted() && RunElevated(wizardFolder, code)) || RunWizard(wizardFolder, code);
  }
  if (!RemoveWorkFolder(folder)) TellFailure(IDS_LAUNCHER_FOLDER_LEFT, {folder}, SystemReason(GetLastError()));
  return ran ? static_cast<int>(code) : 1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  SetLibrarySearchOrder();
  return Launch();
}
