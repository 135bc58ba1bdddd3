#pragma once

// Which of the names a device gives for itself tell it apart from other devices, so that the
// same device under a new private (locally administered) MAC is known again. The rules are
// strict: a false link is worse than a missed one.

#include <string>
#include <string_view>
#include <vector>

#include "scan/hostdetails.h"

namespace app {

// A name the device gave for itself, in words, and the name as names are compared.
struct TDeviceName {
  std::string Text;    // cleaned, as shown
  std::string Source;  // one of the identifying sources
  std::string Key;     // NameKey(Text)
  bool operator==(const TDeviceName&) const = default;
};

// At most this many names are kept per device.
inline constexpr size_t kMaxDeviceNames = 4;

// A name as names are compared: cleaned, white space collapsed, case-folded, a trailing dot
// and ".local" dropped. Empty for a name too short to tell a device by (under 3 characters).
std::string NameKey(std::string_view name);

// Whether a name from source is the device's own choice of name: mDNS host name, DNS-SD instance
// name, NetBIOS name and UPnP friendly name are; reverse DNS is not (a router hands those out
// by address).
bool IsIdentifyingSource(std::string_view source);

// Whether a name key is a product's default name, the same on every device of its kind:
// "iphone", "android", "raspberrypi", "esp_1a2b3c", "iphone (2)" and the like.
bool IsProductDefault(std::string_view key);

// The names in a device's evidence that may tell it apart: from identifying sources, neither a
// product default nor the device's own model or manufacturer (UPnP or DNS-SD); each key once,
// at most kMaxDeviceNames.
std::vector<TDeviceName> IdentifyingNames(const std::vector<scan::TEvidence>& evidence);

}  // namespace app
