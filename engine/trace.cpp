#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "file.h"

File* TraceFile = nullptr;

void TraceLine(File* file, bool enable, const char* format, ...) {
  if (file == nullptr || !enable) return;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size > 0) {
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    file->Write(text.data(), static_cast<std::uint32_t>(size));
  }
  va_end(args);
}
