// The engine's trace sink. The program keeps no log: the trace file is never opened and
// every trace point passes a zero enable flag, so the texts are never even formatted.
#pragma once

class File;

// The process-wide trace file; null, because it is never opened.
extern File* TraceFile;
// The flag every trace point passes.
constexpr bool TRACE_ENABLED = false;

// Writes the formatted text to the file when a file is given and enable is set.
void TraceLine(File* file, bool enable, const char* format, ...) __attribute__((format(printf, 3, 4)));

// A trace point of the engine.
#define ORVANE_TRACE(...) TraceLine(TraceFile, TRACE_ENABLED, __VA_ARGS__)
