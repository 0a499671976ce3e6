// Drives a program under test from the same wine prefix: finds its windows, reads
// texts, states and rich-text formats, presses buttons and answers message boxes.
// Reads one command per line on standard input (fields separated by tabs) and
// answers each with one line: "ok[\tVALUE...]" or "err\tMESSAGE". Texts travel
// hex-encoded. Window handles are hex numbers.
//
//   find CLASS CAPTION TIMEOUT_MS [SKIP...]
//                                   a visible top-level window ("*": any class or
//                                   caption), other than the windows to skip
//   gone HWND TIMEOUT_MS            waits until the window is gone or hidden
//   child HWND ID                   a dialog control by id
//   text HWND                       the window text (WM_GETTEXT)
//   settext HWND TEXT               sets the window text (WM_SETTEXT) to TEXT, UTF-8
//                                   hex-encoded, as wide characters
//   state HWND                      "visible enabled" as two 0/1 flags
//   style HWND                      style and extended style
//   owner HWND                      the window's owner (0: none)
//   click HWND                      posts BM_CLICK; refused when the button is disabled
//   post HWND MSG WPARAM LPARAM     posts a message (numbers in hex)
//   send HWND MSG WPARAM LPARAM     sends a message; its result (hex)
//   charformat HWND START END       the CHARFORMAT of a selection of a rich-edit
//                                   control: mask effects height colour
//   readmem HWND RVA SIZE           bytes of the window's process at the module-relative
//                                   address (hex)
//   waitenabled HWND TIMEOUT_MS     waits until the window is enabled; the milliseconds
//                                   it took
//   record CAPTION TIMEOUT_MS       in the background, waits for a visible dialog with
//                                   that caption and watches it, a look every few
//                                   milliseconds until it is gone: its caption, the
//                                   texts of edits 1023 and 1009, the positions and
//                                   upper ends of bars 1021 and 1007
//   recorded TIMEOUT_MS             waits until the page watched is gone; what was seen,
//                                   each of the seven as a comma-separated list of the
//                                   values in the order they came (a value once for each
//                                   run of it; texts hex-encoded)
//   quit
#include <windows.h>

#include <commctrl.h>
#include <psapi.h>
#include <richedit.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string HandleText(HWND hwnd) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)));
  return buffer;
}

HWND ParseHandle(const std::string& text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(text.c_str(), nullptr, 16)));
}

UINT_PTR ParseHex(const std::string& text) { return static_cast<UINT_PTR>(std::strtoull(text.c_str(), nullptr, 16)); }

std::string ClassOf(HWND hwnd) {
  char name[256] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

std::string TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return "";
  // The text may grow between the two messages: a text that fills the buffer may have
  // been cut, and is read again into a larger one.
  for (std::size_t size = length + 2;; size *= 2) {
    std::vector<char> buffer(size);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                             &got)) {
      return "";
    }
    if (got + 1 < size) return std::string(buffer.data(), got);
  }
}

struct Search {
  std::string className;
  std::string caption;
  std::vector<HWND> skip;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  if (!IsWindowVisible(hwnd)) return TRUE;
  for (HWND skipped : search->skip)
    if (hwnd == skipped) return TRUE;
  if (search->className != "*" && ClassOf(hwnd) != search->className) return TRUE;
  if (search->caption != "*" && TextOf(hwnd) != search->caption) return TRUE;
  search->found = hwnd;
  return FALSE;
}

HWND FindVisible(const std::string& className, const std::string& caption, const std::vector<HWND>& skip,
                 DWORD timeout, DWORD interval = 50) {
  const DWORD start = GetTickCount();
  for (;;) {
    Search search{className, caption, skip, nullptr};
    EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found || GetTickCount() - start > timeout) return search.found;
    Sleep(interval);
  }
}

// The process of a window, opened for memory access.
HANDLE OpenWindowProcess(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION, FALSE,
                     pid);
}

// The selection's format, read through a record placed in the control's own process:
// the message carries a pointer that must be valid there.
std::string CharFormat(HWND pane, long start, long end) {
  HANDLE process = OpenWindowProcess(pane);
  if (!process) return "err\topen process";
  void* remote = VirtualAllocEx(process, nullptr, sizeof(CHARFORMATA), MEM_COMMIT, PAGE_READWRITE);
  CHARFORMATA format = {};
  format.cbSize = sizeof(format);
  std::string answer = "err\tremote memory";
  if (remote && WriteProcessMemory(process, remote, &format, sizeof(format), nullptr)) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(pane, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end), SMTO_ABORTIFHUNG, 5000,
                        &ignored);
    DWORD_PTR mask = 0;
    SendMessageTimeoutA(pane, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG,
                        5000, &mask);
    if (ReadProcessMemory(process, remote, &format, sizeof(format), nullptr)) {
      std::ostringstream out;
      out << "ok\t" << std::hex << format.dwMask << "\t" << format.dwEffects << "\t" << std::dec << format.yHeight
          << "\t" << std::hex << format.crTextColor;
      answer = out.str();
    }
  }
  if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return answer;
}

std::string ReadMemory(HWND hwnd, UINT_PTR rva, std::size_t size) {
  HANDLE process = OpenWindowProcess(hwnd);
  if (!process) return "err\topen process";
  HMODULE first = nullptr;
  DWORD needed = 0;
  std::string answer = "err\tmodules";
  if (EnumProcessModules(process, &first, sizeof(first), &needed)) {
    std::string bytes(size, '\0');
    SIZE_T got = 0;
    if (ReadProcessMemory(process, reinterpret_cast<char*>(first) + rva, &bytes[0], size, &got) && got == size)
      answer = "ok\t" + Hex(bytes);
    else
      answer = "err\tread";
  }
  CloseHandle(process);
  return answer;
}

// What the background watch of a progress page saw.
struct Recording {
  std::string caption;
  DWORD timeout = 0;
  bool found = false;
  std::vector<std::string> seen[7];
};

Recording recording;
HANDLE recorder = nullptr;

void Note(std::vector<std::string>& values, const std::string& value) {
  if (values.empty() || values.back() != value) values.push_back(value);
}

// One look at the page; false when the page no longer answers.
bool Look(HWND window, UINT message, WPARAM wParam, std::string& value) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wParam, 0, SMTO_ABORTIFHUNG, 5000, &result)) return false;
  value = std::to_string(static_cast<int>(result));
  return true;
}

DWORD WINAPI Record(LPVOID) {
  HWND page = FindVisible("#32770", recording.caption, {}, recording.timeout, 2);
  recording.found = page != nullptr;
  const int edits[] = {1023, 1009};
  const int bars[] = {1021, 1007};
  // Each look is taken whole or not at all, so the end of the page adds no false values.
  while (page && IsWindowVisible(page)) {
    std::string look[7];
    bool whole = !(look[0] = TextOf(page)).empty();
    for (int i = 0; i < 2 && whole; ++i) {
      look[1 + i] = TextOf(GetDlgItem(page, edits[i]));
      HWND bar = GetDlgItem(page, bars[i]);
      whole = Look(bar, PBM_GETPOS, 0, look[3 + 2 * i]) && Look(bar, PBM_GETRANGE, FALSE, look[4 + 2 * i]);
    }
    if (whole && IsWindowVisible(page)) {
      for (int i = 0; i < 3; ++i) Note(recording.seen[i], Hex(look[i]));
      for (int i = 3; i < 7; ++i) Note(recording.seen[i], look[i]);
    }
    Sleep(2);
  }
  return 0;
}

std::string Recorded(DWORD timeout) {
  if (!recorder) return "err\tnothing recorded";
  const DWORD waited = WaitForSingleObject(recorder, timeout);
  if (waited != WAIT_OBJECT_0) return "err\tthe page is still there";
  CloseHandle(recorder);
  recorder = nullptr;
  if (!recording.found) return "err\tthe page never came";
  std::string answer = "ok";
  for (const std::vector<std::string>& values : recording.seen) {
    std::string list;
    for (const std::string& value : values) list += (list.empty() ? "" : ",") + value;
    answer += "\t" + list;
  }
  return answer;
}

std::string Run(const std::vector<std::string>& f) {
  const std::string& cmd = f[0];
  if (cmd == "find" && f.size() >= 4) {
    std::vector<HWND> skip;
    for (std::size_t i = 4; i < f.size(); ++i) skip.push_back(ParseHandle(f[i]));
    HWND hwnd = FindVisible(f[1], f[2], skip, static_cast<DWORD>(std::atol(f[3].c_str())));
    return hwnd ? "ok\t" + HandleText(hwnd) : "err\tnot found";
  }
  if (cmd == "gone" && f.size() == 3) {
    HWND hwnd = ParseHandle(f[1]);
    const DWORD start = GetTickCount();
    while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
      if (GetTickCount() - start > static_cast<DWORD>(std::atol(f[2].c_str()))) return "err\tstill there";
      Sleep(50);
    }
    return "ok";
  }
  if (cmd == "child" && f.size() == 3) {
    HWND child = GetDlgItem(ParseHandle(f[1]), std::atoi(f[2].c_str()));
    return child ? "ok\t" + HandleText(child) : "err\tno such control";
  }
  if (cmd == "text" && f.size() == 2) return "ok\t" + Hex(TextOf(ParseHandle(f[1])));
  if (cmd == "settext" && f.size() == 3) {
    std::string utf8;
    for (std::size_t i = 0; i + 1 < f[2].size(); i += 2) {
      utf8 += static_cast<char>(std::strtoul(f[2].substr(i, 2).c_str(), nullptr, 16));
    }
    std::wstring wide(utf8.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    if (length <= 0) return "err\tnot UTF-8";
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(ParseHandle(f[1]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                               SMTO_ABORTIFHUNG, 5000, &result)
               ? "ok"
               : "err\tsend";
  }
  if (cmd == "state" && f.size() == 2) {
    HWND hwnd = ParseHandle(f[1]);
    if (!IsWindow(hwnd)) return "err\tno window";
    return std::string("ok\t") + (IsWindowVisible(hwnd) ? "1" : "0") + "\t" + (IsWindowEnabled(hwnd) ? "1" : "0");
  }
  if (cmd == "style" && f.size() == 2) {
    HWND hwnd = ParseHandle(f[1]);
    std::ostringstream out;
    out << "ok\t" << std::hex << static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE)) << "\t"
        << static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE));
    return out.str();
  }
  if (cmd == "owner" && f.size() == 2) {
    HWND hwnd = ParseHandle(f[1]);
    if (!IsWindow(hwnd)) return "err\tno window";
    return "ok\t" + HandleText(GetWindow(hwnd, GW_OWNER));
  }
  if (cmd == "click" && f.size() == 2) {
    // Posted, never sent: a sent click would wait until every page it opens has ended.
    // A posted command would also reach a disabled button, so that is checked first.
    HWND button = ParseHandle(f[1]);
    if (!IsWindowEnabled(button)) return "err\tdisabled";
    return PostMessageA(button, BM_CLICK, 0, 0) ? "ok" : "err\tpost";
  }
  if (cmd == "post" && f.size() == 5) {
    return PostMessageA(ParseHandle(f[1]), static_cast<UINT>(ParseHex(f[2])), ParseHex(f[3]),
                        static_cast<LPARAM>(ParseHex(f[4])))
               ? "ok"
               : "err\tpost";
  }
  if (cmd == "send" && f.size() == 5) {
    SetLastError(0);
    const LRESULT result = SendMessageA(ParseHandle(f[1]), static_cast<UINT>(ParseHex(f[2])), ParseHex(f[3]),
                                        static_cast<LPARAM>(ParseHex(f[4])));
    if (GetLastError() != 0) return "err\tsend " + std::to_string(GetLastError());
    std::ostringstream out;
    out << "ok\t" << std::hex << static_cast<unsigned long long>(result);
    return out.str();
  }
  if (cmd == "charformat" && f.size() == 4)
    return CharFormat(ParseHandle(f[1]), std::atol(f[2].c_str()), std::atol(f[3].c_str()));
  if (cmd == "readmem" && f.size() == 4)
    return ReadMemory(ParseHandle(f[1]), ParseHex(f[2]), static_cast<std::size_t>(ParseHex(f[3])));
  if (cmd == "waitenabled" && f.size() == 3) {
    HWND hwnd = ParseHandle(f[1]);
    const DWORD start = GetTickCount();
    while (!IsWindowEnabled(hwnd)) {
      if (!IsWindow(hwnd) || GetTickCount() - start > static_cast<DWORD>(std::atol(f[2].c_str())))
        return "err\tnot enabled";
      Sleep(1);
    }
    return "ok\t" + std::to_string(GetTickCount() - start);
  }
  if (cmd == "record" && f.size() == 3) {
    if (recorder) return "err\talready recording";
    recording = Recording{};
    recording.caption = f[1];
    recording.timeout = static_cast<DWORD>(std::atol(f[2].c_str()));
    recorder = CreateThread(nullptr, 0, &Record, nullptr, 0, nullptr);
    return recorder ? "ok" : "err\tthread";
  }
  if (cmd == "recorded" && f.size() == 2) return Recorded(static_cast<DWORD>(std::atol(f[1].c_str())));
  return "err\tunknown command";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.empty()) continue;
    if (fields[0] == "quit") break;
    std::cout << Run(fields) << std::endl;
  }
  return 0;
}
