#include "options.h"

#include <cerrno>
#include <cstdlib>

#include "../common/parse_number.h"

namespace pdasim {

const char USAGE[] =
    "usage: pdasim --link PATH --out DIR [options]\n"
    "  --link PATH             publish the port as a symlink at PATH\n"
    "  --out DIR               write the received streams and report.json here\n"
    "  --image IMAGE           verify what arrives against this update image\n"
    "  --host-os-code N        word 24 expected in rewritten headers (default 1003)\n"
    "  --trigger FILE          publish the port only once FILE exists\n"
    "  --reset-delay-ms N      port absent for N ms after \"device reset.\" (default 4000)\n"
    "  --dot-bytes N           one \".\" progress line per N payload bytes (default 16640)\n"
    "  --dot-ms N              pause before each progress line (default 10)\n"
    "  --linger-ms N           keep reading N ms after the last answer (default 300)\n"
    "  --max-seconds N         give up after N seconds in all (default 600)\n"
    "Faults (STREAM is 1, 2, 3, package, part2 or os):\n"
    "  --fail-after STREAM:flash|compat\n"
    "                          answer \"Flash Incorrect.\" or \"OS not compatible.\"\n"
    "  --bad-checksum STREAM   treat the stream's checksum as wrong\n"
    "  --silence STREAM[:LINES]\n"
    "                          send only the first LINES progress lines, then nothing\n"
    "  --drop STREAM:K         close the port after K bytes of the stream\n"
    "  --stall STREAM:K        take no more data after K bytes of the stream\n"
    "  --refuse-midway STREAM:K:flash|compat\n"
    "                          after K bytes of the stream, answer \"Flash Incorrect.\" or\n"
    "                          \"OS not compatible.\" and take no more data\n"
    "  --slow-read BYTES:MS    read at most BYTES at a time, pausing MS between reads\n"
    "  --garbage N             N unrecognisable lines before each answer\n"
    "  --long-lines N          N lines over 127 bytes before each answer\n"
    "  --no-return             the port never comes back after \"device reset.\"\n"
    "Exit status: 0 all received verified, 1 otherwise, 2 usage.\n";

namespace {

bool ParseStream(const std::string& text, StreamRef& ref) {
  ref.text = text;
  if (text == "package") {
    ref.role = Role::Package;
  } else if (text == "part2") {
    ref.role = Role::PartTwo;
  } else if (text == "os") {
    ref.role = Role::OsRemainder;
  } else if (text == "1" || text == "2" || text == "3") {
    ref.index = static_cast<unsigned>(text[0] - '0');
  } else {
    return false;
  }
  return true;
}

// Splits "STREAM:REST"; rest is empty when there is no colon.
bool ParseStreamAnd(const std::string& text, StreamRef& ref, std::string& rest, bool restRequired) {
  const std::size_t colon = text.find(':');
  rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (restRequired && colon == std::string::npos) return false;
  return ParseStream(text.substr(0, colon), ref);
}

}  // namespace

std::string ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string complaint;
    if (const int used = ParseNormalOption(argc, argv, i, options.normal, complaint); used || !complaint.empty()) {
      if (!complaint.empty()) return complaint;
      i += used - 1;
      continue;
    }
    const std::string arg = argv[i];
    if (arg == "--no-return") {
      options.noReturn = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) return "unexpected argument " + arg;
    if (i + 1 >= argc) return "missing value for " + arg;
    const std::string value = argv[++i];
    StreamRef ref;
    std::string rest;
    bool ok = true;
    if (arg == "--link") {
      options.link = value;
    } else if (arg == "--out") {
      options.out = value;
    } else if (arg == "--image") {
      options.image = value;
    } else if (arg == "--trigger") {
      options.trigger = value;
    } else if (arg == "--host-os-code") {
      ok = ParseU32(value, options.hostOsCode);
    } else if (arg == "--reset-delay-ms") {
      ok = ParseU32(value, options.resetDelayMs);
    } else if (arg == "--dot-bytes") {
      ok = ParseU32(value, options.dotBytes) && options.dotBytes > 0;
    } else if (arg == "--dot-ms") {
      ok = ParseU32(value, options.dotMs);
    } else if (arg == "--linger-ms") {
      ok = ParseU32(value, options.lingerMs);
    } else if (arg == "--max-seconds") {
      ok = ParseU32(value, options.maxSeconds) && options.maxSeconds > 0;
    } else if (arg == "--fail-after") {
      ok = ParseStreamAnd(value, ref, rest, true) && (rest == "flash" || rest == "compat");
      options.failAfter = ref;
      options.failLine = rest == "flash" ? "Flash Incorrect.\n" : "OS not compatible.\n";
    } else if (arg == "--bad-checksum") {
      ok = ParseStream(value, ref);
      options.badChecksum = ref;
    } else if (arg == "--silence") {
      ok = ParseStreamAnd(value, ref, rest, false) &&
           (rest.empty() || ParseU32(rest, options.silenceLines));
      options.silence = ref;
    } else if (arg == "--drop" || arg == "--stall") {
      ok = !options.drop && ParseStreamAnd(value, ref, rest, true) &&
           ParseNumber(rest, UINT64_MAX, options.dropBytes) && options.dropBytes > 0;
      options.drop = ref;
      options.stall = arg == "--stall";
    } else if (arg == "--refuse-midway") {
      const std::size_t colon = value.rfind(':');
      const std::string line = colon == std::string::npos ? "" : value.substr(colon + 1);
      ok = !options.drop && (line == "flash" || line == "compat") &&
           ParseStreamAnd(value.substr(0, colon), ref, rest, true) &&
           ParseNumber(rest, UINT64_MAX, options.dropBytes) && options.dropBytes > 0;
      options.drop = ref;
      options.stall = true;
      options.midwayLine = line == "flash" ? "Flash Incorrect.\n" : "OS not compatible.\n";
    } else if (arg == "--slow-read") {
      const std::size_t colon = value.find(':');
      ok = colon != std::string::npos && ParseU32(value.substr(0, colon), options.slowBytes) &&
           ParseU32(value.substr(colon + 1), options.slowMs) && options.slowBytes > 0;
    } else if (arg == "--garbage") {
      ok = ParseU32(value, options.garbageLines);
    } else if (arg == "--long-lines") {
      ok = ParseU32(value, options.longLines);
    } else {
      return "unknown option " + arg;
    }
    if (!ok) return "bad value for " + arg + ": " + value;
  }
  if (options.link.empty()) return "--link is required";
  if (options.out.empty()) return "--out is required";
  return FinishNormalOptions(options.normal, options.trigger);
}

}  // namespace pdasim
