// Plays arbitrary device output into the status-line reader. The first byte picks the
// awaited line and which bars exist; a 0x01 byte stands for a long pause of the device,
// a 0x02 byte for a port that goes away once the bytes have been read.
#include <cstdlib>

#include "fakes.h"
#include "status_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const answers[] = {"device reset.\n", "Reserved region ok.\n", "OS program ok!\n"};
  const char* expected = answers[data[0] % 3];
  VirtualClock clock(0xFFFF0000u);
  FakeChannel channel(&clock, 1000);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0x01) {
      channel.Pause(40000);
    } else if (data[i] == 0x02) {
      channel.GoAway();
    } else {
      channel.Say(std::string(1, static_cast<char>(data[i])));
    }
  }
  RecordingPage page;
  ProgressBar* overall = (data[0] & 0x10) != 0 ? &page.overall : nullptr;
  ProgressBar* step = (data[0] & 0x20) != 0 ? &page.step : nullptr;
  const CommTimeouts before = channel.timeouts;
  // Each wait ends: on an answer, a failure line, silence, a mute device, lines it does
  // not know, or a port that has gone.
  for (int wait = 0; wait < 4 && channel.pendingBytes() > 0; ++wait) {
    LineWaitEnd end = LineWaitEnd::ZeroLimit;
    const int result = WaitForDeviceLine(channel, 5000, expected, overall, step, clock, &end);
    if ((result == 1) != (end == LineWaitEnd::ExpectedLine)) std::abort();
    if (channel.timeouts.readIntervalTimeout != before.readIntervalTimeout) std::abort();
  }
  return 0;
}
