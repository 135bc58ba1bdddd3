#include "netinfo/adapters.h"

#include "arpwire/netlink.h"

#include <arpa/inet.h>
#include <linux/if_arp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace netinfo {

// ---- what the kernel reports ----

constexpr uint32_t kMaxAddressLength = 8;  // the record's hardware address field

// What the kernel reports of one adapter, before it becomes a row.
struct TKernelAdapter {
  struct TAddrEntry {
    std::string address;
    std::string mask;
  };

  std::string name;
  std::string description;
  uint8_t address[kMaxAddressLength] = {};
  uint32_t addressLength = 0;
  uint32_t index = 0;
  uint32_t type = 0;
  uint32_t dhcpEnabled = 0;
  std::optional<TAddrEntry> current;
  std::vector<TAddrEntry> ipAddresses;  // never empty: the zero entry stands for none
  std::vector<TAddrEntry> gateways;     // never empty, likewise
  std::vector<TAddrEntry> dhcpServers;  // DHCP, WINS and leases are not known here
  std::vector<TAddrEntry> primaryWins;
  std::vector<TAddrEntry> secondaryWins;
  int32_t leaseObtained = 0;
  int32_t leaseExpires = 0;
};

namespace {

using arpwire::TNetlink;
using arpwire::TRtAttributes;
using TAddrEntry = TKernelAdapter::TAddrEntry;

constexpr uint32_t kErrorGenFailure = 31;
constexpr const char* kZeroAddress = "0.0.0.0";

struct TPerAdapter {
  uint32_t autoconfigEnabled = 0;
  uint32_t autoconfigActive = 0;
  std::optional<TAddrEntry> currentDns;
  std::vector<TAddrEntry> dnsServers;
};

struct TLink {
  uint32_t index = 0;
  uint16_t arpType = 0;
  std::string name;
  std::string alias;
  std::vector<uint8_t> address;
};

std::string DottedOf(const void* bytes) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, bytes, text, sizeof text);
  return text;
}

std::string MaskOf(unsigned prefixLength) {
  uint32_t mask = prefixLength == 0 ? 0 : htonl(~0u << (32 - std::min(prefixLength, 32u)));
  return DottedOf(&mask);
}

std::string ReadSysText(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

// /sys/class/net shows the interfaces of the namespace that mounted /sys, which need not be
// the calling thread's (a thread that entered another namespace with setns sees the old
// /sys). An entry counts only when its ifindex matches the link we asked rtnetlink about.
bool SysEntryIsOurs(const TLink& link) {
  return ReadSysText("/sys/class/net/" + link.name + "/ifindex") == std::to_string(link.index);
}

bool IsWireless(const TLink& link) {
  if (!SysEntryIsOurs(link)) return false;
  std::string base = "/sys/class/net/" + link.name;
  std::error_code ec;
  return std::filesystem::exists(base + "/wireless", ec) ||
         std::filesystem::exists(base + "/phy80211", ec);
}

uint32_t AdapterTypeOf(const TLink& link) {
  switch (link.arpType) {
    case ARPHRD_ETHER: return IsWireless(link) ? kAdapterTypeWireless : kAdapterTypeEthernet;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP: return kAdapterTypeWireless;
    case ARPHRD_LOOPBACK: return kAdapterTypeLoopback;
    default: return kAdapterTypeOther;
  }
}

int DumpLinks(TNetlink& netlink, std::vector<TLink>& links) {
  ifinfomsg request{};
  request.ifi_family = AF_UNSPEC;
  return netlink.Request(
      RTM_GETLINK, NLM_F_DUMP, &request, sizeof request, {}, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWLINK || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
        if (info->ifi_flags & IFF_LOOPBACK || info->ifi_type == ARPHRD_LOOPBACK) return;
        TRtAttributes attributes(IFLA_RTA(info), static_cast<int>(IFLA_PAYLOAD(m)));
        TLink link;
        link.index = static_cast<uint32_t>(info->ifi_index);
        link.arpType = info->ifi_type;
        link.name = attributes.Text(IFLA_IFNAME);
        link.alias = attributes.Text(IFLA_IFALIAS);
        link.address = attributes.Bytes(IFLA_ADDRESS);
        links.push_back(link);
      });
}

// IPv4 addresses per interface, in the kernel's order (as `ip addr` shows them: primary
// addresses first, secondary ones after them), which need not be the order they were added.
int DumpAddresses(TNetlink& netlink, std::map<uint32_t, std::vector<TAddrEntry>>& byIndex) {
  ifaddrmsg request{};
  request.ifa_family = AF_INET;
  return netlink.Request(
      RTM_GETADDR, NLM_F_DUMP, &request, sizeof request, {}, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWADDR || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
        const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
        if (info->ifa_family != AF_INET) return;
        TRtAttributes attributes(IFA_RTA(info), static_cast<int>(IFA_PAYLOAD(m)));
        // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer on point-to-point links.
        const rtattr* local = attributes.Find(IFA_LOCAL);
        if (!local) local = attributes.Find(IFA_ADDRESS);
        if (!local || RTA_PAYLOAD(local) < 4) return;
        byIndex[info->ifa_index].push_back(
            {DottedOf(RTA_DATA(local)), MaskOf(info->ifa_prefixlen)});
      });
}

// Default routes of the main table: the gateways, per outgoing interface.
int DumpGateways(TNetlink& netlink, std::map<uint32_t, std::vector<TAddrEntry>>& byIndex) {
  rtmsg request{};
  request.rtm_family = AF_INET;
  auto add = [&](uint32_t index, const rtattr* gateway) {
    if (!gateway || RTA_PAYLOAD(gateway) < 4) return;
    TAddrEntry entry{DottedOf(RTA_DATA(gateway)), ""};
    auto& list = byIndex[index];
    bool known = std::any_of(list.begin(), list.end(),
                             [&](const TAddrEntry& e) { return e.address == entry.address; });
    if (!known) list.push_back(entry);
  };
  return netlink.Request(
      RTM_GETROUTE, NLM_F_DUMP, &request, sizeof request, {}, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWROUTE || m->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(m));
        TRtAttributes attributes(RTM_RTA(route), static_cast<int>(RTM_PAYLOAD(m)));
        uint32_t table = attributes.U32(RTA_TABLE).value_or(route->rtm_table);
        if (route->rtm_family != AF_INET || route->rtm_dst_len != 0 || table != RT_TABLE_MAIN ||
            route->rtm_type != RTN_UNICAST) {
          return;
        }
        if (auto oif = attributes.U32(RTA_OIF)) add(*oif, attributes.Find(RTA_GATEWAY));
        const rtattr* multipath = attributes.Find(RTA_MULTIPATH);
        if (!multipath) return;
        auto* hop = static_cast<const rtnexthop*>(RTA_DATA(multipath));
        int left = static_cast<int>(RTA_PAYLOAD(multipath));
        while (left >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
               hop->rtnh_len <= left) {
          TRtAttributes hopAttributes(RTNH_DATA(hop),
                                      static_cast<int>(hop->rtnh_len - RTNH_LENGTH(0)));
          add(static_cast<uint32_t>(hop->rtnh_ifindex), hopAttributes.Find(RTA_GATEWAY));
          left -= RTNH_ALIGN(hop->rtnh_len);
          hop = RTNH_NEXT(hop);
        }
      });
}

// The records of every adapter but loopback, in interface-index order, from one rtnetlink
// socket: links, IPv4 addresses and default routes; 232 when there is none.
uint32_t QueryAdapters(std::vector<TKernelAdapter>& adapters) {
  adapters.clear();
  TNetlink netlink;
  std::vector<TLink> links;
  std::map<uint32_t, std::vector<TAddrEntry>> addresses;
  std::map<uint32_t, std::vector<TAddrEntry>> gateways;
  if (netlink.Open() != 0 || DumpLinks(netlink, links) != 0 ||
      DumpAddresses(netlink, addresses) != 0 || DumpGateways(netlink, gateways) != 0) {
    return kErrorGenFailure;
  }
  if (links.empty()) return kErrorNoData;
  std::sort(links.begin(), links.end(),
            [](const TLink& a, const TLink& b) { return a.index < b.index; });
  for (const TLink& link : links) {
    TKernelAdapter adapter;
    adapter.name = link.name;
    adapter.description = link.alias.empty() ? link.name : link.alias;
    adapter.addressLength =
        static_cast<uint32_t>(std::min<size_t>(link.address.size(), kMaxAddressLength));
    std::copy_n(link.address.begin(), adapter.addressLength, adapter.address);
    adapter.index = link.index;
    adapter.type = AdapterTypeOf(link);
    adapter.ipAddresses = addresses[link.index];
    if (adapter.ipAddresses.empty()) adapter.ipAddresses.push_back({kZeroAddress, kZeroAddress});
    adapter.gateways = gateways[link.index];
    if (adapter.gateways.empty()) adapter.gateways.push_back({kZeroAddress, kZeroAddress});
    adapters.push_back(std::move(adapter));
  }
  return 0;
}

// The IPv4 name servers of /etc/resolv.conf, the same for every adapter: the resolver has one
// list for the whole machine.
uint32_t QueryPerAdapter(uint32_t /*index*/, TPerAdapter& info) {
  info = {};
  std::ifstream resolv("/etc/resolv.conf");
  std::string line;
  while (std::getline(resolv, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    in_addr parsed{};
    if (words >> keyword >> address && keyword == "nameserver" &&
        inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
      info.dnsServers.push_back({DottedOf(&parsed), ""});
    }
  }
  return 0;
}

// ---- building the records ----

std::string TrimControls(const std::string& text) {
  auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  auto first = std::find_if_not(text.begin(), text.end(), isControl);
  auto last = std::find_if_not(text.rbegin(), text.rend(), isControl).base();
  return first < last ? std::string(first, last) : std::string();
}

// Interface names and aliases are UTF-8 bytes; a byte that starts no valid sequence
// becomes U+FFFD.
std::wstring WideOf(const std::string& text) {
  std::wstring result;
  for (size_t i = 0; i < text.size();) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned c = byte(i);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
    bool valid = extra < 4 && i + extra < text.size();
    unsigned code = extra == 0 ? c : c & (0x3Fu >> extra);
    for (size_t k = 1; valid && k <= extra; ++k) {
      valid = (byte(i + k) & 0xC0) == 0x80;
      code = code << 6 | (byte(i + k) & 0x3F);
    }
    if (!valid) {
      result += L'\uFFFD';
      ++i;
      continue;
    }
    result += static_cast<wchar_t>(code);
    i += extra + 1;
  }
  return result;
}

void TakeChain(const std::vector<TAddrEntry>& chain, int32_t& count,
               std::vector<std::string>& addresses, std::vector<std::string>* masks = nullptr) {
  for (const auto& entry : chain) {
    addresses.push_back(entry.address);
    if (masks) masks->push_back(entry.mask);
  }
  count = static_cast<int32_t>(chain.size());
}

TAdaptorInfo RecordOf(const TKernelAdapter& adapter) {
  TAdaptorInfo info;
  info.AdapterName = WideOf(TrimControls(adapter.name));
  info.Description = WideOf(TrimControls(adapter.description));
  info.HardwareAddress = MacToText(adapter.address, adapter.addressLength);
  info.AdapterIndex = adapter.index;
  info.AdapterType = adapter.type;
  info.DhcpEnabled = adapter.dhcpEnabled;
  if (adapter.current) {
    info.CurrentIpAddress = adapter.current->address;
    info.CurrentIpMask = adapter.current->mask;
  }
  TakeChain(adapter.ipAddresses, info.IpAddressCount, info.IpAddresses, &info.IpMasks);
  TakeChain(adapter.gateways, info.GatewayCount, info.Gateways);
  TakeChain(adapter.dhcpServers, info.DhcpServerCount, info.DhcpServers);
  TakeChain(adapter.primaryWins, info.PrimaryWinsCount, info.PrimaryWinsServers);
  TakeChain(adapter.secondaryWins, info.SecondaryWinsCount, info.SecondaryWinsServers);
  info.LeaseObtained = adapter.leaseObtained;
  info.LeaseExpires = adapter.leaseExpires;
  TPerAdapter perAdapter;
  if (QueryPerAdapter(adapter.index, perAdapter) == 0) {
    info.AutoconfigEnabled = perAdapter.autoconfigEnabled;
    info.AutoconfigActive = perAdapter.autoconfigActive;
    if (perAdapter.currentDns) info.CurrentDnsServer = perAdapter.currentDns->address;
    TakeChain(perAdapter.dnsServers, info.DnsServerCount, info.DnsServers);
  }
  return info;
}

}  // namespace

bool LoadIpHelper() { return true; }

std::string MacToText(const uint8_t* bytes, uint32_t length) {
  if (length == 0 || !bytes) return "00-00-00-00-00-00";
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (uint32_t i = 0; i < std::min(length, kMaxAddressLength); ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
    text += '-';
  }
  text.pop_back();
  return text;
}

uint32_t AdapterAddressList(int32_t& count, TAdaptorRows& rows) {
  return AdapterAddressList(count, rows, &QueryAdapters);
}

uint32_t AdapterAddressList(int32_t& count, TAdaptorRows& rows, TAdapterQuery query) {
  rows.clear();
  count = 0;
  if (!LoadIpHelper() || query == nullptr) return kErrorNotSupported;
  std::vector<TKernelAdapter> adapters;
  if (uint32_t code = query(adapters); code != 0) return code;
  for (const auto& adapter : adapters) rows.push_back(RecordOf(adapter));
  count = static_cast<int32_t>(rows.size());
  return 0;
}

}  // namespace netinfo
