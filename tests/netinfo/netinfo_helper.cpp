// Runs netinfo calls inside a lab namespace (through `ip netns exec`, so that the
// namespace's own /etc/hosts, /etc/resolv.conf and /sys apply) and prints the results:
//   qz_netinfo_helper lookup <address>...   "<address> <LookupHostName(address)>" per line
//   qz_netinfo_helper adapters              "<name> <type> <mac> dns=<servers>" per adapter
//   qz_netinfo_helper arp <address>...      "<raw|kernel> <address> <result> <mac>" per line
//   qz_netinfo_helper devicename <address>...  "<address> <LookupDeviceName(address)> <ms>"
#include "netinfo/adapters.h"
#include "netinfo/arp.h"
#include "netinfo/devicename.h"
#include "netinfo/ipaddress.h"
#include "platform/privileges.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  // As the program does: raw ARP through the helper when it has the capability, and no
  // capability kept here.
  netinfo::StartArpHelper(QZ_ARP_HELPER_PATH);
  if (!platform::DropCapabilities()) return 3;
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "lookup") {
    for (int i = 2; i < argc; ++i) {
      std::printf("%s %s\n", argv[i], netinfo::LookupHostName(argv[i]).c_str());
    }
    return 0;
  }
  if (mode == "devicename") {
    for (int i = 2; i < argc; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::string name = netinfo::LookupDeviceName(argv[i]);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      std::printf("%s %s %lld\n", argv[i], name.c_str(), static_cast<long long>(ms));
    }
    return 0;
  }
  if (mode == "adapters") {
    int32_t count = 0;
    netinfo::TAdaptorRows rows;
    uint32_t code = netinfo::AdapterAddressList(count, rows);
    for (const auto& row : rows) {
      std::string dns;
      for (int32_t i = 0; i < row.DnsServerCount; ++i) dns += (i ? "," : "") + row.DnsServers[i];
      std::printf("%s %u %s dns=%s\n", Narrow(row.AdapterName).c_str(), row.AdapterType,
                  row.HardwareAddress.c_str(), dns.c_str());
    }
    return static_cast<int>(code);
  }
  if (mode == "arp") {
    const char* modeName = netinfo::CurrentArpMode() == netinfo::TArpMode::Raw ? "raw" : "kernel";
    for (int i = 2; i < argc; ++i) {
      uint8_t mac[6] = {};
      uint32_t length = sizeof mac;
      uint32_t code = netinfo::SendArp(inet_addr(argv[i]), 0, mac, &length);
      std::printf("%s %s %u %s\n", modeName, argv[i], code,
                  code == 0 ? netinfo::MacToText(mac, length).c_str() : "-");
    }
    return 0;
  }
  std::fprintf(stderr, "usage: %s lookup <address>... | adapters | arp <address>...\n", argv[0]);
  return 2;
}
