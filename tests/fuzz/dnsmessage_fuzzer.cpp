// Feeds arbitrary datagrams to the DNS message reader and the PTR and TXT answer parsers. The
// first two bytes double as the transaction id we expect, so the fuzzer reaches past the header
// check.
// Whatever the bytes, no read may leave the datagram, no name may exceed the wire limit and
// every call must end (a compression loop would hang the target and fail the run).

#include <cstdint>
#include <cstdlib>
#include <span>

#include "netinfo/dnsmessage.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> datagram(data, size);
  // A name read from any offset: at most 255 wire bytes, each escaped at most once.
  for (size_t offset = 0; offset < size && offset < 64; ++offset) {
    netinfo::TDnsReader reader(datagram);
    reader.Skip(offset);
    const std::optional<std::string> name = reader.ReadName();
    if (name) {
      Check(name->size() <= 2 * netinfo::kMaxDnsName);
      Check(reader.Offset() > offset && reader.Offset() <= size);
    } else {
      Check(reader.Offset() == offset);
    }
  }
  const uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
  const std::optional<std::string> target =
      netinfo::ParsePtrResponse(datagram, id, "20.1.168.192.in-addr.arpa");
  if (target) Check(!target->empty() && target->size() <= 2 * netinfo::kMaxDnsName);
  // The DNS-SD readers: a bounded number of items, each a bounded name or TXT string.
  for (const uint16_t type : {netinfo::kDnsTypePtr, netinfo::kDnsTypeTxt}) {
    const auto items = netinfo::ParseAnswers(datagram, id, "_ipp._tcp.local", type, 32);
    if (!items) continue;
    Check(items->size() <= 32);
    for (const std::string& item : *items)
      Check(!item.empty() && item.size() <= 2 * netinfo::kMaxDnsName);
  }
  return 0;
}
