// Where the device's link is on this host: its network interface, the host's address
// on it and the device's. The device is the DHCP server of its link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link_ending.h"

// What the finder reads from the system; tests replace them with a tree of their own.
struct LinkPaths {
  std::string netClass = "/sys/class/net";
  // Folders of DHCP leases: systemd-networkd's, NetworkManager's and dhclient's.
  std::vector<std::string> leaseFolders = {"/run/systemd/netif/leases", "/var/lib/NetworkManager", "/var/lib/dhcp",
                                           "/var/lib/dhclient"};
};

// An IPv4 address and a port, both in host byte order.
struct LinkAddress {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
};
constexpr std::uint16_t HOST_LISTEN_PORT = 990;
constexpr std::uint16_t DEVICE_TRIGGER_PORT = 5679;

// "ADDR" or "ADDR:PORT"; false on anything else.
bool ParseLinkAddress(const std::string& text, std::uint16_t defaultPort, LinkAddress& address);
std::string FormatIpv4(std::uint32_t ip);
std::string FormatLinkAddress(const LinkAddress& address);

// The named interface, which must exist, or else the one interface whose driver is
// rndis_host; of those, where socketOf is a port named by its USB socket (a
// /dev/serial/by-path/...-usb-0:... name), only the one on that socket counts. The
// ending says why there is none.
LinkEnding FindLinkInterface(const LinkPaths& paths, const std::string& named, const std::string& socketOf,
                             std::string& name);

// The USB socket a by-path port name stands for: its host controller and the chain of
// hub ports from it ("0000:00:14.0" and "1.4" of "pci-0000:00:14.0-usb-0:1.4:1.0-port0").
// False for a name that is not of that form.
bool UsbSocketOf(const std::string& portName, std::string& controller, std::string& chain);

// The interface's IPv4 address and its network mask; false when it has none.
bool InterfaceIpv4(const std::string& name, std::uint32_t& address, std::uint32_t& mask);

// Where the trigger goes: the DHCP server that leased the host its address, as a lease
// the system keeps tells; failing that, the first address of the host's network and
// the network's broadcast address, which a device at another address also hears.
std::vector<std::uint32_t> DeviceAddresses(const LinkPaths& paths, std::uint32_t host, std::uint32_t mask);
