#include "device_prep/device_push.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fake_rapi_device.h"
#include "memory_file.h"

namespace {

using Calls = std::vector<std::string>;

const std::u16string HELPER = u"Nalvex.exe";

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

const std::string WAIT = "wait " + std::to_string(FakeRapiDevice::INIT_EVENT) + " 5000";
const std::string CREATE = "create Nalvex.exe 1073741824 3 2 128";  // write access, shared, always made anew
const std::string CLOSE = "close " + std::to_string(FakeRapiDevice::FILE_HANDLE);

struct WaitCase {
  std::uint32_t wait;
  int result;
  bool uninit;
};
void PrintTo(const WaitCase& c, std::ostream* os) { *os << "wait " << c.wait; }

class ConnectRapiWait : public testing::TestWithParam<WaitCase> {};

TEST_P(ConnectRapiWait, MapsTheWaitAndEndsOnlyTimedOutOrAbandonedAttempts) {
  FakeRapiDevice device;
  device.waitResult = GetParam().wait;
  EXPECT_EQ(ConnectRapi(device), GetParam().result);
  Calls expected{"init 12", WAIT};
  if (GetParam().uninit) expected.push_back("uninit");
  EXPECT_EQ(device.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ConnectRapiWait,
                         testing::Values(WaitCase{RAPI_WAIT_SIGNALED, 1, false},
                                         WaitCase{RAPI_WAIT_TIMED_OUT, 2, true},
                                         WaitCase{RAPI_WAIT_ABANDONED, 3, true},
                                         WaitCase{RAPI_WAIT_FAILED, 0, false},
                                         WaitCase{0xC0, 0, false}));

TEST(ConnectRapi, AnAttemptThatDoesNotBeginIsNeitherAwaitedNorEnded) {
  FakeRapiDevice device;
  device.initResult = static_cast<std::int32_t>(0x80004005);
  EXPECT_EQ(ConnectRapi(device), 0);
  EXPECT_EQ(device.calls, Calls{"init 12"});
}

struct ChunkCase {
  std::size_t size;
  std::vector<std::uint32_t> writes;
};
void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.size << " bytes"; }

class PushChunks : public testing::TestWithParam<ChunkCase> {};

TEST_P(PushChunks, WritesIn128ByteChunksThenClosesAndEnds) {
  FakeRapiDevice device;
  const auto content = Pattern(GetParam().size, 3);
  MemoryFile local(content);
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 1);
  EXPECT_EQ(device.writeSizes, GetParam().writes);
  EXPECT_EQ(device.files[HELPER], content);
  EXPECT_EQ(device.calls.at(2), CREATE);
  EXPECT_EQ(device.calls.at(device.calls.size() - 2), CLOSE);
  EXPECT_EQ(device.calls.back(), "uninit");
  EXPECT_EQ(device.initialised, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PushChunks,
                         testing::Values(ChunkCase{300, {128, 128, 44}}, ChunkCase{128, {128}},
                                         ChunkCase{0, {}}));

TEST(PushFileToDevice, ReplacesALongerFileOfTheSameNameWhole) {
  FakeRapiDevice device;
  device.files[HELPER] = Pattern(5000, 11);
  const auto content = Pattern(4096, 5);
  MemoryFile local(content);
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 1);
  EXPECT_EQ(device.files[HELPER], content);
}

TEST(PushFileToDevice, WithoutAConnectionLeavesTheDeviceUntouched) {
  FakeRapiDevice device;
  device.waitResult = RAPI_WAIT_TIMED_OUT;
  MemoryFile local(Pattern(300, 1));
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 0);
  EXPECT_EQ(device.calls, (Calls{"init 12", WAIT, "uninit"}));
  EXPECT_TRUE(device.files.empty());
}

TEST(PushFileToDevice, AnUnknownLocalLengthFailsBeforeConnecting) {
  FakeRapiDevice device;
  MemoryFile local(Pattern(300, 1));
  local.lengthFails = true;
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 0);
  EXPECT_TRUE(device.calls.empty());
}

TEST(PushFileToDevice, ADeviceFileThatCannotBeMadeIsNotWrittenNorClosed) {
  for (const RapiHandle failure : {RAPI_INVALID_HANDLE, RapiHandle{0}}) {
    FakeRapiDevice device;
    device.createFailure = failure;
    MemoryFile local(Pattern(300, 1));
    EXPECT_EQ(PushFileToDevice(device, local, HELPER), 0);
    EXPECT_EQ(device.calls, (Calls{"init 12", WAIT, CREATE, "uninit"}));
  }
}

struct WriteFault {
  bool succeeds;
  std::uint32_t written;
};
void PrintTo(const WriteFault& f, std::ostream* os) {
  *os << (f.succeeds ? "succeeds" : "fails") << " with " << f.written << " written";
}

class PushWriteFault : public testing::TestWithParam<WriteFault> {};

TEST_P(PushWriteFault, StopsAfterTheFaultyWriteThenClosesAndEnds) {
  FakeRapiDevice device;
  device.faultyWrite = 1;
  device.faultyWriteSucceeds = GetParam().succeeds;
  device.faultyWriteCount = GetParam().written;
  MemoryFile local(Pattern(300, 1));
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 0);
  EXPECT_EQ(device.calls, (Calls{"init 12", WAIT, CREATE, "write 128", "write 128", CLOSE, "uninit"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, PushWriteFault,
                         testing::Values(WriteFault{true, 100}, WriteFault{false, 128}, WriteFault{false, 0}));

TEST(PushFileToDevice, AShortLocalReadFailsWithoutSendingStaleBytes) {
  FakeRapiDevice device;
  MemoryFile local(Pattern(300, 1));
  local.readableBytes = 200;
  EXPECT_EQ(PushFileToDevice(device, local, HELPER), 0);
  EXPECT_EQ(device.writeSizes, std::vector<std::uint32_t>{128});
  EXPECT_EQ(device.calls.back(), "uninit");
}

TEST(LaunchOnDevice, AsksTheDeviceAndLeavesTheConnectionOpen) {
  for (const bool starts : {true, false}) {
    FakeRapiDevice device;
    device.processStarts = starts;  // a refusal is not seen: only the connection counts
    EXPECT_EQ(LaunchOnDevice(device, HELPER), 1);
    EXPECT_EQ(device.calls, (Calls{"init 12", WAIT, "process Nalvex.exe"}));
    EXPECT_EQ(device.initialised, 1);
  }
}

TEST(LaunchOnDevice, WithoutAConnectionStartsNothing) {
  FakeRapiDevice device;
  device.waitResult = RAPI_WAIT_ABANDONED;
  EXPECT_EQ(LaunchOnDevice(device, HELPER), 0);
  EXPECT_EQ(device.calls, (Calls{"init 12", WAIT, "uninit"}));
}

}  // namespace
