#include <gtest/gtest.h>

#include "fakes.h"
#include "image_fixture.h"
#include "packet_stream.h"
#include "posix_file.h"
#include "string_table.h"

namespace {

// The stream as defined: first word, length + 10, payload, 16-bit sum, little-endian.
std::vector<std::uint8_t> ExpectedStream(const std::vector<std::uint8_t>& payload, std::uint32_t firstWord) {
  std::vector<std::uint8_t> stream(8);
  PutLe32(stream, 0, firstWord);
  PutLe32(stream, 4, static_cast<std::uint32_t>(payload.size() + 10));
  stream.insert(stream.end(), payload.begin(), payload.end());
  std::uint32_t sum = 0;
  for (auto b : payload) sum += b;
  stream.push_back(static_cast<std::uint8_t>(sum));
  stream.push_back(static_cast<std::uint8_t>(sum >> 8));
  return stream;
}

std::vector<std::size_t> PieceSizes(const FakeChannel& channel) {
  std::vector<std::size_t> sizes;
  for (const auto& w : channel.writes) sizes.push_back(w.size());
  return sizes;
}

class PacketStreamTest : public ::testing::Test {
 protected:
  // A source file of `prefix` filler bytes followed by the payload, positioned at 17.
  std::unique_ptr<File> Source(const std::vector<std::uint8_t>& payload, std::size_t prefix = 100) {
    folder.Write("source", Concat({Pattern(prefix, 5), payload}));
    auto file = files.Open(folder.Path("source"), OpenMode::ReadShared);
    EXPECT_TRUE(file && file->Seek(17, SeekFrom::Begin));
    return file;
  }
  static std::uint64_t Position(File& file) {
    std::uint64_t at = 0;
    EXPECT_TRUE(file.GetPosition(at));
    return at;
  }

  TempFolder folder;
  PosixFileSystem files;
  FakeChannel channel;
  RecordingPage page;
  RecordingMessages messages;
};

TEST(ByteSumTest, SumsUnsignedBytes) {
  const std::vector<std::uint8_t> ff(12280, 0xFF);
  EXPECT_EQ(ComputeByteSum(ff.data(), 12280) & 0xFFFF, 0xC808u);
  EXPECT_EQ(ComputeByteSum(ff.data(), 0), 0u);
  EXPECT_EQ(ComputeByteSum(ff.data(), -4), 0u);
}

TEST_F(PacketStreamTest, CutsEveryLengthIntoPiecesOfPacketBytes) {
  const struct {
    std::uint32_t n;
    std::vector<std::size_t> pieces;
  } cuts[] = {
      {12280, {12288, 2}},          {12290, {12288, 12}},        {24568, {12288, 12288, 2}},
      {24576, {12288, 12288, 10}},  {30000, {12288, 12288, 5434}}, {0, {10}},
      {1, {11}},                    {12278, {12288}},             {12279, {12288, 1}},
      {24567, {12288, 12288, 1}},   {12281, {12288, 3}},
  };
  for (const auto& cut : cuts) {
    FakeChannel wire;
    const auto payload = Pattern(cut.n, cut.n);
    auto source = Source(payload);
    ASSERT_EQ(SendStreamToDevice(&wire, *source, 100, cut.n, 0, page, messages), StreamEnd::Sent) << cut.n;
    EXPECT_EQ(PieceSizes(wire), cut.pieces) << cut.n;
    EXPECT_EQ(wire.Wire(), ExpectedStream(payload, 0)) << cut.n;
  }
}

TEST_F(PacketStreamTest, AllFfPayloadEndsWithItsChecksumAlone) {
  auto source = Source(std::vector<std::uint8_t>(12280, 0xFF));
  ASSERT_EQ(SendStreamToDevice(&channel, *source, 100, 12280, 0x12345678, page, messages), StreamEnd::Sent);
  ASSERT_EQ(channel.writes.size(), 2u);
  EXPECT_EQ(channel.writes[1], (std::vector<std::uint8_t>{0x08, 0xC8}));
  EXPECT_EQ(Slice(channel.writes[0], 0, 8), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12, 0x02, 0x30, 0, 0}));
}

TEST_F(PacketStreamTest, BarsMoveBeforeEachPiece) {
  auto source = Source(Pattern(30000, 1));
  page.overall.pos = 10;
  ASSERT_EQ(SendStreamToDevice(&channel, *source, 100, 30000, 0, page, messages), StreamEnd::Sent);
  EXPECT_EQ(page.log, (std::vector<std::string>{"step.range 2", "step.pos 0", "step.pos 1", "step.pos 2",
                                                 "overall.pos 11", "step.pos 3", "overall.pos 12"}));

  RecordingPage small;
  auto one = Source(Pattern(12280, 1));
  ASSERT_EQ(SendStreamToDevice(&channel, *one, 100, 12280, 0, small, messages), StreamEnd::Sent);
  EXPECT_EQ(small.log.front(), "step.range 0");
}

TEST_F(PacketStreamTest, KeepsTheSourcePosition) {
  auto source = Source(Pattern(30000, 1));
  ASSERT_EQ(SendStreamToDevice(&channel, *source, 100, 30000, 0, page, messages), StreamEnd::Sent);
  EXPECT_EQ(Position(*source), 17u);
  FakeChannel failing;
  failing.FailWrite(1);
  EXPECT_EQ(SendStreamToDevice(&failing, *source, 100, 30000, 0, page, messages), StreamEnd::WriteFailed);
  EXPECT_EQ(Position(*source), 17u);
}

TEST_F(PacketStreamTest, AStreamIsSentOnlyOnceTheDeviceHasTakenItAll) {
  const std::string stalled = "The device took no data for 30 seconds.";
  const std::string slow = "The device took less than 1 KiB a second over a minute.";
  const std::string sizeProblem = "USB bulk transfer failed: size problem";
  const struct {
    std::size_t failIndex;  // the write that ends so; SIZE_MAX: every write goes out
    WriteEnd wrote;         // how that write, or else the drain, ends
    StreamEnd end;
    std::vector<std::string> shown;  // a failing first write tells of a port that never worked
  } cases[] = {
      {SIZE_MAX, WriteEnd::Written, StreamEnd::Sent, {}},
      {1, WriteEnd::Failed, StreamEnd::WriteFailed, {sizeProblem}},
      {0, WriteEnd::Failed, StreamEnd::WriteFailed, {}},
      {1, WriteEnd::Stalled, StreamEnd::Stalled, {stalled}},
      {0, WriteEnd::Stalled, StreamEnd::Stalled, {stalled}},
      {1, WriteEnd::TooSlow, StreamEnd::TooSlow, {slow}},
      // Every piece written, but the port went away, stalled or crawled with bytes it
      // still held: the stream was not sent.
      {SIZE_MAX, WriteEnd::Failed, StreamEnd::WriteFailed, {sizeProblem}},
      {SIZE_MAX, WriteEnd::Stalled, StreamEnd::Stalled, {stalled}},
      {SIZE_MAX, WriteEnd::TooSlow, StreamEnd::TooSlow, {slow}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.failIndex << " " << static_cast<int>(c.wrote));
    FakeChannel wire;
    RecordingMessages shown;
    if (c.failIndex == SIZE_MAX) {
      wire.drainEnd = c.wrote;
    } else {
      wire.FailWrite(c.failIndex, c.wrote);
    }
    auto source = Source(Pattern(30000, 1));
    EXPECT_EQ(SendStreamToDevice(&wire, *source, 100, 30000, 0, page, shown), c.end);
    EXPECT_EQ(wire.writes.size(), c.failIndex == SIZE_MAX ? 3u : c.failIndex + 1);
    // One drain, after the last piece: the writes themselves are never held up.
    EXPECT_EQ(wire.drains, c.failIndex == SIZE_MAX ? 1 : 0);
    EXPECT_EQ(shown.shown, c.shown);
  }
}

TEST_F(PacketStreamTest, AStopRequestEndsTheStreamBeforeItsNextPiece) {
  auto source = Source(Pattern(30000, 1));
  StopFlag stop{true};
  EXPECT_EQ(SendStreamToDevice(&channel, *source, 100, 30000, 0, page, messages, &stop), StreamEnd::Stopped);
  EXPECT_TRUE(channel.writes.empty());
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(PacketStreamTest, RefusesBadRangesAndChannelsBeforeWriting) {
  auto source = Source(Pattern(30000, 1));  // 30100 bytes in all
  EXPECT_EQ(SendStreamToDevice(&channel, *source, 100, 30001, 0, page, messages), StreamEnd::SourceFailed);
  EXPECT_EQ(SendStreamToDevice(&channel, *source, 30101, 0, 0, page, messages), StreamEnd::SourceFailed);
  EXPECT_EQ(SendStreamToDevice(&channel, *source, 0xFFFFFFFFu, 2, 0, page, messages), StreamEnd::SourceFailed);
  EXPECT_EQ(SendStreamToDevice(nullptr, *source, 100, 30000, 0, page, messages), StreamEnd::NoPort);
  EXPECT_TRUE(channel.writes.empty());
  EXPECT_EQ(SendStreamToDevice(&channel, *source, 30100, 0, 0, page, messages), StreamEnd::Sent);  // empty range at the end
}

TEST_F(PacketStreamTest, ShortReadNeverPutsStaleBytesOnTheWire) {
  auto source = Source(Pattern(30000, 1));
  FaultyFile faulty(std::move(source));
  faulty.Fail(FaultyFile::Op::Read, 1, true);  // the second piece's read comes back short
  EXPECT_EQ(SendStreamToDevice(&channel, faulty, 100, 30000, 0, page, messages), StreamEnd::SourceFailed);
  EXPECT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(Position(faulty), 17u);
}

}  // namespace
