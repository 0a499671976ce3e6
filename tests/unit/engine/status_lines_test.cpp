#include <gtest/gtest.h>

#include <cstring>

#include "fakes.h"
#include "status_lines.h"

namespace {

class StatusLinesTest : public ::testing::Test {
 protected:
  int Wait(const char* expected, std::uint32_t limit = 5000, bool withOverall = true, bool withStep = true) {
    return WaitForDeviceLine(channel, limit, expected, withOverall ? &page.overall : nullptr,
                             withStep ? &page.step : nullptr, clock, &end);
  }

  VirtualClock clock;
  FakeChannel channel{&clock};
  RecordingPage page;
  LineWaitEnd end = LineWaitEnd::ExpectedLine;
};

TEST_F(StatusLinesTest, ProgressLinesMoveBothBarsThenTheAnswerFillsTheStepBar) {
  page.step.upper = 9;
  channel.Say(".\n.\ndevice reset.\n");
  EXPECT_EQ(Wait("device reset.\n"), 1);
  EXPECT_EQ(end, LineWaitEnd::ExpectedLine);
  EXPECT_EQ(page.log, (std::vector<std::string>{"overall.pos 1", "step.pos 1", "overall.pos 2", "step.pos 2",
                                                 "step.pos 9"}));
}

TEST_F(StatusLinesTest, FailureLinesEndTheWaitAtOnce) {
  const struct {
    const char* line;
    LineWaitEnd end;
  } failures[] = {{"Flash Incorrect.\n", LineWaitEnd::FlashIncorrect},
                  {"OS not compatible.\n", LineWaitEnd::OsNotCompatible}};
  for (const auto& failure : failures) {
    FakeChannel device(&clock);
    device.Say(std::string(failure.line) + "Reserved region ok.\n");
    EXPECT_EQ(WaitForDeviceLine(device, 300000, "Reserved region ok.\n", &page.overall, &page.step, clock, &end), 0);
    EXPECT_EQ(end, failure.end);
    EXPECT_EQ(device.pendingBytes(), 20u);
  }
  EXPECT_TRUE(page.log.empty());
}

TEST_F(StatusLinesTest, LengthLinesSetTheStepRangeFromTheirLeadingNumber) {
  channel.Say("12345 LENGTH\n");
  channel.Say("  +77 bytes, LENGTH of image\n");
  channel.Say("LENGTH 12345\n");
  channel.Say("99999999999 LENGTH\n");
  channel.Say("OS program ok!\n");
  EXPECT_EQ(Wait("OS program ok!\n", 600000, true, true), 1);
  EXPECT_EQ(page.log, (std::vector<std::string>{"step.range 12345", "step.pos 0", "step.range 77", "step.pos 0",
                                                 "step.range 0", "step.pos 0", "step.range 2147483647", "step.pos 0",
                                                 "step.pos 2147483647"}));
}

TEST_F(StatusLinesTest, NearMissesAndOtherLinesAreIgnored) {
  channel.Say("device reset\n");
  channel.Say("Device reset.\n");
  channel.Say("xdevice reset.\n");
  channel.Say("device reset.\r\n");
  channel.Say("garbage \x01\xff\n");
  channel.Say("device reset.\n");
  // Every line reaches an observer, the ignored ones too.
  struct Lines : LineObserver {
    void LineReceived(const std::string& line) override { seen.push_back(line); }
    std::vector<std::string> seen;
  } observer;
  EXPECT_EQ(WaitForDeviceLine(channel, 5000, "device reset.\n", &page.overall, &page.step, clock, &end, nullptr,
                              &observer),
            1);
  EXPECT_EQ(page.log, std::vector<std::string>{"step.pos 100"});
  EXPECT_EQ(observer.seen, (std::vector<std::string>{"device reset\n", "Device reset.\n", "xdevice reset.\n",
                                                      "device reset.\r\n", "garbage \x01\xff\n",
                                                      "device reset.\n"}));
}

TEST_F(StatusLinesTest, ProgressLineNeedsBothBars) {
  channel.Say(".\n.\nOS program ok!\n");
  EXPECT_EQ(Wait("OS program ok!\n", 600000, false, true), 1);
  EXPECT_EQ(page.log, std::vector<std::string>{"step.pos 100"});
  channel.Say(".\nOS program ok!\n");
  EXPECT_EQ(Wait("OS program ok!\n", 600000, true, false), 1);
  EXPECT_EQ(page.log.size(), 1u);
}

TEST_F(StatusLinesTest, ZeroLimitReadsNothing) {
  channel.Say("device reset.\n");
  EXPECT_EQ(Wait("device reset.\n", 0), 0);
  EXPECT_EQ(end, LineWaitEnd::ZeroLimit);
  EXPECT_EQ(channel.reads, 0u);
  EXPECT_EQ(channel.timeoutSets, 1);
}

TEST_F(StatusLinesTest, SilenceAfterTheFirstByteEndsTheWait) {
  channel.Say(".\n");
  channel.Pause(60000);
  channel.Say("OS program ok!\n");
  EXPECT_EQ(Wait("OS program ok!\n", 600000), 1);  // 60 s exactly is not yet silence

  FakeChannel mute(&clock);
  mute.Say("LENGTH");
  const std::uint32_t before = clock.TickCount();
  EXPECT_EQ(WaitForDeviceLine(mute, 600000, "OS program ok!\n", &page.overall, &page.step, clock, &end), 0);
  EXPECT_EQ(end, LineWaitEnd::Silence);
  EXPECT_EQ(clock.TickCount() - before, 60100u);
}

TEST_F(StatusLinesTest, NoFirstByteEndsAfterTheLargerOfLimitAndSilence) {
  for (std::uint32_t limit : {5000u, 300000u}) {
    FakeChannel mute(&clock);
    const std::uint32_t before = clock.TickCount();
    EXPECT_EQ(WaitForDeviceLine(mute, limit, "device reset.\n", &page.overall, &page.step, clock, &end), 0);
    EXPECT_EQ(end, LineWaitEnd::NoFirstByte);
    EXPECT_EQ(clock.TickCount() - before, std::max(limit, SILENCE_LIMIT_MS) + 100);
  }
  // A late first byte within the limit still counts.
  channel.Pause(250000);
  channel.Say("Reserved region ok.\n");
  EXPECT_EQ(Wait("Reserved region ok.\n", 300000), 1);
}

TEST_F(StatusLinesTest, EmptyReadsThatReturnAtOnceArePaced) {
  FakeChannel quick(&clock, 1);  // every empty read returns after 1 ms
  quick.Say(".\n");
  const std::uint32_t start = clock.TickCount();
  EXPECT_EQ(WaitForDeviceLine(quick, 5000, "device reset.\n", &page.overall, &page.step, clock, &end), 0);
  EXPECT_EQ(end, LineWaitEnd::Silence);
  EXPECT_EQ(clock.TickCount() - start, SILENCE_LIMIT_MS + EMPTY_READ_MS);
  EXPECT_EQ(quick.reads, 2u + 601u);  // one empty read per 100 ms, not one per 1 ms
}

TEST_F(StatusLinesTest, AReadThatFailsEndsTheWaitAtOnce) {
  for (const char* before : {"", ".\n"}) {
    SCOPED_TRACE(before);
    FakeChannel gone(&clock);
    gone.Say(before);
    gone.GoAway();
    const std::uint32_t start = clock.TickCount();
    EXPECT_EQ(WaitForDeviceLine(gone, 300000, "Reserved region ok.\n", &page.overall, &page.step, clock, &end), 0);
    EXPECT_EQ(end, LineWaitEnd::PortGone);
    EXPECT_EQ(clock.TickCount(), start);
  }
}

TEST_F(StatusLinesTest, LinesTheWaitDoesNotKnowKeepItAliveOnlyForItsAnswerLimit) {
  // A line a second that is neither progress nor an answer: the wait ends after its
  // limit, never less than 60 s, as if the device had said nothing.
  const struct {
    std::uint32_t limit;
    std::uint32_t endsAfterMs;
  } waits[] = {{5000, 60000}, {300000, 300000}, {600000, 600000}};
  for (const auto& [limit, endsAfterMs] : waits) {
    SCOPED_TRACE(limit);
    FakeChannel noisy(&clock);
    for (int i = 0; i < 700; ++i) {
      noisy.Say("noise\n");
      noisy.Pause(1000);
    }
    const std::uint32_t start = clock.TickCount();
    EXPECT_EQ(WaitForDeviceLine(noisy, limit, "OS program ok!\n", &page.overall, &page.step, clock, &end), 0);
    EXPECT_EQ(end, LineWaitEnd::Unrecognised);
    EXPECT_EQ(clock.TickCount() - start, endsAfterMs + 100);
  }

  // A line it knows starts the limit again: 50 s of noise, a progress line, 50 s more,
  // a LENGTH line, 50 s more, then the answer.
  FakeChannel mixed(&clock);
  for (const char* known : {".\n", "9 LENGTH\n", "device reset.\n"}) {
    for (int i = 0; i < 50; ++i) {
      mixed.Say("noise\n");
      mixed.Pause(1000);
    }
    mixed.Say(known);
  }
  EXPECT_EQ(WaitForDeviceLine(mixed, 5000, "device reset.\n", &page.overall, &page.step, clock, &end), 1);
}

TEST_F(StatusLinesTest, NoWaitLastsLongerThanItsCap) {
  // Progress lines every 50 s keep the wait alive, but not past 30 minutes.
  FakeChannel dots(&clock);
  for (int i = 0; i < 40; ++i) {
    dots.Pause(50000);
    dots.Say(".\n");
  }
  const std::uint32_t start = clock.TickCount();
  EXPECT_EQ(WaitForDeviceLine(dots, 600000, "OS program ok!\n", &page.overall, &page.step, clock, &end), 0);
  EXPECT_EQ(end, LineWaitEnd::Capped);
  EXPECT_EQ(clock.TickCount() - start, WAIT_CAP_MS + 100);
}

TEST_F(StatusLinesTest, AStopRequestEndsTheWaitBeforeTheNextRead) {
  StopFlag stop{true};
  channel.Say("device reset.\n");
  EXPECT_EQ(WaitForDeviceLine(channel, 5000, "device reset.\n", &page.overall, &page.step, clock, &end, &stop), 0);
  EXPECT_EQ(end, LineWaitEnd::Stopped);
  EXPECT_EQ(channel.reads, 0u);
  EXPECT_EQ(channel.timeoutSets, 1);
}

TEST_F(StatusLinesTest, TickCountWrapDoesNoHarm) {
  VirtualClock late(0xFFFFFFFFu - 30000);
  FakeChannel device(&late);
  device.Say(".\n");
  device.Pause(50000);
  device.Say("OS program ok!\n");
  EXPECT_EQ(WaitForDeviceLine(device, 600000, "OS program ok!\n", &page.overall, &page.step, late, &end), 1);
}

TEST_F(StatusLinesTest, BytesAfterTheAnswerStayForTheNextWait) {
  channel.Say("device reset.\nReserved region ok.\n");
  EXPECT_EQ(Wait("device reset.\n"), 1);
  EXPECT_EQ(channel.pendingBytes(), 20u);
  EXPECT_EQ(Wait("Reserved region ok.\n"), 1);
}

TEST_F(StatusLinesTest, OverLongLinesMatchNothingAndDoNotOverrun) {
  const std::string filler(300, 'x');
  channel.Say(filler + "device reset.\n");   // ends like the answer but is no answer
  channel.Say(std::string(113, 'y') + "device reset.\n" + "LENGTH\n");
  channel.Say(std::string(200, '.') + "\n");
  channel.Say("device reset.\n");
  EXPECT_EQ(Wait("device reset.\n"), 1);
  EXPECT_EQ(page.log, (std::vector<std::string>{"step.range 0", "step.pos 0", "step.pos 0"}));

  // A line of 127 bytes, line feed included, is held whole.
  const std::string longest = std::string(126, 'z') + "\n";
  channel.Say(longest);
  EXPECT_EQ(Wait(longest.c_str()), 1);
}

TEST_F(StatusLinesTest, TimeoutsAreRestoredOnEveryExit) {
  const CommTimeouts original = channel.timeouts;
  channel.Say("device reset.\nFlash Incorrect.\n");
  Wait("device reset.\n");
  Wait("device reset.\n");
  Wait("device reset.\n");  // silence
  EXPECT_EQ(channel.timeoutSets, 3);
  EXPECT_EQ(channel.timeouts.readTotalTimeoutConstant, original.readTotalTimeoutConstant);
}

}  // namespace
