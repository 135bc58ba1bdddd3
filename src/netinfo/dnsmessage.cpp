#include "netinfo/dnsmessage.h"

#include <arpa/inet.h>

namespace netinfo {

namespace {

constexpr uint16_t kTypePtr = kDnsTypePtr;
constexpr uint16_t kTypeNbstat = 0x21;
constexpr uint16_t kClassIn = 1;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kOpcodeMask = 0x7800;
constexpr uint16_t kRcodeMask = 0x000F;
// mDNS uses the top bit of a class: cache flush in records, unicast wanted in questions
// (RFC 6762 sections 10.2 and 5.4).
constexpr uint16_t kClassMask = 0x7FFF;
constexpr uint16_t kNetbiosGroupFlag = 0x8000;
constexpr size_t kNodeNameEntry = 18;  // 15 name bytes, the suffix, two flag bytes
constexpr size_t kNetbiosNameLength = 15;

// "*" padded with zero bytes to 16, in the first-level encoding of RFC 1001 section 14.1:
// each half byte becomes a letter from 'A'.
constexpr std::string_view kWildcardEncoded = "CKAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

struct THeader {
  uint16_t id = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
};

// The header of a response to our query: our id, the response bit, a standard query, no error.
std::optional<THeader> ReadResponseHeader(TDnsReader& reader, uint16_t id) {
  THeader h;
  if (!reader.ReadU16(h.id) || !reader.ReadU16(h.flags) || !reader.ReadU16(h.questions) ||
      !reader.ReadU16(h.answers) || !reader.ReadU16(h.authorities) ||
      !reader.ReadU16(h.additionals)) {
    return std::nullopt;
  }
  if (h.id != id || (h.flags & kFlagResponse) == 0 || (h.flags & kOpcodeMask) != 0 ||
      (h.flags & kRcodeMask) != 0) {
    return std::nullopt;
  }
  return h;
}

struct TRecordHead {
  std::string name;
  uint16_t type = 0, klass = 0;
  uint16_t dataLength = 0;
};

// A resource record's fixed part; the cursor is left at its data, which lies inside the datagram.
std::optional<TRecordHead> ReadRecordHead(TDnsReader& reader) {
  TRecordHead head;
  std::optional<std::string> name = reader.ReadName();
  uint32_t ttl = 0;
  if (!name || !reader.ReadU16(head.type) || !reader.ReadU16(head.klass) || !reader.ReadU32(ttl) ||
      !reader.ReadU16(head.dataLength) || head.dataLength > reader.Left()) {
    return std::nullopt;
  }
  head.name = std::move(*name);
  return head;
}

}  // namespace

bool TDnsReader::ReadU8(uint8_t& value) {
  if (Left() < 1) return false;
  value = m_message[m_offset++];
  return true;
}

bool TDnsReader::ReadU16(uint16_t& value) {
  if (Left() < 2) return false;
  value = static_cast<uint16_t>(m_message[m_offset] << 8 | m_message[m_offset + 1]);
  m_offset += 2;
  return true;
}

bool TDnsReader::ReadU32(uint32_t& value) {
  uint16_t high = 0, low = 0;
  if (Left() < 4) return false;
  ReadU16(high);
  ReadU16(low);
  value = static_cast<uint32_t>(high) << 16 | low;
  return true;
}

bool TDnsReader::Skip(size_t count) {
  if (Left() < count) return false;
  m_offset += count;
  return true;
}

std::optional<std::string> TDnsReader::ReadName() {
  // RFC 1035 section 4.1.4. A pointer must lead before the place where the current run of
  // labels began, so every jump goes further back and no chain of pointers can loop; the count
  // bounds the work for a long backward chain as well.
  std::string text;
  size_t position = m_offset;
  size_t runStart = m_offset;
  size_t end = 0;         // where the name's own bytes end, once a pointer or the root label is met
  size_t wireLength = 1;  // the root label
  int pointers = 0;
  for (;;) {
    if (position >= m_message.size()) return std::nullopt;
    const uint8_t length = m_message[position];
    if ((length & 0xC0) == 0xC0) {
      if (position + 1 >= m_message.size() || ++pointers > kMaxCompressionPointers)
        return std::nullopt;
      const size_t target = static_cast<size_t>(length & 0x3F) << 8 | m_message[position + 1];
      if (target >= runStart) return std::nullopt;
      if (end == 0) end = position + 2;
      position = runStart = target;
      continue;
    }
    if ((length & 0xC0) != 0) return std::nullopt;  // the extended label types are not used
    if (length == 0) {
      if (end == 0) end = position + 1;
      break;
    }
    wireLength += 1 + length;
    if (wireLength > kMaxDnsName || length >= m_message.size() - position) return std::nullopt;
    if (!text.empty()) text += '.';  // every label adds at least one character
    for (size_t i = position + 1; i <= position + length; ++i) {
      const char c = static_cast<char>(m_message[i]);
      if (c == '.' || c == '\\') text += '\\';
      text += c;
    }
    position += 1 + length;
  }
  m_offset = end;
  return text;
}

std::string ReverseName(const std::string& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return {};
  const auto* octets = reinterpret_cast<const uint8_t*>(&parsed.s_addr);
  return std::to_string(octets[3]) + "." + std::to_string(octets[2]) + "." +
         std::to_string(octets[1]) + "." + std::to_string(octets[0]) + ".in-addr.arpa";
}

std::vector<uint8_t> BuildPtrQuery(uint16_t id, const std::string& name) {
  return BuildQuery(id, name, kTypePtr);
}

std::vector<uint8_t> BuildQuery(uint16_t id, const std::string& name, uint16_t type) {
  std::vector<uint8_t> out;
  PutU16(out, id);
  for (uint16_t field : {0, 1, 0, 0, 0}) PutU16(out, field);  // flags, one question, no records
  std::string label;
  const auto putLabel = [&] {
    const size_t length = std::min<size_t>(label.size(), 63);
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), label.begin(), label.begin() + static_cast<ptrdiff_t>(length));
    label.clear();
  };
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      label += name[++i];
    } else if (name[i] == '.') {
      putLabel();
    } else {
      label += name[i];
    }
  }
  if (!label.empty()) putLabel();
  out.push_back(0);
  PutU16(out, type);
  PutU16(out, kClassIn);
  return out;
}

namespace {

// The header and question of a response to our query, leaving the reader at the answers; the
// answer count, or nothing. A legacy unicast answer repeats the question (RFC 6762 section
// 6.7): exactly ours.
std::optional<uint16_t> ReadOurQuestion(TDnsReader& reader, uint16_t id, std::string_view question,
                                        uint16_t wantedType) {
  const std::optional<THeader> header = ReadResponseHeader(reader, id);
  if (!header || header->questions != 1) return std::nullopt;
  const std::optional<std::string> asked = reader.ReadName();
  uint16_t type = 0, klass = 0;
  if (!asked || !reader.ReadU16(type) || !reader.ReadU16(klass)) return std::nullopt;
  if (!SameIgnoringAsciiCase(*asked, question) || type != wantedType ||
      (klass & kClassMask) != kClassIn) {
    return std::nullopt;
  }
  return header->answers;
}

// The character-strings of TXT data (RFC 1035 section 3.3.14), each length within the data.
bool ReadTxtStrings(TDnsReader& data, size_t end, std::vector<std::string>& out,
                    size_t maxRecords) {
  while (data.Offset() < end && out.size() < maxRecords) {
    uint8_t length = 0;
    if (!data.ReadU8(length) || length > end - data.Offset()) return false;
    std::string text;
    for (uint8_t i = 0; i < length; ++i) {
      uint8_t c = 0;
      data.ReadU8(c);
      text += static_cast<char>(c);
    }
    if (!text.empty()) out.push_back(std::move(text));
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> ParseAnswers(std::span<const uint8_t> datagram, uint16_t id,
                                                     std::string_view question, uint16_t type,
                                                     size_t maxRecords) {
  TDnsReader reader(datagram);
  const std::optional<uint16_t> answers = ReadOurQuestion(reader, id, question, type);
  if (!answers) return std::nullopt;
  std::vector<std::string> out;
  for (uint16_t i = 0; i < *answers && out.size() < maxRecords; ++i) {
    const std::optional<TRecordHead> record = ReadRecordHead(reader);
    if (!record) return std::nullopt;
    const size_t dataStart = reader.Offset();
    const size_t dataEnd = dataStart + record->dataLength;
    if (record->type == type && (record->klass & kClassMask) == kClassIn &&
        SameIgnoringAsciiCase(record->name, question)) {
      // What a record holds must lie inside its own data.
      TDnsReader data(datagram.first(dataEnd));
      data.Skip(dataStart);
      if (type == kTypePtr) {
        std::optional<std::string> target = data.ReadName();
        if (!target || target->empty()) return std::nullopt;
        out.push_back(std::move(*target));
      } else if (!ReadTxtStrings(data, dataEnd, out, maxRecords)) {
        return std::nullopt;
      }
    }
    reader.Skip(record->dataLength);
  }
  return out;
}

std::string FirstLabel(std::string_view name) {
  std::string label;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      label += name[++i];
    } else if (name[i] == '.') {
      break;
    } else {
      label += name[i];
    }
  }
  return label;
}

std::optional<std::string> ParsePtrResponse(std::span<const uint8_t> datagram, uint16_t id,
                                            std::string_view question) {
  std::optional<std::vector<std::string>> targets =
      ParseAnswers(datagram, id, question, kTypePtr, 1);
  if (!targets || targets->empty()) return std::nullopt;
  return std::move(targets->front());
}

std::vector<uint8_t> BuildNodeStatusRequest(uint16_t id) {
  std::vector<uint8_t> out;
  PutU16(out, id);
  for (uint16_t field : {0, 1, 0, 0, 0}) PutU16(out, field);
  out.push_back(static_cast<uint8_t>(kWildcardEncoded.size()));
  out.insert(out.end(), kWildcardEncoded.begin(), kWildcardEncoded.end());
  out.push_back(0);
  PutU16(out, kTypeNbstat);
  PutU16(out, kClassIn);
  return out;
}

std::optional<std::string> ParseNodeStatusResponse(std::span<const uint8_t> datagram, uint16_t id) {
  // RFC 1002 section 4.2.18: no question section, one answer for the name we asked about.
  TDnsReader reader(datagram);
  const std::optional<THeader> header = ReadResponseHeader(reader, id);
  if (!header || header->questions != 0 || header->answers < 1) return std::nullopt;
  const std::optional<TRecordHead> record = ReadRecordHead(reader);
  if (!record || record->type != kTypeNbstat || record->klass != kClassIn ||
      !SameIgnoringAsciiCase(record->name, kWildcardEncoded)) {
    return std::nullopt;
  }
  uint8_t count = 0;
  if (record->dataLength < 1 || !reader.ReadU8(count)) return std::nullopt;
  if (static_cast<size_t>(count) * kNodeNameEntry > record->dataLength - 1u) return std::nullopt;
  const size_t first = reader.Offset();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = datagram.data() + first + i * kNodeNameEntry;
    const uint8_t suffix = entry[kNetbiosNameLength];
    const uint16_t flags =
        static_cast<uint16_t>(entry[kNetbiosNameLength + 1] << 8 | entry[kNetbiosNameLength + 2]);
    if (suffix != 0x00 || (flags & kNetbiosGroupFlag) != 0) continue;
    std::string name(reinterpret_cast<const char*>(entry), kNetbiosNameLength);
    name.erase(name.find_last_not_of(' ') + 1);
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

}  // namespace netinfo
