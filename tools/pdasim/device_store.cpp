#include "device_store.h"

#include <algorithm>
#include <cstring>

#include "sync_wire.h"

namespace pdasim {

using namespace sync;

std::string DeviceStore::Key(const std::string& name, std::vector<std::string>& parts) {
  parts.clear();
  std::string part;
  // A leading separator names the root, where every path starts on the device.
  const std::size_t start = !name.empty() && (name[0] == '\\' || name[0] == '/') ? 1 : 0;
  for (std::size_t i = start; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '\\' || name[i] == '/') {
      if (part.empty() || part == "." || part == "..") return "";
      parts.push_back(part);
      part.clear();
      continue;
    }
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) return "";
    part += name[i];
  }
  std::string key;
  for (const std::string& each : parts) key += '\\' + AsciiLower(each);
  return key;
}

std::uint32_t DeviceStore::NewHandle(Kind kind, const std::string& key, bool write) {
  const std::uint32_t handle = nextHandle_;
  nextHandle_ += 4;
  handles_[handle] = {kind, key, write, 0};
  return handle;
}

DeviceStore::Outcome DeviceStore::Create(const std::string& name, bool valid, std::uint32_t access,
                                         std::uint32_t disposition) {
  std::vector<std::string> parts;
  const std::string key = valid ? Key(name, parts) : "";
  if (key.empty()) return {INVALID_HANDLE, ERROR_INVALID_NAME};
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return {INVALID_HANDLE, ERROR_INVALID_PARAMETER};
  for (const auto& [other, file] : files_) {
    // A file in the way of a folder, or a folder in the way of a file.
    if (key.compare(0, other.size() + 1, other + "\\") == 0) return {INVALID_HANDLE, ERROR_PATH_NOT_FOUND};
    if (other.compare(0, key.size() + 1, key + "\\") == 0) return {INVALID_HANDLE, ERROR_ACCESS_DENIED};
  }
  const auto found = files_.find(key);
  const bool exists = found != files_.end();
  if (exists && disposition == CREATE_NEW) return {INVALID_HANDLE, ERROR_FILE_EXISTS};
  if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
    return {INVALID_HANDLE, ERROR_FILE_NOT_FOUND};
  if (!exists && files_.size() >= MAX_FILES) return {INVALID_HANDLE, ERROR_DISK_FULL};
  const bool write = (access & GENERIC_WRITE) != 0;
  if (exists && (write || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && IsOpen(found->second))
    return {INVALID_HANDLE, ERROR_SHARING_VIOLATION};
  File& file = files_[key];
  if (!exists) {
    file.name = name;
    file.parts = parts;
  }
  if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
    bytes_ -= file.data.size();
    file.data.clear();
  }
  const bool reportsExisting = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  return {NewHandle(Kind::File, key, write), reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS};
}

DeviceStore::Outcome DeviceStore::Write(std::uint32_t handle, const std::uint8_t* data, std::uint32_t count) {
  const auto found = handles_.find(handle);
  if (found == handles_.end() || found->second.kind != Kind::File) return {0, ERROR_INVALID_HANDLE};
  Handle& open = found->second;
  if (!open.write) return {0, ERROR_ACCESS_DENIED};
  std::vector<std::uint8_t>& content = files_[open.key].data;
  const std::uint64_t end = open.position + count;
  const std::uint64_t growth = end > content.size() ? end - content.size() : 0;
  if (bytes_ + growth > MAX_BYTES) return {0, ERROR_DISK_FULL};
  if (growth) content.resize(static_cast<std::size_t>(end));
  if (count) std::memcpy(content.data() + open.position, data, count);
  bytes_ += growth;
  open.position = end;
  return {1, ERROR_SUCCESS};
}

DeviceStore::Outcome DeviceStore::Close(std::uint32_t handle) {
  if (handles_.erase(handle) == 0) return {0, ERROR_INVALID_HANDLE};
  return {1, ERROR_SUCCESS};
}

DeviceStore::Outcome DeviceStore::Start(const std::string& name, bool valid, Process& process) {
  std::vector<std::string> parts;
  const std::string key = valid ? Key(name, parts) : "";
  if (key.empty()) return {0, ERROR_INVALID_NAME};
  const auto found = files_.find(key);
  if (found == files_.end()) return {0, ERROR_FILE_NOT_FOUND};
  if (IsOpen(found->second)) return {0, ERROR_SHARING_VIOLATION};
  const std::vector<std::uint8_t>& data = found->second.data;
  if (data.size() < 2 || data[0] != 'M' || data[1] != 'Z') return {0, ERROR_BAD_EXE_FORMAT};
  process.process = NewHandle(Kind::Process, key, false);
  process.thread = NewHandle(Kind::Thread, key, false);
  process.processId = nextId_;
  process.threadId = nextId_ + 2;
  nextId_ += 0x1000;
  return {1, ERROR_SUCCESS};
}

std::vector<const DeviceStore::File*> DeviceStore::Files() const {
  std::vector<const File*> files;
  for (const auto& entry : files_) files.push_back(&entry.second);
  return files;
}

bool DeviceStore::IsOpen(const File& file) const {
  return std::any_of(handles_.begin(), handles_.end(), [&](const auto& entry) {
    return entry.second.kind == Kind::File && entry.second.write && &files_.at(entry.second.key) == &file;
  });
}

}  // namespace pdasim
