#pragma once

// What a device's DNS-SD responder says it offers (RFC 6763): its service types, the instance
// names its owner gave them ("Kitchen speaker", "HP LaserJet Pro M404 [A1B2C3]") and the model
// that their TXT records name. Asked by unicast from an ephemeral port to the device's own
// mDNS port ("legacy unicast", RFC 6762 section 6.7); nothing is sent to a multicast group.

#include <chrono>
#include <string>
#include <vector>

namespace netinfo {

inline constexpr size_t kMaxServiceTypes = 16;
inline constexpr size_t kMaxServiceInstances = 32;

struct TServiceInstance {
  std::string Name;         // the instance label, escapes undone
  std::string ServiceType;  // "_ipp._tcp"
  std::string Model;        // TXT "model", else "ty", else "md"; empty when none
};

struct TDnsSdFindings {
  std::vector<std::string> ServiceTypes;  // "_ipp._tcp", in the order listed
  std::vector<TServiceInstance> Instances;
};

// Asks the device at a dotted address for the PTR records of "_services._dns-sd._udp.local"
// (RFC 6763 section 9), then the PTR records of each listed type (at most 16) for its
// instances (at most 32 in all), then each instance's TXT record; each round asked once more
// after 400 ms when unanswered, the first one given at most 1 s (a responder without services
// never answers it). Only answers from the device's address and port with the id and question
// of one of our queries count. Returns what it has at the deadline, or as soon as the port is
// refused or every question is answered.
TDnsSdFindings AskDnsSd(const std::string& address, std::chrono::steady_clock::time_point deadline);

// The model a service's TXT strings name: "model=", else "ty=" (what IPP printers announce as
// their make and model), else "md=" (Cast devices); keys in any case (RFC 6763 section 6.4).
std::string ModelOf(const std::vector<std::string>& txtStrings);

}  // namespace netinfo
