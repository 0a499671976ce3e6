// pdasim: the simulated device: its USB downloader on a pseudo-terminal, and before it
// (with --normal) its normal state on the sync link.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "image_check.h"
#include "options.h"
#include "session.h"

namespace {

int signalWrite = -1;

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(signalWrite, &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  pdasim::Options options;
  const std::string complaint = pdasim::ParseOptions(argc, argv, options);
  if (!complaint.empty()) {
    std::cerr << "pdasim: " << complaint << "\n" << pdasim::USAGE << pdasim::NORMAL_USAGE;
    return 2;
  }
  pdasim::ImageCheck check;
  if (!options.image.empty()) {
    std::string error;
    if (!check.Load(options.image, options.hostOsCode, error)) {
      std::cerr << "pdasim: " << error << "\n";
      return 2;
    }
  }

  // SIGTERM and SIGINT end the session through the event loop, so the report is
  // still written.
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::cerr << "pdasim: cannot create a pipe\n";
    return 1;
  }
  signalWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  pdasim::Session session(options, options.image.empty() ? nullptr : &check, fds[0]);
  return session.Run();
}
