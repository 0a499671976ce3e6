// One device's transfer: its port, its working folder and staging file, its log, what
// it sent and how it ended. The working folder is held for the run, so two runs can
// never share a staging file, and a folder of the runner's own is removed afterwards.
// Runners of one process run side by side, one thread each.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "download.h"
#include "port_log.h"
#include "posix_serial.h"
#include "stop_flag.h"

// Says what cannot be used, and why.
using Complaint = std::function<void(const std::string& what, const std::string& why)>;

// The devices the runners of this process have, by device number, so that one device
// given under two names is used once.
class DeviceRegistry {
 public:
  // The port that has the device already, or empty: then this port has it.
  std::string Claim(dev_t device, const std::string& port);

 private:
  std::mutex lock_;
  std::map<dev_t, std::string> ports_;
};

class DeviceRunner {
 public:
  // workdir empty: a fresh temporary folder of the runner's own. makeWorkdir: the
  // given folder is made when it does not exist.
  DeviceRunner(std::string port, std::string workdir, bool makeWorkdir, std::string image, const StopFlag& stop,
               DeviceRegistry& registry);
  ~DeviceRunner();
  DeviceRunner(const DeviceRunner&) = delete;
  DeviceRunner& operator=(const DeviceRunner&) = delete;

  // Opens the log this run writes; false, with the reason told, when it cannot.
  bool OpenLog(const std::string& path, const Complaint& complain);
  // Checks the working folder and the port before anything is done, and takes the
  // folder; a port that does not open is tried again for up to waitMs. False when one
  // cannot be used (Refusal says why; complain has been told) or a stop came first.
  bool Prepare(const struct stat& image, std::uint32_t waitMs, const Complaint& complain);
  // Runs the download sequence onto the device, with the page showing it.
  DownloadEnding Run(ProgressPage& page, MessageBoxes& messages);
  // A last line for the log: how the run ended.
  void NoteInLog(const std::string& text) { log_.Note(text); }

  const std::string& Port() const { return port_; }
  const std::string& Refusal() const { return refusal_; }
  const std::string& LogPath() const { return log_.Path(); }
  // The bytes that have reached the port so far.
  const std::atomic<std::uint64_t>& Sent() const { return ports_.sent; }
  double Seconds() const { return seconds_; }
  // The system's reason behind a failed open, read or write of the port; empty when
  // there is none.
  const std::string& PortFailure() const { return ports_.LastFailure(); }

 private:
  // The real ports, counting the bytes that reach them.
  class CountedPorts : public PortOpener {
   public:
    explicit CountedPorts(const StopFlag& stop) : real_(&stop) {}
    std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
    const std::string& LastFailure() const { return real_.LastFailure(); }
    std::atomic<std::uint64_t> sent{0};

   private:
    PosixPortOpener real_;
  };

  bool Refuse(const std::string& what, const std::string& why, const Complaint& complain);
  bool TakeWorkdir(const struct stat& image, const Complaint& complain);
  bool AwaitPort(std::uint32_t waitMs, const Complaint& complain);

  std::string port_;
  std::string workdir_;
  bool makeWorkdir_;
  std::string image_;
  const StopFlag& stop_;
  DeviceRegistry& registry_;
  bool ownWorkdir_ = false;
  int workdirLock_ = -1;
  CountedPorts ports_;
  PortLog log_;
  std::string refusal_;
  double seconds_ = 0;
};
