// The real ports' write and drain loops, over scripted system calls on the virtual
// clock: what a device does to them over minutes runs in microseconds.
#include <gtest/gtest.h>

#include "device_channel.h"
#include "fakes.h"
#include "image_fixture.h"

namespace {

// A device behind the loops: each system write moves what the script says and takes
// its time; past the script, a write moves idleMoved bytes and takes idleMs.
struct ScriptedDevice {
  struct Step {
    std::uint32_t moved;
    std::uint32_t ms;
    bool ok = true;
  };

  WriteEnd Write(std::uint32_t size, std::uint32_t& written) {
    data = Pattern(size, 3);
    return WriteWhileMoving(clock, pace, data.data(), size, written,
                            [this](const std::uint8_t* at, std::uint32_t left, std::uint32_t& moved) {
                              const Step s = Next();
                              clock.Advance(s.ms);
                              moved = std::min(s.moved, left);
                              wire.insert(wire.end(), at, at + moved);
                              return s.ok;
                            });
  }

  // The port holds `held` bytes; each look at its queue takes the next step: the
  // device took `moved` of them in `ms`, or the port has gone (ok false).
  WriteEnd Drain() {
    return DrainWhileShrinking(clock, pace, held, [this](std::uint32_t& queued) {
      const Step s = Next();
      clock.Advance(s.ms);
      queued = held - std::min(s.moved, held);
      return s.ok;
    });
  }

  Step Next() { return next < script.size() ? script[next++] : (++next, Step{idleMoved, idleMs}); }

  std::uint32_t Elapsed() { return clock.TickCount() - start; }

  VirtualClock clock;
  std::uint32_t start = clock.TickCount();
  PaceWatch pace;
  std::vector<Step> script;
  std::uint32_t idleMoved = 0;
  std::uint32_t idleMs = 1000;
  std::size_t next = 0;
  std::uint32_t held = 0;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> wire;
};

TEST(WriteLoopTest, ShortWritesGoOnWithTheRestUntilNothingMovesFor30Seconds) {
  ScriptedDevice moving;
  moving.script = {{5000, 1000}, {0, 1000}, {0, 1000}, {3000, 1000}, {9999, 10}};
  std::uint32_t written = 0;
  EXPECT_EQ(moving.Write(12288, written), WriteEnd::Written);
  EXPECT_EQ(written, 12288u);
  EXPECT_EQ(moving.wire, moving.data);

  // 29 s without a byte and then one: still moving. Then nothing: stalled 30 s after
  // that byte, not before.
  ScriptedDevice stalling;
  stalling.script = {{100000, 1000}};
  for (int i = 0; i < 29; ++i) stalling.script.push_back({0, 1000});
  stalling.script.push_back({1, 1000});
  EXPECT_EQ(stalling.Write(200000, written), WriteEnd::Stalled);
  EXPECT_EQ(written, 100001u);
  EXPECT_EQ(stalling.Elapsed(), 31000u + 30000u);

  ScriptedDevice failing;
  failing.script = {{100, 10}, {0, 10, false}};
  EXPECT_EQ(failing.Write(12288, written), WriteEnd::Failed);
  EXPECT_EQ(written, 100u);
}

TEST(WriteLoopTest, APortThatReturnsAtOnceWithNothingIsNotAskedAgainAndAgain) {
  ScriptedDevice busy;
  busy.idleMs = 0;
  std::uint32_t written = 0;
  EXPECT_EQ(busy.Write(10, written), WriteEnd::Stalled);
  EXPECT_EQ(busy.Elapsed(), 30000u);
  // About ten attempts a second, never a loop that keeps a core busy.
  EXPECT_LE(busy.next, 30u * 10 + 2);
}

TEST(PaceTest, ADeviceThatTricklesEndsWithinAboutAMinuteOfWriting) {
  // One byte every 29 s never stalls a write, but a minute of it moves two bytes.
  ScriptedDevice trickle;
  trickle.idleMoved = 1;
  trickle.idleMs = 29000;
  std::uint32_t written = 0;
  EXPECT_EQ(trickle.Write(12288, written), WriteEnd::TooSlow);
  EXPECT_GE(trickle.Elapsed(), PACE_WINDOW_MS);
  EXPECT_LE(trickle.Elapsed(), PACE_WINDOW_MS + 29000);

  // The same across pieces: the pace counts the whole time spent writing, however it
  // is cut into calls. 900 bytes a second is under the floor.
  ScriptedDevice slow;
  slow.idleMoved = 900;
  slow.idleMs = 1000;
  WriteEnd end = WriteEnd::Written;
  int pieces = 0;
  while (end == WriteEnd::Written && pieces < 100) {
    end = slow.Write(12288, written);
    ++pieces;
  }
  EXPECT_EQ(end, WriteEnd::TooSlow);
  EXPECT_LE(slow.Elapsed(), PACE_WINDOW_MS + 1000);
}

TEST(PaceTest, ADeviceAboveTheFloorOrPausingToEraseIsNeverTooSlow) {
  // 1.5 KiB a second for ten minutes.
  ScriptedDevice steady;
  steady.idleMoved = 1536;
  std::uint32_t written = 0;
  for (int piece = 0; piece < 75; ++piece) ASSERT_EQ(steady.Write(12288, written), WriteEnd::Written) << piece;
  EXPECT_GE(steady.Elapsed(), 600000u);

  // A device that stops for 25 s now and then to erase, and is fast between.
  ScriptedDevice erasing;
  for (int i = 0; i < 10; ++i) {
    erasing.script.push_back({0, 25000});
    for (int piece = 0; piece < 10; ++piece) erasing.script.push_back({12288, 10});
  }
  for (int piece = 0; piece < 100; ++piece) ASSERT_EQ(erasing.Write(12288, written), WriteEnd::Written) << piece;

  // Time between writes (a wait for the device's answer) is no slowness of its port.
  ScriptedDevice answering;
  answering.idleMoved = 12288;
  answering.idleMs = 100;
  for (int piece = 0; piece < 10; ++piece) {
    ASSERT_EQ(answering.Write(12288, written), WriteEnd::Written);
    answering.clock.Advance(300000);
  }
}

TEST(DrainTest, ADrainEndsWhenThePortHoldsNothingMore) {
  ScriptedDevice emptying;
  emptying.held = 4000;
  emptying.script = {{1000, 10}, {0, 10}, {2000, 10}, {1000, 10}};
  EXPECT_EQ(emptying.Drain(), WriteEnd::Written);
  EXPECT_EQ(emptying.held, 0u);
  EXPECT_EQ(emptying.next, 4u);
  // Between looks it sleeps: a drain is no busy loop.
  EXPECT_EQ(emptying.Elapsed(), 4 * 10u + 3 * DRAIN_POLL_MS);

  // A port that cannot tell its queue says it holds nothing: drained at once.
  ScriptedDevice untold;
  EXPECT_EQ(untold.Drain(), WriteEnd::Written);
  EXPECT_EQ(untold.next, 1u);
}

TEST(DrainTest, AQueueThatStopsShrinkingOrCrawlsEndsAsAWriteWould) {
  ScriptedDevice stuck;
  stuck.held = 4096;
  stuck.script = {{96, 10}};
  stuck.idleMs = 0;
  EXPECT_EQ(stuck.Drain(), WriteEnd::Stalled);
  EXPECT_EQ(stuck.held, 4000u);
  EXPECT_GE(stuck.Elapsed(), 30000u);
  EXPECT_LT(stuck.Elapsed(), 30000u + 2 * DRAIN_POLL_MS + 10);

  ScriptedDevice crawling;
  crawling.held = 60000;
  crawling.idleMoved = 1;
  crawling.idleMs = 1000;
  EXPECT_EQ(crawling.Drain(), WriteEnd::TooSlow);
  EXPECT_LE(crawling.Elapsed(), PACE_WINDOW_MS + 2000);
}

TEST(DrainTest, APortThatGoesAwayWithBytesQueuedHasLostThem) {
  ScriptedDevice gone;
  gone.held = 3000;
  gone.script = {{1000, 10}, {0, 10, false}};
  EXPECT_EQ(gone.Drain(), WriteEnd::Failed);
  // What it held when last asked never reached the device.
  EXPECT_EQ(gone.held, 2000u);
}

}  // namespace
