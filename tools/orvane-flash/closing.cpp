#include "closing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

struct VerdictText {
  const char* word;
  StringId caption;
};

// Indexed by Verdict.
constexpr VerdictText VERDICTS[] = {
    {"confirmed", IDS_VERDICT_DONE},  {"unconfirmed", IDS_VERDICT_UNCONFIRMED}, {"failed", IDS_VERDICT_FAILED},
    {"refused", IDS_VERDICT_FAILED},  {"interrupted", IDS_VERDICT_INTERRUPTED},
};

const VerdictText& TextOf(Verdict verdict) { return VERDICTS[static_cast<int>(verdict)]; }

}  // namespace

Verdict VerdictOf(DownloadResult result) {
  switch (result) {
    case DownloadResult::Confirmed: return Verdict::Confirmed;
    case DownloadResult::Unconfirmed: return Verdict::Unconfirmed;
    case DownloadResult::ImageRefused: return Verdict::Refused;
    case DownloadResult::Interrupted: return Verdict::Interrupted;
    default: return Verdict::Failed;
  }
}

Verdict VerdictOf(LinkResult result) {
  switch (result) {
    case LinkResult::DeviceLocked:
    case LinkResult::OsTooOld:
    case LinkResult::PowerTooLow: return Verdict::Refused;
    case LinkResult::Stopped: return Verdict::Interrupted;
    default: return Verdict::Failed;
  }
}

const char* VerdictWord(Verdict verdict) { return TextOf(verdict).word; }

std::string ClosingReason(const DownloadEnding& ending, const std::string& portFailure) {
  std::string reason = EndingReason(ending);
  const bool portCause = ending.result == DownloadResult::PortNotOpened || ending.result == DownloadResult::WriteFailed ||
                         ending.result == DownloadResult::PortGone || ending.result == DownloadResult::PortNotBack;
  if (portCause && !portFailure.empty() && !reason.empty() && reason.back() == '.') {
    reason.insert(reason.size() - 1, " (" + portFailure + ")");
  }
  if (ending.result == DownloadResult::Unconfirmed) reason += std::string(" ") + LoadText(IDS_CHECK_PDA_STARTS);
  return reason;
}

std::string ClosingSentence(Verdict verdict, const std::string& reason, std::uint64_t bytes, double seconds,
                            const std::string& signalName) {
  char number[64];
  std::snprintf(number, sizeof number, "%" PRIu64, bytes);
  const std::string sent = number;
  std::snprintf(number, sizeof number, "%.1f", seconds);
  const std::string time = number;
  std::string summary;
  if (verdict == Verdict::Confirmed && seconds > 0) {
    std::snprintf(number, sizeof number, "%.0f", static_cast<double>(bytes) / 1024.0 / seconds);
    summary = FormatText(IDS_BYTES_SENT_RATE, {sent, time, number});
  } else {
    summary = FormatText(IDS_BYTES_SENT, {sent, time});
  }
  return FormatText(TextOf(verdict).caption, {signalName}) + ": " + reason + " " + summary;
}

int ExitStatus(const std::vector<Verdict>& verdicts, int signal) {
  const Verdict worst = verdicts.empty() ? Verdict::Confirmed : *std::max_element(verdicts.begin(), verdicts.end());
  switch (worst) {
    case Verdict::Interrupted: return 128 + signal;
    case Verdict::Failed:
    case Verdict::Refused: return 1;
    case Verdict::Unconfirmed: return 3;
    case Verdict::Confirmed: break;
  }
  return 0;
}
