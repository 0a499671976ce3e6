#include "normal_state.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "../common/json.h"
#include "../common/sha256.h"
#include "wire.h"

namespace pdasim {

using namespace sync;

namespace {

std::string FileDigest(const std::vector<std::uint8_t>& data) {
  Sha256 digest;
  digest.Add(data.data(), data.size());
  return digest.Hex();
}


constexpr std::size_t READ_BYTES = 64 * 1024;
// A frame the device will take: the host writes files in pieces of at most 64 KiB.
constexpr std::uint32_t MAX_FRAME_BYTES = 1u << 20;
// What may wait unread in one connection before the device stops reading it.
constexpr std::size_t MAX_UNREAD_BYTES = 2 * MAX_FRAME_BYTES;
constexpr std::int64_t CONNECT_LIMIT_MS = 5000;
// Without a trigger the device keeps trying a listener that is not there yet.
constexpr std::int64_t CONNECT_RETRY_MS = 200;
// The helper restarts the device once its launch reply has left, or after this long.
constexpr std::int64_t FLUSH_LIMIT_MS = 1000;
constexpr std::int64_t FLUSH_POLL_MS = 10;

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Words(const std::vector<std::uint32_t>& words) {
  JsonList list(false);
  for (std::uint32_t word : words) list.Add(std::to_string(word));
  return list.Text();
}

std::string OptionalMs(const std::optional<std::int64_t>& ms) { return ms ? std::to_string(*ms) : "null"; }

// The helper is any program named Nalvex.exe, in any folder and in any case.
bool IsHelper(const std::string& name) {
  const std::size_t slash = name.find_last_of("\\/");
  return AsciiLower(name.substr(slash == std::string::npos ? 0 : slash + 1)) == "nalvex.exe";
}

std::string RefusalText(Call call, std::uint32_t error) {
  return std::string(CallName(call)) + ":" + std::to_string(error);
}

std::string OsVersion(const NormalOptions& normal) {
  return std::to_string(*normal.osMajor) + "." + std::to_string(*normal.osMinor) + "." +
         std::to_string(*normal.osBuild);
}

}  // namespace

NormalState::Connection::~Connection() { Close(false); }

// An abortive close sends a reset and no goodbye, as a device that restarts.
void NormalState::Connection::Close(bool abortive) {
  if (fd < 0) return;
  if (abortive) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  close(fd);
  fd = -1;
}

NormalState::NormalState(const Options& options, int signalFd, ProblemSink problem)
    : options_(options),
      normal_(options.normal),
      signalFd_(signalFd),
      problem_(std::move(problem)),
      startedAt_(NowMs()) {
  if (normal_.neverConnect) faults_.push_back({"never-connect", ""});
  if (normal_.lock == LockKind::Wm5) faults_.push_back({"lock", "wm5, every password refused"});
  if (normal_.lock == LockKind::Wm6)
    faults_.push_back({"lock", normal_.unlockAfterSeconds
                                   ? "wm6, unlocked " + std::to_string(*normal_.unlockAfterSeconds) + " s after asked"
                                   : "wm6, never unlocked"});
  for (const auto& [call, error] : normal_.refuse) faults_.push_back({"refuse-call", RefusalText(call, error)});
  if (normal_.dropAfterWrite)
    faults_.push_back({"drop-link-after-write", std::to_string(*normal_.dropAfterWrite) + " bytes"});
  if (normal_.loseLaunchReply) faults_.push_back({"lose-launch-reply", ""});
  if (normal_.launchPromptMs) faults_.push_back({"launch-prompt", std::to_string(normal_.launchPromptMs) + " ms"});
  if (normal_.batteryGiven)
    faults_.push_back({"battery", std::to_string(normal_.batteryPercent) + " %, AC " +
                                      (normal_.acLineStatus ? "online" : "offline") + ", flag " +
                                      std::to_string(normal_.batteryFlag)});
}

NormalState::~NormalState() {
  if (trigger_ >= 0) close(trigger_);
}

void NormalState::End(const std::string& reason) {
  if (ended_) return;
  ended_ = true;
  endReason_ = reason;
}

void NormalState::Fail(const std::string& problem) {
  problem_(problem);
  DropLink("protocol error", true);
  End("protocol error");
}

void NormalState::Apply(const std::string& fault) {
  for (Fault& each : faults_) each.applied |= each.name == fault;
}

void NormalState::DropLink(const std::string& cause, bool abortive) {
  if (droppedAtMs_) return;
  droppedAtMs_ = Since(NowMs());
  dropCause_ = cause;
  std::cerr << "pdasim: link dropped (" << cause << ")\n";
  if (control_) control_->Close(abortive);
  for (auto& channel : channels_) channel->Close(abortive);
  if (trigger_ >= 0) close(trigger_);
  trigger_ = -1;
}

bool NormalState::Run(std::int64_t deadline) {
  deadline_ = deadline;
  std::error_code ignored;
  std::filesystem::remove_all(options_.out + "/device-files", ignored);
  if (normal_.triggerAt) {
    waitingForTrigger_ = OpenTrigger();
  } else if (normal_.neverConnect) {
    Apply("never-connect");
  } else {
    StartControl();
  }
  while (!ended_) Step();
  if (control_) control_->Close(false);
  for (auto& channel : channels_) channel->Close(false);
  if (trigger_ >= 0) close(trigger_);
  trigger_ = -1;
  SaveFiles();
  return downloaderNext_;
}

bool NormalState::OpenTrigger() {
  trigger_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = normal_.triggerAt->address;
  address.sin_port = htons(normal_.triggerAt->port);
  if (trigger_ < 0 || bind(trigger_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    problem_("cannot listen for the trigger on " + normal_.triggerAt->text + ": " + std::strerror(errno));
    End("trigger address unusable");
    return false;
  }
  std::cerr << "pdasim: waiting for the trigger on " << normal_.triggerAt->text << "\n";
  return true;
}

void NormalState::ReadTrigger() {
  for (;;) {
    std::uint8_t datagram[512];
    const ssize_t got = recv(trigger_, datagram, sizeof datagram, MSG_TRUNC | MSG_DONTWAIT);
    if (got < 0) return;
    if (got != 1 || datagram[0] != TRIGGER_BYTE) {
      problem_("a datagram of " + std::to_string(got) + " bytes on the trigger address is no trigger");
      continue;
    }
    ++triggers_;
    if (normal_.neverConnect) {
      Apply("never-connect");
    } else if (waitingForTrigger_) {
      std::cerr << "pdasim: trigger received\n";
      waitingForTrigger_ = false;
      retryAt_ = NowMs();  // connects from the timers, before the next poll
    }
  }
}

std::unique_ptr<NormalState::Connection> NormalState::Connect(std::uint32_t channel, std::string& error) {
  auto connection = std::make_unique<Connection>();
  connection->channel = channel;
  connection->connectBy = NowMs() + CONNECT_LIMIT_MS;
  connection->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (connection->fd < 0) {
    error = std::string("cannot make a socket: ") + std::strerror(errno);
    return nullptr;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = normal_.host.address;
  address.sin_port = htons(normal_.host.port);
  if (connect(connection->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    Connected(*connection);
  } else if (errno != EINPROGRESS) {
    ConnectFailed(*connection, errno);
  }
  return connection;
}

void NormalState::StartControl() {
  ++connectAttempts_;
  std::string error;
  control_ = Connect(0, error);
  if (!control_) {
    problem_(error);
    End("cannot connect");
  }
}

void NormalState::Connected(Connection& connection) {
  connection.connecting = false;
  if (connection.channel == 0) {
    connectedAtMs_ = Since(NowMs());
    std::cerr << "pdasim: connected to " << normal_.host.text << "\n";
    state_ = Control::WaitOpeningReply;
    SendWords(connection, {OPENING_WORD});
  } else {
    std::cerr << "pdasim: channel " << connection.channel << " connected\n";
    SendWords(connection, {connection.channel});
  }
}

void NormalState::ConnectFailed(Connection& connection, int error) {
  connection.Close(false);
  const std::string why = std::strerror(error);
  if (connection.channel != 0) {
    problem_("channel " + std::to_string(connection.channel) + ": cannot connect to " + normal_.host.text + ": " + why);
    return;
  }
  if (normal_.triggerAt) {
    std::cerr << "pdasim: cannot connect to " << normal_.host.text << " (" << why
              << "), waiting for the next trigger\n";
    waitingForTrigger_ = true;
  } else {
    retryAt_ = NowMs() + CONNECT_RETRY_MS;
  }
}

void NormalState::Step() {
  const std::int64_t now = NowMs();
  // Never connecting is what was asked for: waiting until the end is no problem then.
  const bool quiet = normal_.neverConnect;
  char signalByte = 0;
  if (read(signalFd_, &signalByte, 1) == 1) {
    if (!quiet) problem_("terminated by a signal before the session ended");
    End(quiet ? "never connected, until terminated" : "terminated");
    return;
  }
  if (now >= deadline_) {
    if (!quiet) problem_("time limit of " + std::to_string(options_.maxSeconds) + " s reached");
    End(quiet ? "never connected, until the time limit" : "time limit");
    return;
  }
  StepTimers(now);
  if (ended_) return;

  std::int64_t wake = deadline_;
  if (retryAt_) wake = std::min(wake, retryAt_);
  if (unlockAt_) wake = std::min(wake, unlockAt_);
  if (helperAt_) wake = std::min(wake, droppedAtMs_ ? *helperAt_ + normal_.restartDelayMs : now + FLUSH_POLL_MS);
  std::vector<pollfd> fds = {{signalFd_, POLLIN, 0}};
  std::vector<Connection*> owners = {nullptr};
  if (trigger_ >= 0) {
    fds.push_back({trigger_, POLLIN, 0});
    owners.push_back(nullptr);
  }
  std::vector<Connection*> connections;
  if (control_) connections.push_back(control_.get());
  for (auto& channel : channels_) connections.push_back(channel.get());
  for (Connection* connection : connections) {
    if (connection->fd < 0) continue;
    short events = 0;
    if (connection->connecting) {
      events = POLLOUT;
      wake = std::min(wake, connection->connectBy);
    } else {
      // Once the helper runs, the device reads nothing more.
      if (!helperAt_ && connection->in.size() < MAX_UNREAD_BYTES) events |= POLLIN;
      if (connection->Pending()) events |= POLLOUT;
      if (connection->promptUntil && !connection->promptOver) wake = std::min(wake, connection->promptUntil);
    }
    fds.push_back({connection->fd, events, 0});
    owners.push_back(connection);
  }
  const std::int64_t timeout = std::clamp<std::int64_t>(wake - NowMs(), 0, 1000);
  if (poll(fds.data(), fds.size(), static_cast<int>(timeout)) <= 0) return;
  for (std::size_t i = 1; i < fds.size() && !ended_; ++i) {
    if (fds[i].revents == 0) continue;
    Connection* connection = owners[i];
    if (!connection) {
      if (trigger_ >= 0) ReadTrigger();
      continue;
    }
    if (connection->fd < 0) continue;
    if (connection->connecting) {
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(connection->fd, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) {
        ConnectFailed(*connection, error);
      } else {
        Connected(*connection);
      }
      continue;
    }
    if (fds[i].revents & POLLOUT) Flush(*connection);
    if (connection->fd >= 0 && fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(*connection);
  }
  channels_.erase(std::remove_if(channels_.begin(), channels_.end(),
                                 [](const std::unique_ptr<Connection>& channel) { return channel->fd < 0; }),
                  channels_.end());
}

void NormalState::StepTimers(std::int64_t now) {
  if (retryAt_ && now >= retryAt_) {
    retryAt_ = 0;
    StartControl();
  }
  if (control_ && control_->fd >= 0 && control_->connecting && now >= control_->connectBy)
    ConnectFailed(*control_, ETIMEDOUT);
  for (auto& channel : channels_) {
    if (channel->fd >= 0 && channel->connecting && now >= channel->connectBy) ConnectFailed(*channel, ETIMEDOUT);
  }
  if (unlockAt_ && now >= unlockAt_ && state_ == Control::UnlockScreen) {
    unlockAt_ = 0;
    std::cerr << "pdasim: unlocked by its user\n";
    state_ = Control::WaitUnlockFollow;
    SendWords(*control_, {UNLOCKED});
  }
  for (auto& channel : channels_) {
    if (ended_ || channel->fd < 0 || !channel->promptUntil || channel->promptOver || now < channel->promptUntil)
      continue;
    channel->promptOver = true;
    while (!ended_ && channel->fd >= 0 && ServeFrame(*channel)) {
    }
  }
  if (!helperAt_ || ended_) return;
  if (!droppedAtMs_) {
    // Sent means taken by the host's side, so that the reset cannot overtake it.
    const auto sent = [](const Connection* connection) {
      int queued = 0;
      return !connection || connection->fd < 0 ||
             (!connection->Pending() && ioctl(connection->fd, SIOCOUTQ, &queued) == 0 && queued == 0);
    };
    bool flushed = sent(control_.get());
    for (auto& channel : channels_) flushed &= sent(channel.get());
    if (flushed || now >= flushBy_) DropLink("the helper restarted the device", true);
  }
  if (droppedAtMs_ && now >= *helperAt_ + normal_.restartDelayMs) {
    restartOverAtMs_ = Since(now);
    downloaderNext_ = true;
    End("helper started: the device restarted into its downloader");
  }
}

void NormalState::ReadFrom(Connection& connection) {
  std::uint8_t buffer[READ_BYTES];
  const ssize_t got = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    const std::string how = got == 0 ? "closed" : std::string("lost (") + std::strerror(errno) + ")";
    connection.Close(false);
    if (helperAt_) return;  // the device is restarting anyway
    if (connection.channel != 0) {
      std::cerr << "pdasim: channel " << connection.channel << " " << how << " by the host\n";
      return;
    }
    std::cerr << "pdasim: control connection " << how << " by the host\n";
    End("host closed the link");
    return;
  }
  if (helperAt_) return;
  connection.in.insert(connection.in.end(), buffer, buffer + got);
  if (&connection == control_.get()) {
    while (!ended_ && connection.fd >= 0 && ParseControl()) {
    }
  } else {
    while (!ended_ && connection.fd >= 0 && ServeFrame(connection)) {
    }
  }
}

void NormalState::Flush(Connection& connection) {
  while (connection.fd >= 0 && connection.Pending()) {
    const ssize_t sent = send(connection.fd, connection.out.data() + connection.outAt,
                              connection.out.size() - connection.outAt, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      // The host has gone; the next read says so.
      connection.out.clear();
      connection.outAt = 0;
      return;
    }
    connection.outAt += static_cast<std::size_t>(sent);
  }
  if (!connection.Pending()) {
    connection.out.clear();
    connection.outAt = 0;
  }
}

void NormalState::Send(Connection& connection, const Bytes& bytes) {
  connection.out.insert(connection.out.end(), bytes.begin(), bytes.end());
  Flush(connection);
}

void NormalState::SendWords(Connection& connection, std::initializer_list<std::uint32_t> words) {
  Bytes bytes;
  for (std::uint32_t word : words) Put32(bytes, word);
  Send(connection, bytes);
}

bool NormalState::ParseControl() {
  Connection& control = *control_;
  Bytes& in = control.in;
  const auto take = [&](std::size_t count) { in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(count)); };
  switch (state_) {
    case Control::WaitOpeningReply: {
      if (in.size() < 4) return false;
      openingReply_ = GetWord(in.data());
      take(4);
      if (*openingReply_ != OPENING_REPLY) {
        Fail("the host answered the opening word with " + Hex(*openingReply_) + ", not 3");
        return false;
      }
      if (normal_.kind == DeviceKind::Wm6) {
        state_ = Control::WaitAnswer6;
        SendWords(control, {REQUEST_6});
      } else {
        SendInfo();
      }
      return true;
    }
    case Control::WaitAnswer6: {
      if (in.size() < 16) return false;
      for (int i = 0; i < 4; ++i) answer6_.push_back(GetWord(in.data() + 4 * i));
      take(16);
      // The facts know two answers to request 6, differing in the last word.
      if (answer6_[0] != 7 || answer6_[1] != 8 || answer6_[2] != 4 || (answer6_[3] != 5 && answer6_[3] != 1)) {
        Fail("the host answered request 6 with " + Words(answer6_) + ", not 7, 8, 4 and 5 (or 1)");
        return false;
      }
      SendInfo();
      return true;
    }
    case Control::LockedWm5: {
      if (in.size() < 2 || in.size() < 2u + Get16(in.data())) return false;
      const std::size_t length = Get16(in.data());
      passwords_.push_back(DecodePassword(in.data() + 2, length, key_));
      take(2 + length);
      std::cerr << "pdasim: password refused\n";
      Bytes refused;
      Put16(refused, 0);
      Send(control, refused);
      return true;
    }
    case Control::WaitUnlockFollow: {
      if (in.size() < 8) return false;
      unlockWords_ = {GetWord(in.data()), GetWord(in.data() + 4)};
      take(8);
      if (unlockWords_[0] != 0 || unlockWords_[1] != UNLOCK_FOLLOW) {
        Fail("the host answered the unlock with " + Words(unlockWords_) + ", not 0 and 12");
        return false;
      }
      unlocked_ = true;
      state_ = Control::Ready;
      return true;
    }
    default:
      break;
  }
  if (in.size() < 4) return false;
  const std::uint32_t word = GetWord(in.data());
  if (word == PING) {
    take(4);
    ++pings_;
    SendWords(control, {PING_REPLY});
    return true;
  }
  if (word == CHANNEL_REQUEST) {
    if (in.size() < 12) return false;
    const std::uint32_t length = GetWord(in.data() + 4);
    const std::uint32_t id = GetWord(in.data() + 8);
    take(12);
    if (length != CHANNEL_REQUEST_LENGTH) {
      Fail("a channel request whose second word is " + std::to_string(length) + ", not 4");
      return false;
    }
    if (state_ != Control::Ready) {
      problem_("the host asked for channel " + std::to_string(id) + " while the device is locked");
      return true;
    }
    OpenChannel(id);
    return true;
  }
  if (word == UNLOCK_SCREEN && state_ == Control::LockedWm6) {
    take(4);
    unlockRequested_ = true;
    state_ = Control::UnlockScreen;
    std::cerr << "pdasim: the device asks its user to unlock it\n";
    if (normal_.unlockAfterSeconds) unlockAt_ = NowMs() + std::int64_t{*normal_.unlockAfterSeconds} * 1000;
    return true;
  }
  Fail("unexpected word " + Hex(word) + " on the control connection");
  return false;
}

void NormalState::SendInfo() {
  key_ = normal_.lock == LockKind::Wm5 ? KEY_FROM_HOST : normal_.lock == LockKind::Wm6 ? KEY_ON_DEVICE : KEY_UNLOCKED;
  const Bytes block = InfoBlock({normal_.deviceName, normal_.platform, normal_.model, *normal_.osMajor,
                                 *normal_.osMinor, *normal_.osBuild, key_});
  infoBytes_ = block.size();
  Bytes message;
  Put32(message, INFO_ANNOUNCE);
  Put32(message, static_cast<std::uint32_t>(block.size()));
  message.insert(message.end(), block.begin(), block.end());
  Send(*control_, message);
  switch (normal_.lock) {
    case LockKind::None:
      state_ = Control::Ready;
      break;
    case LockKind::Wm5:
      state_ = Control::LockedWm5;
      break;
    case LockKind::Wm6:
      state_ = Control::LockedWm6;
      break;
  }
  if (normal_.lock != LockKind::None) Apply("lock");
}

void NormalState::OpenChannel(std::uint32_t id) {
  channelIds_.push_back(id);
  std::string error;
  std::unique_ptr<Connection> channel = Connect(id, error);
  if (!channel) {
    problem_("channel " + std::to_string(id) + ": " + error);
    return;
  }
  channels_.push_back(std::move(channel));
}

bool NormalState::DropAfterWrite(const Connection& channel) {
  if (!normal_.dropAfterWrite || channel.in.size() < 16 || GetWord(channel.in.data() + 4) != CMD_WRITE_FILE)
    return false;
  const std::uint64_t arrived = std::min<std::uint64_t>(channel.in.size() - 16, GetWord(channel.in.data() + 12));
  if (contentArrived_ + arrived < *normal_.dropAfterWrite) return false;
  const std::string bytes = std::to_string(contentArrived_ + arrived);
  Apply("drop-link-after-write");
  DropLink("drop-link-after-write, " + bytes + " bytes of file content arrived", true);
  End("link dropped after " + bytes + " bytes of file content");
  return true;
}

bool NormalState::ServeFrame(Connection& channel) {
  if (helperAt_ || channel.in.size() < 4) return false;
  const std::uint32_t size = GetWord(channel.in.data());
  const std::string name = "channel " + std::to_string(channel.channel);
  if (size < 4 || size > MAX_FRAME_BYTES) {
    Fail(name + ": a frame of " + std::to_string(size) + " bytes");
    return false;
  }
  if (DropAfterWrite(channel) || channel.in.size() < 4u + size) return false;
  const std::uint32_t command = GetWord(channel.in.data() + 4);
  if (!NewerLayout(*normal_.osMajor, *normal_.osMinor)) {
    Fail(name + ": a call in the newer message layout reached a device whose OS " + OsVersion(normal_) +
         " predates it");
    return false;
  }
  if (command == CMD_CREATE_PROCESS && normal_.launchPromptMs && !channel.promptOver) {
    if (!channel.promptUntil) {
      channel.promptUntil = NowMs() + normal_.launchPromptMs;
      Apply("launch-prompt");
      std::cerr << "pdasim: the device asks its user whether to run the program\n";
    }
    return false;
  }
  Reader reader(channel.in.data() + 8, size - 4);
  if (!Serve(channel, command, reader)) return false;
  channel.promptUntil = 0;
  channel.promptOver = false;
  channel.in.erase(channel.in.begin(), channel.in.begin() + 4 + size);
  return !ended_ && !helperAt_;
}

std::optional<std::uint32_t> NormalState::Refusal(Call call) {
  const auto found = normal_.refuse.find(call);
  if (found == normal_.refuse.end()) return std::nullopt;
  for (Fault& fault : faults_)
    fault.applied |= fault.name == "refuse-call" && fault.detail == RefusalText(call, found->second);
  return found->second;
}

void NormalState::Record(Call call, std::uint32_t result, std::uint32_t lastError, const std::string& detail,
                         bool failed, bool asked, bool replied) {
  calls_.push_back({CallName(call), result, lastError, detail, replied});
  if (failed && !asked)
    problem_(std::string(CallName(call)) + " " + detail + " failed with lastError " + std::to_string(lastError));
}

bool NormalState::Serve(Connection& channel, std::uint32_t command, Reader& reader) {
  const auto malformed = [&](const char* call) {
    Fail("channel " + std::to_string(channel.channel) + ": a malformed " + call + " request");
    return false;
  };
  std::uint32_t words[7] = {};
  switch (command) {
    case CMD_CREATE_FILE: {
      std::optional<std::u16string> name;
      if (!reader.String(name)) return malformed("CreateFile");
      for (int i = 0; i < 5; ++i)
        if (!reader.U32(words[i])) return malformed("CreateFile");
      if (!reader.AtEnd()) return malformed("CreateFile");
      bool valid = name.has_value();
      const std::string text = name ? Utf16ToUtf8(*name, valid) : "(none)";
      const std::optional<std::uint32_t> refused = Refusal(Call::CreateFile);
      const DeviceStore::Outcome outcome = refused ? DeviceStore::Outcome{INVALID_HANDLE, *refused}
                                           : name  ? store_.Create(text, valid, words[0], words[2])
                                                   : DeviceStore::Outcome{INVALID_HANDLE, ERROR_INVALID_PARAMETER};
      Send(channel, Reply({outcome.lastError, outcome.result}));
      Record(Call::CreateFile, outcome.result, outcome.lastError, text, outcome.result == INVALID_HANDLE,
             refused.has_value());
      return true;
    }
    case CMD_WRITE_FILE: {
      const std::uint8_t* data = nullptr;
      if (!reader.U32(words[0]) || !reader.U32(words[1]) || !reader.Span(words[1], data) || !reader.AtEnd())
        return malformed("WriteFile");
      contentArrived_ += words[1];
      const std::optional<std::uint32_t> refused = Refusal(Call::WriteFile);
      const DeviceStore::Outcome outcome =
          refused ? DeviceStore::Outcome{0, *refused} : store_.Write(words[0], data, words[1]);
      Send(channel, Reply({outcome.lastError, outcome.result, outcome.result ? words[1] : 0}));
      Record(Call::WriteFile, outcome.result, outcome.lastError,
             std::to_string(words[1]) + " bytes to handle " + Hex(words[0]), outcome.result == 0, refused.has_value());
      return true;
    }
    case CMD_CLOSE_HANDLE: {
      if (!reader.U32(words[0]) || !reader.AtEnd()) return malformed("CloseHandle");
      const std::optional<std::uint32_t> refused = Refusal(Call::CloseHandle);
      const DeviceStore::Outcome outcome = refused ? DeviceStore::Outcome{0, *refused} : store_.Close(words[0]);
      Send(channel, Reply({outcome.lastError, outcome.result}));
      Record(Call::CloseHandle, outcome.result, outcome.lastError, "handle " + Hex(words[0]), outcome.result == 0,
             refused.has_value());
      return true;
    }
    case CMD_CREATE_PROCESS: {
      std::optional<std::u16string> application, commandLine;
      if (!reader.String(application) || !reader.String(commandLine)) return malformed("CreateProcess");
      for (std::uint32_t& word : words)
        if (!reader.U32(word)) return malformed("CreateProcess");
      if (!reader.AtEnd()) return malformed("CreateProcess");
      bool valid = application.has_value(), lineValid = true;
      const std::string text = application ? Utf16ToUtf8(*application, valid) : "(none)";
      const std::optional<std::string> line =
          commandLine ? std::optional<std::string>(Utf16ToUtf8(*commandLine, lineValid)) : std::nullopt;
      const std::optional<std::uint32_t> refused = Refusal(Call::CreateProcess);
      DeviceStore::Process process{};
      const DeviceStore::Outcome outcome = refused       ? DeviceStore::Outcome{0, *refused}
                                           : application ? store_.Start(text, valid, process)
                                                         : DeviceStore::Outcome{0, ERROR_INVALID_PARAMETER};
      const bool helper = outcome.result != 0 && IsHelper(text);
      const bool lost = helper && normal_.loseLaunchReply;
      if (lost) {
        Apply("lose-launch-reply");
      } else {
        Send(channel, Reply({outcome.lastError, outcome.result, process.process, process.thread, process.processId,
                             process.threadId}));
      }
      Record(Call::CreateProcess, outcome.result, outcome.lastError, text, outcome.result == 0, refused.has_value(),
             !lost);
      if (outcome.result == 0) return true;
      programs_.push_back({text, line, helper, Since(NowMs())});
      std::cerr << "pdasim: program " << text << " started\n";
      if (helper) HelperStarted(NowMs());
      return true;
    }
    case CMD_GET_POWER_STATUS_EX: {
      if (!reader.U32(words[0]) || !reader.AtEnd()) return malformed("GetSystemPowerStatusEx");
      // The 28-byte form: the result and the status, with no lastError.
      Send(channel, Reply({1}, PowerStatus(normal_.acLineStatus, normal_.batteryFlag, normal_.batteryPercent)));
      Apply("battery");
      Record(Call::GetSystemPowerStatusEx, 1, ERROR_SUCCESS, "refresh " + std::to_string(words[0]), false, false);
      return true;
    }
    case CMD_GET_VERSION_EX: {
      if (!reader.AtEnd()) return malformed("GetVersionEx");
      Send(channel, Reply({ERROR_SUCCESS, 1, OS_VERSION_INFO_BYTES},
                          OsVersionInfo(*normal_.osMajor, *normal_.osMinor, *normal_.osBuild)));
      Record(Call::GetVersionEx, 1, ERROR_SUCCESS, OsVersion(normal_), false, false);
      return true;
    }
    default:
      Fail("channel " + std::to_string(channel.channel) + ": unknown command " + Hex(command));
      return false;
  }
}

void NormalState::HelperStarted(std::int64_t now) {
  helperAt_ = now;
  flushBy_ = now + FLUSH_LIMIT_MS;
  std::cerr << "pdasim: the helper restarts the device\n";
  if (trigger_ >= 0) close(trigger_);
  trigger_ = -1;
  if (normal_.loseLaunchReply) DropLink("the helper restarted the device", true);
}

void NormalState::SaveFiles() {
  for (const DeviceStore::File* file : store_.Files()) {
    std::filesystem::path path = options_.out + "/device-files";
    for (const std::string& part : file->parts) path /= part;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file->data.data()), static_cast<std::streamsize>(file->data.size()));
    out.close();
    if (error || !out) problem_("cannot write " + path.string());
  }
}

std::string NormalState::Report() const {
  JsonList handshake(true);
  handshake.Raw("connected_at_ms", OptionalMs(connectedAtMs_))
      .Raw("opening_reply", openingReply_ ? std::to_string(*openingReply_) : "null")
      .Raw("request_6_answer", normal_.kind == DeviceKind::Wm6 ? Words(answer6_) : "null")
      .Raw("info_block_bytes", infoBytes_ ? std::to_string(*infoBytes_) : "null")
      .Num("password_key", key_)
      .Str("lock", normal_.lock == LockKind::Wm5   ? "wm5"
                   : normal_.lock == LockKind::Wm6 ? "wm6"
                                                   : "none")
      .Bool("unlock_requested", unlockRequested_)
      .Bool("unlocked", unlocked_)
      .Raw("unlock_words", Words(unlockWords_));
  JsonList passwords(false);
  for (const std::string& password : passwords_) passwords.Add(JsonString(password));
  handshake.Raw("password_attempts", passwords.Text()).Num("pings", pings_).Raw("channels", Words(channelIds_));

  JsonList calls(false);
  for (const CallRecord& call : calls_)
    calls.Add(JsonList(true)
                  .Str("name", call.name)
                  .Num("result", call.result)
                  .Num("last_error", call.lastError)
                  .Str("detail", call.detail)
                  .Bool("replied", call.replied)
                  .Text());
  JsonList files(false);
  for (const DeviceStore::File* file : store_.Files()) {
    std::string path = "device-files";
    for (const std::string& part : file->parts) path += "/" + part;
    files.Add(JsonList(true)
                  .Str("name", file->name)
                  .Num("bytes", file->data.size())
                  .Str("sha256", FileDigest(file->data))
                  .Bool("closed", !store_.IsOpen(*file))
                  .Str("path", path)
                  .Text());
  }
  JsonList programs(false);
  for (const Program& program : programs_)
    programs.Add(JsonList(true)
                     .Str("name", program.name)
                     .Raw("command_line", program.commandLine ? JsonString(*program.commandLine) : "null")
                     .Bool("helper", program.helper)
                     .Num("at_ms", static_cast<std::uint64_t>(program.atMs))
                     .Text());
  JsonList faults(false);
  for (const Fault& fault : faults_)
    faults.Add(
        JsonList(true).Str("fault", fault.name).Str("detail", fault.detail).Bool("applied", fault.applied).Text());

  JsonList device(true);
  device.Str("name", normal_.deviceName)
      .Str("model", normal_.model)
      .Str("platform", normal_.platform)
      .Str("os_version", OsVersion(normal_));
  JsonList report(true);
  report.Str("kind", normal_.kind == DeviceKind::Wm5 ? "wm5" : "wm6")
      .Raw("device", device.Text())
      .Num("triggers", triggers_)
      .Num("connect_attempts", connectAttempts_)
      .Raw("handshake", handshake.Text())
      .Raw("calls", calls.Text())
      .Raw("files", files.Text())
      .Raw("programs", programs.Text())
      .Raw("helper_started_at_ms", helperAt_ ? std::to_string(Since(*helperAt_)) : "null")
      .Raw("link_dropped",
           droppedAtMs_
               ? JsonList(true).Str("cause", dropCause_).Num("at_ms", static_cast<std::uint64_t>(*droppedAtMs_)).Text()
               : "null")
      .Raw("restart_over_at_ms", OptionalMs(restartOverAtMs_))
      .Str("end", endReason_)
      .Raw("faults", faults.Text());
  return report.Text();
}

}  // namespace pdasim
