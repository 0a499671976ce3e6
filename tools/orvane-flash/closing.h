// How a run ends, in words: the closing sentence of one device, the result and reason
// the bench table and report give, and the exit status of the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download.h"

// The report's word for an ending: "confirmed", "unconfirmed", "refused" (the image),
// "interrupted" or "failed".
std::string ResultWord(DownloadResult result);

// The ending's reason, with the system's own where the port was the cause, and what to
// do when the device did not confirm.
std::string ClosingReason(const DownloadEnding& ending, const std::string& portFailure);

// One device's closing sentence: what happened, why, what was sent and how long it
// took. signalName names the signal of an interrupted run.
std::string ClosingSentence(const DownloadEnding& ending, const std::string& reason, std::uint64_t bytes,
                            double seconds, const std::string& signalName);

// The exit status of a run from its devices' result words: 128 + signal when any was
// interrupted, else 1 when any failed or was refused, else 3 when any was not
// confirmed, else 0.
int ExitStatus(const std::vector<std::string>& results, int signal);
