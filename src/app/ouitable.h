#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kUnknownVendor = "Unknown Vendor";
inline constexpr const char* kLocallyAdministered = "Locally administered";

// Whether a MAC text has the universal/local bit set (bit 1 of its first byte, IEEE 802
// clause 8.2): randomised phone addresses, virtual machines and containers.
bool IsLocallyAdministered(std::string_view macAddress);

// Debian's ieee-data: the registry lists that `update-ieee-data` keeps current.
inline constexpr const char* kIeeeDataFolder = "/usr/share/ieee-data";

// The IEEE registry's assignments as lines "KEY=Organisation". The key is the assigned prefix in
// the MAC's text form with hyphens: "XX-XX-XX" for an MA-L block (24 bits), "XX-XX-XX-X" for
// MA-M (28 bits), "XX-XX-XX-XX-X" for MA-S and IAB (36 bits). A lookup takes the longest key
// that the MAC starts with, and of several lines with that key the first. Read-only once built,
// so worker threads may look vendors up at the same time.
class TOuiTable {
 public:
  TOuiTable() = default;
  // Lines in any order. A line whose "=" does not follow a key of one of the three shapes is
  // keyed by its first 8 characters (all of it if shorter), as the MA-L table always was.
  explicit TOuiTable(std::vector<std::string> lines);

  // The registry lists in an ieee-data folder when its oui.txt can be read; else the table built
  // into the program.
  static TOuiTable Load(const std::string& ieeeFolder = kIeeeDataFolder);
  // The built-in table: MA-L, MA-M, MA-S and IAB.
  static TOuiTable Embedded();

  // The table's lines as stored, without line ends (a copy).
  std::vector<std::string> OuiLines() const;
  size_t EntryCount() const { return m_lines.size(); }
  // Entries whose key is of the given length (8, 10 or 13).
  size_t EntriesWithKeyLength(size_t keyLength) const;

  // The vendor of a MAC text ("00:00:0C:12:34:56", lower case and hyphens too): the name on the
  // first line of the longest key that the MAC's text starts with (":" read as "-", letters A
  // to Z in either case), or "Unknown Vendor".
  std::string LookupVendor(std::string_view macAddress) const;

  // The same answer by walking every line in order; the reference for LookupVendor.
  std::string LookupVendorLinear(std::string_view macAddress) const;

 private:
  struct TLine {
    uint32_t start;
    uint32_t length;
    uint8_t keyLength;
  };
  std::string_view Line(const TLine& line) const {
    return std::string_view(m_text).substr(line.start, line.length);
  }
  std::string_view KeyOf(const TLine& line) const { return Line(line).substr(0, line.keyLength); }
  std::string NameOf(const TLine& line) const;

  std::string m_text;  // every line, one after the other
  std::vector<TLine> m_lines;
  // Per key class (13, 10, 8 characters): line numbers ordered by upper-cased key, then number.
  std::array<std::vector<uint32_t>, 3> m_byKey;
};

// The vendor as the list shows it: the registry's name, else "Locally administered" for a
// locally administered MAC, else "Unknown Vendor".
std::string ListedVendor(const TOuiTable& table, std::string_view macAddress);

// Splits a text at its line ends (CR LF, or a lone CR or LF); no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

// The built-in MA-L table and the built-in table of the smaller blocks (MA-M, MA-S, IAB).
std::vector<std::string> LoadEmbeddedOuiLines();
std::vector<std::string> LoadEmbeddedBlockLines();

// The assignments of the registry lists in a folder (oui.txt, mam.txt, oui36.txt, iab.txt) as
// table lines sorted by key, read by the rules of resources/oui/make_oui_table.py; empty when
// oui.txt cannot be read. A missing smaller list is left out.
std::vector<std::string> ReadIeeeLists(const std::string& folder);

}  // namespace app
