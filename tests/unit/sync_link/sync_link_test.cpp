// The link against a tiny device of the test's own over loopback: it waits for the
// trigger, connects, plays its part of the handshake and serves calls on an in-memory
// file store, with a few faults.
#include "sync_link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "device_bytes.h"
#include "device_prep/device_push.h"
#include "memory_file.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

const std::u16string HELPER = u"\\Nalvex.exe";
constexpr std::uint32_t CREATE_FILE = 0x16, WRITE_FILE = 0x18, CLOSE_HANDLE = 0x19, CREATE_PROCESS = 0x2A,
                        GET_VERSION = 0x43, GET_POWER = 0x49;
constexpr std::uint32_t FILE_HANDLE = 0x1234;

struct Script {
  InfoBlock info;
  bool connects = true;
  bool query = false;                 // asks 6 before announcing its block
  int unlockAfterMs = -1;             // locked on its screen: unlocked this long after the host's 8
  int channelDelayMs = 0;             // before it opens a channel
  std::map<std::uint32_t, std::uint32_t> refuse;  // command, lastError
  int dropAtWrite = -1;               // drops the link at this WriteFile, without an answer
  int dropAtProcessAfterMs = -1;      // drops the link this long after CreateProcess, without an answer
};

class FakeDevice {
 public:
  explicit FakeDevice(Script script) : script_(std::move(script)) {
    udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = Loopback(0);
    ::bind(udp_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t size = sizeof at;
    ::getsockname(udp_, reinterpret_cast<sockaddr*>(&at), &size);
    triggerPort_ = ntohs(at.sin_port);
  }
  ~FakeDevice() {
    Finish();
    ::close(udp_);
  }
  LinkAddress Trigger() const { return {INADDR_LOOPBACK, triggerPort_}; }
  void Start(LinkAddress host) {
    thread_ = std::thread([this, host] { Run(host); });
  }
  // Stops waiting for a trigger, and waits until the device has let the link go.
  void Finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // What the device saw; read after Finish.
  int triggers = 0;
  Bytes hostWords;  // from the host on the control connection, until calls begin
  int pings = 0;
  std::vector<std::string> calls;
  std::map<std::u16string, Bytes> files;

 private:
  static sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
    return at;
  }
  static int Dial(LinkAddress host) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval bound{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in at = Loopback(host.port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    return fd;
  }
  static void Send(int fd, const Bytes& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  static bool Read(int fd, std::uint8_t* data, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
      const ssize_t n = ::recv(fd, data + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }
  static bool Word(int fd, std::uint32_t& word) {
    std::uint8_t raw[4];
    if (!Read(fd, raw, 4)) return false;
    word = static_cast<std::uint32_t>(raw[0] | raw[1] << 8 | raw[2] << 16 | raw[3] << 24);
    return true;
  }
  // Words from the host, kept as they came.
  bool Heard(int fd, int words) {
    std::uint32_t word = 0;
    for (int i = 0; i < words; ++i) {
      if (!Word(fd, word)) return false;
      PutU32(hostWords, word);
    }
    return true;
  }

  void Run(LinkAddress host) {
    while (!done_) {
      pollfd ready{udp_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      std::uint8_t byte = 0;
      if (::recv(udp_, &byte, 1, 0) == 1 && byte == 0x7F) ++triggers;
      if (script_.connects) break;
    }
    if (done_) return;
    const int control = Dial(host);
    Send(control, Words({0}));
    bool heard = Heard(control, 1);
    if (heard && script_.query) {
      Send(control, Words({6}));
      heard = Heard(control, 4);
    }
    if (heard) {
      const Bytes block = script_.info.Build();
      Bytes announce = Words({4, static_cast<std::uint32_t>(block.size())});
      announce.insert(announce.end(), block.begin(), block.end());
      Send(control, announce);
      if (Unlocked(control)) Serve(control, host);
    }
    ::close(control);
  }

  bool Unlocked(int control) {
    if (script_.info.passwordKey == 0) return true;
    // Any other lock: whatever the host sends next is kept, until it lets go.
    if (script_.info.passwordKey != 0xFFFFFFFF || !Heard(control, 1) || script_.unlockAfterMs < 0) {
      while (Heard(control, 1)) {
      }
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(script_.unlockAfterMs));
    Send(control, Words({0}));
    return Heard(control, 2);
  }

  void Serve(int control, LinkAddress host) {
    std::uint32_t word = 0;
    std::uint32_t id = 0;
    while (Word(control, word)) {
      if (word == 1) {
        ++pings;
        Send(control, Words({2}));
        continue;
      }
      if (word != 5 || !Word(control, word) || !Word(control, id)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(script_.channelDelayMs));
      const int channel = Dial(host);
      Send(channel, Words({id}));
      const bool stays = ServeChannel(channel);
      ::close(channel);
      if (!stays) return;
    }
  }

  static std::u16string Text(const Bytes& payload, std::size_t& at) {
    const std::uint32_t bytes = Load(payload, at);
    std::u16string text;
    for (std::size_t i = 0; i + 2 < bytes; i += 2) text += static_cast<char16_t>(payload[at + i] | payload[at + i + 1] << 8);
    at += bytes;
    return text;
  }
  static std::uint32_t Load(const Bytes& payload, std::size_t& at) {
    const std::uint32_t word = static_cast<std::uint32_t>(payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 |
                                                          payload[at + 3] << 24);
    at += 4;
    return word;
  }
  void Reply(int channel, const Bytes& payload) {
    Bytes frame = Words({static_cast<std::uint32_t>(payload.size())});
    frame.insert(frame.end(), payload.begin(), payload.end());
    Send(channel, frame);
  }

  // False when the device drops the link.
  bool ServeChannel(int channel) {
    std::uint32_t size = 0;
    int writes = 0;
    while (Word(channel, size)) {
      Bytes payload(size);
      if (!Read(channel, payload.data(), size)) return true;
      std::size_t at = 0;
      const std::uint32_t command = Load(payload, at);
      const auto refused = script_.refuse.find(command);
      if (refused != script_.refuse.end()) {
        calls.push_back("refused " + std::to_string(command));
        Reply(channel, Words({refused->second, command == CREATE_FILE ? 0xFFFFFFFFu : 0u, 0, 0}));
        continue;
      }
      if (command == CREATE_FILE) {
        const std::u16string name = Text(payload, at);
        const std::uint32_t access = Load(payload, at), share = Load(payload, at), disposition = Load(payload, at);
        calls.push_back("create " + std::string(name.begin(), name.end()) + " " + std::to_string(access) + " " +
                        std::to_string(share) + " " + std::to_string(disposition));
        file_ = &files[name];
        if (disposition == 2) file_->clear();
        Reply(channel, Words({0, FILE_HANDLE}));
      } else if (command == WRITE_FILE) {
        const std::uint32_t handle = Load(payload, at), count = Load(payload, at);
        calls.push_back("write " + std::to_string(handle) + " " + std::to_string(count));
        if (writes++ == script_.dropAtWrite) return false;
        file_->insert(file_->end(), payload.begin() + static_cast<std::ptrdiff_t>(at), payload.end());
        Reply(channel, Words({0, 1, count}));
      } else if (command == CLOSE_HANDLE) {
        calls.push_back("close " + std::to_string(Load(payload, at)));
        Reply(channel, Words({0, 1}));
      } else if (command == CREATE_PROCESS) {
        const std::u16string name = Text(payload, at);
        calls.push_back("start " + std::string(name.begin(), name.end()) + " " + std::to_string(Load(payload, at)));
        if (script_.dropAtProcessAfterMs >= 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(script_.dropAtProcessAfterMs));
          return false;
        }
        Reply(channel, Words({0, 1, 0x100, 0x200, 0x300, 0x400}));
      } else if (command == GET_POWER) {
        calls.push_back("power " + std::to_string(Load(payload, at)));
        // The shorter reading: no lastError before the result.
        Reply(channel, Words({1, 0x002D0200, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF}));
      } else if (command == GET_VERSION) {
        calls.push_back("version");
        Reply(channel, Words({0, 1, 20, 276, 5, 2, 18129, 3}));
      }
    }
    return true;
  }

  Script script_;
  int udp_ = -1;
  std::uint16_t triggerPort_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
  Bytes* file_ = nullptr;
};

// A link on loopback, with short bounds, to one fake device.
class LinkTest : public testing::Test {
 protected:
  void Begin() {
    device_ = std::make_unique<FakeDevice>(script);
    options.listen = LinkAddress{INADDR_LOOPBACK, 0};
    options.trigger = device_->Trigger();
    options.stop = &stop;
    options.notify = [this](LinkNotice notice, const std::string& detail) {
      notices.push_back(LinkNoticeText(notice, detail));
    };
    link = std::make_unique<SyncLink>(options);
    ASSERT_TRUE(link->Open()) << LinkEndingReason(link->Ending());
    device_->Start(link->ListenAddress());
  }
  // The link goes first: the device waits until it has let go.
  void TearDown() override { link.reset(); }
  // The device, once the link has let it go.
  FakeDevice& Device() {
    link.reset();
    device_->Finish();
    return *device_;
  }
  std::string Reason() const { return LinkEndingReason(link->Ending()); }
  // Connect fails with this result, in a sentence that says this.
  void ConnectEndsWith(LinkResult result, const std::string& saying) {
    Begin();
    EXPECT_FALSE(link->Connect());
    EXPECT_EQ(link->Ending().result, result);
    EXPECT_NE(Reason().find(saying), std::string::npos) << Reason();
  }

  Script script;
  LinkOptions options = [] {
    LinkOptions o;
    o.times.connect = 3000;
    o.times.handshake = 2000;
    o.times.unlock = 2000;
    o.times.call = 2000;
    o.times.process = 2000;
    o.times.lookAtDevice = 100;
    return o;
  }();
  StopFlag stop{false};
  std::unique_ptr<SyncLink> link;
  std::vector<std::string> notices;

 private:
  std::unique_ptr<FakeDevice> device_;
};

TEST_F(LinkTest, TheHandshakeKeepsWhatTheDeviceTellsAndAnswersItsWords) {
  script.query = true;
  script.info.osMinor = 2;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  EXPECT_EQ(link->Info().name, "vmda");
  EXPECT_EQ(link->Info().model, "HX4700");
  EXPECT_EQ(link->Info().platform, "PocketPC");
  EXPECT_EQ(link->Info().osMinor, 2u);
  EXPECT_EQ(link->Ending().result, LinkResult::None);
  EXPECT_EQ(Device().hostWords, Words({3, 7, 8, 4, 5}));
}

TEST_F(LinkTest, ADeviceLockedOnItsScreenIsWaitedForOnceTheUserIsTold) {
  script.info.passwordKey = 0xFFFFFFFF;
  script.unlockAfterMs = 200;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("unlock it on its own screen"), std::string::npos) << notices[0];
  EXPECT_EQ(Device().hostWords, Words({3, 8, 0, 0x0C}));
}

TEST_F(LinkTest, ADeviceNotUnlockedInTimeEndsTheRun) {
  script.info.passwordKey = 0xFFFFFFFF;
  options.times.unlock = 300;
  ConnectEndsWith(LinkResult::NotUnlocked, "within 0.3 s");
}

TEST_F(LinkTest, APasswordTheHostWouldSendIsRefusedBeforeAnythingIsWritten) {
  script.info.passwordKey = 0x5A;
  ConnectEndsWith(LinkResult::DeviceLocked, "remove its password");
  EXPECT_EQ(link->Info().name, "vmda");
  EXPECT_EQ(Device().hostWords, Words({3}));
}

TEST_F(LinkTest, AnOsOlderThanTheNewerLayoutIsRefusedWithItsVersion) {
  script.info.osMajor = 4;
  script.info.osMinor = 21;
  ConnectEndsWith(LinkResult::OsTooOld, "version 4.21");
}

TEST_F(LinkTest, PushAndLaunchRunUnchangedOverTheLink) {
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  ASSERT_EQ(ConnectRapi(*link), RAPI_CONNECTED);
  PowerStatus power;
  OsVersionInfo version;
  ASSERT_TRUE(link->GetSystemPowerStatusEx(power)) << Reason();
  ASSERT_TRUE(link->GetVersionEx(version)) << Reason();
  link->CeRapiUninit();
  EXPECT_EQ(power.acLineStatus, AC_LINE_OFFLINE);
  EXPECT_EQ(power.batteryFlag, POWER_FLAG_LOW);
  EXPECT_EQ(power.batteryLifePercent, 45);
  EXPECT_EQ(version.build, 18129u);

  Bytes helper(300);
  for (std::size_t i = 0; i < helper.size(); ++i) helper[i] = static_cast<std::uint8_t>(i * 7);
  MemoryFile local(helper);
  EXPECT_EQ(PushFileToDevice(*link, local, HELPER), 1) << Reason();
  EXPECT_EQ(LaunchOnDevice(*link, HELPER), 1);
  EXPECT_EQ(link->LastLaunch(), LaunchOutcome::Started);
  EXPECT_TRUE(notices.empty());
  FakeDevice& device = Device();
  EXPECT_EQ(device.files[HELPER], helper);
  EXPECT_EQ(device.calls, (std::vector<std::string>{"power 1", "version", "create \\Nalvex.exe 1073741824 3 2",
                                                    "write 4660 128", "write 4660 128", "write 4660 44",
                                                    "close 4660", "start \\Nalvex.exe 0"}));
}

TEST_F(LinkTest, ARefusedCallIsNamedWithTheDevicesError) {
  script.refuse[CREATE_FILE] = DEVICE_ERROR_ACCESS_DENIED;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  MemoryFile local(Bytes(10, 1));
  EXPECT_EQ(PushFileToDevice(*link, local, HELPER), 0);
  EXPECT_EQ(link->Ending().result, LinkResult::CallRefused);
  EXPECT_EQ(link->Ending().call, RapiCall::CreateFile);
  EXPECT_EQ(link->LastError(), DEVICE_ERROR_ACCESS_DENIED);
  EXPECT_EQ(Reason().rfind("CreateFile failed on the device: access denied (error 5)", 0), 0u) << Reason();
}

TEST_F(LinkTest, ARefusedLaunchIsToldApartFromAStartedOne) {
  script.refuse[CREATE_PROCESS] = DEVICE_NTE_BAD_SIGNATURE;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  EXPECT_EQ(LaunchOnDevice(*link, HELPER), 1);
  EXPECT_EQ(link->LastLaunch(), LaunchOutcome::Refused);
  EXPECT_NE(Reason().find("signature was refused (error 0x80090006)"), std::string::npos) << Reason();
}

TEST_F(LinkTest, ALaunchWhoseAnswerIsLostWithTheLinkCountsAsStarted) {
  script.dropAtProcessAfterMs = 400;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  EXPECT_EQ(LaunchOnDevice(*link, HELPER), 1);
  EXPECT_EQ(link->LastLaunch(), LaunchOutcome::StartedLinkGone);
  EXPECT_EQ(link->Ending().result, LinkResult::None);
  // Without an answer for a while, the user was told to look at the device.
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("look at its screen"), std::string::npos);
}

TEST_F(LinkTest, ALinkThatGoesAwayMidWriteEndsThePush) {
  script.dropAtWrite = 1;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  MemoryFile local(Bytes(300, 2));
  EXPECT_EQ(PushFileToDevice(*link, local, HELPER), 0);
  EXPECT_EQ(link->Ending().result, LinkResult::LinkGone);
  EXPECT_EQ(ConnectRapi(*link), RAPI_CONNECT_FAILED);
  EXPECT_EQ(LaunchOnDevice(*link, HELPER), 0);
  EXPECT_EQ(link->LastLaunch(), LaunchOutcome::NotAsked);
}

TEST_F(LinkTest, TheControlConnectionIsKeptAliveWhileTheLinkWaits) {
  script.channelDelayMs = 300;
  options.times.keepAlive = 50;
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  ASSERT_EQ(ConnectRapi(*link), RAPI_CONNECTED);
  link->CeRapiUninit();
  EXPECT_GE(Device().pings, 2);
}

TEST_F(LinkTest, AListenerIsBoundToItsInterfaceAndAPortTakenThereIsNamed) {
  options.interfaceName = "lo";
  Begin();
  ASSERT_TRUE(link->Connect()) << Reason();
  EXPECT_EQ(link->InterfaceName(), "lo");
  LinkOptions second = options;
  second.listen = link->ListenAddress();
  SyncLink other(second);
  EXPECT_FALSE(other.Open());
  EXPECT_EQ(other.Ending().result, LinkResult::AddressInUse);
  const std::string where = FormatLinkAddress(*second.listen) + " (lo)";
  EXPECT_NE(LinkEndingReason(other.Ending()).find(where), std::string::npos) << LinkEndingReason(other.Ending());
}

TEST_F(LinkTest, TheTriggerIsResentUntilTheBoundThenNoDeviceIsTheEnding) {
  script.connects = false;
  options.times.connect = 1000;
  options.times.triggerEvery = 300;
  ConnectEndsWith(LinkResult::NeverConnected, "within 1 s");
  EXPECT_GE(Device().triggers, 3);
}

TEST_F(LinkTest, AStopEndsAWaitWithinATenthOfASecond) {
  script.connects = false;
  Begin();
  std::thread stopper([this] {
    std::this_thread::sleep_for(200ms);
    stop = true;
  });
  const Steady::time_point start = Steady::now();
  EXPECT_FALSE(link->Connect());
  const auto waited = Steady::now() - start;
  stopper.join();
  EXPECT_EQ(link->Ending().result, LinkResult::Stopped);
  EXPECT_LT(waited, 300ms);
}

}  // namespace
