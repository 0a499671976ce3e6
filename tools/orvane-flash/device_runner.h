// One device's transfer: its port, its working folder and staging file, what it sent
// and how it ended. The working folder is held for the run, so two runs can never
// share a staging file, and a folder of the runner's own is removed afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "download.h"
#include "posix_serial.h"
#include "stop_flag.h"

class DeviceRunner {
 public:
  // workdir empty: a fresh temporary folder of the runner's own.
  DeviceRunner(std::string port, std::string workdir, std::string image, const StopFlag& stop);
  ~DeviceRunner();
  DeviceRunner(const DeviceRunner&) = delete;
  DeviceRunner& operator=(const DeviceRunner&) = delete;

  // Checks the port and the working folder before anything is done, and takes the
  // folder; names what cannot be used, and why, on stderr. False when one cannot.
  bool Prepare(const struct stat& image);
  // Runs the download sequence onto the device, with the page showing it.
  DownloadEnding Run(ProgressPage& page, MessageBoxes& messages);

  const std::string& Port() const { return port_; }
  std::uint64_t BytesSent() const { return ports_.sent; }
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
    std::uint64_t sent = 0;

   private:
    PosixPortOpener real_;
  };

  bool TakeWorkdir(const struct stat& image);

  std::string port_;
  std::string workdir_;
  std::string image_;
  const StopFlag& stop_;
  bool ownWorkdir_ = false;
  int workdirLock_ = -1;
  CountedPorts ports_;
  double seconds_ = 0;
};
