// One device's transfer: its port, its working folder and staging file, its log, what
// the device took and how it ended. The working folder is held for the run, so two
// runs can never share a staging file, and a folder of the runner's own is removed
// afterwards. Runners of one process run side by side, one thread each.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "download.h"
#include "into_downloader.h"
#include "opened_file.h"
#include "port_log.h"
#include "posix_serial.h"
#include "stop_flag.h"

// Says what cannot be used, and why.
using Complaint = std::function<void(const std::string& what, const std::string& why)>;

// Counts what the device took from a port: what was written to it, less what the port
// still holds, added to what the device took from the port before it.
class CountedChannel : public DeviceChannel {
 public:
  CountedChannel(std::unique_ptr<DeviceChannel> inner, std::atomic<std::uint64_t>& sent);
  WriteEnd Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t& written) override;
  WriteEnd Drain() override;
  std::uint32_t HeldBytes() const override { return inner_->HeldBytes(); }
  bool ReadByte(std::uint8_t& byte, std::uint32_t& got) override { return inner_->ReadByte(byte, got); }
  bool GetTimeouts(CommTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
  bool SetTimeouts(const CommTimeouts& timeouts) override { return inner_->SetTimeouts(timeouts); }
  void DiscardUnsent() override { inner_->DiscardUnsent(); }

 private:
  void Count();

  std::unique_ptr<DeviceChannel> inner_;
  std::atomic<std::uint64_t>& sent_;
  std::uint64_t before_;
  std::uint64_t written_ = 0;
};

// The staging file in a working folder.
std::string StagingIn(const std::string& workdir);

class DeviceRunner {
 public:
  // workdir empty: a fresh temporary folder of the runner's own. makeWorkdir: the
  // given folder is made when it does not exist.
  DeviceRunner(std::string port, std::string workdir, bool makeWorkdir, const OpenedFile& image,
               const StopFlag& stop, PortClaims& claims);
  ~DeviceRunner();
  DeviceRunner(const DeviceRunner&) = delete;
  DeviceRunner& operator=(const DeviceRunner&) = delete;

  // Opens the log this run writes; false, with the reason told, when it cannot.
  bool OpenLog(const std::string& path, const Complaint& complain);
  // Checks a given working folder before anything is done, and takes it. False when it
  // cannot be used (Refusal says why; complain has been told).
  bool TakeFolder(const Complaint& complain);
  // Takes the device from its normal state into its downloader over its link, the page
  // (and the log) showing each step; an ending with result None once the helper started
  // and the port is to be awaited.
  LinkEnding IntoDownloader(const Road& road, const LinkOptions& link, ProgressPage& page);
  // Checks the port, which is tried again for up to waitMs while it cannot be used yet,
  // and makes the runner's own folder when none was given. False when the port cannot
  // be used (Refusal says why; complain has been told) or a stop came first.
  bool Prepare(std::uint32_t waitMs, const Complaint& complain);
  // Runs the download sequence onto the device, with the page showing it.
  DownloadEnding Run(ProgressPage& page, MessageBoxes& messages);
  // The log's last line: how the run ended.
  void CloseLog(const std::string& ending) { log_.Close(ending); }

  const std::string& Port() const { return port_; }
  const std::string& Refusal() const { return refusal_; }
  const std::string& LogPath() const { return log_.Path(); }
  // The bytes the device has taken so far: written, and no longer held by the port.
  const std::atomic<std::uint64_t>& Sent() const { return ports_.sent; }
  double Seconds() const { return seconds_; }
  // The system's reason behind a failed open, read or write of the port; empty when
  // there is none.
  const std::string& PortFailure() const { return ports_.LastFailure(); }

 private:
  // The real ports, counting the bytes the device takes from them.
  class CountedPorts : public PortOpener {
   public:
    CountedPorts(const StopFlag& stop, PortClaims& claims) : real_(&stop, &claims) {}
    std::unique_ptr<DeviceChannel> Open(const std::string& path) override;
    const std::string& LastFailure() const { return real_.LastFailure(); }
    std::atomic<std::uint64_t> sent{0};

   private:
    PosixPortOpener real_;
  };

  bool Refuse(const std::string& what, const std::string& why, const Complaint& complain);
  bool AwaitPort(std::uint32_t waitMs, const Complaint& complain);

  std::string port_;
  std::string workdir_;
  bool makeWorkdir_;
  const OpenedFile& image_;
  const StopFlag& stop_;
  bool ownWorkdir_ = false;
  bool removeStaging_ = false;
  int workdirLock_ = -1;
  CountedPorts ports_;
  PortLog log_;
  std::string refusal_;
  double seconds_ = 0;
};
