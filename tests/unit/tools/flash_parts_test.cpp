#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board.h"
#include "closing.h"
#include "common/sha256.h"
#include "port_log.h"
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
  EXPECT_EQ(ReportJson("img \"1\"", 10, "ab", {odd, logged}),
            "{\"image\": {\"path\": \"img \\\"1\\\"\", \"bytes\": 10, \"sha256\": \"ab\"}, \"devices\": ["
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

TEST(ReportTest, TheWorstEndingDecidesTheExitStatus) {
  EXPECT_EQ(ExitStatus({"confirmed", "confirmed"}, 0), 0);
  EXPECT_EQ(ExitStatus({"confirmed", "unconfirmed"}, 0), 3);
  EXPECT_EQ(ExitStatus({"unconfirmed", "refused", "confirmed"}, 0), 1);
  EXPECT_EQ(ExitStatus({"failed", "interrupted"}, 2), 130);
}

TEST(Sha256Test, KnownDigestsWhateverThePieces) {
  EXPECT_EQ(Sha256().Hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256 abc;
  abc.Add(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  EXPECT_EQ(abc.Hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A million 'a', in pieces that end on and off the 64-byte blocks.
  const std::vector<std::uint8_t> a(1000, 'a');
  Sha256 million;
  for (std::size_t done = 0, piece = 1; done < 1000000; done += piece, piece = piece % 997 + 63) {
    piece = std::min(piece, 1000000 - done);
    for (std::size_t left = piece; left > 0;) {
      const std::size_t n = std::min(left, a.size());
      million.Add(a.data(), n);
      left -= n;
    }
  }
  EXPECT_EQ(million.Hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
