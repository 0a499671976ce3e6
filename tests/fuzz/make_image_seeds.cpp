// Writes a few well-formed images as the image fuzzer's starting corpus: without them a
// fuzzer rarely builds a boot block 16 KiB into its input by chance.
#include <cstdio>
#include <string>

#include "image_fixture.h"

namespace {

bool WriteSeed(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_image_seeds CORPUS_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  TestImage plain = TestImage::WithOs(3, 1);
  plain.Add(ImageFlags::BL, 512);
  plain.Add(ImageFlags::UD, 700);
  plain.Add(ImageFlags::KN, 1000);
  plain.Add(ImageFlags::EB, 3);

  TestImage later = TestImage::WithOs(3, 2, 1);
  TestImage wide = TestImage::WithOs(2, 1);
  MakeBootBlock(wide.os, 0, {{"A", 1}, {"B", 1}, {"C", 1}, {"D", 1}, {"REV", 1}}, 80);

  const bool ok = WriteSeed(dir + "/seed-sections", plain.Bytes()) && WriteSeed(dir + "/seed-later-boot", later.Bytes()) &&
                  WriteSeed(dir + "/seed-wide-table", wide.Bytes());
  return ok ? 0 : 1;
}
