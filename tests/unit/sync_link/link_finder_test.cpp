#include "link_finder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::uint32_t Ip(const char* text) {
  LinkAddress address;
  EXPECT_TRUE(ParseLinkAddress(text, 0, address)) << text;
  return address.ip;
}

// A system tree of the test's own: network interfaces with their drivers, and leases.
class LinkFinder : public testing::Test {
 protected:
  void SetUp() override {
    char made[] = "/tmp/link_finder_XXXXXX";
    ASSERT_NE(::mkdtemp(made), nullptr);
    root_ = made;
    paths.netClass = root_ / "net";
    paths.leaseFolders = {root_ / "networkd", root_ / "dhcp"};
    for (const std::string& folder : {paths.netClass, paths.leaseFolders[0], paths.leaseFolders[1]}) {
      fs::create_directories(folder);
    }
    Interface("lo", "");
    Interface("eth0", "/sys/bus/pci/drivers/e1000e");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Interface(const std::string& interfaceName, const std::string& driver) {
    const fs::path device = fs::path(paths.netClass) / interfaceName / "device";
    fs::create_directories(device);
    if (!driver.empty()) fs::create_symlink(driver, device / "driver");
  }
  void Lease(const std::string& file, const std::string& text) {
    std::ofstream(fs::path(file)) << text;
  }

  fs::path root_;
  LinkPaths paths;
  std::string name;
};

TEST_F(LinkFinder, TakesTheOneInterfaceWithTheDevicesDriver) {
  EXPECT_EQ(FindLinkInterface(paths, "", "", name).result, LinkResult::NoLink);
  Interface("usb0", "../../../bus/usb/drivers/rndis_host");
  EXPECT_EQ(FindLinkInterface(paths, "", "", name).result, LinkResult::None);
  EXPECT_EQ(name, "usb0");

  Interface("enx800060", "/sys/bus/usb/drivers/rndis_host");
  const LinkEnding several = FindLinkInterface(paths, "", "", name);
  EXPECT_EQ(several.result, LinkResult::SeveralLinks);
  EXPECT_EQ(several.detail, "enx800060, usb0");
  EXPECT_NE(LinkEndingReason(several).find("enx800060, usb0"), std::string::npos);
}

TEST_F(LinkFinder, TakesANamedInterfaceWhateverItsDriverOnlyWhenItExists) {
  EXPECT_EQ(FindLinkInterface(paths, "eth0", "", name).result, LinkResult::None);
  EXPECT_EQ(name, "eth0");
  const LinkEnding missing = FindLinkInterface(paths, "usb9", "", name);
  EXPECT_EQ(missing.result, LinkResult::NoSuchInterface);
  EXPECT_EQ(missing.detail, "usb9");
  EXPECT_EQ(FindLinkInterface(paths, "../net/eth0", "", name).result, LinkResult::NoSuchInterface);
}

TEST_F(LinkFinder, ADownloaderPortNamedByItsUsbSocketPairsWithTheLinkOnThatSocket) {
  // Two devices on one controller's sockets 1.4 and 1.5, a third on another controller.
  auto onSocket = [this](const std::string& interfaceName, const std::string& usbPath) {
    const fs::path device = root_ / "devices" / usbPath;
    fs::create_directories(device);
    fs::create_directories(fs::path(paths.netClass) / interfaceName);
    fs::create_symlink(device, fs::path(paths.netClass) / interfaceName / "device");
    fs::create_symlink("/sys/bus/usb/drivers/rndis_host", device / "driver");
  };
  onSocket("usb0", "pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4:1.0");
  onSocket("usb1", "pci0000:00/0000:00:14.0/usb1/1-1/1-1.5/1-1.5:1.0");
  onSocket("usb2", "pci0000:00/0000:00:1a.0/usb2/2-1/2-1.4/2-1.4:1.0");
  const struct {
    const char* port;
    const char* link;
  } pairs[] = {
      {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0", "usb0"},
      {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.5:1.1-port0", "usb1"},
      {"/dev/serial/by-path/pci-0000:00:1a.0-usb-0:1.4:1.0", "usb2"},
  };
  for (const auto& pair : pairs) {
    EXPECT_EQ(FindLinkInterface(paths, "", pair.port, name).result, LinkResult::None) << pair.port;
    EXPECT_EQ(name, pair.link);
  }
  // No link on that socket; and a port not named by its socket pairs with nothing.
  EXPECT_EQ(FindLinkInterface(paths, "", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.6:1.0-port0", name).result,
            LinkResult::NoLink);
  EXPECT_EQ(FindLinkInterface(paths, "", "/dev/ttyUSB0", name).result, LinkResult::SeveralLinks);
}

TEST_F(LinkFinder, TheDeviceIsTheDhcpServerThatLeasedTheHostItsAddress) {
  const std::uint32_t host = Ip("169.254.2.2");
  const std::uint32_t mask = Ip("255.255.255.0");
  // Nothing leased: the first address of the network, and its broadcast address.
  EXPECT_EQ(DeviceAddresses(paths, host, mask), (std::vector<std::uint32_t>{Ip("169.254.2.1"), Ip("169.254.2.255")}));

  Lease(paths.leaseFolders[1] + "/dhclient.usb0.leases",
        "lease {\n  interface \"usb0\";\n  fixed-address 169.254.2.2;\n  option dhcp-server-identifier 169.254.2.9;\n}\n"
        "lease {\n  interface \"usb0\";\n  fixed-address 169.254.2.2;\n  option dhcp-server-identifier 169.254.2.7;\n}\n"
        "lease {\n  interface \"eth0\";\n  fixed-address 10.0.0.5;\n  option dhcp-server-identifier 10.0.0.1;\n}\n");
  EXPECT_EQ(DeviceAddresses(paths, host, mask), std::vector<std::uint32_t>{Ip("169.254.2.7")});

  Lease(paths.leaseFolders[0] + "/7", "# private\nADDRESS=10.9.9.9\nSERVER_ADDRESS=10.9.9.1\n");
  EXPECT_EQ(DeviceAddresses(paths, host, mask), std::vector<std::uint32_t>{Ip("169.254.2.7")});
  EXPECT_EQ(DeviceAddresses(paths, Ip("10.9.9.9"), mask), std::vector<std::uint32_t>{Ip("10.9.9.1")});
}

TEST(LinkAddressText, IsAnAddressWithAnOptionalPort) {
  LinkAddress address;
  ASSERT_TRUE(ParseLinkAddress("127.0.0.1:9990", HOST_LISTEN_PORT, address));
  EXPECT_EQ(FormatLinkAddress(address), "127.0.0.1:9990");
  ASSERT_TRUE(ParseLinkAddress("169.254.2.1", DEVICE_TRIGGER_PORT, address));
  EXPECT_EQ(FormatLinkAddress(address), "169.254.2.1:5679");
  for (const char* bad : {"", "169.254.2.1:", "169.254.2.1:70000", "169.254.2.1:-5", "device:990", "1.2.3:4"}) {
    EXPECT_FALSE(ParseLinkAddress(bad, 1, address)) << bad;
  }
}

}  // namespace
