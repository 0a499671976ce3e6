#include "packet_stream.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "string_table.h"

std::uint32_t ComputeByteSum(const std::uint8_t* bytes, std::int32_t count) {
  std::uint32_t sum = 0;
  for (std::int32_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

namespace {

// Fills one piece from the stream position `at` on: head bytes, payload bytes read from
// the source, checksum bytes once the whole payload has been summed.
class StreamCutter {
 public:
  StreamCutter(File& source, std::uint32_t firstWord, std::uint32_t length) : source_(source), length_(length) {
    const std::uint32_t words[2] = {firstWord, length + STREAM_HEAD_BYTES + STREAM_CHECKSUM_BYTES};
    for (std::uint32_t i = 0; i < STREAM_HEAD_BYTES; ++i) {
      head_[i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
    }
  }

  std::uint64_t StreamBytes() const { return std::uint64_t{length_} + STREAM_HEAD_BYTES + STREAM_CHECKSUM_BYTES; }

  bool Fill(std::uint64_t at, std::uint8_t* piece, std::uint32_t size) {
    const std::uint64_t payloadEnd = std::uint64_t{STREAM_HEAD_BYTES} + length_;
    std::uint32_t filled = 0;
    while (filled < size) {
      const std::uint64_t position = at + filled;
      if (position < STREAM_HEAD_BYTES) {
        piece[filled++] = head_[position];
      } else if (position < payloadEnd) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - filled, payloadEnd - position));
        if (!ReadExactly(source_, piece + filled, count)) return false;
        sum_ += ComputeByteSum(piece + filled, static_cast<std::int32_t>(count));
        filled += count;
      } else {
        const auto shift = 8 * (position - payloadEnd);
        piece[filled++] = static_cast<std::uint8_t>((sum_ & 0xFFFF) >> shift);
      }
    }
    return true;
  }

 private:
  File& source_;
  std::uint32_t length_;
  std::uint8_t head_[STREAM_HEAD_BYTES] = {};
  std::uint32_t sum_ = 0;
};

// How a stream stands after a write or a drain; a box tells the user what went wrong.
StreamEnd StreamEndOf(WriteEnd wrote, std::int32_t pieceNumber, MessageBoxes& messages, const StopFlag* stop) {
  switch (wrote) {
    case WriteEnd::Written: return StreamEnd::Sent;
    case WriteEnd::Stalled: messages.ShowOk(LoadText(IDS_PORT_STALLED)); return StreamEnd::Stalled;
    case WriteEnd::TooSlow: messages.ShowOk(LoadText(IDS_PORT_TOO_SLOW)); return StreamEnd::TooSlow;
    case WriteEnd::Failed: break;
  }
  if (StopRequested(stop)) return StreamEnd::Stopped;
  // Only a later piece reports; the first failing tells of a port that never worked.
  if (pieceNumber > 1) messages.ShowOk(LoadText(IDS_USB_SIZE_PROBLEM));
  return StreamEnd::WriteFailed;
}

}  // namespace

StreamEnd SendStreamToDevice(DeviceChannel* channel, File& source, std::uint32_t offset, std::uint32_t length,
                             std::uint32_t firstWord, ProgressPage& page, MessageBoxes& messages,
                             const StopFlag* stop) {
  ProgressBar& stepBar = page.StepBar();
  ProgressBar& overallBar = page.OverallBar();
  stepBar.SetRange(static_cast<std::int32_t>(length / PACKET_BYTES));
  stepBar.SetPos(0);

  if (channel == nullptr) return StreamEnd::NoPort;
  std::uint64_t start = 0;
  std::uint64_t sourceLength = 0;
  if (!source.GetPosition(start) || !source.GetLength(sourceLength) || std::uint64_t{offset} + length > sourceLength ||
      length > std::numeric_limits<std::uint32_t>::max() - STREAM_HEAD_BYTES - STREAM_CHECKSUM_BYTES) {
    return StreamEnd::SourceFailed;
  }

  StreamEnd end = SeekTo(source, offset) ? StreamEnd::Sent : StreamEnd::SourceFailed;
  StreamCutter cutter(source, firstWord, length);
  std::vector<std::uint8_t> piece(PACKET_BYTES);
  std::int32_t pieceNumber = 0;
  for (std::uint64_t sent = 0; end == StreamEnd::Sent && sent < cutter.StreamBytes();) {
    if (StopRequested(stop)) {
      end = StreamEnd::Stopped;
      break;
    }
    const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(PACKET_BYTES, cutter.StreamBytes() - sent));
    // A short read would put stale bytes on the wire: the stream stops before this piece.
    if (!cutter.Fill(sent, piece.data(), size)) {
      end = StreamEnd::SourceFailed;
      break;
    }
    ++pieceNumber;
    stepBar.SetPos(pieceNumber);
    if (pieceNumber > 1) overallBar.SetPos(overallBar.GetPos() + 1);
    std::uint32_t written = 0;
    WriteEnd wrote = channel->Write(piece.data(), size, written);
    if (wrote == WriteEnd::Written && written != size) wrote = WriteEnd::Failed;
    sent += size;
    // A stream is sent once the device has taken all of it: until then a port that goes
    // away loses what it holds.
    end = StreamEndOf(sent == cutter.StreamBytes() && wrote == WriteEnd::Written ? channel->Drain() : wrote,
                      pieceNumber, messages, stop);
  }
  if (!SeekTo(source, start) && end == StreamEnd::Sent) end = StreamEnd::SourceFailed;
  return end;
}
