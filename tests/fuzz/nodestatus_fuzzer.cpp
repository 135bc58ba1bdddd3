// Feeds arbitrary datagrams to the NetBIOS node status parser; the first two bytes double as
// the transaction id we expect. Whatever the bytes, the parser reads only inside the datagram
// (the name count is checked against it) and a name it returns is a NetBIOS name: 1 to 15
// bytes, no trailing space.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "netinfo/dnsmessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
  const std::optional<std::string> name =
      netinfo::ParseNodeStatusResponse(std::span<const uint8_t>(data, size), id);
  if (name && (name->empty() || name->size() > 15 || name->back() == ' ')) std::abort();
  return 0;
}
