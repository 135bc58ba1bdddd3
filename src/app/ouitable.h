#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace app {

inline constexpr const char* kUnknownVendor = "Unknown Vendor";

// The embedded IEEE OUI table: lines "XX-XX-XX=Organisation" in ascending key order, loaded once
// and read-only afterwards, so worker threads may look vendors up at the same time.
class TOuiTable {
 public:
  TOuiTable() = default;
  explicit TOuiTable(std::vector<std::string> lines);

  // The table's lines as stored, without line ends.
  const std::vector<std::string>& OuiLines() const { return m_lines; }

  // The vendor of a MAC text ("00:00:0C:12:34:56", lower case and hyphens too): the name on the
  // first line whose key equals the MAC's first three bytes, or "Unknown Vendor".
  std::string LookupVendor(std::string_view macAddress) const;

  // The same answer by walking every line in order; the reference for LookupVendor.
  std::string LookupVendorLinear(std::string_view macAddress) const;

 private:
  std::vector<std::string> m_lines;
  // Upper-cased line key -> index of the first line with that key.
  std::unordered_map<std::string, size_t> m_firstLineOfKey;
};

// Splits a text at its line ends (CR LF, or a lone CR or LF); no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

// The table compiled into the program.
std::vector<std::string> LoadEmbeddedOuiLines();

}  // namespace app
