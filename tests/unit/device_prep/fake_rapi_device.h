// An in-memory device behind the RAPI seam: files by name, connection count,
// a call log, and scripted faults.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device_prep/rapi.h"

class FakeRapiDevice : public Rapi {
 public:
  // Script.
  std::int32_t initResult = RAPI_S_OK;
  std::uint32_t waitResult = RAPI_WAIT_SIGNALED;
  std::optional<RapiHandle> createFailure;  // the handle a failing CeCreateFile gives
  int faultyWrite = -1;         // index of the write that misbehaves
  bool faultyWriteSucceeds = false;
  std::uint32_t faultyWriteCount = 0;
  bool processStarts = true;

  // State.
  std::map<std::u16string, std::vector<std::uint8_t>> files;
  int initialised = 0;
  std::vector<std::string> calls;
  std::vector<std::uint32_t> writeSizes;

  static constexpr RapiHandle INIT_EVENT = 0x5e;
  static constexpr RapiHandle FILE_HANDLE = 0xf1;

  std::int32_t CeRapiInitEx(RapiInitRecord& init) override {
    calls.push_back("init " + std::to_string(init.cbSize));
    if (initResult != RAPI_S_OK) return initResult;
    ++initialised;
    init.heRapiInit = INIT_EVENT;
    return RAPI_S_OK;
  }

  std::uint32_t WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) override {
    calls.push_back("wait " + std::to_string(event) + " " + std::to_string(milliseconds));
    return waitResult;
  }

  void CeRapiUninit() override {
    calls.push_back("uninit");
    --initialised;
  }

  RapiHandle CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override {
    calls.push_back("create " + Narrow(name) + " " + std::to_string(desiredAccess) + " " +
                    std::to_string(shareMode) + " " + std::to_string(creationDisposition) + " " +
                    std::to_string(flagsAndAttributes));
    if (createFailure) return *createFailure;
    std::vector<std::uint8_t>& content = files[name];
    // Any other disposition opens an existing file as it is.
    if (creationDisposition == RAPI_CREATE_ALWAYS) content.clear();
    openName_ = name;
    position_ = 0;
    return FILE_HANDLE;
  }

  bool CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count,
                   std::uint32_t& written) override {
    calls.push_back("write " + std::to_string(count));
    if (file != FILE_HANDLE) return false;
    const bool faulty = static_cast<int>(writeSizes.size()) == faultyWrite;
    writeSizes.push_back(count);
    written = faulty ? faultyWriteCount : count;
    std::vector<std::uint8_t>& content = files[openName_];
    content.resize(std::max(content.size(), position_ + written));
    std::copy(data, data + written, content.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ += written;
    return faulty ? faultyWriteSucceeds : true;
  }

  void CeCloseHandle(RapiHandle handle) override { calls.push_back("close " + std::to_string(handle)); }

  bool CeCreateProcess(const std::u16string& applicationName) override {
    calls.push_back("process " + Narrow(applicationName));
    return processStarts;
  }

 private:
  static std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

  std::u16string openName_;
  std::size_t position_ = 0;
};
