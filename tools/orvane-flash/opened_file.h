// An input of the run, opened once for the whole run: the update image, whose every
// device is sent bytes of this one open file, so that its size and digest describe what
// they were sent whatever later happens to the path; and the helper pushed to devices.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "file.h"
#include "stop_flag.h"

class OpenedFile {
 public:
  OpenedFile() = default;
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // Opens a regular file this run can read. Its kind is looked at before it is opened,
  // and it is opened without waiting, so a FIFO or a device is refused at once. False
  // with the reason.
  bool Open(const std::string& path, std::string& why);
  const std::string& Path() const { return path_; }
  const struct stat& Node() const { return opened_; }
  std::uint64_t Size() const { return static_cast<std::uint64_t>(opened_.st_size); }
  // True once the file is no longer what was opened: its size or modification time
  // differ, so it is being written in place.
  bool Changed() const;
  // A reader of its own, at position 0; positioned reads, so readers never move each
  // other. Its reads fail once the file has changed: no device gets a mixture.
  std::unique_ptr<File> Reader() const;
  // The SHA-256 of the open file as 64 hexadecimal digits; empty when reading failed
  // or a stop came first.
  std::string Sha256(const StopFlag* stop) const;

 private:
  std::string path_;
  int fd_ = -1;
  struct stat opened_ {};
};

// A file system in which the image's path is the opened image.
class ImageFiles : public FileSystem {
 public:
  ImageFiles(const OpenedFile& image, FileSystem& others) : image_(image), others_(others) {}
  std::unique_ptr<File> Open(const std::string& name, OpenMode mode) override;

 private:
  const OpenedFile& image_;
  FileSystem& others_;
};
