#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "download.h"
#include "fakes.h"
#include "image_fixture.h"
#include "posix_file.h"
#include "string_table.h"

namespace {

// Hands out views of one scripted device; counts what is open and when opens happen.
class FakePorts : public PortOpener {
 public:
  FakePorts(FakeChannel& device, VirtualClock& clock) : device_(device), clock_(clock) {}

  std::unique_ptr<DeviceChannel> Open(const std::string& path) override {
    attempts.push_back(clock_.TickCount());
    paths.push_back(path);
    if (failures > 0 && (attempts.size() > 1 || failFirst)) {
      --failures;
      return nullptr;
    }
    return std::make_unique<View>(*this);
  }

  int failures = 0;       // opens after the first that fail
  bool failFirst = false; // the first open fails too
  int open = 0;
  std::vector<std::uint32_t> attempts;
  std::vector<std::string> paths;

 private:
  class View : public DeviceChannel {
   public:
    explicit View(FakePorts& ports) : ports_(ports) { ++ports_.open; }
    ~View() override { --ports_.open; }
    WriteEnd Write(const std::uint8_t* d, std::uint32_t s, std::uint32_t& w) override { return dev().Write(d, s, w); }
    WriteEnd Drain() override { return dev().Drain(); }
    std::uint32_t HeldBytes() const override { return ports_.device_.HeldBytes(); }
    bool ReadByte(std::uint8_t& b, std::uint32_t& g) override { return dev().ReadByte(b, g); }
    bool GetTimeouts(CommTimeouts& t) override { return dev().GetTimeouts(t); }
    bool SetTimeouts(const CommTimeouts& t) override { return dev().SetTimeouts(t); }
    void DiscardUnsent() override { dev().DiscardUnsent(); }

   private:
    FakeChannel& dev() { return ports_.device_; }
    FakePorts& ports_;
  };
  FakeChannel& device_;
  VirtualClock& clock_;
};

// Counts the files that are open.
class CountingFiles : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& name, OpenMode mode) override {
    auto file = real_.Open(name, mode);
    if (!file) return nullptr;
    auto counted = std::make_unique<Counted>(std::move(file), open);
    if (onOpen) onOpen(*counted);
    return counted;
  }
  int open = 0;
  std::function<void(FaultyFile&)> onOpen;  // sets up the faults of each file opened

 private:
  class Counted : public FaultyFile {
   public:
    Counted(std::unique_ptr<File> inner, int& count) : FaultyFile(std::move(inner)), count_(count) { ++count_; }
    ~Counted() override { --count_; }

   private:
    int& count_;
  };
  PosixFileSystem real_;
};

// Notes what was still open at the moment the page ended.
class EndingPage : public RecordingPage {
 public:
  EndingPage(const FakePorts& ports, const CountingFiles& files) : ports_(ports), files_(files) {}
  void End(int result) override {
    RecordingPage::End(result);
    openAtEnd = ports_.open + files_.open;
  }
  int openAtEnd = -1;

 private:
  const FakePorts& ports_;
  const CountingFiles& files_;
};

struct Stream {
  std::uint32_t firstWord;
  std::vector<std::uint8_t> payload;
  bool checksumOk;
};

std::vector<Stream> ParseStreams(const std::vector<std::uint8_t>& wire) {
  std::vector<Stream> streams;
  std::size_t at = 0;
  auto le32 = [&](std::size_t p) {
    return static_cast<std::uint32_t>(wire[p] | wire[p + 1] << 8 | wire[p + 2] << 16 | wire[p + 3] << 24);
  };
  while (at + 10 <= wire.size()) {
    const std::uint32_t length = le32(at + 4);
    if (length < 10 || at + length > wire.size()) break;
    Stream s{le32(at), Slice(wire, at + 8, length - 10), false};
    std::uint32_t sum = 0;
    for (auto b : s.payload) sum += b;
    s.checksumOk = (sum & 0xFFFFu) == static_cast<std::uint32_t>(wire[at + length - 2] | wire[at + length - 1] << 8);
    streams.push_back(std::move(s));
    at += length;
  }
  EXPECT_EQ(at, wire.size()) << "bytes on the wire that belong to no stream";
  return streams;
}

// One transfer's world: a scripted device behind the port, the page and the boxes.
struct Rig {
  Rig(VirtualClock& clock, CountingFiles& files) : clock_(clock), files_(files) {}

  int Run(const std::string& image, const std::string& staging) {
    DownloadContext context{page, messages, clock_, files_, ports, {"/dev/port1", image, staging}, stop};
    ending = RunDownload(context);
    EXPECT_EQ(page.results.size(), 1u);
    EXPECT_EQ(page.openAtEnd, 0) << "port or file still open when the page ended";
    EXPECT_EQ(page.results.back(), PageResult(ending.result));
    if (ending.result == DownloadResult::Confirmed) {
      EXPECT_EQ(device.discards, 0);
    }
    return page.results.empty() ? -1 : page.results.back();
  }

  std::vector<std::string> Captions() const {
    std::vector<std::string> captions;
    for (const auto& line : page.log) {
      if (line.rfind("caption ", 0) == 0) captions.push_back(line.substr(8));
    }
    return captions;
  }

  VirtualClock& clock_;
  CountingFiles& files_;
  FakeChannel device{&clock_};
  FakePorts ports{device, clock_};
  EndingPage page{ports, files_};
  RecordingMessages messages;
  const StopFlag* stop = nullptr;
  DownloadEnding ending;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { HostOsCode = 1003; }
  void TearDown() override { HostOsCode = HOST_OS_CODE_DEFAULT; }

  // Runs a transfer of the image with the default rig.
  int Run(const std::vector<std::uint8_t>& image) { return RunOn(rig, image); }
  int RunOn(Rig& r, const std::vector<std::uint8_t>& image) {
    folder.Write("temp.dat", image);
    return r.Run(folder.Path("temp.dat"), folder.Path("TempFileToDown"));
  }
  std::vector<std::string> Captions() const { return rig.Captions(); }

  static std::vector<std::string> Texts(std::initializer_list<std::uint32_t> ids) {
    std::vector<std::string> texts;
    for (auto id : ids) texts.emplace_back(LoadText(id));
    return texts;
  }

  static TestImage WithUd() {
    TestImage test = TestImage::WithOs(6, 2);
    test.Add(ImageFlags::BL, 1024);
    test.Add(ImageFlags::UD, 2048);
    test.Add(ImageFlags::KN, 512);
    return test;
  }

  TempFolder folder;
  VirtualClock clock;
  CountingFiles files;
  Rig rig{clock, files};
  FakeChannel& device = rig.device;
  FakePorts& ports = rig.ports;
  EndingPage& page = rig.page;
  RecordingMessages& messages = rig.messages;
  const DownloadEnding& ending = rig.ending;
};

TEST_F(DownloadTest, ImageWithoutUdSendsTwoStreams) {
  const TestImage test = TestImage::WithOs(6, 2);
  device.Say("Reserved region ok.\nOS program ok!\n");
  EXPECT_EQ(Run(test.Bytes()), DOWNLOAD_SUCCEEDED);
  EXPECT_EQ(page.log[0], std::string("title ") + LoadText(IDS_PROGRESS_TITLE));
  EXPECT_EQ(page.log[1], std::string("heading ") + LoadText(IDS_PROGRESS_HEADING));
  EXPECT_EQ(Captions(), Texts({145, 145, 142, 146, 143}));
  EXPECT_EQ(ports.attempts.size(), 1u);
  EXPECT_EQ(ports.paths[0], "/dev/port1");

  const auto streams = ParseStreams(device.Wire());
  ASSERT_EQ(streams.size(), 2u);
  const ImageHeader sent = [&] {
    ImageHeader h;
    std::copy(streams[0].payload.begin(), streams[0].payload.begin() + HEADER_BYTES, h.bytes.begin());
    return h;
  }();
  EXPECT_EQ(sent.Word(ImageHeader::WORD_HOST_OS), 1003u);
  EXPECT_EQ(Slice(streams[0].payload, HEADER_BYTES, 33280), Slice(test.os, 0, 33280));
  EXPECT_EQ(streams[1].payload, Slice(test.os, 33280, test.os.size() - 33280));
  for (const auto& s : streams) {
    EXPECT_EQ(s.firstWord, 0u);
    EXPECT_TRUE(s.checksumOk);
  }
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ending.result, DownloadResult::Confirmed);
  EXPECT_EQ(device.discards, 0);
}

TEST_F(DownloadTest, ImageWithUdSendsThreeStreamsAndReopensThePort) {
  const TestImage test = WithUd();
  device.Say("device reset.\nReserved region ok.\nOS program ok!\n");
  ports.failures = 2;
  EXPECT_EQ(Run(test.Bytes()), DOWNLOAD_SUCCEEDED);
  EXPECT_EQ(Captions(), Texts({144, 141, 145, 145, 142, 146, 143}));

  // The device answers at once, so no virtual time passes between the first open and the
  // answer; reopening starts 8 s after the answer and goes on every 3 s.
  ASSERT_EQ(ports.attempts.size(), 4u);
  EXPECT_EQ(ports.attempts[1] - ports.attempts[0], 8000u);
  EXPECT_EQ(ports.attempts[2] - ports.attempts[0], 11000u);
  EXPECT_EQ(ports.attempts[3] - ports.attempts[0], 14000u);

  const auto streams = ParseStreams(device.Wire());
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].payload.size(), 116u + 33280u + 1024u + 2048u);
  EXPECT_EQ(streams[1].payload.size(), 116u + 33280u + 1024u + 512u);  // no tail of the package
  EXPECT_EQ(streams[2].payload, Slice(test.os, 33280, test.os.size() - 33280));
}

TEST_F(DownloadTest, OverallBarRangeCountsPiecesAndBlocks) {
  EXPECT_EQ(OverallBarRange(1664000, 100000, 0, 0), 243);
  TestImage test;
  test.os = Pattern(1664000, 2);
  MakeBootBlock(test.os, 0, {{"REV", 2}}, 16);
  test.Add(ImageFlags::UD, 100000);
  device.Say("device reset.\nReserved region ok.\nOS program ok!\n");
  EXPECT_EQ(Run(test.Bytes()), DOWNLOAD_SUCCEEDED);
  EXPECT_EQ(page.overall.upper, 243);
}

TEST_F(DownloadTest, MissingImageShowsNoImageAndCreatesNothing) {
  EXPECT_EQ(rig.Run(folder.Path("absent.dat"), folder.Path("TempFileToDown")), DOWNLOAD_FAILED);
  EXPECT_EQ(messages.shown, std::vector<std::string>{"No Image"});
  EXPECT_EQ(ending.result, DownloadResult::NoImage);
  EXPECT_TRUE(folder.Read("TempFileToDown").empty());
  EXPECT_FALSE(files.Open(folder.Path("TempFileToDown"), OpenMode::ReadShared));
}

TEST_F(DownloadTest, BadImagesAreRefusedBeforeAnythingIsSent) {
  // Images with a downloader: a refusal found after its package was sent would leave the
  // device in a new downloader with nothing to flash.
  auto withUd = [](std::uint32_t osBlocks, std::uint32_t revBlocks, const std::function<void(TestImage&)>& shape) {
    TestImage t = TestImage::WithOs(osBlocks, revBlocks);
    shape(t);
    t.Add(ImageFlags::UD, 512);
    return t.Bytes();
  };
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    StringId reason;
  } cases[] = {
      {"short header", Pattern(100, 1), IDS_IMAGE_TOO_SHORT},
      {"sections past the end",
       [] {
         auto b = WithUd().Bytes();
         b.resize(b.size() - 1);
         return b;
       }(),
       IDS_IMAGE_DAMAGED},
      {"ends before the two boot blocks", withUd(1, 1, [](TestImage&) {}), IDS_NO_BOOT_BLOCKS},
      {"no REV entry", withUd(3, 1, [](TestImage& t) { MakeBootBlock(t.os, 0, {{"XIP", 1}}, 16); }),
       IDS_NO_RESERVED_REGION},
      {"no boot block", withUd(3, 1, [](TestImage& t) { t.os[0] = 0; }), IDS_NO_RESERVED_REGION},
      {"no flash layout sector",
       withUd(3, 1, [](TestImage& t) { MakeBootBlock(t.os, 0, {{"REV", 1}}, 16, "MSFLSH49"); }),
       IDS_NO_RESERVED_REGION},
      {"REV larger than OS", withUd(3, 4, [](TestImage&) {}), IDS_RESERVE_TOO_LARGE},
      {"REV larger than OS, no downloader", TestImage::WithOs(3, 4).Bytes(), IDS_RESERVE_TOO_LARGE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig r(clock, files);
    EXPECT_EQ(RunOn(r, c.bytes), DOWNLOAD_FAILED);
    EXPECT_TRUE(r.device.writes.empty());
    EXPECT_EQ(r.messages.shown, std::vector<std::string>{LoadText(c.reason)});
    EXPECT_TRUE(r.Captions().empty());
    EXPECT_EQ(r.ending.result, DownloadResult::ImageRefused);
    EXPECT_EQ(r.ending.refusal, c.reason);
  }
}

TEST_F(DownloadTest, StagingFileThatCannotBeCreatedFailsSilently) {
  folder.Write("temp.dat", TestImage::WithOs(3, 1).Bytes());
  EXPECT_EQ(rig.Run(folder.Path("temp.dat"), folder.Path("no/such/folder/TempFileToDown")), DOWNLOAD_FAILED);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ending.result, DownloadResult::StagingNotCreated);
}

TEST_F(DownloadTest, PortThatNeverOpensFailsTheFirstStream) {
  ports.failFirst = true;
  ports.failures = 1;
  EXPECT_EQ(Run(TestImage::WithOs(3, 1).Bytes()), DOWNLOAD_FAILED);
  EXPECT_TRUE(device.writes.empty());
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ending.result, DownloadResult::PortNotOpened);
}

TEST_F(DownloadTest, PortThatDoesNotComeBackFailsAfterTwoMinutes) {
  // Sleeps that wake a little early must not end the attempts before two minutes.
  const struct {
    std::uint32_t earlyWakeMs;
    std::size_t attempts;  // the first open, then attempts 3 s apart until 120 s have passed
    std::uint32_t lastAfterFirst;
  } cases[] = {{0, 42, 120000}, {2, 43, 41 * 2998}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.earlyWakeMs);
    VirtualClock early;
    early.earlyWakeMs = c.earlyWakeMs;
    Rig r(early, files);
    r.device.Say("device reset.\n");
    r.ports.failures = 1000;
    EXPECT_EQ(RunOn(r, WithUd().Bytes()), DOWNLOAD_FAILED);
    EXPECT_EQ(r.Captions().back(), LoadText(IDS_PORT_NOT_BACK));
    EXPECT_EQ(r.ending.result, DownloadResult::PortNotBack);
    ASSERT_EQ(r.ports.attempts.size(), c.attempts);
    EXPECT_EQ(r.ports.attempts.back() - r.ports.attempts[1], c.lastAfterFirst);
  }
}

// What the device does after one of the streams, and what the transfer makes of it.
struct DeviceBehaviour {
  const char* what;
  std::function<void(FakeChannel&)> act;
  LineWaitEnd wait;
};

std::vector<DeviceBehaviour> Behaviours() {
  return {
      {"says nothing", [](FakeChannel&) {}, LineWaitEnd::NoFirstByte},
      {"falls silent", [](FakeChannel& d) { d.Say(".\n"); }, LineWaitEnd::Silence},
      {"says only what it is not known to say",
       [](FakeChannel& d) {
         for (int i = 0; i < 700; ++i) {
           d.Say("noise\n");
           d.Pause(1000);
         }
       },
       LineWaitEnd::Unrecognised},
      {"its port goes away", [](FakeChannel& d) { d.GoAway(); }, LineWaitEnd::PortGone},
      {"answers Flash Incorrect", [](FakeChannel& d) { d.Say("Flash Incorrect.\n"); }, LineWaitEnd::FlashIncorrect},
      {"answers OS not compatible", [](FakeChannel& d) { d.Say("OS not compatible.\n"); },
       LineWaitEnd::OsNotCompatible},
  };
}

TEST_F(DownloadTest, EveryWayAWaitEndsReachesTheEndingUnchanged) {
  const struct {
    DownloadStage stage;
    const char* before;  // the answers to the earlier streams
    bool withUd;
  } stages[] = {
      {DownloadStage::DownloaderPackage, "", true},
      {DownloadStage::PartTwoFile, "", false},
      {DownloadStage::OsRemainder, "Reserved region ok.\n", false},
  };
  for (const auto& stage : stages) {
    for (const auto& behaviour : Behaviours()) {
      SCOPED_TRACE(std::string(stage.before) + behaviour.what);
      Rig r(clock, files);
      r.device.Say(stage.before);
      behaviour.act(r.device);
      RunOn(r, stage.withUd ? WithUd().Bytes() : TestImage::WithOs(3, 1).Bytes());
      EXPECT_EQ(r.ending.stage, stage.stage);
      EXPECT_EQ(r.ending.wait, behaviour.wait);
      const bool refused =
          behaviour.wait == LineWaitEnd::FlashIncorrect || behaviour.wait == LineWaitEnd::OsNotCompatible;
      // After the OS remainder the device may restart at once: anything but a failure
      // line leaves the update sent but not confirmed.
      const DownloadResult expected = refused                                      ? DownloadResult::DeviceRefused
                                      : stage.stage == DownloadStage::OsRemainder ? DownloadResult::Unconfirmed
                                      : behaviour.wait == LineWaitEnd::PortGone    ? DownloadResult::PortGone
                                                                                   : DownloadResult::NoAnswer;
      EXPECT_EQ(r.ending.result, expected);
      EXPECT_TRUE(r.messages.shown.empty());
      if (stage.stage == DownloadStage::PartTwoFile) {
        EXPECT_EQ(r.Captions(), Texts({145, 145, 142, 146, 148}));
      }
    }
  }
}

TEST_F(DownloadTest, ReasonsSpeakInTheDevicesOwnWords) {
  DownloadEnding refused;
  refused.result = DownloadResult::DeviceRefused;
  refused.stage = DownloadStage::PartTwoFile;
  refused.wait = LineWaitEnd::FlashIncorrect;
  EXPECT_EQ(EndingReason(refused), "The device answered \"Flash Incorrect.\" to the part-2 file.");
  refused.stage = DownloadStage::OsRemainder;
  refused.wait = LineWaitEnd::OsNotCompatible;
  EXPECT_EQ(EndingReason(refused), "The device answered \"OS not compatible.\" to the OS remainder.");

  DownloadEnding silent;
  silent.result = DownloadResult::NoAnswer;
  silent.stage = DownloadStage::DownloaderPackage;
  EXPECT_EQ(EndingReason(silent), "The device did not answer the downloader package.");
  silent.result = DownloadResult::Unconfirmed;
  silent.wait = LineWaitEnd::PortGone;
  EXPECT_EQ(EndingReason(silent), LoadText(IDS_REASON_UNCONFIRMED_GONE));

  DownloadEnding refusedImage;
  refusedImage.result = DownloadResult::ImageRefused;
  refusedImage.refusal = IDS_NO_RESERVED_REGION;
  EXPECT_EQ(EndingReason(refusedImage), LoadText(IDS_NO_RESERVED_REGION));
}

TEST_F(DownloadTest, ExceptionsEndTheTransferAsFailedWithEverythingClosed) {
  const struct {
    std::exception_ptr error;
    StringId shown;
  } cases[] = {
      {std::make_exception_ptr(std::bad_alloc()), IDS_OUT_OF_MEMORY},
      {std::make_exception_ptr(std::length_error("vector")), IDS_OUT_OF_MEMORY},
      {std::make_exception_ptr(std::runtime_error("other")), IDS_UNEXPECTED_ERROR},
  };
  for (const auto& c : cases) {
    CountingFiles throwing;
    // The image's third read fills the downloader package, as a failing allocation would.
    throwing.onOpen = [&c](FaultyFile& file) { file.Throw(FaultyFile::Op::Read, 2, c.error); };
    Rig r(clock, throwing);
    EXPECT_EQ(RunOn(r, WithUd().Bytes()), DOWNLOAD_FAILED);
    EXPECT_EQ(r.messages.shown, std::vector<std::string>{LoadText(c.shown)});
    EXPECT_EQ(r.Captions(), Texts({144}));
    EXPECT_EQ(r.ending.result, c.shown == IDS_OUT_OF_MEMORY ? DownloadResult::OutOfMemory
                                                              : DownloadResult::UnexpectedError);
    EXPECT_EQ(r.ending.stage, DownloadStage::DownloaderPackage);
  }
}

TEST_F(DownloadTest, WritesThatFailOrStallEndTheTransferWithTheirCause) {
  const struct {
    WriteEnd wrote;
    DownloadResult result;
    StringId shown;
  } cases[] = {{WriteEnd::Failed, DownloadResult::WriteFailed, IDS_USB_SIZE_PROBLEM},
               {WriteEnd::Stalled, DownloadResult::PortStalled, IDS_PORT_STALLED},
               {WriteEnd::TooSlow, DownloadResult::PortTooSlow, IDS_PORT_TOO_SLOW}};
  for (const auto& c : cases) {
    for (const bool refusedMidway : {false, true}) {
      SCOPED_TRACE(refusedMidway);
      Rig r(clock, files);
      r.device.FailWrite(2, c.wrote);
      // A device that refused the stream before it stopped taking data has said so.
      if (refusedMidway) r.device.Say("9 LENGTH\nFlash Incorrect.\n");
      const std::uint32_t start = clock.TickCount();
      EXPECT_EQ(RunOn(r, TestImage::WithOs(6, 2).Bytes()), DOWNLOAD_FAILED);
      EXPECT_EQ(r.messages.shown, std::vector<std::string>{LoadText(c.shown)});
      EXPECT_EQ(r.Captions(), Texts({145, 145}));
      EXPECT_EQ(r.ending.result, refusedMidway ? DownloadResult::DeviceRefused : c.result);
      EXPECT_EQ(r.ending.stage, DownloadStage::PartTwoFile);
      // What the device sent is looked at for about a second, no longer.
      EXPECT_LE(clock.TickCount() - start, FAILURE_LINE_LOOK_MS + EMPTY_READ_MS);
      // What the device would never take is thrown away, so closing does not wait for it.
      EXPECT_EQ(r.device.discards, 1);
    }
  }
}

TEST_F(DownloadTest, AStagingFileThatCannotBeWrittenIsAFileFailure) {
  CountingFiles full;
  full.onOpen = [](FaultyFile& file) { file.Fail(FaultyFile::Op::Write, 0); };
  Rig r(clock, full);
  EXPECT_EQ(RunOn(r, TestImage::WithOs(3, 1).Bytes()), DOWNLOAD_FAILED);
  EXPECT_EQ(r.ending.result, DownloadResult::FileFailed);
  EXPECT_TRUE(r.device.writes.empty());
}

TEST_F(DownloadTest, AStopRequestEndsTheTransferAsInterrupted) {
  // Requested as the pause after the device's reset begins: it ends within 100 ms.
  struct StopOnPause : VirtualClock {
    void Sleep(std::uint32_t milliseconds) override {
      stop.store(true);
      VirtualClock::Sleep(milliseconds);
    }
    StopFlag stop{false};
  } pausing;
  Rig r(pausing, files);
  r.stop = &pausing.stop;
  r.device.Say("device reset.\n");
  const std::uint32_t start = pausing.TickCount();
  EXPECT_EQ(RunOn(r, WithUd().Bytes()), DOWNLOAD_FAILED);
  EXPECT_EQ(r.ending.result, DownloadResult::Interrupted);
  EXPECT_EQ(r.ports.attempts.size(), 1u);
  EXPECT_LE(pausing.TickCount() - start, 100u);
}

}  // namespace
