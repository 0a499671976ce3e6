#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "fakes.h"
#include "image.h"
#include "image_fixture.h"
#include "posix_file.h"

namespace {

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { HostOsCode = 1001; }
  void TearDown() override { HostOsCode = HOST_OS_CODE_DEFAULT; }

  // Writes the image, opens it and a fresh staging file, and reads the header.
  void Open(const std::vector<std::uint8_t>& bytes) {
    folder.Write("temp.dat", bytes);
    image = files.Open(folder.Path("temp.dat"), OpenMode::ReadShared);
    staging = files.Open(folder.Path("TempFileToDown"), OpenMode::CreateReadWrite);
    ASSERT_TRUE(image && staging);
  }
  void OpenAndRead(const TestImage& test) {
    Open(test.Bytes());
    ASSERT_TRUE(ReadImageHeader(*image, header, layout));
  }
  std::vector<std::uint8_t> Staged() const { return folder.Read("TempFileToDown"); }

  TempFolder folder;
  PosixFileSystem files;
  std::unique_ptr<File> image, staging;
  ImageHeader header;
  ImageLayout layout;
};

ImageHeader HeaderOf(const std::vector<std::uint8_t>& bytes) {
  ImageHeader h;
  std::copy(bytes.begin(), bytes.begin() + HEADER_BYTES, h.bytes.begin());
  return h;
}

// Every word but the listed ones is carried over from the image's header.
void ExpectOtherWordsKept(const ImageHeader& sent, const ImageHeader& original, std::initializer_list<std::size_t> changed) {
  for (std::size_t w = 0; w < HEADER_BYTES / 4; ++w) {
    if (std::find(changed.begin(), changed.end(), w) == changed.end()) {
      EXPECT_EQ(sent.Word(w), original.Word(w)) << w;
    }
  }
}

TEST_F(ImageTest, LayoutTakesSizesOnlyOfPresentSections) {
  TestImage test = TestImage::WithOs(4, 2);
  test.Add(ImageFlags::KN, 1024);
  ImageHeader h = test.Header();
  h.SetWord(ImageHeader::WORD_BL_SIZE, 777);
  const ImageLayout decoded = DecodeImageLayout(h);
  EXPECT_EQ(decoded.os, 4 * BLOCK_BYTES);
  EXPECT_EQ(decoded.bl, 0u);
  EXPECT_EQ(decoded.kn, 1024u);
  EXPECT_EQ(decoded.DeclaredBytes(), HEADER_BYTES + 4 * BLOCK_BYTES + 1024);
}

TEST_F(ImageTest, ShortHeaderFailsAndLeavesStagingEmpty) {
  Open(Pattern(115, 3));
  EXPECT_FALSE(ReadImageHeader(*image, header, layout));
  EXPECT_TRUE(Staged().empty());
}

TEST_F(ImageTest, SectionsMustFitTheImage) {
  TestImage test = TestImage::WithOs(2, 1);
  test.Add(ImageFlags::BL, 512);
  test.Add(ImageFlags::EB, 1000);
  const ImageLayout l = DecodeImageLayout(test.Header());
  const std::uint64_t exact = test.Bytes().size();
  EXPECT_TRUE(SectionsFitImage(l, exact));
  EXPECT_TRUE(SectionsFitImage(l, exact + 5));  // trailing bytes are never read
  EXPECT_FALSE(SectionsFitImage(l, exact - 1));

  // Sizes whose 32-bit sum wraps must not pass as small.
  ImageLayout wrapping;
  wrapping.flags = ImageFlags::BL | ImageFlags::UD;
  wrapping.os = 0x80000000u;
  wrapping.bl = 0x80000000u;
  wrapping.ud = 0x100u;
  EXPECT_FALSE(SectionsFitImage(wrapping, 0x200u));
  EXPECT_FALSE(SectionsFitImage(wrapping, std::numeric_limits<std::uint64_t>::max()));
}

TEST_F(ImageTest, DownloaderPackageLayoutAndHeader) {
  TestImage test = TestImage::WithOs(3, 2);
  test.flags = 0x1F & ~0x1E;  // bit 0x01 plus the sections added below
  test.Add(ImageFlags::BL, 1024);
  test.Add(ImageFlags::UD, 2048);
  test.Add(ImageFlags::KN, 512);
  test.Add(ImageFlags::EB, 512);
  ASSERT_EQ(test.flags, 0x1Fu);
  OpenAndRead(test);

  std::uint32_t length = 0;
  ASSERT_TRUE(BuildDownloaderPackage(*image, *staging, header, layout, length));
  const auto staged = Staged();
  EXPECT_EQ(length, 1024u + 2048u + 33396u);
  ASSERT_EQ(staged.size(), length);
  const ImageHeader sent = HeaderOf(staged);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_FLAGS), 0x06u);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_OS_SIZE), BOOT_BLOCKS_BYTES);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_HOST_OS), 1001u);
  ExpectOtherWordsKept(sent, header, {1, 2, 24});
  EXPECT_EQ(Slice(staged, HEADER_BYTES, BOOT_BLOCKS_BYTES), Slice(test.os, 0, BOOT_BLOCKS_BYTES));
  EXPECT_EQ(Slice(staged, 33396, 3072), Concat({test.bl, test.ud}));
}

TEST_F(ImageTest, DownloaderPackageWithoutBlOrWithEmptyUd) {
  TestImage noBl = TestImage::WithOs(2, 1);
  noBl.Add(ImageFlags::UD, 700);
  ImageHeader raw = noBl.Header();
  raw.SetWord(ImageHeader::WORD_BL_SIZE, 4096);  // word 3 of an absent BL: carried, never used
  Open(Concat({{raw.bytes.begin(), raw.bytes.end()}, noBl.os, noBl.ud}));
  ASSERT_TRUE(ReadImageHeader(*image, header, layout));
  std::uint32_t length = 0;
  ASSERT_TRUE(BuildDownloaderPackage(*image, *staging, header, layout, length));
  EXPECT_EQ(length, 116u + 33280u + 700u);
  EXPECT_EQ(HeaderOf(Staged()).Word(ImageHeader::WORD_BL_SIZE), 4096u);
  EXPECT_EQ(Slice(Staged(), 33396, 700), noBl.ud);

  for (std::uint32_t bl : {512u, 0u}) {  // with nothing after the boot blocks, too
    TestImage emptyUd = TestImage::WithOs(2, 1);
    if (bl > 0) emptyUd.Add(ImageFlags::BL, bl);
    emptyUd.Add(ImageFlags::UD, 0);
    OpenAndRead(emptyUd);
    ASSERT_TRUE(BuildDownloaderPackage(*image, *staging, header, layout, length));
    EXPECT_EQ(length, 116u + 33280u + bl);
  }
}

TEST_F(ImageTest, DownloaderPackageFromShortImageIsWrittenZeroFilledAndFails) {
  TestImage test;
  test.os = Pattern(20000, 4);  // less than the two boot blocks
  test.Add(ImageFlags::UD, 100);
  OpenAndRead(test);
  std::uint32_t length = 0;
  EXPECT_FALSE(BuildDownloaderPackage(*image, *staging, header, layout, length));
  const auto staged = Staged();
  ASSERT_EQ(staged.size(), 116u + 33280u + 100u);
  EXPECT_EQ(Slice(staged, HEADER_BYTES, 20000), Concat({test.os}));
  EXPECT_EQ(staged[HEADER_BYTES + 20100], 0);  // past what the image holds
}

TEST_F(ImageTest, DownloaderPackageFailsOnFileErrors) {
  TestImage test = TestImage::WithOs(2, 1);
  test.Add(ImageFlags::UD, 512);
  for (auto op : {FaultyFile::Op::Seek, FaultyFile::Op::Read, FaultyFile::Op::Write}) {
    OpenAndRead(test);
    FaultyFile faultyImage(std::move(image));
    FaultyFile faultyStaging(std::move(staging));
    (op == FaultyFile::Op::Write ? faultyStaging : faultyImage).Fail(op, op == FaultyFile::Op::Write ? 0 : 1);
    std::uint32_t length = 0;
    EXPECT_FALSE(BuildDownloaderPackage(faultyImage, faultyStaging, header, layout, length)) << static_cast<int>(op);
  }
}

TEST_F(ImageTest, PartTwoFileLayoutAndHeader) {
  TestImage test = TestImage::WithOs(4, 2);
  test.flags = 0x41;
  test.Add(ImageFlags::BL, 1024);
  test.Add(ImageFlags::UD, 1536);
  test.Add(ImageFlags::KN, 512);
  test.Add(ImageFlags::EB, 2048);
  ASSERT_EQ(test.flags, 0x5Fu);
  OpenAndRead(test);
  RegionLookup lookup = MakeRegionLookup("REV");
  ASSERT_TRUE(DefineReserveRegion(*image, lookup));
  std::uint32_t reserve = 0;
  ASSERT_TRUE(ComputeReserveSize(lookup, layout, reserve));
  ASSERT_EQ(reserve, 33280u);
  ASSERT_TRUE(BuildPartTwoFile(*image, *staging, header, layout, reserve));

  const auto staged = Staged();
  const ImageHeader sent = HeaderOf(staged);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_FLAGS), 0x1Bu);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_OS_SIZE), 33280u);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_UD_SIZE), 0u);
  EXPECT_EQ(sent.Word(ImageHeader::WORD_HOST_OS), 1001u);
  ExpectOtherWordsKept(sent, header, {1, 2, 4, 24});
  EXPECT_EQ(Slice(staged, HEADER_BYTES, staged.size() - HEADER_BYTES),
            Concat({Slice(test.os, 0, 33280), test.bl, test.kn, test.eb}));

  const ByteRange remainder = OsRemainder(layout, reserve);
  EXPECT_EQ(remainder.offset, 33396u);
  EXPECT_EQ(remainder.length, 4 * BLOCK_BYTES - 33280);
}

TEST_F(ImageTest, PartTwoFileCopiesSectionsThatAreNotWholeChunks) {
  TestImage test = TestImage::WithOs(2, 1);
  test.Add(ImageFlags::BL, 1000);
  test.Add(ImageFlags::UD, 77);
  test.Add(ImageFlags::KN, 513);
  test.Add(ImageFlags::EB, 3);
  OpenAndRead(test);
  ASSERT_TRUE(BuildPartTwoFile(*image, *staging, header, layout, BLOCK_BYTES));
  EXPECT_EQ(Slice(Staged(), HEADER_BYTES, Staged().size() - HEADER_BYTES),
            Concat({Slice(test.os, 0, BLOCK_BYTES), test.bl, test.kn, test.eb}));
}

TEST_F(ImageTest, PartTwoFileIsCutToItsLengthAfterALongerPackage) {
  TestImage test = TestImage::WithOs(2, 1);
  test.Add(ImageFlags::UD, 40000);
  OpenAndRead(test);
  std::uint32_t length = 0;
  ASSERT_TRUE(BuildDownloaderPackage(*image, *staging, header, layout, length));
  ASSERT_TRUE(staging->Seek(0, SeekFrom::Begin));
  ASSERT_TRUE(BuildPartTwoFile(*image, *staging, header, layout, BLOCK_BYTES));
  std::uint64_t stagedLength = 0;
  ASSERT_TRUE(staging->GetLength(stagedLength));
  EXPECT_EQ(stagedLength, HEADER_BYTES + BLOCK_BYTES);
  EXPECT_EQ(Staged().size(), HEADER_BYTES + BLOCK_BYTES);
}

TEST_F(ImageTest, PartTwoFileFailsOnShortImageOrFileErrors) {
  TestImage test = TestImage::WithOs(2, 1);
  test.Add(ImageFlags::KN, 1024);
  auto cut = test.Bytes();
  cut.resize(cut.size() - 10);
  Open(cut);
  ASSERT_TRUE(ReadImageHeader(*image, header, layout));
  EXPECT_FALSE(BuildPartTwoFile(*image, *staging, header, layout, BLOCK_BYTES));

  for (auto op : {FaultyFile::Op::Seek, FaultyFile::Op::Read, FaultyFile::Op::Write, FaultyFile::Op::SetLength}) {
    OpenAndRead(test);
    FaultyFile faultyImage(std::move(image));
    FaultyFile faultyStaging(std::move(staging));
    const bool onStaging = op == FaultyFile::Op::Write || op == FaultyFile::Op::SetLength;
    (onStaging ? faultyStaging : faultyImage).Fail(op, op == FaultyFile::Op::Read ? 3 : 0, true);
    EXPECT_FALSE(BuildPartTwoFile(faultyImage, faultyStaging, header, layout, BLOCK_BYTES)) << static_cast<int>(op);
  }
}

// The reserved-region search, by what the OS section holds.
void ClearBlock0(TestImage& test) { std::fill(test.os.begin(), test.os.begin() + BLOCK_BYTES, 0); }

TEST_F(ImageTest, ReserveRegionSearchFindsTheFirstRevOfTheFirstBootBlock) {
  const struct {
    const char* what;
    std::function<void(TestImage&)> shape;
    bool found;
    std::uint32_t blockCount;
  } cases[] = {
      {"plain", [](TestImage&) {}, true, 2},
      {"E9 jump", [](TestImage& t) { t.os[0] = 0xE9; }, true, 2},
      {"boot block later",
       [](TestImage& t) {
         ClearBlock0(t);
         MakeBootBlock(t.os, 2, {{"REV", 3}}, 16);
       },
       true, 3},
      {"AA55 without a jump is passed over",
       [](TestImage& t) {
         t.os[0] = 0x90;
         MakeBootBlock(t.os, 1, {{"REV", 5}}, 16);
       },
       true, 5},
      {"the first boot block decides",
       [](TestImage& t) {
         MakeBootBlock(t.os, 0, {{"REV", 1}}, 16, "MSFLSH49");
         MakeBootBlock(t.os, 1, {{"REV", 5}}, 16);
       },
       false, 0},
      {"no boot block", ClearBlock0, false, 0},
      {"boot block in a short last block",
       [](TestImage& t) {
         ClearBlock0(t);
         t.os.resize(3 * BLOCK_BYTES + 1000);
         MakeBootBlock(t.os, 3, {{"REV", 1}}, 16);
       },
       false, 0},
      {"table size 15", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"REV", 2}}, 15); }, false, 0},
      {"table size 31 holds one entry", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"REV", 2}, {"XIP", 9}}, 31); },
       true, 2},
      {"entry beyond the declared table", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"XIP", 2}, {"REV", 9}}, 31); },
       false, 0},
      {"first of two REV entries", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"REV", 3}, {"REV", 1}}, 32); }, true,
       3},
      {"names match exactly",
       [](TestImage& t) { MakeBootBlock(t.os, 0, {{"REVX", 1}, {"rev", 2}, {"REV", 3}}, 48); }, true, 3},
      {"no REV entry", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"XIP", 1}, {"REVS", 2}}, 32); }, false, 0},
      {"REV after the fourth entry",
       [](TestImage& t) {
         MakeBootBlock(t.os, 0, {{"A", 1}, {"B", 1}, {"C", 1}, {"D", 1}, {"E", 1}, {"REV", 4}}, 96);
       },
       true, 4},
      {"table declared far past the block", [](TestImage& t) { MakeBootBlock(t.os, 0, {{"XIP", 1}}, 0xFFFFFFF0u); },
       false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestImage test = TestImage::WithOs(4, 2);
    c.shape(test);
    OpenAndRead(test);
    ASSERT_TRUE(image->Seek(1234, SeekFrom::Begin));
    RegionLookup lookup = MakeRegionLookup("REV");
    EXPECT_EQ(DefineReserveRegion(*image, lookup), c.found);
    if (c.found) {
      EXPECT_EQ(lookup.blockCount, c.blockCount);
      EXPECT_EQ(lookup.startBlock, 0u);
    }
    std::uint64_t position = 0;
    ASSERT_TRUE(image->GetPosition(position));
    EXPECT_EQ(position, 1234u);
  }
}

TEST_F(ImageTest, LookupCopiesAtMostFourEntries) {
  TestImage test = TestImage::WithOs(2, 1);
  MakeBootBlock(test.os, 0, {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 5}, {"REV", 6}}, 96);
  OpenAndRead(test);
  RegionLookup lookup = MakeRegionLookup("REV");
  ASSERT_TRUE(DefineReserveRegion(*image, lookup));
  EXPECT_EQ(lookup.declaredEntries, 6u);
  EXPECT_EQ(lookup.tableEntries, RESERVED_ENTRY_CAPACITY);
  EXPECT_STREQ(lookup.table[3].name, "D");
  EXPECT_EQ(lookup.table[3].blockCount, 4u);
}

TEST_F(ImageTest, ReserveSizeMustFitTheOsSection) {
  ImageLayout l;
  l.os = 3 * BLOCK_BYTES;
  RegionLookup lookup = MakeRegionLookup("REV");
  std::uint32_t reserve = 0;
  lookup.blockCount = 3;
  EXPECT_TRUE(ComputeReserveSize(lookup, l, reserve));
  EXPECT_EQ(reserve, 3 * BLOCK_BYTES);
  EXPECT_EQ(OsRemainder(l, reserve).length, 0u);
  lookup.blockCount = 4;
  EXPECT_FALSE(ComputeReserveSize(lookup, l, reserve));
  // A count whose product wraps in 32 bits is still far too large.
  lookup.blockCount = 258112;  // 258112 * 16640 = 2^32 + 16384
  l.os = 0xFFFFFFFFu;
  EXPECT_FALSE(ComputeReserveSize(lookup, l, reserve));
}

TEST(HostOsCodeTest, FollowsTheHostVersion) {
  EXPECT_EQ(HostOsCodeForVersion(5, 0), 1000u);
  EXPECT_EQ(HostOsCodeForVersion(5, 1), 1001u);
  EXPECT_EQ(HostOsCodeForVersion(5, 2), 1003u);
  EXPECT_EQ(HostOsCodeForVersion(6, 0), 1003u);
  EXPECT_EQ(HostOsCodeForVersion(4, 0), 1003u);
}

}  // namespace
