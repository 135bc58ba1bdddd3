#pragma once

// The two small datagram formats with which quenZOR asks a device for its own name: a DNS
// query for the reverse PTR record (sent to the device's mDNS responder, RFC 6762 section 6.7
// "legacy unicast") and a NetBIOS node status request (RFC 1002 section 4.2.17). Both readers
// take datagrams from the network as they come: every length is checked against the datagram,
// compression pointers lead only backwards and a bounded number of times, and a name is at most
// 255 bytes, so no datagram can make them read outside it, loop or grow without bound.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace netinfo {

inline constexpr uint16_t kMdnsPort = 5353;
inline constexpr uint16_t kNetbiosNamePort = 137;
inline constexpr size_t kMaxDnsName = 255;          // wire bytes of a name, RFC 1035 2.3.4
inline constexpr int kMaxCompressionPointers = 16;  // per name; real names need two or three

// Reads a DNS message from a cursor; every read fails (returns false or nothing) rather than
// pass the end of the message.
class TDnsReader {
 public:
  explicit TDnsReader(std::span<const uint8_t> message) : m_message(message) {}

  bool ReadU8(uint8_t& value);
  bool ReadU16(uint16_t& value);
  bool ReadU32(uint32_t& value);
  bool Skip(size_t count);
  size_t Offset() const { return m_offset; }
  size_t Left() const { return m_message.size() - m_offset; }

  // The name at the cursor in presentation form: labels joined by ".", no trailing dot, the
  // root as the empty text; a "." or "\" inside a label is escaped with "\", so two different
  // names never read the same. Moves the cursor past the name's own bytes (a pointer ends it).
  std::optional<std::string> ReadName();

 private:
  std::span<const uint8_t> m_message;
  size_t m_offset = 0;
};

// "d.c.b.a.in-addr.arpa" for the dotted address "a.b.c.d"; empty for text that is no address.
std::string ReverseName(const std::string& address);

// A standard query (no recursion wanted) with one question: the PTR record of `name`.
std::vector<uint8_t> BuildPtrQuery(uint16_t id, const std::string& name);

// The name that a response to our PTR query gives: the response must carry our id, no error,
// exactly our question (name ignoring ASCII case, type PTR, class IN; mDNS's cache-flush and
// unicast bits are ignored) and an answer record of that name, type and class. The first such
// record's target counts; nothing when there is none or the datagram is malformed.
std::optional<std::string> ParsePtrResponse(std::span<const uint8_t> datagram, uint16_t id,
                                            std::string_view question);

inline constexpr uint16_t kDnsTypePtr = 12;
inline constexpr uint16_t kDnsTypeTxt = 16;

// A standard query (no recursion wanted) with one question: `type` records of `name`, a name in
// presentation form whose labels may hold "\." and "\\" escapes (as TDnsReader gives them).
std::vector<uint8_t> BuildQuery(uint16_t id, const std::string& name, uint16_t type);

// The data of the answer records that a response to our query gives (id, question and answer
// records checked as for ParsePtrResponse, with the given type): for PTR each target name, for
// TXT each character-string of each record. At most maxRecords items; nothing when the
// datagram is malformed or not such a response.
std::optional<std::vector<std::string>> ParseAnswers(std::span<const uint8_t> datagram, uint16_t id,
                                                     std::string_view question, uint16_t type,
                                                     size_t maxRecords);

// The first label of a name in presentation form, its escapes undone ("Kitchen\.1._x._tcp.local"
// gives "Kitchen.1").
std::string FirstLabel(std::string_view name);

// A NetBIOS node status request for the wildcard name "*".
std::vector<uint8_t> BuildNodeStatusRequest(uint16_t id);

// The device's name from a node status response to our request: our id, no error, an answer
// for the wildcard name of type NBSTAT whose name count fits its data; the first unique (not
// group) name with suffix 0x00, trailing spaces removed. Nothing when there is none.
std::optional<std::string> ParseNodeStatusResponse(std::span<const uint8_t> datagram, uint16_t id);

}  // namespace netinfo
