#include "app/ouitable.h"

#include <QFile>

#include <algorithm>
#include <fstream>
#include <iterator>

// Resources of a static library are registered by name before first use (outside any
// namespace, as the registration function is declared where the macro stands).
static void InitResources() { Q_INIT_RESOURCE(quenzor); }

namespace app {

namespace {

constexpr size_t kLargeKey = 8;    // "XX-XX-XX"
constexpr size_t kMediumKey = 10;  // "XX-XX-XX-X"
constexpr size_t kSmallKey = 13;   // "XX-XX-XX-XX-X"
constexpr std::array<size_t, 3> kKeyClasses = {kSmallKey, kMediumKey, kLargeKey};  // longest first
// The registry's lists are a few MB; a file far larger is not one of them.
constexpr std::streamsize kMaxListBytes = 32 << 20;

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Compares two keys as if both were upper-cased.
int CompareKeys(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const char x = UpperAscii(a[i]);
    const char y = UpperAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

size_t ClassIndex(size_t keyLength) {
  return keyLength == kSmallKey ? 0 : keyLength == kMediumKey ? 1 : 2;
}

// The key length of a line: a longer key when "=" follows one of the longer shapes, else the
// MA-L rule of the first 8 characters.
uint8_t KeyLengthOf(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == kMediumKey && line[8] == '-') return kMediumKey;
  if (equals == kSmallKey && line[8] == '-' && line[11] == '-') return kSmallKey;
  return static_cast<uint8_t>(std::min(line.size(), kLargeKey));
}

// The MAC's text as a key of the given class: its first characters with ":" as "-". Only the
// MA-L class takes a shorter text whole.
std::optional<std::string> MacKey(std::string_view macAddress, size_t keyLength) {
  if (keyLength != kLargeKey && macAddress.size() < keyLength) return std::nullopt;
  std::string key(macAddress.substr(0, keyLength));
  std::replace(key.begin(), key.end(), ':', '-');
  return key;
}

// ---- the registry's text lists ----

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool HexRun(std::string_view text, size_t from, size_t count) {
  if (text.size() < from + count) return false;
  return std::all_of(text.begin() + static_cast<ptrdiff_t>(from),
                     text.begin() + static_cast<ptrdiff_t>(from + count), IsHex);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// After `head` at the line's start: one or more blanks, then `word`; the rest of the line.
std::optional<std::string_view> AfterWord(std::string_view line, size_t head,
                                          std::string_view word) {
  size_t at = head;
  while (at < line.size() && IsBlank(line[at])) ++at;
  if (at == head || line.substr(at, word.size()) != word) return std::nullopt;
  return line.substr(at + word.size());
}

// "XX-XX-XX   (hex)   Organisation": the upper-cased base and the organisation.
std::optional<std::pair<std::string, std::string>> HexLine(std::string_view line) {
  if (!HexRun(line, 0, 2) || line[2] != '-' || !HexRun(line, 3, 2) || line[5] != '-' ||
      !HexRun(line, 6, 2)) {
    return std::nullopt;
  }
  const std::optional<std::string_view> rest = AfterWord(line, 8, "(hex)");
  if (!rest) return std::nullopt;
  std::string base(line.substr(0, 8));
  std::transform(base.begin(), base.end(), base.begin(), UpperAscii);
  return std::make_pair(std::move(base), std::string(TrimBlanks(*rest)));
}

// "B00000-BFFFFF     (base 16)": the hex digits the block adds to its base, the common head of
// its range that runs from all zeros to all Fs after it (1 digit for MA-M, 3 for MA-S and IAB).
std::optional<std::string> BlockSuffix(std::string_view line) {
  if (!HexRun(line, 0, 6) || line[6] != '-' || !HexRun(line, 7, 6) ||
      !AfterWord(line, 13, "(base 16)")) {
    return std::nullopt;
  }
  std::string start(line.substr(0, 6));
  std::string end(line.substr(7, 6));
  std::transform(start.begin(), start.end(), start.begin(), UpperAscii);
  std::transform(end.begin(), end.end(), end.begin(), UpperAscii);
  size_t n = 0;
  while (n < 6 && start[n] == end[n]) ++n;
  if ((n != 1 && n != 3) || start.find_first_not_of('0', n) != std::string::npos ||
      end.find_first_not_of('F', n) != std::string::npos) {
    return std::nullopt;
  }
  return start.substr(0, n);
}

std::optional<std::string> ReadList(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamsize size = std::min<std::streamsize>(in.tellg(), kMaxListBytes);
  if (size < 0 || !in.seekg(0)) return std::nullopt;
  std::string text(static_cast<size_t>(size), '\0');
  in.read(text.data(), size);
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

// Calls `onLine` for every line of a text (CR LF, lone CR or LF end a line), without copies.
template <typename F>
void ForEachLine(std::string_view text, F onLine) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    onLine(text.substr(start, end - start));
    start = end + 1;
    if (end < text.size() && text[end] == '\r' && start < text.size() && text[start] == '\n')
      ++start;
  }
}

void AddAssignments(std::string_view list, bool blocks,
                    std::vector<std::pair<std::string, std::string>>& rows) {
  std::optional<std::pair<std::string, std::string>> pending;
  ForEachLine(list, [&](std::string_view line) {
    if (auto hex = HexLine(line)) {
      if (!blocks) {
        rows.push_back(std::move(*hex));
      } else {
        pending = std::move(hex);
      }
      return;
    }
    if (!blocks || !pending) return;
    if (const std::optional<std::string> suffix = BlockSuffix(line)) {
      std::string key = pending->first + "-" + suffix->substr(0, 2);
      if (suffix->size() > 2) key += "-" + suffix->substr(2);
      rows.emplace_back(std::move(key), std::move(pending->second));
      pending.reset();
    } else if (line.find("(base 16)") != std::string_view::npos) {
      pending.reset();
    }
  });
}

std::vector<std::string> LoadResourceLines(const QString& path) {
  InitResources();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return SplitLines(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

}  // namespace

TOuiTable::TOuiTable(std::vector<std::string> lines) {
  size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size();
  m_text.reserve(bytes);
  m_lines.reserve(lines.size());
  for (const std::string& line : lines) {
    m_lines.push_back({static_cast<uint32_t>(m_text.size()), static_cast<uint32_t>(line.size()),
                       KeyLengthOf(line)});
    m_text += line;
  }
  for (uint32_t i = 0; i < m_lines.size(); ++i)
    m_byKey[ClassIndex(m_lines[i].keyLength)].push_back(i);
  for (std::vector<uint32_t>& index : m_byKey) {
    std::stable_sort(index.begin(), index.end(), [this](uint32_t a, uint32_t b) {
      return CompareKeys(KeyOf(m_lines[a]), KeyOf(m_lines[b])) < 0;
    });
    index.shrink_to_fit();
  }
}

TOuiTable TOuiTable::Load(const std::string& ieeeFolder) {
  std::vector<std::string> lines = ReadIeeeLists(ieeeFolder);
  if (lines.empty()) return Embedded();
  return TOuiTable(std::move(lines));
}

TOuiTable TOuiTable::Embedded() {
  std::vector<std::string> lines = LoadEmbeddedOuiLines();
  std::vector<std::string> blocks = LoadEmbeddedBlockLines();
  lines.insert(lines.end(), std::make_move_iterator(blocks.begin()),
               std::make_move_iterator(blocks.end()));
  return TOuiTable(std::move(lines));
}

std::vector<std::string> TOuiTable::OuiLines() const {
  std::vector<std::string> lines;
  lines.reserve(m_lines.size());
  for (const TLine& line : m_lines) lines.emplace_back(Line(line));
  return lines;
}

size_t TOuiTable::EntriesWithKeyLength(size_t keyLength) const {
  return static_cast<size_t>(
      std::count_if(m_lines.begin(), m_lines.end(),
                    [keyLength](const TLine& line) { return line.keyLength == keyLength; }));
}

std::string TOuiTable::NameOf(const TLine& line) const {
  return std::string(Line(line).substr(std::min<size_t>(line.length, line.keyLength + 1u)));
}

std::string TOuiTable::LookupVendor(std::string_view macAddress) const {
  for (size_t keyLength : kKeyClasses) {
    const std::vector<uint32_t>& index = m_byKey[ClassIndex(keyLength)];
    const std::optional<std::string> key = MacKey(macAddress, keyLength);
    if (index.empty() || !key) continue;
    const auto found = std::lower_bound(index.begin(), index.end(), *key,
                                        [this](uint32_t line, const std::string& k) {
                                          return CompareKeys(KeyOf(m_lines[line]), k) < 0;
                                        });
    if (found != index.end() && CompareKeys(KeyOf(m_lines[*found]), *key) == 0)
      return NameOf(m_lines[*found]);
  }
  return kUnknownVendor;
}

std::string TOuiTable::LookupVendorLinear(std::string_view macAddress) const {
  std::array<std::optional<std::string>, 3> keys;
  for (size_t keyLength : kKeyClasses) keys[ClassIndex(keyLength)] = MacKey(macAddress, keyLength);
  std::array<const TLine*, 3> first{};
  for (const TLine& line : m_lines) {
    const size_t c = ClassIndex(line.keyLength);
    if (first[c] == nullptr && keys[c] && CompareKeys(KeyOf(line), *keys[c]) == 0) first[c] = &line;
  }
  for (const TLine* line : first) {
    if (line != nullptr) return NameOf(*line);
  }
  return kUnknownVendor;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&lines](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

std::vector<std::string> LoadEmbeddedOuiLines() {
  return LoadResourceLines(QStringLiteral(":/oui/oui.txt"));
}

std::vector<std::string> LoadEmbeddedBlockLines() {
  return LoadResourceLines(QStringLiteral(":/oui/blocks.txt"));
}

std::vector<std::string> ReadIeeeLists(const std::string& folder) {
  const std::optional<std::string> large = ReadList(folder + "/oui.txt");
  if (!large) return {};
  std::vector<std::pair<std::string, std::string>> rows;
  rows.reserve(50000);
  AddAssignments(*large, false, rows);
  if (rows.empty()) return {};
  for (const char* name : {"/mam.txt", "/oui36.txt", "/iab.txt"}) {
    if (const std::optional<std::string> list = ReadList(folder + name))
      AddAssignments(*list, true, rows);
  }
  // Stable: lines of the same key keep the registry's order, and the first of them counts.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> lines;
  lines.reserve(rows.size());
  for (auto& [key, name] : rows) lines.push_back(key + "=" + name);
  return lines;
}

bool IsLocallyAdministered(std::string_view macAddress) {
  if (macAddress.size() < 2) return false;
  const char second = macAddress[1];
  int low = -1;
  if (second >= '0' && second <= '9') low = second - '0';
  if (second >= 'a' && second <= 'f') low = second - 'a' + 10;
  if (second >= 'A' && second <= 'F') low = second - 'A' + 10;
  return low >= 0 && (low & 0x2) != 0;
}

std::string ListedVendor(const TOuiTable& table, std::string_view macAddress) {
  std::string vendor = table.LookupVendor(macAddress);
  if (vendor == kUnknownVendor && IsLocallyAdministered(macAddress)) vendor = kLocallyAdministered;
  return vendor;
}

}  // namespace app
