// Talks to a port through the Windows DeviceChannel, as the download worker will.
//
//   channel_probe device PORT PAYLOAD   open PORT, read once with nothing sent (the read
//                                       must come back), send PAYLOAD as one packet
//                                       stream and wait for "Reserved region ok.\n"
//   channel_probe file PATH             open a plain file as the port: it opens, takes
//                                       a write and answers a read
//
// Prints what it saw, one fact a line; exit 0 when every step held, 1 otherwise,
// 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "cfile.h"
#include "packet_stream.h"
#include "status_lines.h"
#include "win32_clock.h"
#include "win32_serial.h"

namespace {

class Bar : public ProgressBar {
 public:
  void SetRange(std::int32_t upper) override { upper_ = upper; }
  std::int32_t GetUpper() override { return upper_; }
  void SetPos(std::int32_t position) override { pos_ = position; }
  std::int32_t GetPos() override { return pos_; }

 private:
  std::int32_t upper_ = 100;
  std::int32_t pos_ = 0;
};

class ConsolePage : public ProgressPage {
 public:
  void SetTitle(const std::string&) override {}
  void SetHeading(const std::string&) override {}
  void SetStepCaption(const std::string&) override {}
  ProgressBar& OverallBar() override { return overall_; }
  ProgressBar& StepBar() override { return step_; }
  void End(int) override {}

 private:
  Bar overall_;
  Bar step_;
};

class ConsoleBoxes : public MessageBoxes {
 public:
  void ShowOk(const std::string& text) override { std::printf("box: %s\n", text.c_str()); }
};

bool Same(const CommTimeouts& a, const CommTimeouts& b) {
  return a.readIntervalTimeout == b.readIntervalTimeout &&
         a.readTotalTimeoutMultiplier == b.readTotalTimeoutMultiplier &&
         a.readTotalTimeoutConstant == b.readTotalTimeoutConstant &&
         a.writeTotalTimeoutMultiplier == b.writeTotalTimeoutMultiplier &&
         a.writeTotalTimeoutConstant == b.writeTotalTimeoutConstant;
}

int Device(const char* port, const char* payloadPath) {
  Win32PortOpener opener;
  std::unique_ptr<DeviceChannel> channel = opener.Open(port);
  if (!channel) {
    std::printf("port did not open\n");
    return 1;
  }
  CommTimeouts found;
  if (!channel->GetTimeouts(found)) {
    std::printf("no time-outs\n");
    return 1;
  }
  std::printf("read time-outs: interval %u multiplier %u constant %u\n", static_cast<unsigned>(found.readIntervalTimeout),
              static_cast<unsigned>(found.readTotalTimeoutMultiplier),
              static_cast<unsigned>(found.readTotalTimeoutConstant));
  std::printf("write time-outs: multiplier %u constant %u\n", static_cast<unsigned>(found.writeTotalTimeoutMultiplier),
              static_cast<unsigned>(found.writeTotalTimeoutConstant));

  // The device says nothing until it has a stream: this read must come back empty.
  std::uint8_t byte = 0;
  std::uint32_t got = 1;
  channel->ReadByte(byte, got);
  std::printf("idle read: %u bytes\n", static_cast<unsigned>(got));
  if (got != 0) return 1;

  CFile payload;
  std::uint64_t length = 0;
  if (!payload.Open(payloadPath, CFile::modeRead | CFile::shareDenyNone) || !payload.GetLength(length)) {
    std::printf("payload did not open\n");
    return 1;
  }
  ConsolePage page;
  ConsoleBoxes boxes;
  if (SendStreamToDevice(channel.get(), payload, 0, static_cast<std::uint32_t>(length), 0, page, boxes) !=
      StreamEnd::Sent) {
    std::printf("stream not sent\n");
    return 1;
  }
  std::printf("stream sent: %u bytes\n", static_cast<unsigned>(length));

  Win32Clock clock;
  const int answered = WaitForDeviceLine(*channel, 300000, "Reserved region ok.\n", &page.OverallBar(),
                                         &page.StepBar(), clock);
  std::printf("answer: %d, step bar %d of %d\n", answered, static_cast<int>(page.StepBar().GetPos()),
              static_cast<int>(page.StepBar().GetUpper()));
  CommTimeouts after;
  const bool restored = channel->GetTimeouts(after) && Same(found, after);
  std::printf("time-outs restored: %s\n", restored ? "yes" : "no");
  return answered == 1 && restored ? 0 : 1;
}

int PlainFile(const char* path) {
  Win32PortOpener opener;
  std::unique_ptr<DeviceChannel> channel = opener.Open(path);
  if (!channel) {
    std::printf("file did not open\n");
    return 1;
  }
  const std::uint8_t data[] = {'p', 'i', 'n', 'g'};
  std::uint32_t written = 0;
  const bool wrote = channel->Write(data, sizeof data, written) == WriteEnd::Written && written == sizeof data;
  std::uint8_t byte = 0;
  std::uint32_t got = 1;
  const bool read = channel->ReadByte(byte, got);
  CommTimeouts timeouts;
  std::printf("write: %u bytes; read: %s, %u bytes; time-outs: %s\n", static_cast<unsigned>(written),
              read ? "ok" : "failed", static_cast<unsigned>(got), channel->GetTimeouts(timeouts) ? "yes" : "none");
  return wrote && read && got == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "device") == 0) return Device(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "file") == 0) return PlainFile(argv[2]);
  std::fprintf(stderr, "usage: channel_probe device PORT PAYLOAD | channel_probe file PATH\n");
  return 2;
}
