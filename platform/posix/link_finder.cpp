#include "link_finder.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

namespace {

constexpr const char LINK_DRIVER[] = "rndis_host";
// Lease files are small; anything bigger is not one.
constexpr off_t LEASE_FILE_LIMIT = 256 * 1024;

bool ParseIpv4(const std::string& text, std::uint32_t& ip) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  ip = ntohl(parsed.s_addr);
  return true;
}

std::string DriverOf(const std::string& interfaceFolder) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink((interfaceFolder + "/device/driver").c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  const std::string path(target, static_cast<std::size_t>(n));
  return path.substr(path.rfind('/') + 1);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// The server that leased host, by one lease file: systemd's KEY=VALUE form, or
// dhclient's blocks, of which the last for host is the newest.
bool ServerInLease(std::istream& in, std::uint32_t host, std::uint32_t& server) {
  std::uint32_t address = 0;
  std::uint32_t named = 0;
  bool found = false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first;
    std::string second;
    std::string third;
    words >> first >> second >> third;
    if (!third.empty() && third.back() == ';') third.pop_back();
    if (!second.empty() && second.back() == ';') second.pop_back();
    std::uint32_t ip = 0;
    if (first.rfind("ADDRESS=", 0) == 0 && ParseIpv4(first.substr(8), ip)) address = ip;
    if (first.rfind("SERVER_ADDRESS=", 0) == 0 && ParseIpv4(first.substr(15), ip)) named = ip;
    if (first == "fixed-address" && ParseIpv4(second, ip)) address = ip;
    if (first == "option" && second == "dhcp-server-identifier" && ParseIpv4(third, ip)) named = ip;
    // The end of a dhclient lease block, or of the file.
    if (first == "}" || in.peek() == EOF) {
      if (address == host && named != 0) {
        server = named;
        found = true;
      }
      address = 0;
      named = 0;
    }
  }
  return found;
}

}  // namespace

bool ParseLinkAddress(const std::string& text, std::uint16_t defaultPort, LinkAddress& address) {
  const std::size_t colon = text.find(':');
  std::uint32_t ip = 0;
  if (!ParseIpv4(text.substr(0, colon), ip)) return false;
  std::uint32_t port = defaultPort;
  if (colon != std::string::npos) {
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    port = static_cast<std::uint32_t>(std::stoul(digits));
    if (port > 0xFFFF) return false;
  }
  address.ip = ip;
  address.port = static_cast<std::uint16_t>(port);
  return true;
}

std::string FormatIpv4(std::uint32_t ip) {
  in_addr raw{};
  raw.s_addr = htonl(ip);
  char text[INET_ADDRSTRLEN];
  return ::inet_ntop(AF_INET, &raw, text, sizeof text);
}

std::string FormatLinkAddress(const LinkAddress& address) {
  return FormatIpv4(address.ip) + ":" + std::to_string(address.port);
}

bool UsbSocketOf(const std::string& portName, std::string& controller, std::string& chain) {
  const std::string base = portName.substr(portName.rfind('/') + 1);
  constexpr const char USB[] = "-usb-0:";
  const std::size_t usb = base.find(USB);
  if (usb == std::string::npos) return false;
  const std::string before = base.substr(0, usb);
  const std::size_t pci = before.rfind("pci-");
  const std::size_t platform = before.rfind("platform-");
  if (pci == std::string::npos && platform == std::string::npos) return false;
  controller = pci != std::string::npos && (platform == std::string::npos || pci > platform)
                   ? before.substr(pci + 4)
                   : before.substr(platform + 9);
  const std::string after = base.substr(usb + sizeof USB - 1);
  chain = after.substr(0, after.find(':'));
  return !controller.empty() && !chain.empty() && chain.find('-') == std::string::npos;
}

namespace {

// Whether the interface's USB device sits on that socket: its device path passes
// through the controller, and its USB interface ("1-1.4:1.0") has the chain ("1.4").
bool OnSocket(const std::string& interfaceFolder, const std::string& controller, const std::string& chain) {
  char resolved[PATH_MAX];
  if (::realpath((interfaceFolder + "/device").c_str(), resolved) == nullptr) return false;
  const std::string path = resolved;
  if (path.find("/" + controller + "/") == std::string::npos) return false;
  const std::string usbInterface = path.substr(path.rfind('/') + 1);
  const std::size_t dash = usbInterface.find('-');
  const std::size_t colon = usbInterface.find(':');
  return dash != std::string::npos && colon != std::string::npos && dash < colon &&
         usbInterface.substr(dash + 1, colon - dash - 1) == chain;
}

}  // namespace

LinkEnding FindLinkInterface(const LinkPaths& paths, const std::string& named, const std::string& socketOf,
                             std::string& name) {
  LinkEnding ending;
  struct stat node {};
  if (!named.empty()) {
    // A named interface is taken whatever its driver: the user knows the link.
    if (named.find('/') != std::string::npos || ::stat((paths.netClass + "/" + named).c_str(), &node) != 0) {
      ending.result = LinkResult::NoSuchInterface;
      ending.detail = named;
    } else {
      name = named;
    }
    return ending;
  }
  std::vector<std::string> links;
  std::string controller;
  std::string chain;
  const bool bySocket = UsbSocketOf(socketOf, controller, chain);
  for (const std::string& entry : FolderEntries(paths.netClass)) {
    const std::string folder = paths.netClass + "/" + entry;
    if (DriverOf(folder) == LINK_DRIVER && (!bySocket || OnSocket(folder, controller, chain))) links.push_back(entry);
  }
  std::sort(links.begin(), links.end());
  if (links.size() == 1) {
    name = links.front();
  } else if (links.empty()) {
    ending.result = LinkResult::NoLink;
  } else {
    ending.result = LinkResult::SeveralLinks;
    for (const std::string& link : links) ending.detail += (ending.detail.empty() ? "" : ", ") + link;
  }
  return ending;
}

bool InterfaceIpv4(const std::string& name, std::uint32_t& address, std::uint32_t& mask) {
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return false;
  bool found = false;
  for (const ifaddrs* a = all; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || name != a->ifa_name) continue;
    address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
    mask = a->ifa_netmask ? ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr) : 0;
    found = true;
  }
  ::freeifaddrs(all);
  return found;
}

std::vector<std::uint32_t> DeviceAddresses(const LinkPaths& paths, std::uint32_t host, std::uint32_t mask) {
  // Of several leases for the host's address, the newest file's.
  std::uint32_t server = 0;
  time_t newest = 0;
  for (const std::string& folder : paths.leaseFolders) {
    for (const std::string& entry : FolderEntries(folder)) {
      const std::string path = folder + "/" + entry;
      struct stat node {};
      if (::stat(path.c_str(), &node) != 0 || !S_ISREG(node.st_mode) || node.st_size > LEASE_FILE_LIMIT) continue;
      std::ifstream in(path);
      std::uint32_t named = 0;
      if (ServerInLease(in, host, named) && (server == 0 || node.st_mtime >= newest)) {
        server = named;
        newest = node.st_mtime;
      }
    }
  }
  if (server != 0) return {server};
  std::vector<std::uint32_t> assumed;
  const std::uint32_t first = (host & mask) + 1;
  if (first != host) assumed.push_back(first);
  // A network of one or two addresses has no broadcast address of its own.
  if ((~mask) > 1) assumed.push_back(host | ~mask);
  return assumed;
}
