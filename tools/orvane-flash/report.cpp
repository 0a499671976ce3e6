#include "report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../common/json.h"

std::string ReportJson(const ImageRecord& image, const std::vector<DeviceRecord>& devices) {
  JsonList list(false);
  for (const DeviceRecord& d : devices) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", d.seconds);
    list.Add(JsonList(true)
                 .Str("port", d.port)
                 .Str("result", d.result)
                 .Str("reason", d.reason)
                 .Num("bytes_sent", d.bytesSent)
                 .Raw("seconds", seconds)
                 .Raw("log", d.log.empty() ? "null" : JsonString(d.log))
                 .Text());
  }
  const std::string opened = JsonList(true)
                                 .Str("path", image.path)
                                 .Num("bytes", image.bytes)
                                 .Raw("sha256", image.sha256.empty() ? "null" : JsonString(image.sha256))
                                 .Bool("changed", image.changed)
                                 .Text();
  return JsonList(true).Raw("image", opened).Raw("devices", list.Text()).Text() + "\n";
}

bool WriteWhole(const std::string& path, const std::string& text, std::string& why) {
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    } else if (n == 0) {
      error = EIO;
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    why = std::strerror(error);
    ::unlink(temporary.c_str());
  }
  return error == 0;
}
