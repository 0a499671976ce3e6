#include "options.h"

#include "../common/parse_number.h"

const char USAGE[] =
    "usage: orvane-flash [--port PATH ...] [--workdir DIR] [--report FILE] [--log-dir DIR]\n"
    "                    [--wait SECONDS] IMAGE\n"
    "       orvane-flash --helper NALVEX [--link IFACE ... | --listen ADDR[:PORT] --trigger ADDR[:PORT] ...]\n"
    "                    [--any-power] [--port PATH ...] [other options as above] IMAGE\n"
    "       orvane-flash --device-info [--link IFACE | --listen ADDR[:PORT] --trigger ADDR[:PORT]]\n"
    "       orvane-flash --check IMAGE\n"
    "       orvane-flash --help | --version\n"
    "Each --port is one device in its USB downloader, all updated at once (default\n"
    "/dev/ttyUSB0). --workdir holds the staging file (a sub-folder per port when there are\n"
    "several); --report writes a JSON report, --log-dir a log per port; --wait lets a port\n"
    "appear that long after the start.\n"
    "With --helper, each device starts in its normal state, attached by USB as a network\n"
    "link (the rndis_host interface, or --link IFACE, one per --port in the same order): the\n"
    "helper is copied to it and started, which restarts it into its USB downloader, and its\n"
    "port is awaited (--wait, 90 s by default). Listening on the link's port 990 needs root\n"
    "or CAP_NET_BIND_SERVICE; --listen and --trigger replace the host's listener and the\n"
    "device's trigger address. A device on battery below 50 % is refused unless --any-power.\n"
    "--device-info shows what a device on its link tells about itself and changes nothing.\n"
    "Exit status: 0 every device confirmed the OS; 3 none failed, but one or more sent every\n"
    "part without confirming (check that the PDA starts); 1 refused or failed; 2 usage;\n"
    "128 + N stopped by signal N (Ctrl-C: 130), with the ports and files left as found.\n";

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if ((arg == "--help" || arg == "--version") && argc == 2) {
      options.command = arg == "--help" ? Command::Help : Command::Version;
      return true;
    }
    if (arg == "--port" && hasValue) {
      options.ports.emplace_back(argv[++i]);
    } else if (arg == "--link" && hasValue) {
      options.links.emplace_back(argv[++i]);
    } else if (arg == "--listen" && hasValue) {
      options.listens.emplace_back(argv[++i]);
    } else if (arg == "--trigger" && hasValue) {
      options.triggers.emplace_back(argv[++i]);
    } else if (arg == "--helper" && hasValue && options.helper.empty()) {
      options.helper = argv[++i];
    } else if (arg == "--any-power") {
      options.anyPower = true;
    } else if (arg == "--workdir" && hasValue && options.workdir.empty()) {
      options.workdir = argv[++i];
    } else if (arg == "--report" && hasValue && options.report.empty()) {
      options.report = argv[++i];
    } else if (arg == "--log-dir" && hasValue && options.logDir.empty()) {
      options.logDir = argv[++i];
    } else if (arg == "--wait" && hasValue && !options.waitGiven) {
      options.waitGiven = true;
      if (!ParseU32(argv[++i], options.waitSeconds) || options.waitSeconds > 24 * 3600) return false;
    } else if (arg == "--check" || arg == "--device-info") {
      if (options.command != Command::Flash) return false;
      options.command = arg == "--check" ? Command::Check : Command::DeviceInfo;
    } else if (!arg.empty() && arg[0] != '-' && options.image.empty()) {
      options.image = arg;
    } else {
      return false;
    }
  }
  // A link is named, or its addresses given, for every device or for none.
  const std::size_t devices = options.Devices();
  auto perDevice = [devices](const std::vector<std::string>& values) {
    return values.empty() || values.size() == devices;
  };
  const bool addresses = !options.listens.empty() || !options.triggers.empty();
  const bool linkOptions = !options.links.empty() || addresses;
  if (!perDevice(options.links) || !perDevice(options.listens) || !perDevice(options.triggers) ||
      options.listens.size() != options.triggers.size() || (!options.links.empty() && addresses)) {
    return false;
  }
  const bool flashOptions = !options.ports.empty() || !options.workdir.empty() || !options.report.empty() ||
                            !options.logDir.empty() || options.waitGiven || !options.helper.empty() ||
                            options.anyPower;
  switch (options.command) {
    case Command::Check: return !options.image.empty() && !flashOptions && !linkOptions;
    case Command::DeviceInfo: return options.image.empty() && !flashOptions;
    case Command::Flash: return !options.image.empty() && (linkOptions ? !options.helper.empty() : true);
    default: return false;
  }
}
