// The PC desktop through the platform's own calls.
#pragma once

#include "device_prep/desktop.h"

class Win32Desktop : public Desktop {
 public:
  WindowHandle FindWindowByClass(const std::string& className) override;
  void SendCloseMessage(WindowHandle window, std::uint32_t timeoutMilliseconds) override;
  bool EventExists(const std::string& name) override;
  RegistryRead ReadDefaultValue(const std::string& keyPath, std::string& value) override;
  bool StartProcess(const std::string& commandLine) override;
  bool EnumerateProcessIds(std::vector<std::uint32_t>& ids, std::size_t capacity) override;
  ProcessHandle OpenProcessForTermination(std::uint32_t processId) override;
  bool ReadFirstModuleBaseName(ProcessHandle process, std::string& name) override;
  bool ReadExitCode(ProcessHandle process, std::uint32_t& exitCode) override;
  void TerminateWithExitCode(ProcessHandle process, std::uint32_t exitCode) override;
  void CloseProcess(ProcessHandle process) override;
  bool ServiceRuns(const std::string& name) override;
  ServiceStop StopServiceWithin(const std::string& name, std::uint32_t timeoutMilliseconds) override;
  bool StartServiceAgain(const std::string& name) override;
  bool ReadEnvironmentVariable(const std::string& name, std::string& value) override;
  bool EnterFolder(const std::string& path) override;
  void RemoveFile(const std::string& name) override;
  bool RemoveStaleFile(const std::string& path) override;
  void PrintText(const std::string& text) override;
};
