#include <gtest/gtest.h>

#include <pty.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "closing.h"
#include "device_runner.h"
#include "fakes.h"
#include "port_log.h"
#include "posix_serial.h"
#include "report.h"

namespace {

TEST(BenchRowTest, ColumnsKeepTheirWidthsAndTheRateCountsKibibytesPerSecond) {
  RowView row;
  row.port = "/dev/ttyUSB0";
  row.caption = "STEP 5 : Download Windows Mobile 5.0";
  row.percent = 42;
  row.bytes = 3 * 1024 * 1024;
  row.seconds = 2.0;
  row.state = "running";
  EXPECT_EQ(RenderRow(row, 14, 200),
            "/dev/ttyUSB0    STEP 5 : Download Windows Mobile 5.0  42%    1536 KiB/s  running");

  // The percentage stays within 0..100; no time yet is no rate, not a division by 0.
  row.caption = "STEP 3 : Download add-on program";
  row.percent = 250;
  row.seconds = 0;
  EXPECT_EQ(RenderRow(row, 14, 200),
            "/dev/ttyUSB0    STEP 3 : Download add-on program     100%       0 KiB/s  running");
  row.percent = -3;
  EXPECT_NE(RenderRow(row, 14, 200).find("   0%"), std::string::npos);
  // A narrow terminal cuts the row, never wraps it.
  EXPECT_EQ(RenderRow(row, 14, 30).size(), 30u);
}

TEST(BenchRowTest, LongPortNamesKeepTheirEnds) {
  const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0";
  EXPECT_EQ(FitPort(byPath, 24), "...0-usb-0:1.4:1.0-port0");
  EXPECT_EQ(FitPort(byPath, 24).size(), 24u);
  EXPECT_EQ(FitPort("/dev/x", 8), "/dev/x  ");
  EXPECT_EQ(FitPort("/dev/ttyACM0", 2), "M0");
}

TEST(ReportTest, OddPortNamesStayValidJson) {
  DeviceRecord odd;
  odd.port = "/dev/a\"b\\c\nd\te\x7f" "\xc3\xa9" "\xff";  // quote, backslash, controls, é, a stray byte
  odd.result = "failed";
  odd.reason = "The device answered \"Flash Incorrect.\" to the part-2 file.";
  odd.bytesSent = 33918;
  odd.seconds = 0.0855;
  DeviceRecord logged = odd;
  logged.port = "/dev/ttyUSB1";
  logged.result = "confirmed";
  logged.log = "logs/dev_ttyUSB1.log";
  EXPECT_EQ(ReportJson({"img \"1\"", 10, "ab", false}, {odd, logged}),
            "{\"image\": {\"path\": \"img \\\"1\\\"\", \"bytes\": 10, \"sha256\": \"ab\", \"changed\": false}, \"devices\": ["
            "{\"port\": \"/dev/a\\\"b\\\\c\\nd\\u0009e\\u007f\xc3\xa9\xef\xbf\xbd\", \"result\": \"failed\", "
            "\"reason\": \"The device answered \\\"Flash Incorrect.\\\" to the part-2 file.\", \"bytes_sent\": 33918, "
            "\"seconds\": 0.086, \"log\": null}, "
            "{\"port\": \"/dev/ttyUSB1\", \"result\": \"confirmed\", \"reason\": \"The device answered \\\"Flash "
            "Incorrect.\\\" to the part-2 file.\", \"bytes_sent\": 33918, \"seconds\": 0.086, \"log\": "
            "\"logs/dev_ttyUSB1.log\"}]}\n");
}

TEST(ReportTest, PortFileNamesAreSafeAndDistinct) {
  EXPECT_EQ(PortFileNames({"/dev/ttyUSB0", "/dev/a_b", "/dev/a/b", "/", "..", "/dev/serial/by-path/pci-0:1.0"}),
            (std::vector<std::string>{"dev_ttyUSB0", "dev_a_b", "dev_a_b-2", "port", "port-2",
                                      "dev_serial_by-path_pci-0_1.0"}));
}

// What a board printed, read back from memory.
class Printed {
 public:
  Printed() : file_(open_memstream(&text_, &size_)) {}
  ~Printed() {
    std::fclose(file_);
    free(text_);
  }
  std::FILE* File() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(text_, size_);
  }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

TEST(BoardTest, AChangeTooSoonToDrawIsDrawnOnceItsTenthHasPassed) {
  Printed out;
  std::atomic<std::uint64_t> sent{0};
  Board board(out.File(), true, [](std::size_t& columns, std::size_t& lines) {
    columns = 100;
    lines = 40;
    return true;
  });
  BenchRow& row = board.AddRow("/dev/ttyUSB0", sent);
  row.SetState("running", BenchRow::Phase::Running);
  row.SetState("confirmed", BenchRow::Phase::Ended);  // within the same tenth
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (out.Text().find("confirmed") == std::string::npos && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(out.Text().find("confirmed"), std::string::npos) << "the row still says running";
}

TEST(BoardTest, RowsThatNoLongerFitTheTerminalBecomeLines) {
  for (const bool resized : {false, true}) {
    SCOPED_TRACE(resized);
    Printed out;
    std::atomic<std::uint64_t> sent{0};
    int looks = 0;
    Board board(out.File(), true, [&](std::size_t& columns, std::size_t& lines) {
      columns = 100;
      // Three rows never fit three lines; forty do, until the terminal is made smaller.
      lines = !resized ? 3 : looks++ == 0 ? 40 : 30;
      return true;
    });
    std::vector<BenchRow*> rows;
    for (const char* port : {"/dev/a", "/dev/b", "/dev/c"}) rows.push_back(&board.AddRow(port, sent));
    rows[0]->SetState("running", BenchRow::Phase::Running);
    rows[1]->SetStepCaption("STEP 3 : Download add-on program");
    board.Finish({"table"});
    const std::string text = out.Text();
    // Once the rows are lines, nothing more is drawn over them.
    EXPECT_FALSE(board.Live());
    EXPECT_NE(text.find("/dev/b: STEP 3 : Download add-on program\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\033["), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 6), "table\n");
  }
}

TEST(PortLogTest, RunsOfOneLineAreOneLineAndALogStaysUnderItsLimit) {
  TempFolder folder;
  PortLog log;
  std::string why;
  ASSERT_TRUE(log.Open(folder.Path("port.log"), why));
  for (int i = 0; i < 5000; ++i) log.LineReceived(".\n");
  log.LineReceived("5 LENGTH\n");
  for (int i = 0; i < 40000; ++i) log.LineReceived("chatter " + std::to_string(i) + " " + std::string(40, 'x') + "\n");
  log.Close("Update done.");
  std::ifstream in(folder.Path("port.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find("] ") + 2));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "device: .");
  EXPECT_EQ(lines[1], "device: . (5000 times in a row)");
  EXPECT_EQ(lines[2], "device: 5 LENGTH");
  EXPECT_EQ(lines.back(), "Update done.");
  EXPECT_NE(lines[lines.size() - 2].find("more lines from the device were left out"), std::string::npos);
  EXPECT_LE(folder.Read("port.log").size(), LOG_LIMIT_BYTES + 200);
}

TEST(PortClaimsTest, OneTtyIsHeldUnderOneNameAtATimeAndFreeOnceLetGo) {
  // A real tty under two names, as a by-path link and its /dev name are.
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  TempFolder folder;
  const std::string first = folder.Path("first");
  const std::string second = folder.Path("second");
  ASSERT_EQ(::symlink(::ttyname(slave), first.c_str()), 0);
  ASSERT_EQ(::symlink(::ttyname(slave), second.c_str()), 0);
  PortClaims claims;
  PosixPortOpener opener(nullptr, &claims);
  {
    auto held = opener.Open(first);
    ASSERT_TRUE(held) << opener.LastFailure();
    EXPECT_FALSE(opener.Open(second));
    // Only root gets as far as the claim: anyone else's open is refused by the tty's
    // exclusive mode first.
    EXPECT_EQ(opener.LastFailure(), ::geteuid() == 0 ? "the same device as " + first : "in use by another program");
  }
  // Let go (a device that reset or finished): the tty, or its number, is anyone's.
  EXPECT_TRUE(opener.Open(second)) << opener.LastFailure();
  ::unlink(first.c_str());
  ::unlink(second.c_str());
  ::close(slave);
  ::close(master);
}

TEST(CountedChannelTest, BytesCountOnceThePortNoLongerHoldsThem) {
  std::atomic<std::uint64_t> sent{1000};  // what the device took through an earlier open of the port
  auto owned = std::make_unique<FakeChannel>();
  FakeChannel& port = *owned;
  CountedChannel counted(std::move(owned), sent);
  const std::vector<std::uint8_t> piece(12288, 7);
  std::uint32_t written = 0;
  port.held = 4000;
  ASSERT_EQ(counted.Write(piece.data(), 12288, written), WriteEnd::Written);
  EXPECT_EQ(sent.load(), 1000u + 12288 - 4000);
  // The port went away holding 2500 bytes: those never reached the device.
  port.held = 2500;
  port.drainEnd = WriteEnd::Failed;
  EXPECT_EQ(counted.Drain(), WriteEnd::Failed);
  EXPECT_EQ(sent.load(), 1000u + 12288 - 2500);
  port.held = 0;
  port.drainEnd = WriteEnd::Written;
  EXPECT_EQ(counted.Drain(), WriteEnd::Written);
  EXPECT_EQ(sent.load(), 1000u + 12288);
}

}  // namespace
