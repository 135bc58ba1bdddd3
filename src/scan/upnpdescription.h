#pragma once

// A UPnP device's description (UPnP Device Architecture 2.0, section 2.3): the XML document its
// search answer's LOCATION names, from which the name step takes what the device says it is.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace scan {

inline constexpr size_t kMaxDescriptionBytes = 64 * 1024;
inline constexpr size_t kMaxDescriptionField = 256;  // bytes kept of one field

struct TUpnpDescription {
  std::string FriendlyName;
  std::string Manufacturer;
  std::string ModelName;
  std::string DeviceType;  // "urn:schemas-upnp-org:device:MediaRenderer:1"
  bool operator==(const TUpnpDescription&) const = default;
};

// The root device's friendlyName, manufacturer, modelName and deviceType (the children of
// root/device, namespaces aside). The document must be well-formed XML of at most 64 KiB
// without a DTD: a DOCTYPE (and with it every entity declaration) ends the reading, as does any
// error; a truncated document gives nothing. Fields are cut at 256 bytes.
std::optional<TUpnpDescription> ReadUpnpDescription(std::string_view xml);

// The URL the probe fetches for a LOCATION that the device at address sent: only an
// "http://" URL whose host is that very dotted address (any port, no user information), with
// its path; empty for anything else.
std::string DescriptionUrl(const std::string& location, const std::string& address);

// Fetches the description with the web probe's client settings within budgetMs: one exchange,
// no redirect followed, a 200 response with a body of at most 64 KiB (a longer one is not
// read). Nothing when it fails or the document cannot be read.
std::optional<TUpnpDescription> FetchUpnpDescription(const std::string& url,
                                                     const std::string& address, int32_t budgetMs);

}  // namespace scan
