// The PC desktop as device preparation sees it: windows, the sync software's
// named event, its registry entry, processes, services, environment, current folder,
// file deletion and standard output. The Windows build implements it with the
// platform's calls; tests use a scripted desktop.
//
// Method names differ from the platform's own so that none meets one of its
// A/W macros where both headers are included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 0 stands for "none" in both.
using WindowHandle = std::uintptr_t;
using ProcessHandle = std::uintptr_t;

// How an attempt to stop a service ended.
enum class ServiceStop {
  NotRunning,    // not installed, or not running
  Stopped,       // it ran, and has stopped
  Refused,       // it runs, and the stop was refused (not allowed, or services that need it run)
  StillRunning,  // asked to stop, it had not stopped when the wait ended
};

enum class RegistryRead {
  Ok,
  OpenFailed,   // the key could not be opened
  QueryFailed,  // the key opened, its default value could not be read
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // The first top-level window of the class (no title given), or 0.
  virtual WindowHandle FindWindowByClass(const std::string& className) = 0;
  // Sends WM_CLOSE (wParam 0, lParam 0, normal flags) and waits at most the
  // time-out for it to be handled; the message's own result is of no use.
  virtual void SendCloseMessage(WindowHandle window, std::uint32_t timeoutMilliseconds) = 0;

  // True while some process holds the named event (opened for modify-state,
  // not inherited, and closed again at once).
  virtual bool EventExists(const std::string& name) = 0;

  // Reads the default value of a key under the local-machine root, opened for
  // reading; the key is closed again. value is the whole string up to its
  // terminator, empty unless the result is Ok.
  virtual RegistryRead ReadDefaultValue(const std::string& keyPath, std::string& value) = 0;

  // Starts a program from a command line (no application name, no attributes,
  // no inheritance, zeroed startup record) without waiting for it; its handles are
  // closed at once. It starts in the system folder, with the user's own environment:
  // the wizard's current and temporary folder may be one that is removed when the
  // wizard ends, while the program lives on. False when it fails.
  virtual bool StartProcess(const std::string& commandLine) = 0;

  // Fills ids with at most capacity process ids; false when the list cannot be had.
  virtual bool EnumerateProcessIds(std::vector<std::uint32_t>& ids, std::size_t capacity) = 0;
  // Opens a process for query-information, VM-read and terminate access
  // (0x411), not inherited; 0 when it cannot be opened.
  virtual ProcessHandle OpenProcessForTermination(std::uint32_t processId) = 0;
  // The base file name of the process's first module, at most 259 characters.
  virtual bool ReadFirstModuleBaseName(ProcessHandle process, std::string& name) = 0;
  virtual bool ReadExitCode(ProcessHandle process, std::uint32_t& exitCode) = 0;
  virtual void TerminateWithExitCode(ProcessHandle process, std::uint32_t exitCode) = 0;
  virtual void CloseProcess(ProcessHandle process) = 0;

  // Whether the service of that name is installed and not stopped.
  virtual bool ServiceRuns(const std::string& name) = 0;
  // Asks the service of that name to stop when it runs, and waits at most the time-out
  // until it has stopped.
  virtual ServiceStop StopServiceWithin(const std::string& name, std::uint32_t timeoutMilliseconds) = 0;
  // Asks the service of that name to start, without waiting for it; false when it cannot.
  virtual bool StartServiceAgain(const std::string& name) = 0;

  // The whole value of an environment variable, whatever its length; false when unset.
  virtual bool ReadEnvironmentVariable(const std::string& name, std::string& value) = 0;
  // Makes the folder the process's current directory; false when it cannot be entered.
  virtual bool EnterFolder(const std::string& path) = 0;
  // Deletes a file by name, relative to the current directory; a missing file
  // or one that cannot be deleted is passed over.
  virtual void RemoveFile(const std::string& name) = 0;
  // Deletes a file by its full path, read-only or hidden as it may be; true when no file
  // of that name is left.
  virtual bool RemoveStaleFile(const std::string& path) = 0;

  // Writes text to standard output as it is.
  virtual void PrintText(const std::string& text) = 0;
};
