// Writes the resource script's STRINGTABLE from the program's one string table, so
// that each text exists once. Built and run on the build machine.
#include <cstdio>

#include "string_table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_string_table OUTPUT.rc\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Generated from engine/string_table.cpp; do not edit.\nSTRINGTABLE\nBEGIN\n");
  for (std::size_t i = 0; i < STRING_TABLE_SIZE; ++i) {
    std::fprintf(out, "  %u, \"", static_cast<unsigned>(STRING_TABLE[i].id));
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(STRING_TABLE[i].text); *p; ++p) {
      // Quotes are doubled as the resource compiler wants; every other byte outside
      // plain printable text goes as an octal escape.
      if (*p == '"') {
        std::fputs("\"\"", out);
      } else if (*p == '\\') {
        std::fputs("\\\\", out);
      } else if (*p < 0x20 || *p > 0x7E) {
        std::fprintf(out, "\\%03o", *p);
      } else {
        std::fputc(*p, out);
      }
    }
    std::fputs("\"\n", out);
  }
  std::fputs("END\n", out);
  return std::fclose(out) == 0 ? 0 : 1;
}
