#include "device_prep/image_check.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/image_fixture.h"
#include "fakes.h"
#include "memory_file.h"
#include "scripted_desktop.h"

namespace {

// Files by full name, each opened as a fresh copy in memory.
class NamedFiles : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& name, OpenMode mode) override {
    opened.push_back(name);
    const auto found = files.find(name);
    if (found == files.end() || mode != OpenMode::ReadShared) return nullptr;
    return std::make_unique<MemoryFile>(found->second);
  }
  std::map<std::string, std::vector<std::uint8_t>> files;
  std::vector<std::string> opened;
};

TEST(TempImageAccepted, ChecksTempDatInTheTemporaryFolderAndShowsWhyNot) {
  const std::vector<std::uint8_t> sendable = TestImage::WithOs(8, 2).Bytes();
  TestImage unreserved = TestImage::WithOs(8, 2);
  MakeBootBlock(unreserved.os, 0, {{"XYZ", 2}}, 16);
  struct Case {
    const char* what;
    bool tempSet;
    std::string temp;
    std::vector<std::uint8_t> image;
    bool present;
    bool accepted;
    std::vector<std::string> opened;
    std::vector<std::string> shown;
  };
  const std::string at = "C:\\Temp\\temp.dat";
  const Case cases[] = {
      {"sendable", true, "C:\\Temp", sendable, true, true, {at}, {}},
      {"TEMP ends in a backslash", true, "C:\\Temp\\", sendable, true, true, {at}, {}},
      {"refused", true, "C:\\Temp", unreserved.Bytes(), true, false, {at}, {LoadText(IDS_NO_RESERVED_REGION)}},
      {"too short", true, "C:\\Temp", Bytes("short"), true, false, {at}, {LoadText(IDS_IMAGE_TOO_SHORT)}},
      {"missing", true, "C:\\Temp", {}, false, false, {at}, {"No Image"}},
      {"TEMP unset", false, "", sendable, true, false, {}, {"No Image"}},
  };
  for (const Case& c : cases) {
    ScriptedDesktop desktop;
    if (c.tempSet) desktop.environment["TEMP"] = c.temp;
    NamedFiles files;
    if (c.present) files.files[at] = c.image;
    RecordingMessages messages;
    EXPECT_EQ(TempImageAccepted(desktop, files, messages), c.accepted) << c.what;
    EXPECT_EQ(files.opened, c.opened) << c.what;
    EXPECT_EQ(messages.shown, c.shown) << c.what;
    EXPECT_EQ(desktop.currentFolder, "C:\\Work") << c.what << ": the current directory stays";
  }
}

}  // namespace
