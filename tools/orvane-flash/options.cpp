#include "options.h"

#include "../common/parse_number.h"

const char USAGE[] =
    "usage: orvane-flash [--port PATH ...] [--workdir DIR] [--report FILE] [--log-dir DIR]\n"
    "                    [--wait SECONDS] IMAGE\n"
    "       orvane-flash --check IMAGE\n"
    "       orvane-flash --help | --version\n"
    "Each --port is one device, all updated at once (default /dev/ttyUSB0). --workdir holds\n"
    "the staging file (a sub-folder per port when there are several); --report writes a JSON\n"
    "report, --log-dir a log per port; --wait lets a port appear that long after the start.\n"
    "Exit status: 0 every device confirmed the OS; 3 none failed, but one or more sent every\n"
    "part without confirming (check that the PDA starts); 1 refused or failed; 2 usage;\n"
    "128 + N stopped by signal N (Ctrl-C: 130), with the ports and files left as found.\n";

bool ParseOptions(int argc, char** argv, Options& options) {
  bool waitGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((arg == "--help" || arg == "--version") && argc == 2) {
      options.command = arg == "--help" ? Command::Help : Command::Version;
      return true;
    }
    if (arg == "--port" && hasValue) {
      options.ports.emplace_back(argv[++i]);
    } else if (arg == "--workdir" && hasValue && options.workdir.empty()) {
      options.workdir = argv[++i];
    } else if (arg == "--report" && hasValue && options.report.empty()) {
      options.report = argv[++i];
    } else if (arg == "--log-dir" && hasValue && options.logDir.empty()) {
      options.logDir = argv[++i];
    } else if (arg == "--wait" && hasValue && !waitGiven) {
      waitGiven = true;
      if (!ParseU32(argv[++i], options.waitSeconds) || options.waitSeconds > 24 * 3600) return false;
    } else if (arg == "--check") {
      options.command = Command::Check;
    } else if (!arg.empty() && arg[0] != '-' && options.image.empty()) {
      options.image = arg;
    } else {
      return false;
    }
  }
  const bool flashOptions = !options.ports.empty() || !options.workdir.empty() || !options.report.empty() ||
                            !options.logDir.empty() || waitGiven;
  return !options.image.empty() && !(options.command == Command::Check && flashOptions);
}
