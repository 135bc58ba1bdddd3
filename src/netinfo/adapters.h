#pragma once

// The local network adapters with their IPv4 addresses and masks, one record per adapter.
//
// The records come from rtnetlink (links, IPv4 addresses in the kernel's own order, default
// routes for the gateways) and /etc/resolv.conf (DNS servers). Every interface but loopback
// is listed, in interface-index order. Adapter types are the IANA interface type numbers
// (IANAifType-MIB): 6 ethernetCsmacd, 71 ieee80211, 24 softwareLoopback, 1 other.

#include <cstdint>
#include <string>
#include <vector>

namespace netinfo {

inline constexpr uint32_t kAdapterTypeOther = 1;
inline constexpr uint32_t kAdapterTypeEthernet = 6;
inline constexpr uint32_t kAdapterTypeLoopback = 24;
inline constexpr uint32_t kAdapterTypeWireless = 71;

inline constexpr uint32_t kErrorNotSupported = 50;  // no way to query the adapters
inline constexpr uint32_t kErrorNoData = 232;       // no adapter at all

struct TAdaptorInfo {
  std::wstring AdapterName;
  std::wstring Description;
  std::string HardwareAddress;
  uint32_t AdapterIndex = 0;
  uint32_t AdapterType = 0;
  uint32_t DhcpEnabled = 0;
  std::string CurrentIpAddress = "  0.  0.  0.  0";
  std::string CurrentIpMask = "  0.  0.  0.  0";
  int32_t IpAddressCount = 0;
  std::vector<std::string> IpAddresses;
  std::vector<std::string> IpMasks;
  int32_t GatewayCount = 0;
  std::vector<std::string> Gateways;
  int32_t DhcpServerCount = 0;
  std::vector<std::string> DhcpServers;
  int32_t PrimaryWinsCount = 0;
  std::vector<std::string> PrimaryWinsServers;
  int32_t SecondaryWinsCount = 0;
  std::vector<std::string> SecondaryWinsServers;
  int32_t LeaseObtained = 0;
  int32_t LeaseExpires = 0;
  uint32_t AutoconfigEnabled = 0;
  uint32_t AutoconfigActive = 0;
  std::string CurrentDnsServer;
  int32_t DnsServerCount = 0;
  std::vector<std::string> DnsServers;
};

using TAdaptorRows = std::vector<TAdaptorInfo>;

// Fills rows with one record per adapter and count with their number; returns 0, or an
// error code with count 0 and rows empty (232 when there is no adapter).
uint32_t AdapterAddressList(int32_t& count, TAdaptorRows& rows);

// The adapter query needs no library on Linux: always true.
bool LoadIpHelper();

// "00-1A-2B-3C-4D-5E": the first length bytes (at most 8), upper-case hex joined by "-";
// "00-00-00-00-00-00" for length 0.
std::string MacToText(const uint8_t* bytes, uint32_t length);

// The kernel's records of the adapters, before they become rows (defined in adapters.cpp).
struct TKernelAdapter;
// Fills adapters with the records of every adapter but loopback, in interface-index order;
// returns 0, or an error code (232 when there is no adapter).
using TAdapterQuery = uint32_t (*)(std::vector<TKernelAdapter>& adapters);
// AdapterAddressList with the query replaced: lets a test make the query fail, which the
// kernel does not do on demand.
uint32_t AdapterAddressList(int32_t& count, TAdaptorRows& rows, TAdapterQuery query);

}  // namespace netinfo
