#pragma once

// IPv4 addresses in three forms: dotted text ("192.168.1.20"); the octet-order value (the
// first octet in the least significant byte, i.e. network byte order read as a
// little-endian number, as inet_addr gives it); and the host-order number (first octet in
// the most significant byte), which counts up from one address to the next.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace netinfo {

// An octet or index outside its range.
class ERangeError : public std::runtime_error {
 public:
  ERangeError() : std::runtime_error("Range check error") {}
};

// Dotted text to an octet-order value. Missing parts are 0; at most four "." are accepted
// and nothing may follow the fourth. Each part converts as a signed 32-bit number (leading
// blanks skipped, optional sign, decimal, or hexadecimal after "$", "x", "X", "0x", "0X");
// a part that does not convert is 0. Throws ERangeError for an octet outside 0..255.
uint32_t ParseDotted(std::string_view text);

uint32_t BytesToHostOrder(uint32_t octetOrder);
uint32_t SwapOctets(uint32_t hostOrder);
std::string FormatDotted(uint32_t octetOrder);

// The first address of the sweep for an adapter address: its first three octets, then
// (fourth octet AND the mask's fourth octet) + 1. Throws ERangeError when that AND is 255.
std::string FirstHostAddress(const std::string& address, const std::string& mask);

// Reverse lookup of a dotted address: the name the resolver requires to exist
// (getnameinfo with NI_NAMEREQD), else the address text itself. Only when getnameinfo failed
// in a way that may pass (not when the resolver said there is no name) is the official name
// from gethostbyaddr_r asked for once more. Thread-safe; blocks for as long as the resolver
// takes.
std::string LookupHostName(const std::string& address);

}  // namespace netinfo
