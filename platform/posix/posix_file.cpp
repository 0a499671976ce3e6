#include "posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace {

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  bool Seek(std::int64_t offset, SeekFrom from) override {
    return ::lseek(fd_, static_cast<off_t>(offset), from == SeekFrom::Begin ? SEEK_SET : SEEK_CUR) >= 0;
  }

  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
      const ssize_t n = ::read(fd_, bytes + got, count - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      got += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  bool Write(const void* data, std::uint32_t count) override {
    const auto* bytes = static_cast<const char*>(data);
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, bytes + done, count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::uint32_t>(n);
    }
    return true;
  }

  bool GetLength(std::uint64_t& length) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    length = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool GetPosition(std::uint64_t& position) override {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return false;
    position = static_cast<std::uint64_t>(at);
    return true;
  }

  bool SetLength(std::uint64_t length) override {
    return length <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           ::ftruncate(fd_, static_cast<off_t>(length)) == 0;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<File> PosixFileSystem::Open(const std::string& name, OpenMode mode) {
  const int flags = mode == OpenMode::ReadShared ? O_RDONLY : O_RDWR | O_CREAT | O_TRUNC;
  const int fd = ::open(name.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd);
}
