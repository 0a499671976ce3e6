#include "closing.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

std::string ResultWord(DownloadResult result) {
  switch (result) {
    case DownloadResult::Confirmed: return "confirmed";
    case DownloadResult::Unconfirmed: return "unconfirmed";
    case DownloadResult::ImageRefused: return "refused";
    case DownloadResult::Interrupted: return "interrupted";
    default: return "failed";
  }
}

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

std::string ClosingSentence(const DownloadEnding& ending, const std::string& reason, std::uint64_t bytes,
                            double seconds, const std::string& signalName) {
  std::string verdict;
  switch (ending.result) {
    case DownloadResult::Confirmed: verdict = LoadText(IDS_VERDICT_DONE); break;
    case DownloadResult::Unconfirmed: verdict = LoadText(IDS_VERDICT_UNCONFIRMED); break;
    case DownloadResult::Interrupted: verdict = FormatText(IDS_VERDICT_INTERRUPTED, {signalName}); break;
    default: verdict = LoadText(IDS_VERDICT_FAILED); break;
  }
  char number[64];
  std::snprintf(number, sizeof number, "%" PRIu64, bytes);
  const std::string sent = number;
  std::snprintf(number, sizeof number, "%.1f", seconds);
  const std::string time = number;
  std::string summary;
  if (ending.result == DownloadResult::Confirmed && seconds > 0) {
    std::snprintf(number, sizeof number, "%.0f", static_cast<double>(bytes) / 1024.0 / seconds);
    summary = FormatText(IDS_BYTES_SENT_RATE, {sent, time, number});
  } else {
    summary = FormatText(IDS_BYTES_SENT, {sent, time});
  }
  return verdict + ": " + reason + " " + summary;
}

int ExitStatus(const std::vector<std::string>& results, int signal) {
  auto any = [&](const char* word) { return std::find(results.begin(), results.end(), word) != results.end(); };
  if (any("interrupted")) return 128 + signal;
  if (any("failed") || any("refused")) return 1;
  if (any("unconfirmed")) return 3;
  return 0;
}
