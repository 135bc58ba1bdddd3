#pragma once

// The name step of the second pass: every name and model a device is known by, with where each
// came from, the name its host column shows, and what kind of device it is.

#include "scan/hostdetails.h"
#include "scan/upnpdescription.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace netinfo {
class TSsdpSearch;
}

namespace scan {

inline constexpr int kNameStepBudgetMs = 2000;

// What the name step found out about one device.
struct TNameFindings {
  std::string ReverseDns;  // empty when the resolver knows no name
  std::string Mdns;
  std::string Netbios;
  std::optional<TUpnpDescription> Upnp;
  std::vector<std::string> ServiceTypes;  // DNS-SD, "_ipp._tcp"
  struct TInstance {
    std::string Name, ServiceType, Model;
  };
  std::vector<TInstance> Instances;
};

// Asks everything at once, each within the deadline: the resolver (reverse DNS), the device's
// mDNS and NetBIOS names (at most 1 s of it), its DNS-SD services, and the UPnP description
// that its answer to the pass's search names (search may be null: no UPnP). With no time left,
// the resolver alone.
TNameFindings FindNames(const std::string& address, netinfo::TSsdpSearch* search,
                        std::chrono::steady_clock::time_point deadline);

// The name the host column shows, as found (not yet upper-cased): reverse DNS, the mDNS name,
// the NetBIOS name, the UPnP friendly name, the first DNS-SD instance name; empty when none.
std::string ShownName(const TNameFindings& findings);

// Every name, model and manufacturer, in the order of ShownName, with its source; the same text
// from the same source once.
std::vector<TEvidence> EvidenceOf(const TNameFindings& findings);

// What the device offers, in words, from its UPnP device type and DNS-SD service types, each
// said once: "Printing (IPP)", "Media server"; a type without words of its own by its bare name
// ("_foo._tcp" gives "foo"), never guessed into a category.
std::vector<std::string> OffersOf(const TNameFindings& findings);

// The device type that an announced service or device type names, never a guess:
// printer (DNS-SD _ipp, _ipps, _printer, _pdl-datastream), router (UPnP InternetGatewayDevice),
// TV or media player (UPnP MediaRenderer, DNS-SD _googlecast, _airplay), computer (DNS-SD
// _smb, _afpovertcp or _ssh together with a workstation record: DNS-SD _workstation or a NetBIOS
// workstation name), in this order of precedence.
TDeviceType DeviceTypeOf(const TNameFindings& findings);

}  // namespace scan
