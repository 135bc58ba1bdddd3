#include "http/urlutil.h"

#include <time.h>

#include <algorithm>
#include <limits>

#include "http/stream.h"

namespace http {

namespace {

bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Hexadecimal digits of any count, leading zeros included, with a value up to limit.
bool ParseHexUpTo(const std::string& text, uint64_t limit, uint64_t& value) {
  if (text.empty()) {
    return false;
  }
  value = 0;
  for (char c : text) {
    int digit = HexDigitValue(c);
    if (digit < 0) {
      return false;
    }
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > limit) {
      return false;
    }
  }
  return true;
}

bool IsOctetField(const std::string& field) {
  if (field.empty()) {
    return false;
  }
  unsigned value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) {
      return false;
    }
  }
  return true;
}

bool IsGroupField(const std::string& field) {
  uint64_t value = 0;
  return ParseHexUpTo(field, 0xFFFF, value);
}

// The last group may carry a zone suffix, "%" and a number (RFC 4007 section 11).
bool IsLastGroupField(const std::string& field) {
  size_t percent = field.find('%');
  if (percent == std::string::npos) {
    return IsGroupField(field);
  }
  return IsGroupField(field.substr(0, percent)) && IsGroupField(field.substr(percent + 1));
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Trim(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsControlOrBlank(text[first])) {
    ++first;
  }
  while (last > first && IsControlOrBlank(text[last - 1])) {
    --last;
  }
  return text.substr(first, last - first);
}

std::string TrimBlanks(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    return {};
  }
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string UpperCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return result;
}

std::string LowerCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return result;
}

std::string TextBefore(const std::string& text, const std::string& delimiter) {
  size_t at = text.find(delimiter);
  return at == std::string::npos ? text : text.substr(0, at);
}

std::string TextAfter(const std::string& text, const std::string& delimiter) {
  size_t at = text.find(delimiter);
  return at == std::string::npos ? text : text.substr(at + delimiter.size());
}

std::string TakeField(std::string& text, const std::string& delimiter) {
  std::string field = TextBefore(text, delimiter);
  std::string rest = TextAfter(text, delimiter);
  text = rest == text ? std::string() : TrimBlanks(rest);
  return TrimBlanks(field);
}

namespace {

// Takes "scheme://" off the front of url, with the scheme's default port; the rest.
std::string TakeScheme(const std::string& url, TUrlParts& parts) {
  parts.Protocol = "http";
  parts.Port = "80";
  std::string rest = url;
  if (url.find("://") != std::string::npos) {
    parts.Protocol = TextBefore(url, "://");
    rest = TextAfter(url, "://");
  }
  std::string scheme = UpperCase(parts.Protocol);
  if (scheme == "HTTPS") {
    parts.Port = "443";
  } else if (scheme == "FTP") {
    parts.Port = "21";
  }
  return rest;
}

// Credentials count only in the authority, before the first "/" (RFC 3986 section 3.2.1).
void TakeCredentials(std::string& rest, TUrlParts& parts) {
  size_t at = rest.find('@');
  size_t slash = rest.find('/');
  if (at == std::string::npos || (slash != std::string::npos && at > slash)) {
    return;
  }
  std::string credentials = TextBefore(rest, "@");
  rest = TextAfter(rest, "@");
  if (credentials.find(':') != std::string::npos) {
    parts.User = TextBefore(credentials, ":");
    parts.Password = TextAfter(credentials, ":");
  } else {
    parts.User = credentials;
  }
}

// Host and port of the authority; an IPv6 literal stands in brackets (RFC 3986 section 3.2.2).
void SplitHostPort(std::string hostPart, TUrlParts& parts) {
  if (!hostPart.empty() && hostPart.front() == '[') {
    parts.Host = TextBefore(hostPart, "]").substr(1);
    hostPart = TextAfter(hostPart, "]");
    if (!hostPart.empty() && hostPart.front() == ':') {
      parts.Port = TextAfter(hostPart, ":");
    }
  } else if (hostPart.find(':') != std::string::npos) {
    parts.Host = TextBefore(hostPart, ":");
    parts.Port = TextAfter(hostPart, ":");
  } else {
    parts.Host = hostPart;
  }
}

}  // namespace

std::string SplitUrl(const std::string& url, TUrlParts& parts) {
  parts = TUrlParts{};
  std::string rest = TakeScheme(url, parts);
  TakeCredentials(rest, parts);

  std::string hostPart = rest;
  std::string tail;
  if (rest.find('/') != std::string::npos) {
    hostPart = TextBefore(rest, "/");
    tail = TextAfter(rest, "/");
  }
  SplitHostPort(hostPart, parts);

  if (tail.find('?') != std::string::npos) {
    parts.Path = "/" + TextBefore(tail, "?");
    parts.Parameters = TextAfter(tail, "?");
  } else {
    parts.Path = "/" + tail;
  }
  if (parts.Host.empty()) {
    parts.Host = "localhost";
  }
  return "/" + tail;
}

std::string ReadStreamText(TStream& stream, int64_t count) {
  if (count <= 0) {
    return {};
  }
  int64_t available = stream.Size() - stream.Position();
  std::string text(static_cast<size_t>(std::max<int64_t>(0, std::min(count, available))), '\0');
  int64_t read = text.empty() ? 0 : stream.Read(text.data(), static_cast<int64_t>(text.size()));
  text.resize(static_cast<size_t>(std::max<int64_t>(0, read)));
  return text;
}

void WriteStreamText(TStream& stream, const std::string& text) {
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

std::string UnfoldHeader(const std::vector<std::string>& lines, size_t& index) {
  std::string line = lines[index];
  ++index;
  if (!line.empty()) {
    // The last raw line is never taken as a continuation.
    while (index + 1 < lines.size()) {
      std::string next = lines[index];
      if (next.empty()) {
        break;
      }
      for (char& c : next) {
        if (c == '\t') {
          c = ' ';
        }
      }
      char first = next.front();
      if (first != ' ' && first != '"' && first != ':' && first != '=') {
        break;
      }
      line += " " + Trim(next);
      ++index;
    }
  }
  size_t end = line.size();
  while (end > 0 && IsControlOrBlank(line[end - 1])) {
    --end;
  }
  line.resize(end);
  return line;
}

bool IsIPv4Literal(const std::string& text) {
  std::string rest = text;
  for (int i = 0; i < 3; ++i) {
    if (!IsOctetField(TakeField(rest, "."))) {
      return false;
    }
  }
  return IsOctetField(rest);
}

bool IsIPv6Literal(const std::string& text) {
  if (text == "::") {
    return true;
  }
  std::string rest = text;
  int fields = 0;
  int markers = 0;
  bool lastPassed = false;
  while (!rest.empty()) {
    std::string field = TakeField(rest, ":");
    ++fields;
    bool isLast = rest.empty();
    if (field.empty()) {
      if (fields > 1 && ++markers > 1) {
        return false;
      }
      lastPassed = true;
      continue;
    }
    if (fields >= 9) {
      return false;
    }
    lastPassed = isLast ? IsLastGroupField(field) : IsGroupField(field);
    if (!lastPassed) {
      return false;
    }
  }
  return lastPassed && !(fields == 1 && markers == 0);
}

TLineEnd FindLineEnd(const std::string& text, size_t from) {
  size_t at = text.find_first_of("\r\n", from);
  if (at == std::string::npos) {
    return {0, {}};
  }
  TLineEnd end;
  end.Position = static_cast<int64_t>(at) + 1;
  char first = text[at];
  char partner = first == '\r' ? '\n' : '\r';
  if (at + 1 < text.size() && text[at + 1] == partner) {
    end.Text = text.substr(at, 2);
  } else {
    end.Text = std::string(1, first);
  }
  return end;
}

std::string Base64Encode(const std::string& text) {
  std::string result;
  result.reserve((text.size() + 2) / 3 * 4);
  size_t i = 0;
  auto byte = [&text](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(text[at])); };
  for (; i + 2 < text.size(); i += 3) {
    uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    result += kBase64Alphabet[group >> 18 & 63];
    result += kBase64Alphabet[group >> 12 & 63];
    result += kBase64Alphabet[group >> 6 & 63];
    result += kBase64Alphabet[group & 63];
  }
  size_t left = text.size() - i;
  if (left == 1) {
    uint32_t group = byte(i) << 16;
    result += kBase64Alphabet[group >> 18 & 63];
    result += kBase64Alphabet[group >> 12 & 63];
    result += "==";
  } else if (left == 2) {
    uint32_t group = byte(i) << 16 | byte(i + 1) << 8;
    result += kBase64Alphabet[group >> 18 & 63];
    result += kBase64Alphabet[group >> 12 & 63];
    result += kBase64Alphabet[group >> 6 & 63];
    result += '=';
  }
  return result;
}

uint32_t TickNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

uint32_t TickSpan(uint32_t oldTick, uint32_t newTick) {
  if (oldTick == newTick) {
    return 0;
  }
  if (oldTick > newTick) {
    // Shifting both by half the range undoes one wrap of the counter.
    oldTick += 0x80000000u;
    newTick += 0x80000000u;
  }
  uint32_t span = newTick - oldTick;
  if (oldTick > newTick) {
    span = oldTick - newTick;
  }
  return span;
}

bool ParseDecimal32(const std::string& text, int32_t& value) {
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  if (at == text.size()) {
    return false;
  }
  int64_t magnitude = 0;
  for (; at < text.size(); ++at) {
    char c = text[at];
    if (c < '0' || c > '9') {
      return false;
    }
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) {
      return false;
    }
  }
  int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  value = static_cast<int32_t>(signedValue);
  return true;
}

bool ParseHex32(const std::string& text, int32_t& value) {
  uint64_t parsed = 0;
  if (!ParseHexUpTo(text, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()), parsed)) {
    return false;
  }
  value = static_cast<int32_t>(parsed);
  return true;
}

}  // namespace http
