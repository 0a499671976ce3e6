// How a run ends, in words: the verdict of one device, its closing sentence, the result
// and reason the bench table and report give, and the exit status of the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download.h"
#include "link_ending.h"

// What became of one device, worst last.
enum class Verdict { Confirmed, Unconfirmed, Failed, Refused, Interrupted };

Verdict VerdictOf(DownloadResult result);
// Of the road into the downloader: a device this run will not update as it stands
// (locked, too old, on a low battery) is refused; a stop interrupts; the rest fail.
Verdict VerdictOf(LinkResult result);
// The report's word: "confirmed", "unconfirmed", "failed", "refused" or "interrupted".
const char* VerdictWord(Verdict verdict);

// The ending's reason, with the system's own where the port was the cause, and what to
// do when the device did not confirm.
std::string ClosingReason(const DownloadEnding& ending, const std::string& portFailure);

// One device's closing sentence: what happened, why, what the device took and how long
// it took. signalName names the signal of an interrupted run.
std::string ClosingSentence(Verdict verdict, const std::string& reason, std::uint64_t bytes, double seconds,
                            const std::string& signalName);

// The exit status of a run from its devices' verdicts: 128 + signal when any was
// interrupted, else 1 when any failed or was refused, else 3 when any was not
// confirmed, else 0.
int ExitStatus(const std::vector<Verdict>& verdicts, int signal);
