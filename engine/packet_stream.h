// Packet streams: every piece of data for the device's USB downloader travels as a
// first word, the stream length (payload + 10), the payload and a 16-bit additive
// checksum, all little-endian, written in pieces of PACKET_BYTES.
#pragma once

#include <cstdint>

#include "device_channel.h"
#include "file.h"
#include "message_boxes.h"
#include "progress_page.h"
#include "stop_flag.h"

constexpr std::uint32_t PACKET_BYTES = 12288;
constexpr std::uint32_t STREAM_HEAD_BYTES = 8;
constexpr std::uint32_t STREAM_CHECKSUM_BYTES = 2;

// The additive sum of count bytes, each unsigned; 0 for a count of zero or less.
// Only the low 16 bits are used.
std::uint32_t ComputeByteSum(const std::uint8_t* bytes, std::int32_t count);

// How a stream ended.
enum class StreamEnd {
  Sent,          // every piece went out in full
  NoPort,        // the port did not open
  SourceFailed,  // the range runs past the source, or reading it failed
  WriteFailed,   // a write failed, or the port went away before the device took every byte
  Stalled,       // the device took no data for WRITE_STALL_LIMIT_MS
  TooSlow,       // the device took data slower than the pace's floor
  Stopped,       // a stop was requested
};

// Sends length bytes of source from offset as one stream on the channel (null: the
// port did not open), moving the page's bars, and then waits until the device has
// taken every byte the port still holds. Checks the range before anything is written,
// and looks for a stop request before each piece. A stalled or too slow device shows
// why in a box; another failed write after the first piece, or a port that goes away
// while it still holds bytes of the stream, shows "USB bulk transfer failed: size
// problem". The source's position is kept.
StreamEnd SendStreamToDevice(DeviceChannel* channel, File& source, std::uint32_t offset, std::uint32_t length,
                             std::uint32_t firstWord, ProgressPage& page, MessageBoxes& messages,
                             const StopFlag* stop = nullptr);
