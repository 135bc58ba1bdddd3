#pragma once

#include <string>
#include <vector>

namespace scan {

// Where a name, model or vendor shown for a device came from, in the words its tooltip uses.
inline constexpr const char* kSourceReverseDns = "reverse DNS";
inline constexpr const char* kSourceMdns = "mDNS";
inline constexpr const char* kSourceNetBios = "NetBIOS";
inline constexpr const char* kSourceUpnp = "UPnP";
inline constexpr const char* kSourceDnsSd = "DNS-SD";
inline constexpr const char* kSourceIeee = "IEEE registry";

// One thing a device said about itself: a name, a model or a manufacturer, and who said it.
struct TEvidence {
  std::string What;    // "Name", "Model", "Manufacturer"
  std::string Text;    // as the device sent it; cleaned where it is stored
  std::string Source;  // one of the kSource texts
  bool operator==(const TEvidence&) const = default;
};

// What a device is, where a service or device type it announced says so; None without such
// evidence (never guessed from the vendor).
enum class TDeviceType { None, Printer, MediaPlayer, Router, Computer };

// What a worker learned about a device beyond the five texts of its report.
struct THostDetails {
  // Another MAC that answered ARP for the same address within the deadline (raw mode sees
  // it), formatted as the report's MAC; empty when only one answered.
  std::string OtherMac;
  // How many different MACs answered for the address, when the way of asking counted them
  // (0: not counted).
  uint16_t MacCount = 0;
  // Every name and model found for the device, in the order of the name step.
  std::vector<TEvidence> Evidence;
  TDeviceType DeviceType = TDeviceType::None;
  // What the device offers, in words ("Printing (IPP)"), from the types it announced.
  std::vector<std::string> Offers;
  bool operator==(const THostDetails&) const = default;
};

}  // namespace scan
