#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "../common/json.h"

namespace pdasim {

namespace {

constexpr std::size_t READ_BYTES = 64 * 1024;
// Reads in a row without a poll, so that the answers and the signal are still seen.
constexpr int BURST_READS = 64;
constexpr std::int64_t TRIGGER_POLL_MS = 20;
constexpr std::int64_t DRAIN_POLL_MS = 10;
// The pty hands written bytes to the reading side from a kernel worker, a moment
// after the write; only a quiet stretch this long means the host has read them all.
constexpr int DRAIN_QUIET_LOOKS = 10;
// A host that has not read the answer by then is not going to.
constexpr std::int64_t DRAIN_LIMIT_MS = 10000;

// Near misses of the lines the host acts on, and lines it has never seen.
const char* const GARBAGE[] = {
    "Flash Incorrect\n", "flash incorrect.\n", "OS not compatible\n", "device reset\n",
    "Device reset.\n",   "OS program ok\n",    "OS program ok!\r\n",  "Reserved region ok\n",
    "\r\n",              "\x01\x7f\xfe\xff\n", "ERR 0x42\n",          " .\n",
};

// Lines longer than a 128-byte line buffer. The second one, if kept in a buffer whose
// index wraps at 128, leaves exactly "Flash Incorrect.\n" and zeros behind.
std::string LongLine(unsigned n) {
  if (n % 2 == 0) {
    std::string line;
    while (line.size() < 200) line += "over-long status line ";
    return line + "\n";
  }
  const std::string failure = "Flash Incorrect.\n";
  return std::string(failure.size(), 'G') + std::string(128 - failure.size(), '\0') + failure;
}

const char* ExpectedAnswer(Role role) {
  switch (role) {
    case Role::Package: return "device reset.\n";
    case Role::PartTwo: return "Reserved region ok.\n";
    default: return "OS program ok!\n";
  }
}

}  // namespace

std::uint64_t Session::Stream::payloadReceived() const {
  if (received <= STREAM_HEAD_BYTES) return 0;
  return std::min(received - STREAM_HEAD_BYTES, payloadBytes());
}

Session::Session(const Options& options, const ImageCheck* check, int signalFd)
    : options_(options), check_(check), signalFd_(signalFd) {
  if (options.failAfter) faults_.push_back({"fail-after", options.failAfter->text + " " + options.failLine});
  if (options.badChecksum) faults_.push_back({"bad-checksum", options.badChecksum->text});
  if (options.silence)
    faults_.push_back({"silence", options.silence->text + " after " + std::to_string(options.silenceLines) + " lines"});
  if (options.drop)
    faults_.push_back({!options.midwayLine.empty() ? "refuse-midway" : options.stall ? "stall" : "drop",
                       options.drop->text + " after " + std::to_string(options.dropBytes) + " bytes"});
  if (options.slowBytes)
    faults_.push_back({"slow-read", std::to_string(options.slowBytes) + " bytes per " + std::to_string(options.slowMs) + " ms"});
  if (options.garbageLines) faults_.push_back({"garbage", std::to_string(options.garbageLines) + " lines"});
  if (options.longLines) faults_.push_back({"long-lines", std::to_string(options.longLines) + " lines"});
  if (options.noReturn) faults_.push_back({"no-return", ""});
  if (options.normal.kind != DeviceKind::None)
    normal_.emplace(options, signalFd, [this](const std::string& text) { Problem(text); });
}

std::int64_t Session::Now() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Session::Path(const std::string& name) const { return options_.out + "/" + name; }

void Session::Problem(const std::string& text) {
  std::cerr << "pdasim: " << text << "\n";
  problems_.push_back(text);
}

void Session::Unexpected(std::size_t count, const std::string& context) {
  if (unexpectedBytes_ == 0) unexpectedContext_ = context;
  unexpectedBytes_ += count;
}

void Session::End(const std::string& reason) {
  endReason_ = reason;
  phase_ = Phase::Ended;
}

bool Session::Publish() {
  std::string error;
  if (!port_.Open(options_.link, error)) {
    Problem(error);
    End("port error");
    return false;
  }
  std::cerr << "pdasim: port " << port_.slaveName() << " published at " << options_.link << "\n";
  phase_ = Phase::Receiving;
  return true;
}

int Session::Run() {
  deadline_ = Now() + std::int64_t{options_.maxSeconds} * 1000;
  std::error_code ignored;
  std::filesystem::create_directories(options_.out, ignored);
  for (Role role : {Role::Package, Role::PartTwo, Role::OsRemainder})
    std::filesystem::remove(Path(RoleFile(role)), ignored);
  std::filesystem::remove(Path("report.json"), ignored);

  if (normal_ && !normal_->Run(deadline_)) {
    End(normal_->EndReason());
  } else if (options_.trigger.empty()) {
    Publish();
  }
  while (phase_ != Phase::Ended) Step();

  if (inStream_ && !streams_.back()->dropped)
    Problem("stream " + std::to_string(streams_.back()->index) + " incomplete: " +
            std::to_string(streams_.back()->received) + " bytes received");
  for (auto& stream : streams_) stream->out.reset();
  port_.Close();
  if (unexpectedBytes_ != 0)
    Problem(std::to_string(unexpectedBytes_) + " unexpected bytes arrived " + unexpectedContext_);
  if (check_) Verify();
  const int exitCode = problems_.empty() ? 0 : 1;
  WriteReport(exitCode);
  std::cerr << "pdasim: " << endReason_ << (exitCode == 0 ? ", all well" : ", with problems") << "\n";
  return exitCode;
}

// One turn of the event loop: timers first, then output, then wait for the port.
void Session::Step() {
  const std::int64_t now = Now();
  const bool silent = phase_ == Phase::Silent;
  char signalByte = 0;
  if (read(signalFd_, &signalByte, 1) == 1) {
    if (!silent) Problem("terminated by a signal before the session ended");
    End(silent ? "silent until terminated" : "terminated");
    return;
  }
  if (now >= deadline_) {
    if (!silent) Problem("time limit of " + std::to_string(options_.maxSeconds) + " s reached");
    End(silent ? "silent until the time limit" : "time limit");
    return;
  }
  switch (phase_) {
    case Phase::WaitTrigger:
      if (access(options_.trigger.c_str(), F_OK) == 0 && !Publish()) return;
      timer_ = now + TRIGGER_POLL_MS;
      break;
    case Phase::DrainThenReset:
    case Phase::DrainThenFinish:
      if (now >= timer_) StepDrain();
      break;
    case Phase::ResetDown:
      if (now >= timer_ && !Publish()) return;
      if (phase_ == Phase::Receiving) expect_ = Expect::PartTwo;
      break;
    case Phase::Linger:
      if (now >= timer_) {
        End(finishReason_);
        return;
      }
      break;
    default:
      break;
  }
  if (phase_ == Phase::Ended) return;
  PumpOutput();

  std::int64_t wake = deadline_;
  if (phase_ != Phase::Receiving && phase_ != Phase::Silent) wake = std::min(wake, timer_);
  if (!outQueue_.empty() && !outBlocked_) wake = std::min(wake, outReadyAt_);
  pollfd fds[2] = {{signalFd_, POLLIN, 0}, {-1, 0, 0}};
  if (port_.IsOpen()) {
    fds[1].fd = port_.master();
    if (stalled_) {
      // The host's bytes pile up in the port until its writes find no room.
    } else if (now >= nextReadAt_) {
      fds[1].events |= POLLIN;
    } else {
      wake = std::min(wake, nextReadAt_);
    }
    if (outBlocked_) fds[1].events |= POLLOUT;
  }
  const std::int64_t timeout = std::clamp<std::int64_t>(wake - Now(), 0, 1000);
  if (poll(fds, 2, static_cast<int>(timeout)) <= 0) return;
  if (fds[1].revents & POLLOUT) outBlocked_ = false;
  if (fds[1].revents & POLLIN) {
    // What a host has written is read in one go: a poll of a pty waits for its buffer
    // work each time, and a poll between every two reads would be most of the work.
    for (int reads = 0; reads < BURST_READS && ReadFromHost(); ++reads) {
    }
  } else if (fds[1].revents & (POLLHUP | POLLERR)) {
    Problem("the port hung up unexpectedly");
    End("port error");
  }
}

std::size_t Session::ReadLimit() const {
  std::size_t limit = READ_BYTES;
  if (options_.slowBytes) limit = std::min<std::size_t>(limit, options_.slowBytes);
  if (!options_.drop) return limit;
  // While a drop waits, no read crosses into the next stream or past the drop point,
  // so exactly the chosen number of bytes of the stream is taken.
  if (!inStream_) {
    const Role next = expect_ == Expect::PartTwo       ? Role::PartTwo
                      : expect_ == Expect::OsRemainder ? Role::OsRemainder
                                                       : Role::Unknown;
    limit = std::min<std::size_t>(limit, STREAM_HEAD_BYTES);
    if (options_.drop->Matches(static_cast<unsigned>(streams_.size() + 1), next))
      limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, options_.dropBytes));
    return limit;
  }
  const Stream& stream = *streams_.back();
  std::uint64_t left = stream.received < STREAM_HEAD_BYTES
                                 ? STREAM_HEAD_BYTES - stream.received
                                 : STREAM_HEAD_BYTES + stream.payloadBytes() + CHECKSUM_BYTES - stream.received;
  // The first stream's role is known once its header is in; a drop by role needs it.
  if (stream.role == Role::Unknown && stream.received >= STREAM_HEAD_BYTES)
    left = STREAM_HEAD_BYTES + std::min<std::uint64_t>(HEADER_BYTES, stream.payloadBytes()) - stream.received;
  limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, left));
  if (DropMatches(stream) && stream.received < options_.dropBytes)
    limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, options_.dropBytes - stream.received));
  return limit;
}

bool Session::ReadFromHost() {
  std::uint8_t buffer[READ_BYTES];
  const ssize_t got = read(port_.master(), buffer, ReadLimit());
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return false;
    Problem(std::string("reading the port failed: ") + std::strerror(errno));
    End("port error");
    return false;
  }
  if (options_.slowBytes) {
    nextReadAt_ = Now() + options_.slowMs;
    for (Fault& fault : faults_) fault.applied |= fault.name == "slow-read";
  }
  const auto size = static_cast<std::size_t>(got);
  switch (phase_) {
    case Phase::Receiving:
      if (expect_ != Expect::Nothing || inStream_) {
        Feed(buffer, size);
      } else {
        Unexpected(size, "after the last answer");
      }
      break;
    case Phase::DrainThenReset: Unexpected(size, "before the device reset"); break;
    case Phase::Silent: Unexpected(size, "after the device fell silent"); break;
    default: Unexpected(size, "after the last answer"); break;
  }
  return got > 0 && options_.slowBytes == 0 && phase_ == Phase::Receiving && !stalled_ && port_.IsOpen();
}

void Session::Feed(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && phase_ != Phase::Ended) {
    if (!inStream_) {
      if (expect_ == Expect::Nothing) {
        Unexpected(size, "after the last answer");
        return;
      }
      StartStream();
    }
    Stream& stream = *streams_.back();
    std::size_t take = 0;
    if (stream.received < STREAM_HEAD_BYTES) {
      take = std::min<std::size_t>(size, STREAM_HEAD_BYTES - stream.received);
      std::memcpy(stream.head + stream.received, data, take);
      stream.received += take;
      if (stream.received == STREAM_HEAD_BYTES) {
        if (stream.firstWord() != 0)
          Problem("stream " + std::to_string(stream.index) + ": first word is " +
                  std::to_string(stream.firstWord()) + ", expected 0");
        if (stream.lengthField() < STREAM_OVERHEAD) {
          // The stream cannot be delimited; nothing after it can be trusted.
          Problem("stream " + std::to_string(stream.index) + ": length field " +
                  std::to_string(stream.lengthField()) + " is below 10");
          inStream_ = false;
          expect_ = Expect::Nothing;
          answering_ = &stream;
          Queue("Flash Incorrect.\n", 0);
          after_ = After::Finish;
          finishReason_ = "failure line sent";
          if (size > take) Unexpected(size - take, "after a malformed stream head");
          return;
        }
      }
    } else {
      const std::uint64_t payloadEnd = STREAM_HEAD_BYTES + stream.payloadBytes();
      if (stream.received < payloadEnd) {
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, payloadEnd - stream.received));
        // The first stream's role is settled by its header before any more is taken.
        if (stream.role == Role::Unknown)
          take = static_cast<std::size_t>(std::min<std::uint64_t>(take, HEADER_BYTES - stream.payloadReceived()));
        TakePayload(stream, data, take);
      } else {
        take = static_cast<std::size_t>(std::min<std::uint64_t>(size, payloadEnd + CHECKSUM_BYTES - stream.received));
        std::memcpy(stream.checksum + (stream.received - payloadEnd), data, take);
        stream.received += take;
      }
    }
    if (stream.role == Role::Unknown &&
        stream.payloadReceived() >= std::min<std::uint64_t>(HEADER_BYTES, stream.payloadBytes()) &&
        stream.received >= STREAM_HEAD_BYTES)
      Classify(stream);
    if (options_.drop && DropMatches(stream) && stream.received >= options_.dropBytes && options_.stall) {
      stream.dropped = true;
      for (Fault& fault : faults_) fault.applied |= fault.name == "stall" || fault.name == "refuse-midway";
      std::cerr << "pdasim: taking no more data after " << stream.received << " bytes of stream " << stream.index
                << "\n";
      stalled_ = true;
      if (!options_.midwayLine.empty()) {
        // The device's refusal goes out; what the host still writes piles up unread.
        answering_ = &stream;
        expect_ = Expect::Nothing;
        after_ = After::Silence;
        Queue(options_.midwayLine, 0);
        return;
      }
      phase_ = Phase::Silent;
      return;
    }
    if (options_.drop && DropMatches(stream) && stream.received >= options_.dropBytes) {
      stream.dropped = true;
      for (Fault& fault : faults_) fault.applied |= fault.name == "drop";
      std::cerr << "pdasim: dropping the connection after " << stream.received << " bytes of stream "
                << stream.index << "\n";
      port_.Close();
      End("connection dropped");
      return;
    }
    if (stream.received >= STREAM_HEAD_BYTES && stream.received == STREAM_HEAD_BYTES + stream.payloadBytes() + CHECKSUM_BYTES)
      CompleteStream(stream);
    data += take;
    size -= take;
  }
}

bool Session::DropMatches(const Stream& stream) const {
  return options_.drop->Matches(stream.index, stream.role);
}

void Session::StartStream() {
  auto stream = std::make_unique<Stream>();
  stream->index = static_cast<unsigned>(streams_.size() + 1);
  stream->early = !outQueue_.empty();
  if (stream->early)
    Problem("stream " + std::to_string(stream->index) + " began before the answer to stream " +
            std::to_string(stream->index - 1) + " was complete");
  streams_.push_back(std::move(stream));
  inStream_ = true;
  if (expect_ == Expect::PartTwo) {
    streams_.back()->role = Role::PartTwo;
    Classify(*streams_.back());
  } else if (expect_ == Expect::OsRemainder) {
    streams_.back()->role = Role::OsRemainder;
    Classify(*streams_.back());
  }
}

// Fixes the stream's role (the first stream is known by its header) and opens its
// file, writing what was held back while the role was open.
void Session::Classify(Stream& stream) {
  if (stream.role == Role::Unknown)
    stream.role = stream.payloadBytes() >= HEADER_BYTES && LooksLikePackage(stream.header) ? Role::Package
                                                                                            : Role::PartTwo;
  stream.file = RoleFile(stream.role);
  stream.out.reset(std::fopen(Path(stream.file).c_str(), "wb"));
  if (!stream.out) {
    Problem("cannot create " + Path(stream.file) + ": " + std::strerror(errno));
    End("output error");
    return;
  }
  const std::uint64_t held = std::min<std::uint64_t>(stream.payloadReceived(), HEADER_BYTES);
  if (held && std::fwrite(stream.header, 1, held, stream.out.get()) != held) Problem("writing " + stream.file + " failed");
}

void Session::TakePayload(Stream& stream, const std::uint8_t* data, std::size_t size) {
  const std::uint64_t at = stream.payloadReceived();
  if (at < HEADER_BYTES) {
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(size, HEADER_BYTES - at));
    std::memcpy(stream.header + at, data, keep);
  }
  for (std::size_t i = 0; i < size; ++i) stream.sum += data[i];
  stream.sum &= 0xFFFF;
  stream.received += size;
  if (stream.out && std::fwrite(data, 1, size, stream.out.get()) != size) {
    Problem("writing " + stream.file + " failed");
    End("output error");
  }
}

void Session::CompleteStream(Stream& stream) {
  stream.complete = true;
  inStream_ = false;
  stream.out.reset();
  std::cerr << "pdasim: stream " << stream.index << " (" << RoleName(stream.role) << "): " << stream.payloadBytes()
            << " payload bytes, checksum " << (stream.sum == stream.checksumReceived() ? "ok" : "bad") << "\n";
  CheckDeclaredLength(stream);
  Answer(stream);
}

// Without the image, the header still tells how long the package and the part-2 file
// must be.
void Session::CheckDeclaredLength(const Stream& stream) {
  if (stream.role == Role::OsRemainder) return;
  const std::string name = "stream " + std::to_string(stream.index) + " (" + RoleName(stream.role) + ")";
  if (stream.payloadBytes() < HEADER_BYTES) {
    Problem(name + ": " + std::to_string(stream.payloadBytes()) + " payload bytes, shorter than a header");
    return;
  }
  const std::uint32_t flags = GetWord(stream.header + 4);
  auto size = [&](std::uint32_t flag, int word) -> std::uint64_t {
    return flags & flag ? GetWord(stream.header + 4 * word) : 0;
  };
  const std::uint64_t declared = stream.role == Role::Package
                                     ? HEADER_BYTES + BOOT_BLOCKS_BYTES + size(FLAG_BL, 3) + GetWord(stream.header + 16)
                                     : HEADER_BYTES + std::uint64_t{GetWord(stream.header + 8)} + size(FLAG_BL, 3) +
                                           size(FLAG_KN, 5) + size(FLAG_EB, 6);
  if (declared != stream.payloadBytes())
    Problem(name + ": " + std::to_string(stream.payloadBytes()) + " payload bytes, its header describes " +
            std::to_string(declared));
}

void Session::Answer(Stream& stream) {
  answering_ = &stream;
  const bool badChecksum = stream.sum != stream.checksumReceived();
  const bool forcedBad = options_.badChecksum && options_.badChecksum->Matches(stream.index, stream.role);
  if (badChecksum || forcedBad) {
    if (badChecksum) {
      char text[96];
      std::snprintf(text, sizeof text, "stream %u: checksum 0x%04x received, 0x%04x computed", stream.index,
                    stream.checksumReceived(), stream.sum);
      Problem(text);
    } else {
      for (Fault& fault : faults_) fault.applied |= fault.name == "bad-checksum";
    }
    expect_ = Expect::Nothing;
    Queue("Flash Incorrect.\n", 0);
    after_ = After::Finish;
    finishReason_ = "failure line sent";
    return;
  }

  const std::uint64_t dots = stream.payloadBytes() / options_.dotBytes;
  const std::string length = std::to_string(dots) + " LENGTH\n";
  if (options_.silence && options_.silence->Matches(stream.index, stream.role)) {
    for (Fault& fault : faults_) fault.applied |= fault.name == "silence";
    if (options_.silenceLines > 0) Queue(length, 0);
    if (options_.silenceLines > 1 && dots > 0) Queue(".\n", options_.dotMs, std::min<std::uint64_t>(dots, options_.silenceLines - 1));
    expect_ = Expect::Nothing;
    after_ = After::Silence;
    if (outQueue_.empty()) AfterAnswer();
    return;
  }
  Queue(length, 0);
  if (dots > 0) Queue(".\n", options_.dotMs, dots);
  for (std::uint32_t i = 0; i < options_.garbageLines; ++i) Queue(GARBAGE[i % std::size(GARBAGE)], 0);
  for (std::uint32_t i = 0; i < options_.longLines; ++i) Queue(LongLine(i), 0);
  for (Fault& fault : faults_) fault.applied |= fault.name == "garbage" || fault.name == "long-lines";

  if (options_.failAfter && options_.failAfter->Matches(stream.index, stream.role)) {
    for (Fault& fault : faults_) fault.applied |= fault.name == "fail-after";
    Queue(options_.failLine, options_.dotMs);
    expect_ = Expect::Nothing;
    after_ = After::Finish;
    finishReason_ = "failure line sent";
    return;
  }
  Queue(ExpectedAnswer(stream.role), options_.dotMs);
  switch (stream.role) {
    case Role::Package:
      // The next stream may only come once the port is back.
      expect_ = Expect::Nothing;
      after_ = After::Reset;
      break;
    case Role::PartTwo:
      expect_ = Expect::OsRemainder;
      after_ = After::NextStream;
      break;
    default:
      expect_ = Expect::Nothing;
      after_ = After::Finish;
      finishReason_ = "sequence complete";
      break;
  }
}

void Session::Queue(const std::string& text, std::uint32_t delayMs, std::uint64_t count) {
  if (outQueue_.empty()) outReadyAt_ = Now() + delayMs;
  outQueue_.push_back({text, delayMs, count});
}

void Session::PumpOutput() {
  while (!outQueue_.empty() && !outBlocked_ && port_.IsOpen() && Now() >= outReadyAt_) {
    const std::string& text = outQueue_.front().text;
    const ssize_t wrote = write(port_.master(), text.data() + outOffset_, text.size() - outOffset_);
    if (wrote < 0) {
      if (errno == EAGAIN) {
        outBlocked_ = true;
      } else if (errno != EINTR) {
        Problem(std::string("writing the port failed: ") + std::strerror(errno));
        End("port error");
      }
      return;
    }
    outOffset_ += static_cast<std::size_t>(wrote);
    if (outOffset_ < text.size()) continue;
    answering_->linesSent++;
    outOffset_ = 0;
    if (--outQueue_.front().count > 0) {
      outReadyAt_ = Now() + outQueue_.front().delayMs;
      continue;
    }
    if (outQueue_.size() == 1 && after_ != After::Silence) answering_->answer = text;
    outQueue_.pop_front();
    if (!outQueue_.empty()) outReadyAt_ = Now() + outQueue_.front().delayMs;
    if (outQueue_.empty()) AfterAnswer();
  }
}

void Session::AfterAnswer() {
  const std::int64_t now = Now();
  switch (after_) {
    case After::NextStream:
      break;
    case After::Reset:
    case After::Finish:
      phase_ = after_ == After::Reset ? Phase::DrainThenReset : Phase::DrainThenFinish;
      drainStart_ = now;
      drainZeroChecks_ = 0;
      timer_ = now + DRAIN_POLL_MS;
      break;
    case After::Silence:
      phase_ = Phase::Silent;
      std::cerr << "pdasim: silent from now on\n";
      break;
  }
}

// Waits until the host has read everything written, so that closing the port does
// not throw the answer away.
void Session::StepDrain() {
  const std::int64_t now = Now();
  drainZeroChecks_ = port_.Unread() == 0 ? drainZeroChecks_ + 1 : 0;
  const bool drained = drainZeroChecks_ >= DRAIN_QUIET_LOOKS;
  if (!drained && now - drainStart_ < DRAIN_LIMIT_MS) {
    timer_ = now + DRAIN_POLL_MS;
    return;
  }
  if (!drained) Problem("the host did not read the answer to stream " + std::to_string(answering_->index));
  if (phase_ == Phase::DrainThenFinish) {
    phase_ = Phase::Linger;
    timer_ = now + options_.lingerMs;
    return;
  }
  std::cerr << "pdasim: device reset, port gone\n";
  port_.Close();
  ++resets_;
  if (options_.noReturn) {
    for (Fault& fault : faults_) fault.applied |= fault.name == "no-return";
    End("port not restored after reset");
    return;
  }
  phase_ = Phase::ResetDown;
  timer_ = now + options_.resetDelayMs;
}

void Session::Verify() {
  bool allOk = true;
  bool partTwo = false, osRemainder = false, package = false;
  for (auto& stream : streams_) {
    if (!stream->complete || stream->file.empty()) continue;
    stream->checked = true;
    stream->mismatch = check_->Check(stream->role, Path(stream->file));
    if (!stream->mismatch.empty()) {
      Problem(stream->mismatch);
      allOk = false;
    }
    package |= stream->role == Role::Package;
    partTwo |= stream->role == Role::PartTwo;
    osRemainder |= stream->role == Role::OsRemainder;
  }
  if (!streams_.empty() && streams_.front()->role == Role::PartTwo && check_->ExpectsPackage()) {
    Problem("the image carries a UD section but the first stream was no downloader package");
    allOk = false;
  }
  if (!allOk) {
    verification_ = "mismatch";
  } else {
    verification_ = partTwo && osRemainder && (package || !check_->ExpectsPackage()) ? "ok" : "incomplete";
  }
}

void Session::WriteReport(int exitCode) const {
  JsonList streams(false);
  for (const auto& stream : streams_) {
    JsonList item(true);
    item.Num("index", stream->index).Str("role", RoleName(stream->role)).Str("file", stream->file);
    if (stream->received >= STREAM_HEAD_BYTES) {
      item.Num("first_word", stream->firstWord()).Num("length_field", stream->lengthField());
    } else {
      item.Raw("first_word", "null").Raw("length_field", "null");
    }
    item.Num("received_bytes", stream->received).Bool("complete", stream->complete);
    if (stream->complete) {
      item.Num("checksum_received", stream->checksumReceived())
          .Num("checksum_computed", stream->sum)
          .Bool("checksum_ok", stream->sum == stream->checksumReceived());
    } else {
      item.Raw("checksum_received", "null").Raw("checksum_computed", "null").Raw("checksum_ok", "null");
    }
    item.Bool("early", stream->early).Bool("dropped", stream->dropped).Num("lines_sent", stream->linesSent);
    item.Str("answer", stream->answer);
    item.Raw("verified", stream->checked ? (stream->mismatch.empty() ? "true" : "false") : "null");
    item.Raw("mismatch", stream->mismatch.empty() ? "null" : JsonString(stream->mismatch));
    streams.Add(item.Text());
  }
  JsonList problems(false);
  for (const std::string& problem : problems_) problems.Add(JsonString(problem));
  JsonList faults(false);
  for (const Fault& fault : faults_)
    faults.Add(JsonList(true).Str("fault", fault.name).Str("detail", fault.detail).Bool("applied", fault.applied).Text());

  JsonList report(true);
  report.Str("result", exitCode == 0 ? "ok" : "fail")
      .Num("exit_code", static_cast<std::uint64_t>(exitCode))
      .Str("end", endReason_)
      .Raw("problems", problems.Text())
      .Raw("faults", faults.Text())
      .Num("host_os_code", options_.hostOsCode)
      .Raw("image", options_.image.empty() ? "null" : JsonString(options_.image))
      .Str("verification", verification_)
      .Num("resets", resets_)
      .Num("unexpected_bytes", unexpectedBytes_)
      .Raw("streams", streams.Text())
      .Raw("normal_state", normal_ ? normal_->Report() : "null");

  const std::string temp = Path("report.json.tmp");
  std::ofstream out(temp, std::ios::trunc);
  out << report.Text() << "\n";
  out.close();
  if (!out || std::rename(temp.c_str(), Path("report.json").c_str()) != 0)
    std::cerr << "pdasim: cannot write " << Path("report.json") << "\n";
}

}  // namespace pdasim
