#include "device_prep/image_check.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
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

TEST(TempFilesReady, ChecksTempDatInTheTemporaryFolderAndShowsWhyNot) {
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
    EXPECT_EQ(TempFilesReady(desktop, files, messages), c.accepted) << c.what;
    EXPECT_EQ(files.opened, c.opened) << c.what;
    EXPECT_EQ(messages.shown, c.shown) << c.what;
    EXPECT_EQ(desktop.currentFolder, "C:\\Work") << c.what << ": the current directory stays";
    // The staging file is looked at only for an image that would be sent.
    EXPECT_EQ(desktop.CountCalls("remove C:\\Temp\\TempFileToDown"), c.accepted ? 1 : 0) << c.what;
  }
}

TEST(TempFilesReady, AStagingFileLeftByAnEarlierRunGoesOrStopsTheWizardWithItsPath) {
  const std::string staging = "C:\\Temp\\TempFileToDown";
  ScriptedDesktop desktop;
  desktop.environment["TEMP"] = "C:\\Temp";
  desktop.folders["C:\\Temp"] = {"temp.dat", "TempFileToDown"};
  NamedFiles files;
  files.files["C:\\Temp\\temp.dat"] = TestImage::WithOs(8, 2).Bytes();
  RecordingMessages messages;
  EXPECT_TRUE(TempFilesReady(desktop, files, messages));
  EXPECT_EQ(desktop.folders["C:\\Temp"], std::set<std::string>{"temp.dat"});
  EXPECT_TRUE(messages.shown.empty());

  // One that no delete removes (a folder of that name, or a file another program
  // holds open) would fail the transfer with the device already in its downloader.
  desktop.stuckFiles.insert(staging);
  EXPECT_FALSE(TempFilesReady(desktop, files, messages));
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_NE(messages.shown[0].find("\n\n    " + staging + "\n\n"), std::string::npos) << messages.shown[0];
  EXPECT_NE(messages.shown[0].find("Nothing has been sent to the PDA."), std::string::npos) << messages.shown[0];
}

}  // namespace
