#include "sync_link.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using Steady = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Every wait is cut into pieces this long, so that a stop ends it within about that.
constexpr std::int64_t STOP_CHECK_MS = 50;
// How often the link's interface is looked for while waiting.
constexpr std::int64_t LINK_CHECK_MS = 500;
constexpr int LISTEN_BACKLOG = 8;
constexpr std::uint8_t TRIGGER_BYTE = 0x7F;
constexpr std::int32_t RAPI_E_FAIL = static_cast<std::int32_t>(0x80004005);

Steady::time_point After(std::uint32_t milliseconds) { return Steady::now() + Milliseconds(milliseconds); }

sockaddr_in SocketAddress(const LinkAddress& address) {
  sockaddr_in raw{};
  raw.sin_family = AF_INET;
  raw.sin_addr.s_addr = htonl(address.ip);
  raw.sin_port = htons(address.port);
  return raw;
}

std::string Seconds(std::uint32_t milliseconds) {
  char text[32];
  if (milliseconds % 1000 == 0) {
    std::snprintf(text, sizeof text, "%u", milliseconds / 1000);
  } else {
    std::snprintf(text, sizeof text, "%.1f", milliseconds / 1000.0);
  }
  return text;
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

bool BindToInterface(int fd, const std::string& name) {
  return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size())) == 0;
}

// Requests and replies are whole frames written at once; none waits for another.
void SendAtOnce(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::uint32_t DeviceHandle(RapiHandle handle) {
  return handle > DEVICE_INVALID_HANDLE ? DEVICE_INVALID_HANDLE : static_cast<std::uint32_t>(handle);
}

}  // namespace

void OwnedFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

SyncLink::SyncLink(LinkOptions options) : options_(std::move(options)) {}

bool SyncLink::Fail(LinkResult result, std::string detail, RapiCall call, std::uint32_t lastError) {
  if (ending_.result == LinkResult::None) ending_ = LinkEnding{result, call, lastError, std::move(detail)};
  return false;
}

void SyncLink::Notify(LinkNotice notice, const std::string& detail) const {
  if (options_.notify) options_.notify(notice, detail);
}

bool SyncLink::Open() {
  // The interface is needed unless both addresses were given instead.
  if (!options_.interfaceName.empty() || !options_.listen || !options_.trigger) {
    const LinkEnding found = FindLinkInterface(options_.paths, options_.interfaceName, options_.socketOf, interface_);
    if (found.result != LinkResult::None) return Fail(found.result, found.detail);
    interfaceIndex_ = ::if_nametoindex(interface_.c_str());
    if (interfaceIndex_ == 0) return Fail(LinkResult::NoSuchInterface, interface_);
  }
  std::uint32_t host = 0;
  std::uint32_t mask = 0;
  if ((!options_.listen || !options_.trigger) && !InterfaceIpv4(interface_, host, mask)) {
    return Fail(LinkResult::NoAddress, interface_);
  }
  const LinkAddress listen = options_.listen ? *options_.listen : LinkAddress{host, HOST_LISTEN_PORT};
  if (options_.trigger) {
    triggerTargets_ = {*options_.trigger};
  } else {
    for (std::uint32_t device : DeviceAddresses(options_.paths, host, mask)) {
      triggerTargets_.push_back({device, DEVICE_TRIGGER_PORT});
    }
  }

  const std::string where = FormatLinkAddress(listen) + (interface_.empty() ? "" : " (" + interface_ + ")");
  auto failed = [&](int error) {
    if (error == EACCES || error == EPERM) return Fail(LinkResult::BindRefused, where);
    if (error == EADDRINUSE) return Fail(LinkResult::AddressInUse, where);
    return Fail(LinkResult::SocketFailed, where + ": " + std::strerror(error));
  };
  // Bound to its interface, a listener takes only its own device's connections, so
  // links with the same addresses each have theirs.
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int on = 1;
  const sockaddr_in listenAt = SocketAddress(listen);
  if (listener_.Get() < 0 || ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      (!interface_.empty() && !BindToInterface(listener_.Get(), interface_)) ||
      ::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&listenAt), sizeof listenAt) != 0 ||
      ::listen(listener_.Get(), LISTEN_BACKLOG) != 0) {
    const int error = errno;
    listener_.Reset();
    return failed(error);
  }
  triggerSocket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (triggerSocket_.Get() < 0 ||
      ::setsockopt(triggerSocket_.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      (!interface_.empty() && !BindToInterface(triggerSocket_.Get(), interface_))) {
    const int error = errno;
    listener_.Reset();
    return failed(error);
  }
  return true;
}

LinkAddress SyncLink::ListenAddress() const {
  sockaddr_in raw{};
  socklen_t size = sizeof raw;
  if (::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&raw), &size) != 0) return {};
  return {ntohl(raw.sin_addr.s_addr), ntohs(raw.sin_port)};
}

void SyncLink::SendTrigger() const {
  // A device whose service is still starting may refuse it: the next one is sent anyway.
  for (const LinkAddress& target : triggerTargets_) {
    const sockaddr_in to = SocketAddress(target);
    ::sendto(triggerSocket_.Get(), &TRIGGER_BYTE, 1, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
}

bool SyncLink::Connect() {
  if (listener_.Get() < 0) return Fail(LinkResult::SocketFailed, std::strerror(EBADF));
  const Steady::time_point deadline = After(options_.times.connect);
  Steady::time_point nextTrigger = Steady::now();
  while (control_.Get() < 0) {
    if (Steady::now() >= nextTrigger) {
      SendTrigger();
      nextTrigger = After(options_.times.triggerEvery);
    }
    switch (Await(listener_.Get(), POLLIN, std::min(nextTrigger, deadline))) {
      case Wait::Ready:
        control_.Reset(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        break;
      case Wait::TimedOut:
        if (Steady::now() >= deadline) return Fail(LinkResult::NeverConnected, Seconds(options_.times.connect));
        break;
      case Wait::Gone: return Fail(LinkResult::LinkGone);
      case Wait::Stopped: return Fail(LinkResult::Stopped);
    }
  }
  SendAtOnce(control_.Get());
  return Handshake();
}

bool SyncLink::HandshakeFailed(Wait wait, LinkResult onTimeout, std::uint32_t limit) {
  switch (wait) {
    case Wait::TimedOut: return Fail(onTimeout, Seconds(limit));
    case Wait::Stopped: return Fail(LinkResult::Stopped);
    case Wait::Gone: return Fail(gone_ ? LinkResult::LinkGone : LinkResult::HandshakeRefused);
    case Wait::Ready: break;
  }
  return true;
}

bool SyncLink::Handshake() {
  const std::uint32_t limit = options_.times.handshake;
  const Steady::time_point deadline = After(limit);
  const int control = control_.Get();
  std::uint8_t word[4];
  // The opening word and the query may come in either order, and only before the block.
  for (;;) {
    Wait wait = ReadExactly(control, word, sizeof word, deadline);
    if (wait != Wait::Ready) return HandshakeFailed(wait, LinkResult::HandshakeNoAnswer, limit);
    const std::uint32_t said = LoadU32(word);
    if (said == CONTROL_INFO) break;
    if (said == CONTROL_HELLO) {
      wait = WriteAll(control, ControlWord(CONTROL_HELLO_REPLY), deadline);
    } else if (said == CONTROL_QUERY) {
      wait = WriteAll(control, QueryReply(), deadline);
    } else {
      return Fail(LinkResult::HandshakeMalformed, Hex32(said));
    }
    if (wait != Wait::Ready) return HandshakeFailed(wait, LinkResult::HandshakeNoAnswer, limit);
  }
  // The block's length, then the block; the host answers nothing to either.
  const Wait wait = ReadExactly(control, word, sizeof word, deadline);
  if (wait != Wait::Ready) return HandshakeFailed(wait, LinkResult::HandshakeNoAnswer, limit);
  const std::uint32_t blockBytes = LoadU32(word);
  if (blockBytes > INFO_BLOCK_LIMIT) return Fail(LinkResult::InfoBlockMalformed, std::to_string(blockBytes));
  std::vector<std::uint8_t> block(blockBytes);
  const Wait blockWait = ReadExactly(control, block.data(), block.size(), deadline);
  if (blockWait != Wait::Ready) return HandshakeFailed(blockWait, LinkResult::HandshakeNoAnswer, limit);
  if (!ParseDeviceInfo(block.data(), block.size(), info_)) {
    info_ = DeviceInfo{};
    return Fail(LinkResult::InfoBlockMalformed, std::to_string(blockBytes));
  }

  if (!SpeaksNewerLayout(info_.osMajor, info_.osMinor)) {
    return Fail(LinkResult::OsTooOld, std::to_string(info_.osMajor) + "." + std::to_string(info_.osMinor));
  }
  switch (LockOf(info_.passwordKey)) {
    case DeviceLock::HostPassword: return Fail(LinkResult::DeviceLocked);
    case DeviceLock::OnDevice:
      if (!AwaitUnlock()) return false;
      break;
    case DeviceLock::None: break;
  }
  connected_ = true;
  nextPing_ = After(options_.times.keepAlive);
  return true;
}

bool SyncLink::AwaitUnlock() {
  const std::uint32_t limit = options_.times.unlock;
  const Steady::time_point deadline = After(limit);
  const int control = control_.Get();
  Wait wait = WriteAll(control, ControlWord(CONTROL_SHOW_UNLOCK), deadline);
  if (wait != Wait::Ready) return HandshakeFailed(wait, LinkResult::NotUnlocked, limit);
  Notify(LinkNotice::UnlockOnDevice, Seconds(limit));
  std::uint8_t word[4];
  do {
    // [uncertain] Any other answer is not understood: the unlock is still waited for.
    wait = ReadExactly(control, word, sizeof word, deadline);
    if (wait != Wait::Ready) return HandshakeFailed(wait, LinkResult::NotUnlocked, limit);
  } while (LoadU32(word) != CONTROL_UNLOCKED);
  wait = WriteAll(control, UnlockAcknowledgement(), deadline);
  return wait == Wait::Ready || HandshakeFailed(wait, LinkResult::NotUnlocked, limit);
}

bool SyncLink::LinkStillThere(Steady::time_point now) {
  if (gone_) return false;
  if (interfaceIndex_ == 0 || now < nextLinkCheck_) return true;
  nextLinkCheck_ = now + Milliseconds(LINK_CHECK_MS);
  // A device that restarts takes its interface with it, usually without closing a
  // connection; one that comes back has a new interface.
  gone_ = ::if_nametoindex(interface_.c_str()) != interfaceIndex_;
  return !gone_;
}

bool SyncLink::KeepAlive(Steady::time_point now) {
  if (now < nextPing_) return true;
  nextPing_ = now + Milliseconds(options_.times.keepAlive);
  const std::vector<std::uint8_t> ping = ControlWord(CONTROL_PING);
  // A full send buffer only skips this ping.
  if (::send(control_.Get(), ping.data(), ping.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN &&
      errno != EWOULDBLOCK && errno != EINTR) {
    gone_ = true;
  }
  return !gone_;
}

bool SyncLink::DrainControl() {
  // Ping replies, and anything else the device says here, need no answer.
  std::uint8_t said[64];
  for (;;) {
    const ssize_t n = ::recv(control_.Get(), said, sizeof said, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    gone_ = true;
    return false;
  }
}

SyncLink::Wait SyncLink::Await(int fd, short events, Steady::time_point deadline) {
  for (;;) {
    if (StopRequested(options_.stop)) return Wait::Stopped;
    const Steady::time_point now = Steady::now();
    if (!LinkStillThere(now)) return Wait::Gone;
    const bool serving = connected_ && fd != control_.Get();
    if (serving && !KeepAlive(now)) return Wait::Gone;
    if (now >= deadline) return Wait::TimedOut;
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - now).count() + 1;
    pollfd ready[2] = {{fd, events, 0}, {control_.Get(), POLLIN, 0}};
    const int polled = ::poll(ready, serving ? 2 : 1, static_cast<int>(std::min(left, STOP_CHECK_MS)));
    if (polled < 0 && errno != EINTR) return Wait::Gone;
    if (polled <= 0) continue;
    if (serving && ready[1].revents != 0 && !DrainControl()) return Wait::Gone;
    // An error or hang-up is ready too: the read or write that follows tells which.
    if (ready[0].revents != 0) return Wait::Ready;
  }
}

SyncLink::Wait SyncLink::ReadExactly(int fd, std::uint8_t* data, std::size_t size, Steady::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, data + got, size - got, MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return Wait::Gone;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Wait::Gone;
    const Wait wait = Await(fd, POLLIN, deadline);
    if (wait != Wait::Ready) return wait;
  }
  return Wait::Ready;
}

SyncLink::Wait SyncLink::WriteAll(int fd, const std::vector<std::uint8_t>& data, Steady::time_point deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Wait::Gone;
    const Wait wait = Await(fd, POLLOUT, deadline);
    if (wait != Wait::Ready) return wait;
  }
  return Wait::Ready;
}

std::int32_t SyncLink::CeRapiInitEx(RapiInitRecord& init) {
  channel_.Reset();
  pendingChannelId_ = 0;
  if (!connected_ || gone_) {
    Fail(gone_ ? LinkResult::LinkGone : LinkResult::NoChannel);
    return RAPI_E_FAIL;
  }
  // Each channel's failures are its own.
  ending_ = LinkEnding{};
  const std::uint32_t id = ++lastChannelId_;
  switch (WriteAll(control_.Get(), ChannelRequest(id), After(options_.times.call))) {
    case Wait::Ready:
      pendingChannelId_ = id;
      init.heRapiInit = id;
      init.hrRapiInit = RAPI_S_OK;
      return RAPI_S_OK;
    case Wait::TimedOut: Fail(LinkResult::NoChannel); break;
    case Wait::Gone:
      gone_ = true;
      Fail(LinkResult::LinkGone);
      break;
    case Wait::Stopped: Fail(LinkResult::Stopped); break;
  }
  return RAPI_E_FAIL;
}

std::uint32_t SyncLink::WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) {
  if (pendingChannelId_ == 0 || event != pendingChannelId_) {
    Fail(LinkResult::NoChannel);
    return RAPI_WAIT_FAILED;
  }
  const Steady::time_point deadline = After(milliseconds);
  for (;;) {
    Wait wait = Await(listener_.Get(), POLLIN, deadline);
    if (wait == Wait::Ready) {
      OwnedFd candidate(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      // A connection that went before it was taken is none; a listener that cannot take
      // any (out of descriptors) would be asked again and again until the deadline.
      if (candidate.Get() < 0 && (errno == EAGAIN || errno == ECONNABORTED || errno == EINTR)) continue;
      if (candidate.Get() < 0) {
        pendingChannelId_ = 0;
        Fail(LinkResult::SocketFailed, std::strerror(errno));
        return RAPI_WAIT_FAILED;
      }
      // The device's channel names its request first; any other connection is let go.
      std::uint8_t id[4];
      wait = ReadExactly(candidate.Get(), id, sizeof id, deadline);
      if (wait == Wait::Ready && LoadU32(id) == pendingChannelId_) {
        SendAtOnce(candidate.Get());
        channel_.Reset(candidate.Release());
        pendingChannelId_ = 0;
        return RAPI_WAIT_SIGNALED;
      }
      if (wait == Wait::Ready || (wait == Wait::Gone && !gone_)) continue;
    }
    pendingChannelId_ = 0;
    switch (wait) {
      case Wait::TimedOut:
        Fail(LinkResult::NoChannel);
        return RAPI_WAIT_TIMED_OUT;
      case Wait::Gone: Fail(LinkResult::LinkGone); break;
      case Wait::Stopped: Fail(LinkResult::Stopped); break;
      case Wait::Ready: break;
    }
    return RAPI_WAIT_FAILED;
  }
}

void SyncLink::CeRapiUninit() {
  channel_.Reset();
  pendingChannelId_ = 0;
}

SyncLink::CallEnd SyncLink::Exchange(const std::vector<std::uint8_t>& request, std::uint32_t limit,
                                     std::vector<std::uint8_t>& reply, bool& sent, std::uint32_t noticeAfter) {
  sent = false;
  if (channel_.Get() < 0) return CallEnd::NoChannel;
  const Steady::time_point deadline = After(limit);
  const int channel = channel_.Get();
  Wait wait = WriteAll(channel, request, deadline);
  sent = wait == Wait::Ready;
  if (sent && noticeAfter > 0 && noticeAfter < limit) {
    wait = Await(channel, POLLIN, After(noticeAfter));
    if (wait == Wait::TimedOut) {
      Notify(LinkNotice::LookAtDevice, {});
      wait = Wait::Ready;
    }
  }
  std::uint8_t size[4];
  if (wait == Wait::Ready) wait = ReadExactly(channel, size, sizeof size, deadline);
  if (wait == Wait::Ready && LoadU32(size) > REPLY_LIMIT) {
    channel_.Reset();
    return CallEnd::Malformed;
  }
  if (wait == Wait::Ready) {
    reply.resize(LoadU32(size));
    wait = ReadExactly(channel, reply.data(), reply.size(), deadline);
  }
  if (wait == Wait::Ready) return CallEnd::Answered;
  // A channel left in the middle of an exchange is out of step for good.
  channel_.Reset();
  switch (wait) {
    case Wait::TimedOut: return CallEnd::NoAnswer;
    case Wait::Stopped: return CallEnd::Stopped;
    case Wait::Gone:
    case Wait::Ready: break;
  }
  gone_ = true;
  return CallEnd::Gone;
}

bool SyncLink::CallEnded(RapiCall call, CallEnd end, std::uint32_t limit) {
  switch (end) {
    case CallEnd::Answered: return true;
    case CallEnd::NoChannel: return Fail(gone_ ? LinkResult::LinkGone : LinkResult::NoChannel, {}, call);
    case CallEnd::NoAnswer: return Fail(LinkResult::CallNoAnswer, Seconds(limit), call);
    case CallEnd::Gone: return Fail(LinkResult::LinkGone, {}, call);
    case CallEnd::Stopped: return Fail(LinkResult::Stopped, {}, call);
    case CallEnd::Malformed: break;
  }
  return Fail(LinkResult::ReplyMalformed, {}, call);
}

bool SyncLink::Call(RapiCall call, const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply) {
  bool sent = false;
  return CallEnded(call, Exchange(request, options_.times.call, reply, sent), options_.times.call);
}

bool SyncLink::Refused(RapiCall call, std::uint32_t lastError) {
  lastError_ = lastError;
  return Fail(LinkResult::CallRefused, {}, call, lastError);
}

RapiHandle SyncLink::CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                  std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  std::vector<std::uint8_t> reply;
  RapiReply answer;
  if (!Call(RapiCall::CreateFile,
            CreateFileRequest(name, desiredAccess, shareMode, creationDisposition, flagsAndAttributes), reply)) {
    return RAPI_INVALID_HANDLE;
  }
  if (!ParseReply(reply.data(), reply.size(), answer)) {
    Fail(LinkResult::ReplyMalformed, {}, RapiCall::CreateFile);
    return RAPI_INVALID_HANDLE;
  }
  if (answer.result == DEVICE_INVALID_HANDLE || answer.result == 0) {
    Refused(RapiCall::CreateFile, answer.lastError);
    return RAPI_INVALID_HANDLE;
  }
  return answer.result;
}

bool SyncLink::CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) {
  written = 0;
  std::uint32_t offset = 0;
  do {
    const std::uint32_t piece = std::min(count - offset, WRITE_CHUNK_LIMIT);
    std::vector<std::uint8_t> reply;
    RapiReply answer;
    std::uint32_t took = 0;
    if (!Call(RapiCall::WriteFile, WriteFileRequest(DeviceHandle(file), data + offset, piece), reply)) return false;
    // A device that claims more than it was given is not believed.
    if (!ParseWriteFileReply(reply.data(), reply.size(), answer, took) || took > piece) {
      return Fail(LinkResult::ReplyMalformed, {}, RapiCall::WriteFile);
    }
    if (answer.result == 0) return Refused(RapiCall::WriteFile, answer.lastError);
    written += took;
    if (took < piece) return true;
    offset += piece;
  } while (offset < count);
  return true;
}

void SyncLink::CeCloseHandle(RapiHandle handle) {
  std::vector<std::uint8_t> reply;
  RapiReply answer;
  if (!Call(RapiCall::CloseHandle, CloseHandleRequest(DeviceHandle(handle)), reply)) return;
  if (!ParseReply(reply.data(), reply.size(), answer)) {
    Fail(LinkResult::ReplyMalformed, {}, RapiCall::CloseHandle);
  } else if (answer.result == 0) {
    Refused(RapiCall::CloseHandle, answer.lastError);
  }
}

bool SyncLink::CeCreateProcess(const std::u16string& applicationName) {
  std::vector<std::uint8_t> reply;
  bool sent = false;
  const CallEnd end =
      Exchange(CreateProcessRequest(applicationName), options_.times.process, reply, sent, options_.times.lookAtDevice);
  launch_ = sent ? LaunchOutcome::NoAnswerYet : LaunchOutcome::NotAsked;
  // The program restarts the device at once, and its answer may be lost with the link.
  if (sent && end == CallEnd::Gone) {
    launch_ = LaunchOutcome::StartedLinkGone;
    return true;
  }
  if (!CallEnded(RapiCall::CreateProcess, end, options_.times.process)) return false;
  RapiReply answer;
  if (!ParseReply(reply.data(), reply.size(), answer)) return Fail(LinkResult::ReplyMalformed, {}, RapiCall::CreateProcess);
  if (answer.result == 0) {
    launch_ = LaunchOutcome::Refused;
    return Refused(RapiCall::CreateProcess, answer.lastError);
  }
  launch_ = LaunchOutcome::Started;
  return true;
}

bool SyncLink::GetSystemPowerStatusEx(PowerStatus& status) {
  std::vector<std::uint8_t> reply;
  RapiReply answer;
  if (!Call(RapiCall::GetSystemPowerStatusEx, PowerStatusRequest(true), reply)) return false;
  if (!ParsePowerStatusReply(reply.data(), reply.size(), answer, status)) {
    return Fail(LinkResult::ReplyMalformed, {}, RapiCall::GetSystemPowerStatusEx);
  }
  return answer.result != 0 || Refused(RapiCall::GetSystemPowerStatusEx, answer.lastError);
}

bool SyncLink::GetVersionEx(OsVersionInfo& version) {
  std::vector<std::uint8_t> reply;
  RapiReply answer;
  if (!Call(RapiCall::GetVersionEx, VersionRequest(), reply)) return false;
  if (!ParseVersionReply(reply.data(), reply.size(), answer, version)) {
    return Fail(LinkResult::ReplyMalformed, {}, RapiCall::GetVersionEx);
  }
  return answer.result != 0 || Refused(RapiCall::GetVersionEx, answer.lastError);
}
