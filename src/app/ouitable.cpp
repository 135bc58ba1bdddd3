#include "app/ouitable.h"

#include <QFile>

// Resources of a static library are registered by name before first use (outside any
// namespace, as the registration function is declared where the macro stands).
static void InitResources() { Q_INIT_RESOURCE(quenzor); }

namespace app {

namespace {

constexpr size_t kKeyLength = 8;  // "XX-XX-XX"

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpperAscii(c);
  return result;
}

// The MAC's first three bytes as a table key: colons become hyphens.
std::string KeyOf(std::string_view macAddress) {
  std::string key(macAddress.substr(0, kKeyLength));
  for (char& c : key) {
    if (c == ':') c = '-';
  }
  return key;
}

std::string_view LineKey(std::string_view line) { return line.substr(0, kKeyLength); }

std::string NameOf(std::string_view line) {
  return std::string(line.substr(std::min(line.size(), kKeyLength + 1)));
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

TOuiTable::TOuiTable(std::vector<std::string> lines) : m_lines(std::move(lines)) {
  m_firstLineOfKey.reserve(m_lines.size());
  for (size_t i = 0; i < m_lines.size(); ++i) m_firstLineOfKey.try_emplace(UpperAscii(LineKey(m_lines[i])), i);
}

std::string TOuiTable::LookupVendor(std::string_view macAddress) const {
  const auto found = m_firstLineOfKey.find(UpperAscii(KeyOf(macAddress)));
  if (found == m_firstLineOfKey.end()) return kUnknownVendor;
  return NameOf(m_lines[found->second]);
}

std::string TOuiTable::LookupVendorLinear(std::string_view macAddress) const {
  const std::string key = KeyOf(macAddress);
  for (const std::string& line : m_lines) {
    if (SameIgnoringCase(LineKey(line), key)) return NameOf(line);
  }
  return kUnknownVendor;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

std::vector<std::string> LoadEmbeddedOuiLines() {
  InitResources();
  QFile file(QStringLiteral(":/oui/oui.txt"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return SplitLines(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

}  // namespace app
