// The device in its normal state: it waits for the host's trigger, connects to the
// host's listener, answers the handshake and serves remote-API calls on its file
// store, until the helper it is asked to start restarts it into its downloader.
// Single-threaded: one poll loop, every wait bounded by the session's deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_store.h"
#include "options.h"
#include "sync_wire.h"

namespace pdasim {

class NormalState {
 public:
  using ProblemSink = std::function<void(const std::string&)>;

  NormalState(const Options& options, int signalFd, ProblemSink problem);
  ~NormalState();
  NormalState(const NormalState&) = delete;
  NormalState& operator=(const NormalState&) = delete;

  // Plays the normal state. True once the helper has restarted the device and the
  // restart delay is over: the downloader comes next. False when the state ended
  // otherwise; EndReason says how.
  bool Run(std::int64_t deadline);
  const std::string& EndReason() const { return endReason_; }
  // The report's "normal_state" object.
  std::string Report() const;

 private:
  // One TCP connection the device made to the host's listener.
  struct Connection {
    int fd = -1;
    bool connecting = true;
    std::int64_t connectBy = 0;
    std::uint32_t channel = 0;  // the channel's id; 0 for the control connection
    sync::Bytes in;
    sync::Bytes out;
    std::size_t outAt = 0;
    std::int64_t promptUntil = 0;  // a CreateProcess waits for the device's user until then
    bool promptOver = false;

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
    void Close(bool abortive);
    bool Pending() const { return outAt < out.size(); }
  };

  enum class Control { WaitOpeningReply, WaitAnswer6, LockedWm5, LockedWm6, UnlockScreen, WaitUnlockFollow, Ready };

  struct CallRecord {
    std::string name;
    std::uint32_t result;
    std::uint32_t lastError;
    std::string detail;
    bool replied;
  };

  struct Program {
    std::string name;
    std::optional<std::string> commandLine;
    bool helper;
    std::int64_t atMs;
  };

  struct Fault {
    std::string name;
    std::string detail;
    bool applied = false;
  };

  std::int64_t Since(std::int64_t now) const { return now - startedAt_; }
  void End(const std::string& reason);
  void Fail(const std::string& problem);
  void Apply(const std::string& fault);
  void DropLink(const std::string& cause, bool abortive);

  void Step();
  void StepTimers(std::int64_t now);
  bool OpenTrigger();
  void ReadTrigger();
  void StartControl();
  std::unique_ptr<Connection> Connect(std::uint32_t channel, std::string& error);
  void Connected(Connection& connection);
  void ConnectFailed(Connection& connection, int error);
  void ReadFrom(Connection& connection);
  void Flush(Connection& connection);
  void Send(Connection& connection, const sync::Bytes& bytes);
  void SendWords(Connection& connection, std::initializer_list<std::uint32_t> words);

  bool ParseControl();
  void SendInfo();
  void OpenChannel(std::uint32_t id);

  bool ServeFrame(Connection& channel);
  bool DropAfterWrite(const Connection& channel);
  bool Serve(Connection& channel, std::uint32_t command, sync::Reader& reader);
  // The lastError a fault makes the call fail with.
  std::optional<std::uint32_t> Refusal(Call call);
  // A call that failed without a fault asking for it is a problem: nothing else fails here.
  void Record(Call call, std::uint32_t result, std::uint32_t lastError, const std::string& detail, bool failed,
              bool asked, bool replied = true);
  void HelperStarted(std::int64_t now);

  void SaveFiles();

  const Options& options_;
  const NormalOptions& normal_;
  int signalFd_;
  ProblemSink problem_;
  // Points in time are steady-clock milliseconds; those named ...AtMs_ count from
  // startedAt_ instead, as the report does.
  std::int64_t startedAt_;
  std::int64_t deadline_ = 0;
  bool ended_ = false;
  bool downloaderNext_ = false;
  std::string endReason_;

  int trigger_ = -1;
  unsigned triggers_ = 0;
  unsigned connectAttempts_ = 0;
  bool waitingForTrigger_ = false;
  std::int64_t retryAt_ = 0;
  std::unique_ptr<Connection> control_;
  std::vector<std::unique_ptr<Connection>> channels_;

  Control state_ = Control::WaitOpeningReply;
  std::optional<std::int64_t> connectedAtMs_;
  std::optional<std::uint32_t> openingReply_;
  std::vector<std::uint32_t> answer6_;
  std::optional<std::size_t> infoBytes_;
  std::uint32_t key_ = sync::KEY_UNLOCKED;
  bool unlockRequested_ = false;
  std::int64_t unlockAt_ = 0;
  bool unlocked_ = false;
  std::vector<std::uint32_t> unlockWords_;
  std::vector<std::string> passwords_;
  unsigned pings_ = 0;
  std::vector<std::uint32_t> channelIds_;

  DeviceStore store_;
  std::uint64_t contentArrived_ = 0;  // file content of the WriteFile frames served so far
  std::vector<CallRecord> calls_;
  std::vector<Program> programs_;
  std::optional<std::int64_t> helperAt_;
  std::int64_t flushBy_ = 0;
  std::optional<std::int64_t> droppedAtMs_;
  std::string dropCause_;
  std::optional<std::int64_t> restartOverAtMs_;
  std::vector<Fault> faults_;
};

}  // namespace pdasim
