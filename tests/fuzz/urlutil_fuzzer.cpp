// Feeds arbitrary bytes to the URL and header utilities and checks the relations between
// their results that must hold for any input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/stream.h"
#include "http/urlutil.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void CheckCutting(const std::string& text, const std::string& delimiter) {
  std::string before = http::TextBefore(text, delimiter);
  std::string after = http::TextAfter(text, delimiter);
  if (!delimiter.empty() && text.find(delimiter) != std::string::npos) {
    Check(before + delimiter + after == text);
  } else if (!delimiter.empty()) {
    Check(before == text && after == text);
  }
  std::string rest = text;
  std::string field = http::TakeField(rest, delimiter);
  Check(field.size() <= text.size() && rest.size() <= text.size());
}

void CheckUrl(const std::string& url) {
  http::TUrlParts parts;
  std::string target = http::SplitUrl(url, parts);
  Check(!target.empty() && target[0] == '/');
  Check(!parts.Host.empty());
  Check(!parts.Path.empty() && parts.Path[0] == '/');
  Check(target.size() <= url.size() + 1);
}

void CheckLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t index = 0;
  size_t total = 0;
  while (index < lines.size()) {
    size_t before = index;
    std::string line = http::UnfoldHeader(lines, index);
    Check(index > before && index <= lines.size());
    Check(line.empty() || static_cast<unsigned char>(line.back()) > 32);
    total += line.size();
  }
  Check(total <= text.size() + lines.size());
}

void CheckLineEnd(const std::string& text) {
  http::TLineEnd end = http::FindLineEnd(text);
  size_t first = text.find_first_of("\r\n");
  if (first == std::string::npos) {
    Check(end.Position < 1);
    return;
  }
  Check(end.Position == static_cast<int64_t>(first) + 1);
  Check(text.compare(first, end.Text.size(), end.Text) == 0);
  Check(end.Text == "\r\n" || end.Text == "\n\r" || end.Text == "\r" || end.Text == "\n");
}

void CheckNumbers(const std::string& text) {
  int32_t value = 0;
  int32_t again = 0;
  if (http::ParseDecimal32(text, value)) {
    Check(http::ParseDecimal32(std::to_string(value), again) && again == value);
  }
  if (http::ParseHex32(text, value)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(value));
    Check(value >= 0 && http::ParseHex32(hex, again) && again == value);
  }
}

void CheckStream(const std::string& text) {
  http::TMemoryStream stream;
  http::WriteStreamText(stream, text);
  Check(stream.Size() == static_cast<int64_t>(text.size()));
  stream.SetPosition(static_cast<int64_t>(text.size() / 2));
  std::string tail = http::ReadStreamText(stream, static_cast<int64_t>(text.size()));
  Check(tail == text.substr(text.size() / 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // The first byte picks a delimiter for the cutting functions; all see the whole input.
  std::string delimiter = size > 0 ? std::string(1, static_cast<char>(data[0])) : std::string();
  CheckCutting(text, delimiter);
  CheckCutting(text, "://");
  CheckUrl(text);
  CheckLines(text);
  CheckLineEnd(text);
  CheckNumbers(text);
  CheckStream(text);
  std::string encoded = http::Base64Encode(text);
  Check(encoded.size() == (size + 2) / 3 * 4);
  bool v4 = http::IsIPv4Literal(text);
  bool v6 = http::IsIPv6Literal(text);
  Check(!(v4 && v6));
  return 0;
}
