#include "device_prep/temp_files.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "scripted_desktop.h"

namespace {

using Names = std::set<std::string>;

const std::string TEMP = "C:\\Temp";
const std::string HERE = "C:\\Work";
const Names FOUR{"Nalvex.exe", "ORVANE.exe", "temp.dat", "TempFileToDown"};

TEST(DeleteTempFiles, DeletesTheFourNamesInOrderInTheTemporaryFolder) {
  ScriptedDesktop desktop;
  desktop.environment["TEMP"] = TEMP;
  desktop.folders[TEMP] = {"Nalvex.exe", "temp.dat", "TempFileToDown", "keep.txt"};  // one missing
  desktop.folders[HERE] = FOUR;
  DeleteTempFiles(desktop);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"enter " + TEMP, "delete Nalvex.exe", "delete ORVANE.exe",
                                                     "delete temp.dat", "delete TempFileToDown"}));
  EXPECT_EQ(desktop.folders[TEMP], Names{"keep.txt"});
  EXPECT_EQ(desktop.folders[HERE], FOUR);
  EXPECT_EQ(desktop.currentFolder, TEMP);
}

TEST(DeleteTempFiles, WithNoneOfTheFilesChangesOnlyTheCurrentFolder) {
  ScriptedDesktop desktop;
  desktop.environment["TEMP"] = TEMP;
  desktop.folders[TEMP] = {"other.tmp"};
  DeleteTempFiles(desktop);
  EXPECT_EQ(desktop.folders[TEMP], Names{"other.tmp"});
  EXPECT_EQ(desktop.currentFolder, TEMP);
}

TEST(DeleteTempFiles, NeverDeletesInAFolderThatIsNotTheTemporaryOne) {
  struct Case {
    const char* what;
    bool set;
    std::string value;
  };
  const std::string longest(259, 't');
  const Case cases[] = {
      {"unset", false, ""},
      {"empty", true, ""},
      {"too long", true, std::string(260, 't')},
      {"cannot be entered", true, "C:\\Gone"},
  };
  for (const Case& c : cases) {
    ScriptedDesktop desktop;
    if (c.set) desktop.environment["TEMP"] = c.value;
    desktop.folders[HERE] = FOUR;
    desktop.folders[std::string(260, 't')] = FOUR;
    DeleteTempFiles(desktop);
    EXPECT_EQ(desktop.folders[HERE], FOUR) << c.what;
    EXPECT_EQ(desktop.currentFolder, HERE) << c.what;
    EXPECT_EQ(desktop.CountCalls("delete Nalvex.exe"), 0) << c.what;
  }

  ScriptedDesktop desktop;
  desktop.environment["TEMP"] = longest;
  desktop.folders[longest] = FOUR;
  DeleteTempFiles(desktop);
  EXPECT_TRUE(desktop.folders[longest].empty());
}

}  // namespace
