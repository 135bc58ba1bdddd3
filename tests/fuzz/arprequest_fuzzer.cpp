// Feeds arbitrary messages to the raw-ARP helper's request reader, as anyone who starts the
// helper could send them. A message is taken only when it is exactly one well-formed request,
// which then reads back as the very bytes it came from; anything else is refused, and the id
// reported for the refusal never comes from past the message.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arpwire/protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  arpwire::TRequest request;
  if (arpwire::ParseRequest(data, size, request)) {
    Check(size == sizeof request);
    Check(std::memcmp(&request, data, size) == 0);
    Check(request.magic == arpwire::kMagic && request.version == arpwire::kVersion);
    Check(request.id != 0 && request.ifIndex != 0 && request.target != 0);
  } else {
    const uint32_t id = arpwire::IdOfMalformed(data, size);
    if (size < 12) Check(id == 0);
  }
  arpwire::TAnswer answer;
  if (arpwire::ParseAnswer(data, size, answer)) Check(size == sizeof answer);
  return 0;
}
