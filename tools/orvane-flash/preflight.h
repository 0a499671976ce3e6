// What is checked before a run touches anything: one device given twice, outputs that
// would harm the image or a staging file, link addresses, a helper that is no program.
#pragma once

#include <string>
#include <vector>

#include "opened_file.h"
#include "options.h"

// One device given twice, by one path or by two names of one tty, is refused (said on
// stderr) before anything is sent.
bool DistinctDevices(const std::vector<std::string>& ports);

// The report and the logs go where the run can write, and never over the image or a
// staging file, or the run does not start (said on stderr).
bool OutputsUsable(const Options& options, const OpenedFile& image, const std::vector<std::string>& logs,
                   const std::vector<std::string>& stagingFiles);

// Every --listen and --trigger is an address with an optional port.
bool LinkAddressesValid(const Options& options);

// A Windows CE program, as any PE image, begins with "MZ": a wrong file named as the
// helper is refused before any device is touched.
bool LooksLikeProgram(const OpenedFile& helper);
