// Runs netinfo calls inside a lab namespace (through `ip netns exec`, so that the
// namespace's own /etc/hosts, /etc/resolv.conf and /sys apply) and prints the results:
//   qz_netinfo_helper lookup <address>...   "<address> <LookupHostName(address)>" per line
//   qz_netinfo_helper adapters              "<name> <type> <mac> dns=<servers>" per adapter
#include "netinfo/adapters.h"
#include "netinfo/ipaddress.h"

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "lookup") {
    for (int i = 2; i < argc; ++i) {
      std::printf("%s %s\n", argv[i], netinfo::LookupHostName(argv[i]).c_str());
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
  std::fprintf(stderr, "usage: %s lookup <address>... | adapters\n", argv[0]);
  return 2;
}
