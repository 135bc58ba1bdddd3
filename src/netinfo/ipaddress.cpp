#include "netinfo/ipaddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <optional>
#include <vector>

namespace netinfo {
namespace {

std::optional<int> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// Hexadecimal digits as a 32-bit pattern; more than eight significant digits don't fit.
std::optional<uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    auto digit = HexDigit(c);
    if (!digit || value > 0x0FFFFFFFu) return std::nullopt;
    value = (value << 4) | static_cast<uint32_t>(*digit);
  }
  return value;
}

// Decimal digits; the magnitude may reach 2^31 only for a negative number.
std::optional<uint32_t> ParseDecimal(std::string_view digits, bool negative) {
  if (digits.empty()) return std::nullopt;
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// One part of a dotted text as a signed 32-bit number, 0 when it does not convert.
int64_t ConvertPart(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string_view rest = text.substr(i);
  std::optional<uint32_t> magnitude;
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    magnitude = ParseHex(rest.substr(1));
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    magnitude = ParseHex(rest.substr(2));
  } else {
    magnitude = ParseDecimal(rest, negative);
  }
  if (!magnitude) return 0;
  // Hexadecimal patterns 80000000..FFFFFFFF are negative; negation wraps in 32 bits.
  uint32_t pattern = negative ? 0u - *magnitude : *magnitude;
  return static_cast<int32_t>(pattern);
}

uint8_t Octet(uint32_t octetOrder, int k) { return static_cast<uint8_t>(octetOrder >> (8 * k)); }

}  // namespace

uint32_t ParseDotted(std::string_view text) {
  std::array<std::string, 4> parts;
  size_t dots = 0;
  for (char c : text) {
    if (c == '.') {
      if (++dots == 5) throw ERangeError();
      continue;
    }
    if (dots == 4) throw ERangeError();
    parts[dots] += c;
  }
  uint32_t result = 0;
  for (int k = 0; k < 4; ++k) {
    int64_t value = ConvertPart(parts[static_cast<size_t>(k)]);
    if (value < 0 || value > 255) throw ERangeError();
    result |= static_cast<uint32_t>(value) << (8 * k);
  }
  return result;
}

uint32_t BytesToHostOrder(uint32_t octetOrder) {
  return static_cast<uint32_t>(Octet(octetOrder, 0)) << 24 |
         static_cast<uint32_t>(Octet(octetOrder, 1)) << 16 |
         static_cast<uint32_t>(Octet(octetOrder, 2)) << 8 | Octet(octetOrder, 3);
}

uint32_t SwapOctets(uint32_t hostOrder) { return BytesToHostOrder(hostOrder); }

std::string FormatDotted(uint32_t octetOrder) {
  return std::to_string(Octet(octetOrder, 0)) + "." + std::to_string(Octet(octetOrder, 1)) + "." +
         std::to_string(Octet(octetOrder, 2)) + "." + std::to_string(Octet(octetOrder, 3));
}

std::string FirstHostAddress(const std::string& address, const std::string& mask) {
  uint32_t a = ParseDotted(address);
  uint32_t m = ParseDotted(mask);
  uint32_t x = static_cast<uint32_t>(Octet(a, 3) & Octet(m, 3));
  if (x == 255) throw ERangeError();
  return FormatDotted((a & 0x00FFFFFFu) | (x + 1) << 24);
}

namespace {

// The name getnameinfo finds, and its return code: 0 with a name, EAI_NONAME when the
// resolver says the address has none, another EAI_ code for a failure that may pass (a
// server that did not answer: EAI_AGAIN; a local error: EAI_SYSTEM).
std::string NameByGetnameinfo(in_addr_t address, int& code) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = address;
  char host[260] = {};
  char service[260] = {};
  // NI_NAMEREQD: a name or nothing, never the numeric form in its place.
  code = getnameinfo(reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress, host,
                     sizeof host, service, sizeof service, NI_NAMEREQD);
  return code == 0 ? host : "";
}

std::string NameByGethostbyaddr(in_addr_t address) {
  // The reentrant form: many workers resolve at once. Its buffer grows while it is too small.
  std::vector<char> buffer(1024);
  for (;;) {
    hostent entry{};
    hostent* result = nullptr;
    int hostError = 0;
    int rc = gethostbyaddr_r(&address, sizeof address, AF_INET, &entry, buffer.data(),
                             buffer.size(), &result, &hostError);
    if (rc == ERANGE && buffer.size() < 1024 * 1024) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !result || !result->h_name) return "";
    return result->h_name;
  }
}

}  // namespace

std::string LookupHostName(const std::string& address) {
  in_addr_t n = inet_addr(address.c_str());
  // Text that is no address reads as INADDR_NONE, which has no name: it comes back as it
  // is, without asking a resolver about 255.255.255.255.
  if (n == INADDR_NONE && address != "255.255.255.255") return address;
  int code = 0;
  std::string name = NameByGetnameinfo(n, code);
  // "No such name" is the resolver's final word: asking again for the same PTR record would
  // only double the wait on a slow server. A failure that may pass is asked once more.
  if (name.empty() && code != EAI_NONAME) name = NameByGethostbyaddr(n);
  if (name.empty()) name = address;
  return name;
}

}  // namespace netinfo
