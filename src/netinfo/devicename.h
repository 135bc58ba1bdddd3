#pragma once

// Names that a device gives itself, for hosts that reverse DNS does not know: its mDNS
// responder (phones, laptops, printers, TVs) and its NetBIOS name service (Windows, Samba).

#include <string>

#include "support/deadline.h"

namespace netinfo {

inline constexpr int kDeviceNameBudgetMs = 1000;
inline constexpr int kMdnsRetryMs = 500;

// Asks the device at a dotted address for its name, both ways at once, within one budget:
//  - a unicast DNS query for the PTR record of "d.c.b.a.in-addr.arpa", from an ephemeral port to
//    its port 5353 ("legacy unicast", RFC 6762 section 6.7), asked again after 500 ms;
//  - a NetBIOS node status request to its port 137 (RFC 1002 section 4.2.17).
// Only datagrams from the device's address and port, with our random id and our question,
// count. The mDNS name wins over the NetBIOS one. Returns as soon as the answer can no longer
// change (mDNS answered, or both ports refused), at the latest after the budget; empty when
// the device named itself neither way.
std::string AskDeviceName(const std::string& address, int budgetMs = kDeviceNameBudgetMs);

// Both names a device gives itself, asked as AskDeviceName does, but waiting (within the
// budget) for both answers rather than stopping at the mDNS one; empty where it gave none.
struct TOwnNames {
  std::string Mdns;
  std::string Netbios;
};
TOwnNames AskOwnNames(const std::string& address, int budgetMs = kDeviceNameBudgetMs);

// The host name of a dotted address: the reverse DNS name (LookupHostName), else the mDNS name,
// else the NetBIOS name, else the address itself. The device's own answers are awaited for at
// most one second, and never past the deadline: when it has passed, they are not asked.
std::string LookupDeviceName(const std::string& address, const support::TDeadline& deadline);
// The same with one second for the device's own answers.
std::string LookupDeviceName(const std::string& address);

}  // namespace netinfo
