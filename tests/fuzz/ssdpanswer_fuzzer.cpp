// Feeds arbitrary datagrams to the SSDP answer reader, and what it finds to the check that
// decides whether a LOCATION leads to the answering device. A LOCATION is never longer than
// its bound, never empty, and a URL that passes the check names exactly the device's address.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "netinfo/ssdp.h"
#include "scan/upnpdescription.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<std::string> location =
      netinfo::ParseSsdpAnswer(std::span<const uint8_t>(data, size));
  if (!location) return 0;
  Check(!location->empty() && location->size() <= netinfo::kMaxSsdpLocation);
  const std::string address = "192.168.1.20";
  const std::string url = scan::DescriptionUrl(*location, address);
  if (url.empty()) return 0;
  const std::string prefix = "http://" + address;
  Check(url.starts_with(prefix));
  Check(url[prefix.size()] == '/' || url[prefix.size()] == ':');
  Check(url.find('@') == std::string::npos || url.find('@') > url.find('/', prefix.size()));
  return 0;
}
