// Files over POSIX descriptors.
#pragma once

#include <memory>
#include <string>

#include "file.h"

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& name, OpenMode mode) override;
};
