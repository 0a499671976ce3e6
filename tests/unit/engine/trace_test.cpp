#include <gtest/gtest.h>

#include "fakes.h"
#include "posix_file.h"
#include "trace.h"

TEST(TraceTest, WritesOnlyToAGivenFileWhenEnabled) {
  TempFolder folder;
  PosixFileSystem files;
  auto file = files.Open(folder.Path("trace.txt"), OpenMode::CreateReadWrite);
  ASSERT_TRUE(file);
  TraceLine(file.get(), false, "IMGFLAG is %x\r\n", 0x1Fu);
  TraceLine(nullptr, true, "IMGFLAG is %x\r\n", 0x1Fu);
  EXPECT_TRUE(folder.Read("trace.txt").empty());
  TraceLine(file.get(), true, "IMGFLAG is %x\r\n", 0x1Fu);
  EXPECT_EQ(folder.Read("trace.txt"), Bytes("IMGFLAG is 1f\r\n"));
}
