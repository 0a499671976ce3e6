// A scripted desktop behind the desktop seam: windows that close or not,
// named events, a registry, processes, services, environment, folders of files,
// and a log of every call in order.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device_prep/desktop.h"
#include "engine/message_boxes.h"

struct FakeProcess {
  std::uint32_t id = 0;
  std::string moduleName;
  bool opens = true;
  bool moduleReadable = true;
  bool exitCodeReadable = true;
  std::uint32_t exitCode = 259;
  bool terminated = false;
  std::uint32_t terminatedWith = 0;
};

struct RegistryEntry {
  bool queryFails = false;
  std::string value;
};

class ScriptedDesktop : public Desktop {
 public:
  static constexpr const char* APP_PATH_KEY =
      "software\\microsoft\\windows\\currentversion\\app paths\\wcesmgr.exe";

  // Script.
  std::set<std::string> events;
  std::map<std::string, RegistryEntry> registry;  // by lower-case key path
  bool processStartFails = false;
  bool enumerationFails = false;
  std::vector<FakeProcess> processes;
  std::map<std::string, std::string> environment;
  std::map<std::string, std::set<std::string>> folders;  // folder -> file names
  std::set<std::string> stuckFiles;                        // full paths that no delete removes
  // Each service's answers to its stop requests, in turn; NotRunning once they are used up.
  std::map<std::string, std::vector<ServiceStop>> serviceStops;

  // State.
  std::vector<std::string> calls;
  std::vector<std::string> started;
  std::string currentFolder = "C:\\Work";
  std::string output;
  int openProcessHandles = 0;

  void AddWindow(const std::string& className, bool closesOnRequest = true) {
    windows_.push_back({className, closesOnRequest, true});
  }
  bool HasWindow(const std::string& className) const {
    return std::any_of(windows_.begin(), windows_.end(),
                       [&](const Window& w) { return w.open && w.className == className; });
  }
  void RegisterAppPath(const std::string& path) { registry[APP_PATH_KEY] = {false, path}; }
  int CountCalls(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  WindowHandle FindWindowByClass(const std::string& className) override {
    calls.push_back("find " + className);
    for (std::size_t i = 0; i < windows_.size(); ++i) {
      if (windows_[i].open && windows_[i].className == className) return i + 1;
    }
    return 0;
  }
  void SendCloseMessage(WindowHandle window, std::uint32_t timeoutMilliseconds) override {
    Window& w = windows_.at(window - 1);
    calls.push_back("close " + w.className + " " + std::to_string(timeoutMilliseconds));
    if (w.closesOnRequest) w.open = false;
  }

  bool EventExists(const std::string& name) override {
    calls.push_back("event " + name);
    return events.count(name) != 0;
  }

  RegistryRead ReadDefaultValue(const std::string& keyPath, std::string& value) override {
    calls.push_back("registry " + keyPath);
    const auto entry = registry.find(Lower(keyPath));
    if (entry == registry.end()) return RegistryRead::OpenFailed;
    if (entry->second.queryFails) return RegistryRead::QueryFailed;
    value = entry->second.value;
    return RegistryRead::Ok;
  }

  bool StartProcess(const std::string& commandLine) override {
    calls.push_back("start " + commandLine);
    if (processStartFails) return false;
    started.push_back(commandLine);
    return true;
  }

  bool EnumerateProcessIds(std::vector<std::uint32_t>& ids, std::size_t capacity) override {
    calls.push_back("enumerate " + std::to_string(capacity));
    if (enumerationFails) return false;
    for (const FakeProcess& p : processes) {
      if (ids.size() < capacity) ids.push_back(p.id);
    }
    return true;
  }
  ProcessHandle OpenProcessForTermination(std::uint32_t processId) override {
    calls.push_back("open " + std::to_string(processId));
    FakeProcess* p = Find(processId);
    if (p == nullptr || !p->opens) return 0;
    ++openProcessHandles;
    return processId;
  }
  bool ReadFirstModuleBaseName(ProcessHandle process, std::string& name) override {
    const FakeProcess& p = Opened(process);
    if (!p.moduleReadable) return false;
    name = p.moduleName;
    return true;
  }
  bool ReadExitCode(ProcessHandle process, std::uint32_t& exitCode) override {
    const FakeProcess& p = Opened(process);
    calls.push_back("exitcode " + std::to_string(p.id));
    if (!p.exitCodeReadable) return false;
    exitCode = p.exitCode;
    return true;
  }
  void TerminateWithExitCode(ProcessHandle process, std::uint32_t exitCode) override {
    FakeProcess& p = Opened(process);
    calls.push_back("terminate " + std::to_string(p.id) + " " + std::to_string(exitCode));
    p.terminated = true;
    p.terminatedWith = exitCode;
  }
  void CloseProcess(ProcessHandle process) override {
    calls.push_back("closeprocess " + std::to_string(Opened(process).id));
    --openProcessHandles;
  }

  bool ServiceRuns(const std::string&) override { return false; }
  ServiceStop StopServiceWithin(const std::string& name, std::uint32_t timeoutMilliseconds) override {
    calls.push_back("stop " + name + " " + std::to_string(timeoutMilliseconds));
    std::vector<ServiceStop>& answers = serviceStops[name];
    if (answers.empty()) return ServiceStop::NotRunning;
    const ServiceStop answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  bool StartServiceAgain(const std::string& name) override {
    calls.push_back("start service " + name);
    return true;
  }

  bool ReadEnvironmentVariable(const std::string& name, std::string& value) override {
    const auto entry = environment.find(name);
    if (entry == environment.end()) return false;
    value = entry->second;
    return true;
  }
  bool EnterFolder(const std::string& path) override {
    calls.push_back("enter " + path);
    if (folders.count(path) == 0) return false;
    currentFolder = path;
    return true;
  }
  void RemoveFile(const std::string& name) override {
    calls.push_back("delete " + name);
    folders[currentFolder].erase(name);
  }

  bool RemoveStaleFile(const std::string& path) override {
    calls.push_back("remove " + path);
    if (stuckFiles.count(path) != 0) return false;
    const std::size_t slash = path.find_last_of('\\');
    folders[path.substr(0, slash)].erase(path.substr(slash + 1));
    return true;
  }

  void PrintText(const std::string& text) override { output += text; }

 private:
  struct Window {
    std::string className;
    bool closesOnRequest;
    bool open;
  };

  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }
  FakeProcess* Find(std::uint32_t id) {
    for (FakeProcess& p : processes) {
      if (p.id == id) return &p;
    }
    return nullptr;
  }
  // A handle is the id of the process it was opened on.
  FakeProcess& Opened(ProcessHandle process) { return *Find(static_cast<std::uint32_t>(process)); }

  std::vector<Window> windows_;
};

// Records the texts of the boxes shown, in order.
class RecordingMessageBoxes : public MessageBoxes {
 public:
  std::vector<std::string> shown;
  void ShowOk(const std::string& text) override { shown.push_back(text); }
};
