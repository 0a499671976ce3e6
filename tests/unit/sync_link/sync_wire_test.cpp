#include "sync_wire.h"

#include <gtest/gtest.h>

#include "device_bytes.h"
#include "rapi_wire.h"

namespace {

const std::u16string HELPER = u"\\Nalvex.exe";
const std::string HELPER_BYTES = "18 00 00 00 5c 00 4e 00 61 00 6c 00 76 00 65 00 78 00 2e 00 65 00 78 00 65 00 00 00";

// The payload of a reply frame: what follows its size word, which must count it.
Bytes Payload(const std::string& frame) {
  const Bytes all = Hex(frame);
  EXPECT_EQ(all.size() - 4, static_cast<std::size_t>(all[0] | all[1] << 8));
  return Bytes(all.begin() + 4, all.end());
}

TEST(RapiWire, RequestsAreTheWorkedExamplesByteForByte) {
  EXPECT_EQ(CreateFileRequest(HELPER, 0x40000000, 0, 2, 0x80),
            Hex("34 00 00 00 | 16 00 00 00 |" + HELPER_BYTES +
                "| 00 00 00 40 | 00 00 00 00 | 02 00 00 00 | 80 00 00 00 | 00 00 00 00"));
  const std::uint8_t abcd[] = {'A', 'B', 'C', 'D'};
  EXPECT_EQ(WriteFileRequest(0x12345678, abcd, 4),
            Hex("10 00 00 00 | 18 00 00 00 | 78 56 34 12 | 04 00 00 00 | 41 42 43 44"));
  EXPECT_EQ(CloseHandleRequest(0x12345678), Hex("08 00 00 00 | 19 00 00 00 | 78 56 34 12"));
  EXPECT_EQ(CreateProcessRequest(HELPER),
            Hex("40 00 00 00 | 2a 00 00 00 |" + HELPER_BYTES + "| 00 00 00 00 |" + std::string(7 * 8, '0')));
  EXPECT_EQ(PowerStatusRequest(true), Hex("08 00 00 00 | 49 00 00 00 | 01 00 00 00"));
  EXPECT_EQ(VersionRequest(), Hex("04 00 00 00 | 43 00 00 00"));
}

TEST(RapiWire, RepliesOfTheWorkedExamplesGiveTheResultAndTheDevicesError) {
  RapiReply reply;
  Bytes p = Payload("08 00 00 00 | 00 00 00 00 | 34 12 00 00");
  ASSERT_TRUE(ParseReply(p.data(), p.size(), reply));
  EXPECT_EQ(reply.result, 0x1234u);

  std::uint32_t written = 0;
  p = Payload("0c 00 00 00 | 00 00 00 00 | 01 00 00 00 | 04 00 00 00");
  ASSERT_TRUE(ParseWriteFileReply(p.data(), p.size(), reply, written));
  EXPECT_EQ(reply.result, 1u);
  EXPECT_EQ(written, 4u);
  EXPECT_FALSE(ParseWriteFileReply(p.data(), p.size() - 1, reply, written));

  p = Payload("18 00 00 00 | 06 00 09 80 | 00 00 00 00 |" + std::string(16 * 2, '0'));
  ASSERT_TRUE(ParseReply(p.data(), p.size(), reply));
  EXPECT_EQ(reply.lastError, DEVICE_NTE_BAD_SIGNATURE);
  EXPECT_EQ(reply.result, 0u);
  EXPECT_FALSE(ParseReply(p.data(), 7, reply));
}

TEST(RapiWire, PowerStatusIsReadWithOrWithoutALeadingLastError) {
  const std::string status = "01 02 21 00 | 10 0e 00 00 | ff ff ff ff | 00 01 64 00 | ff ff ff ff | ff ff ff ff";
  for (const std::string& frame : {"1c 00 00 00 | 01 00 00 00 |" + status,
                                   "20 00 00 00 | 00 00 00 00 | 01 00 00 00 |" + status}) {
    const Bytes p = Payload(frame);
    RapiReply reply;
    PowerStatus power;
    ASSERT_TRUE(ParsePowerStatusReply(p.data(), p.size(), reply, power)) << frame;
    EXPECT_EQ(reply.result, 1u);
    EXPECT_EQ(power.acLineStatus, AC_LINE_ONLINE);
    EXPECT_EQ(power.batteryFlag, POWER_FLAG_LOW);
    EXPECT_EQ(power.batteryLifePercent, 33);
    EXPECT_EQ(power.batteryLifeTime, 3600u);
    EXPECT_EQ(power.backupBatteryLifePercent, 100);
    EXPECT_FALSE(ParsePowerStatusReply(p.data(), 27, reply, power));
  }
}

TEST(RapiWire, VersionReplyChecksTheStructuresLengthAgainstWhatArrived) {
  Bytes p = Words({0, 1, 38, 276, 5, 2, 15561, 3});
  for (char16_t c : u"AKU 6.1\x1b") p.insert(p.end(), {static_cast<std::uint8_t>(c), 0});
  RapiReply reply;
  OsVersionInfo version;
  ASSERT_TRUE(ParseVersionReply(p.data(), p.size(), reply, version));
  EXPECT_EQ(version.major, 5u);
  EXPECT_EQ(version.minor, 2u);
  EXPECT_EQ(version.build, 15561u);
  EXPECT_EQ(version.platformId, 3u);
  EXPECT_EQ(version.servicePack, "AKU 6.1?");  // a control character is never shown as sent

  p[8] = 200;  // a structure longer than the reply
  EXPECT_FALSE(ParseVersionReply(p.data(), p.size(), reply, version));
  p = Words({0, 1, 16});  // too short for the version numbers
  p.resize(p.size() + 16);
  EXPECT_FALSE(ParseVersionReply(p.data(), p.size(), reply, version));
  p = Words({120, 0, 0});  // a refusal needs no structure
  ASSERT_TRUE(ParseVersionReply(p.data(), p.size(), reply, version));
  EXPECT_EQ(reply.lastError, 120u);
}

TEST(RapiWire, OnlyTheNewerLayoutIsSpoken) {
  EXPECT_FALSE(SpeaksNewerLayout(4, 21));
  EXPECT_FALSE(SpeaksNewerLayout(5, 0));
  EXPECT_TRUE(SpeaksNewerLayout(5, 1));
  EXPECT_TRUE(SpeaksNewerLayout(5, 2));
  EXPECT_TRUE(SpeaksNewerLayout(6, 0));
}

TEST(ControlWords, AreLittleEndianWords) {
  EXPECT_EQ(ChannelRequest(1), Hex("05 00 00 00 04 00 00 00 01 00 00 00"));
  EXPECT_EQ(QueryReply(), Words({7, 8, 4, 5}));
  EXPECT_EQ(UnlockAcknowledgement(), Words({0, 0x0C}));
  EXPECT_EQ(LockOf(0), DeviceLock::None);
  EXPECT_EQ(LockOf(0xFFFFFFFF), DeviceLock::OnDevice);
  EXPECT_EQ(LockOf(0x5A), DeviceLock::HostPassword);
}

class DeviceInfoBlock : public testing::Test {
 protected:
  bool Parse(const Bytes& block) {
    info = DeviceInfo{};
    return ParseDeviceInfo(block.data(), block.size(), info);
  }
  InfoBlock fields;
  DeviceInfo info;
};

TEST_F(DeviceInfoBlock, GivesWhatTheDeviceTellsAboutItself) {
  fields.passwordKey = 0xFFFFFFFF;
  fields.components = 2;
  ASSERT_TRUE(Parse(fields.Build()));
  EXPECT_EQ(info.guid[0], 0xA0);
  EXPECT_EQ(info.guid[15], 0xAF);
  EXPECT_EQ(info.osMajor, 5u);
  EXPECT_EQ(info.osMinor, 1u);
  EXPECT_EQ(info.name, "vmda");
  EXPECT_EQ(info.version, 0x05010000u);
  EXPECT_EQ(info.cpuType, 2577u);
  EXPECT_EQ(info.currentPartnerId, 0x11u);
  EXPECT_EQ(info.deviceId, 0x22u);
  EXPECT_EQ(info.platform, "PocketPC");
  EXPECT_EQ(info.model, "HX4700");
  EXPECT_EQ(info.passwordKey, 0xFFFFFFFFu);
}

TEST_F(DeviceInfoBlock, TextsAreShownPrintableAndEndAtTheirFirstNul) {
  fields.name = u"d\x1b[2Jx\xD800" u"\u00e9\U0001F600";
  fields.platform = std::string("Pocket\x07PC\0Smartphone", 20);
  fields.model = "caf\xe9";
  ASSERT_TRUE(Parse(fields.Build()));
  EXPECT_EQ(info.name, "d?[2Jx?\u00e9\U0001F600");
  EXPECT_EQ(info.platform, "Pocket?PC");
  EXPECT_EQ(info.model, "caf\u00e9");
}

TEST_F(DeviceInfoBlock, AShortBlockIsRefusedWhereverItEnds) {
  fields.passwordKey = 0x5A5A5A5A;
  const Bytes whole = fields.Build();
  ASSERT_TRUE(Parse(whole));
  // One byte short reads as a block without the byte after the model name; any shorter
  // leaves a field without its bytes.
  for (std::size_t size = 0; size + 1 < whole.size(); ++size) {
    EXPECT_FALSE(Parse(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)))) << size;
  }
}

TEST_F(DeviceInfoBlock, LengthsThatClaimMoreThanArrivedAreRefused) {
  for (std::uint32_t lie : {0x80000000u, 0xFFFFFFFFu, 300u}) {
    InfoBlock name = fields, platform = fields, model = fields;
    name.claimedNameChars = lie;
    platform.claimedPlatformBytes = lie;
    model.claimedModelBytes = lie;
    EXPECT_FALSE(Parse(name.Build())) << lie;
    EXPECT_FALSE(Parse(platform.Build())) << lie;
    EXPECT_FALSE(Parse(model.Build())) << lie;
  }
  // Eight bytes each: a count whose size wraps 32 bits must not read as none.
  fields.claimedComponents = 0x20000000;
  EXPECT_FALSE(Parse(fields.Build()));
}

TEST_F(DeviceInfoBlock, ExtraDataAfterTheKeyAndABlockWithoutTheByteAfterTheModelBothRead) {
  fields.passwordKey = 0x1234;
  fields.components = 1;
  fields.extraData = Words({8, 0xDEADBEEF, 0xFFFFFFFF});
  ASSERT_TRUE(Parse(fields.Build()));
  EXPECT_EQ(info.passwordKey, 0x1234u);

  fields.components = 0;
  fields.extraData.clear();
  fields.extraByte = false;
  ASSERT_TRUE(Parse(fields.Build()));
  EXPECT_EQ(info.passwordKey, 0x1234u);
  EXPECT_EQ(info.model, "HX4700");
}

}  // namespace
