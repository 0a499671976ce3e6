// StartORVANE, what a Windows user double-clicks or drops the update image on. It
// checks the image with the transfer's own checks, lays ORVANE.exe, Nalvex.exe and the
// image (as temp.dat) out in the temporary folder where ORVANE expects them, runs
// ORVANE there and waits for it, then deletes the copy of ORVANE.exe, which ORVANE
// cannot delete while it runs; ORVANE's own clean-up decides about the rest. Paths go
// through the wide calls only, so any file the user can name is a file it can take.
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/wizard_running.h"
#include "cfile.h"
#include "device_prep/image_check.h"
#include "device_prep/temp_files.h"
#include "engine/string_table.h"

namespace {

// ORVANE.exe and Nalvex.exe, in a folder of their own beside the launcher: the top of
// the unpacked release shows only the launcher and the guide.
constexpr wchar_t PROGRAMS_FOLDER[] = L"files\\";
// A path as long as the wide calls take.
constexpr DWORD LONGEST_PATH = 32768;

std::wstring Widen(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
  wide.pop_back();  // the terminator
  return wide;
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
  Tell(text + L"\n\n" + why);
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

// The image: the one argument (a file dropped on the launcher arrives as that), or else
// the file chosen in an Open dialog. False when there is none to take.
bool ImagePath(std::wstring& path) {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(CommandLineToArgvW(GetCommandLineW(), &count),
                                                                 &LocalFree);
  const int given = arguments ? count - 1 : 0;
  if (given > 1) {
    Tell(Text(IDS_LAUNCHER_ONE_IMAGE));
    return false;
  }
  if (given == 1) {
    path = arguments.get()[1];
    return true;
  }
  std::vector<wchar_t> chosen(LONGEST_PATH, L'\0');
  const std::wstring title = Text(IDS_LAUNCHER_OPEN_TITLE);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.lpstrFile = chosen.data();
  dialog.nMaxFile = LONGEST_PATH;
  dialog.lpstrTitle = title.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetOpenFileNameW(&dialog)) return false;
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

// The folder of the launcher's own file, with its closing backslash.
std::wstring LauncherFolder() {
  std::vector<wchar_t> file(LONGEST_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, file.data(), LONGEST_PATH);
  const std::wstring path(file.data(), length < LONGEST_PATH ? length : 0);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

// A file with the read-only attribute (an image from a CD, or a copy of one left from
// an earlier run) can be neither replaced nor deleted by the clean-up.
void MakeWritable(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
}

struct Placing {
  std::wstring source;
  std::wstring target;
};

// Copies each file to its place, never read-only; false, once a box has named the file
// and the system's reason, when one fails, and then none of them stays.
bool Place(const std::vector<Placing>& files, const std::wstring& folder) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    MakeWritable(files[i].target);
    if (!CopyFileW(files[i].source.c_str(), files[i].target.c_str(), FALSE)) {
      const DWORD error = GetLastError();
      for (std::size_t j = 0; j < i; ++j) DeleteFileW(files[j].target.c_str());
      TellFailure(IDS_LAUNCHER_COPY_FAILED, {files[i].source, folder}, SystemReason(error));
      return false;
    }
    MakeWritable(files[i].target);
  }
  return true;
}

// Runs ORVANE from the temporary folder, which is also its current one, until it ends;
// false, once a box has said why, when it cannot be started.
bool RunWizard(const std::wstring& program, const std::wstring& folder, DWORD& exitCode) {
  std::wstring commandLine = L"\"" + program + L"\"";
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

int Launch() {
  if (WizardRunning()) {
    Tell(Text(IDS_LAUNCHER_ALREADY_RUNNING));
    return 1;
  }
  std::wstring image;
  if (!ImagePath(image) || !ImageUsable(image)) return 1;
  std::wstring temp = Environment(L"TEMP");
  if (temp.empty()) {
    Tell(Text(IDS_LAUNCHER_NO_TEMP));
    return 1;
  }
  if (temp.back() != L'\\') temp += L'\\';
  const std::wstring programs = LauncherFolder() + PROGRAMS_FOLDER;
  const std::wstring wizard = temp + Widen(WIZARD_FILE_NAME);
  // ORVANE.exe first: an ORVANE started meanwhile holds its file, so the copying stops
  // before it reaches the image that ORVANE may be sending.
  const std::vector<Placing> files = {{programs + Widen(WIZARD_FILE_NAME), wizard},
                                      {programs + Widen(HELPER_FILE_NAME), temp + Widen(HELPER_FILE_NAME)},
                                      {image, temp + Widen(IMAGE_FILE_NAME)}};
  if (!Place(files, temp)) return 1;
  DWORD code = 0;
  if (!RunWizard(wizard, temp, code)) {
    for (const Placing& file : files) DeleteFileW(file.target.c_str());
    return 1;
  }
  DeleteFileW(wizard.c_str());
  return static_cast<int>(code);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return Launch(); }
