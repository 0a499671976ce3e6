#include "opened_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/sha256.h"
#include "string_table.h"

namespace {

bool SameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

class ImageReader : public File {
 public:
  explicit ImageReader(const OpenedFile& image, int fd) : image_(image), fd_(fd) {}

  bool Seek(std::int64_t offset, SeekFrom from) override {
    const std::int64_t to = from == SeekFrom::Begin ? offset : static_cast<std::int64_t>(position_) + offset;
    if (to < 0) return false;
    position_ = static_cast<std::uint64_t>(to);
    return true;
  }

  bool Read(void* buffer, std::uint32_t count, std::uint32_t& got) override {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
      const ssize_t n = ::pread(fd_, bytes + got, count - got, static_cast<off_t>(position_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      got += static_cast<std::uint32_t>(n);
      position_ += static_cast<std::uint64_t>(n);
    }
    // Bytes read after the file began to change may belong to another image.
    return !image_.Changed();
  }

  bool Write(const void*, std::uint32_t) override { return false; }
  bool GetLength(std::uint64_t& length) override {
    length = image_.Size();
    return true;
  }
  bool GetPosition(std::uint64_t& position) override {
    position = position_;
    return true;
  }
  bool SetLength(std::uint64_t) override { return false; }

 private:
  const OpenedFile& image_;
  int fd_;
  std::uint64_t position_ = 0;
};

}  // namespace

OpenedFile::~OpenedFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OpenedFile::Open(const std::string& path, std::string& why) {
  path_ = path;
  struct stat seen {};
  if (::stat(path.c_str(), &seen) != 0) {
    why = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(seen.st_mode)) {
    why = LoadText(IDS_NOT_A_REGULAR_FILE);
    return false;
  }
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    why = std::strerror(errno);
    return false;
  }
  // Whatever was at the path when it was looked at is what was opened.
  if (::fstat(fd_, &opened_) != 0 || !S_ISREG(opened_.st_mode) || !SameNode(opened_, seen)) {
    why = LoadText(IDS_NOT_A_REGULAR_FILE);
    return false;
  }
  return true;
}

bool OpenedFile::Changed() const {
  struct stat now {};
  return ::fstat(fd_, &now) != 0 || now.st_size != opened_.st_size ||
         now.st_mtim.tv_sec != opened_.st_mtim.tv_sec || now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec;
}

std::unique_ptr<File> OpenedFile::Reader() const { return std::make_unique<ImageReader>(*this, fd_); }

std::string OpenedFile::Sha256(const StopFlag* stop) const {
  ::Sha256 digest;
  std::vector<unsigned char> piece(1 << 20);
  for (off_t at = 0;;) {
    if (StopRequested(stop)) return "";
    const ssize_t n = ::pread(fd_, piece.data(), piece.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "";
    if (n == 0) break;
    digest.Add(piece.data(), static_cast<std::size_t>(n));
    at += n;
  }
  return digest.Hex();
}

std::unique_ptr<File> ImageFiles::Open(const std::string& name, OpenMode mode) {
  if (name == image_.Path() && mode == OpenMode::ReadShared) return image_.Reader();
  return others_.Open(name, mode);
}
