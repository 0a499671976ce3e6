// The simulated device's file system: a small store in memory that the host fills
// through the remote API, with the handles that CreateFile and CreateProcess give out.
// Names are compared as the device does, ignoring the case of ASCII letters; folders
// exist as soon as a file names them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pdasim {

class DeviceStore {
 public:
  struct File {
    std::string name;                // as the host first gave it, in UTF-8
    std::vector<std::string> parts;  // its folders and its own name
    std::vector<std::uint8_t> data;
  };

  // The result of a call: its return value and the device's lastError.
  struct Outcome {
    std::uint32_t result;
    std::uint32_t lastError;
  };

  struct Process {
    std::uint32_t process;
    std::uint32_t thread;
    std::uint32_t processId;
    std::uint32_t threadId;
  };

  static constexpr std::size_t MAX_FILES = 256;
  static constexpr std::uint64_t MAX_BYTES = 64ull << 20;

  // name in UTF-8; valid is false for a name that was no UTF-16 text.
  Outcome Create(const std::string& name, bool valid, std::uint32_t access, std::uint32_t disposition);
  Outcome Write(std::uint32_t handle, const std::uint8_t* data, std::uint32_t count);
  Outcome Close(std::uint32_t handle);
  // Starts a stored program: it must be closed and look like a program.
  Outcome Start(const std::string& name, bool valid, Process& process);

  // Every file, in name order.
  std::vector<const File*> Files() const;
  // Whether a handle to the file is still open for writing.
  bool IsOpen(const File& file) const;

 private:
  enum class Kind { File, Process, Thread };
  struct Handle {
    Kind kind;
    std::string key;  // the file's
    bool write;
    std::uint64_t position;
  };

  // The store's key for a name (its parts lower-cased and joined), or empty when the
  // device would refuse the name.
  static std::string Key(const std::string& name, std::vector<std::string>& parts);
  std::uint32_t NewHandle(Kind kind, const std::string& key, bool write);

  std::map<std::string, File> files_;
  std::map<std::uint32_t, Handle> handles_;
  std::uint64_t bytes_ = 0;
  std::uint32_t nextHandle_ = 0x00A1B2C4;  // handles are opaque words; these start away from 0
  std::uint32_t nextId_ = 0x0F3E0012;
};

}  // namespace pdasim
