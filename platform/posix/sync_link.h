// The host's side of the device's sync link: a listener on the device's USB network
// link, the trigger that makes the device connect, the handshake on its first
// connection, and remote-API channels on its later ones. It fills the Rapi seam, so
// that device preparation's push and launch run over it unchanged.
//
// Nothing here blocks without a bound: every wait is cut into polls of at most 50 ms,
// so that a stop request ends it within that. Every wait also watches the link's
// interface and, once the device is connected, keeps its control connection alive: a
// link whose interface has gone, or whose device has closed a connection, is gone for good.
//
// Use from one thread: Open, Connect, then channels (ConnectRapi) and calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device_prep/rapi.h"
#include "link_ending.h"
#include "link_finder.h"
#include "rapi_wire.h"
#include "stop_flag.h"
#include "sync_wire.h"

// The bounds of the link's waits, in milliseconds.
struct LinkTimes {
  std::uint32_t connect = 30000;        // from the first trigger to the device's connection
  std::uint32_t triggerEvery = 2000;    // the device's service may miss the first triggers
  std::uint32_t handshake = 10000;      // from the connection to the end of the information block
  std::uint32_t unlock = 120000;        // for the user to unlock a device on its own screen
  std::uint32_t call = 30000;           // for a call's answer
  std::uint32_t process = 120000;       // for CreateProcess's: the device may ask its user first
  std::uint32_t lookAtDevice = 3000;    // CreateProcess without an answer this long: LookAtDevice
  std::uint32_t keepAlive = 30000;      // between pings on the control connection
};

struct LinkOptions {
  std::string interfaceName;           // empty: the interface whose driver is rndis_host
  std::string socketOf;                // a port named by its USB socket: the interface on that socket
  std::optional<LinkAddress> listen;   // replaces the host's address on the link and port 990
  std::optional<LinkAddress> trigger;  // replaces the device's address and port 5679
  LinkTimes times;
  LinkPaths paths;
  const StopFlag* stop = nullptr;
  // Tells the user what to do on the device while a wait goes on (LinkNoticeText).
  std::function<void(LinkNotice, const std::string& detail)> notify;
};

// What became of the last CreateProcess.
enum class LaunchOutcome {
  NotAsked,         // none was sent, or its request did not reach the device
  Started,          // the device answered that the program started
  Refused,          // the device answered with an error: LastError()
  StartedLinkGone,  // no answer, and the link went away: the started program restarted the device
  NoAnswerYet,      // no answer within its bound (or a stop), and the link still there
};

// A descriptor, closed with its owner.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { Reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int Get() const { return fd_; }
  void Reset(int fd = -1);
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

class SyncLink : public Rapi {
 public:
  explicit SyncLink(LinkOptions options);
  SyncLink(const SyncLink&) = delete;
  SyncLink& operator=(const SyncLink&) = delete;

  // Finds the link's interface and addresses and opens the listener and the trigger's
  // socket. False when it cannot: Ending() says why.
  bool Open();
  // Triggers the device until it connects, within times.connect, then runs the
  // handshake: a device locked on its screen is waited for (the user is told to unlock
  // it); one locked with a password the host would send is refused before anything is
  // written. False when the device is not ready for calls: Ending() says why.
  bool Connect();

  // What the device told about itself; filled once its information block arrived, also
  // when Connect then refused it.
  const DeviceInfo& Info() const { return info_; }
  // The link's interface; empty when the addresses alone were given.
  const std::string& InterfaceName() const { return interface_; }
  // Where the listener took its connections (its port is the system's choice when 0 was given).
  LinkAddress ListenAddress() const;

  // The Rapi seam. CeRapiInitEx asks the device for a channel on the control connection
  // and WaitForInitEvent takes the device's next connection that names it; one channel
  // is open at a time, and a new one ends the last. CeRapiUninit closes it. The calls
  // need an open channel; a call that fails keeps the device's lastError.
  std::int32_t CeRapiInitEx(RapiInitRecord& init) override;
  std::uint32_t WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) override;
  void CeRapiUninit() override;
  RapiHandle CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  // Sent in requests of at most WRITE_CHUNK_LIMIT bytes; written counts what the device
  // took until the first short write.
  bool CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) override;
  void CeCloseHandle(RapiHandle handle) override;
  // True when the program started, or counts as started (LastLaunch says which). While
  // the device has not answered after times.lookAtDevice, the user is told to look at it.
  bool CeCreateProcess(const std::u16string& applicationName) override;

  // Beyond the seam, on the open channel.
  bool GetSystemPowerStatusEx(PowerStatus& status);
  bool GetVersionEx(OsVersionInfo& version);

  // The device's lastError of the last call that failed on it.
  std::uint32_t LastError() const { return lastError_; }
  LaunchOutcome LastLaunch() const { return launch_; }
  // The first failure since Connect, or since the last channel was asked for; its
  // result is None while nothing has failed.
  const LinkEnding& Ending() const { return ending_; }

 private:
  using Steady = std::chrono::steady_clock;
  enum class Wait { Ready, TimedOut, Gone, Stopped };

  bool Fail(LinkResult result, std::string detail = {}, RapiCall call = RapiCall::None, std::uint32_t lastError = 0);
  void Notify(LinkNotice notice, const std::string& detail) const;
  // Waits until fd is ready for events, within the deadline.
  Wait Await(int fd, short events, Steady::time_point deadline);
  Wait ReadExactly(int fd, std::uint8_t* data, std::size_t size, Steady::time_point deadline);
  Wait WriteAll(int fd, const std::vector<std::uint8_t>& data, Steady::time_point deadline);
  bool LinkStillThere(Steady::time_point now);
  // The control connection once connected: pings when due, and what the device says
  // on it read and let go. False when it has closed.
  bool KeepAlive(Steady::time_point now);
  bool DrainControl();
  void SendTrigger() const;
  bool Handshake();
  bool AwaitUnlock();
  bool HandshakeFailed(Wait wait, LinkResult onTimeout, std::uint32_t limit);

  // One request and its reply frame on the channel. sent: the whole request left.
  enum class CallEnd { Answered, NoChannel, NoAnswer, Gone, Stopped, Malformed };
  CallEnd Exchange(const std::vector<std::uint8_t>& request, std::uint32_t limit, std::vector<std::uint8_t>& reply,
                   bool& sent, std::uint32_t noticeAfter = 0);
  // Exchange within times.call; false with the ending made.
  bool Call(RapiCall call, const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply);
  bool CallEnded(RapiCall call, CallEnd end, std::uint32_t limit);
  bool Refused(RapiCall call, std::uint32_t lastError);

  LinkOptions options_;
  std::string interface_;
  unsigned interfaceIndex_ = 0;
  std::vector<LinkAddress> triggerTargets_;
  OwnedFd listener_;
  OwnedFd triggerSocket_;
  OwnedFd control_;
  OwnedFd channel_;
  bool connected_ = false;  // the handshake is done: the control connection is served
  bool gone_ = false;
  std::uint32_t lastChannelId_ = 0;
  std::uint32_t pendingChannelId_ = 0;
  Steady::time_point nextPing_;
  Steady::time_point nextLinkCheck_;
  DeviceInfo info_;
  LinkEnding ending_;
  std::uint32_t lastError_ = 0;
  LaunchOutcome launch_ = LaunchOutcome::NotAsked;
};
