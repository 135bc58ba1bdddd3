#include "app/ouitable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>

namespace app {
namespace {

const TOuiTable& Embedded() {
  static const TOuiTable table(LoadEmbeddedOuiLines());
  return table;
}

TEST(OuiTable, EmbeddedTableIsSortedKeyEqualsNameLines) {
  const std::vector<std::string>& lines = Embedded().OuiLines();
  ASSERT_GT(lines.size(), 20000u);
  EXPECT_EQ(lines.front().substr(0, 9), "00-00-00=");
  EXPECT_EQ(lines.back(), "FC-FF-AA=IEEE Registration Authority");
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_GE(lines[i].size(), 10u) << i;
    ASSERT_EQ(lines[i][8], '=') << lines[i];
    if (i > 0) {
      ASSERT_LE(lines[i - 1].substr(0, 8), lines[i].substr(0, 8)) << i;
    }
  }
}

TEST(LookupVendor, CiscoPrefixGivesTheTablesCiscoLine) {
  EXPECT_EQ(Embedded().LookupVendor("00:00:0C:12:34:56"), "Cisco Systems, Inc");
}

TEST(LookupVendor, LowerCaseAndHyphenatedMacsGiveTheSameVendor) {
  EXPECT_EQ(Embedded().LookupVendor("00:00:0c:12:34:56"), "Cisco Systems, Inc");
  EXPECT_EQ(Embedded().LookupVendor("00-00-0C-12-34-56"), "Cisco Systems, Inc");
}

TEST(LookupVendor, RepeatedKeyGivesItsFirstLine) {
  EXPECT_EQ(Embedded().LookupVendor("00:01:C8:00:00:01"), "THOMAS CONRAD CORP.");
  EXPECT_EQ(Embedded().LookupVendor("08:00:30:00:00:01"), "NETWORK RESEARCH CORPORATION");
}

TEST(LookupVendor, AbsentEmptyAndShortMacsAreUnknown) {
  EXPECT_EQ(Embedded().LookupVendor("02:00:00:00:00:01"), "Unknown Vendor");
  EXPECT_EQ(Embedded().LookupVendor(""), "Unknown Vendor");
  EXPECT_EQ(Embedded().LookupVendor("00:00"), "Unknown Vendor");
  EXPECT_EQ(TOuiTable().LookupVendor("00:00:0C:12:34:56"), "Unknown Vendor");
}

TEST(LookupVendor, IndexedLookupMatchesTheLinearWalkForEveryKey) {
  const TOuiTable& table = Embedded();
  size_t checked = 0;
  for (const std::string& line : table.OuiLines()) {
    const bool alsoLowerCase = checked % 16 == 0;  // the walk is slow; case is checked on a sample
    std::string mac = line.substr(0, 8) + ":12:34:56";
    for (char& c : mac) {
      if (c == '-') c = ':';
    }
    std::string lower = mac;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(table.LookupVendor(mac), table.LookupVendorLinear(mac)) << mac;
    if (alsoLowerCase) {
      ASSERT_EQ(table.LookupVendor(lower), table.LookupVendorLinear(lower)) << lower;
    }
    ++checked;
  }
  EXPECT_EQ(checked, table.OuiLines().size());
}

TEST(LookupVendor, IndexedLookupMatchesTheLinearWalkOnOddTables) {
  // Short lines, a line that is only a key, keys with lower-case letters, repeated keys.
  const TOuiTable table(
      {"ab-cd-ef=Lower", "AB-CD-EF=Upper", "00-00-01", "00-00-02=", "x", "00-00-03=A=B"});
  for (const char* mac : {"AB:CD:EF:00:00:00", "ab-cd-ef", "00:00:01:11:11:11", "00-00-02-00", "x",
                          "X", "", "00:00:03", "00:00:0"}) {
    EXPECT_EQ(table.LookupVendor(mac), table.LookupVendorLinear(mac)) << mac;
  }
  EXPECT_EQ(table.LookupVendor("AB:CD:EF:00:00:00"), "Lower");
  EXPECT_EQ(table.LookupVendor("00:00:01:11:11:11"), "");
  EXPECT_EQ(table.LookupVendor("00:00:03:11:11:11"), "A=B");
}

const TOuiTable& Full() {
  static const TOuiTable table = TOuiTable::Embedded();
  return table;
}

TEST(LookupVendor, LongestBlockWinsOverTheBlockHolder) {
  const TOuiTable& table = Full();
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"70:B3:D5:F2:F0:01", "TELEPLATFORMS"},                // MA-S
      {"70-b3-d5-f2-ff-ff", "TELEPLATFORMS"},                // its last address, other spelling
      {"20:85:93:B0:00:01", "IOG Products LLC"},             // MA-M
      {"00:50:C2:7D:50:01", "DEUTA-WERKE GmbH"},             // IAB
      {"70:B3:D5:00:00:01", "IEEE Registration Authority"},  // no smaller block: the holder
      {"70:B3:D5", "IEEE Registration Authority"},           // too short for a smaller block
      {"00:00:0C:12:34:56", "Cisco Systems, Inc"},
  };
  for (const auto& [mac, vendor] : cases) EXPECT_EQ(table.LookupVendor(mac), vendor) << mac;
  EXPECT_EQ(table.EntriesWithKeyLength(8), 32530u);
  EXPECT_EQ(table.EntriesWithKeyLength(10), 4390u);
  EXPECT_EQ(table.EntriesWithKeyLength(13), 9604u);
  size_t checked = 0;
  for (const std::string& line : table.OuiLines()) {
    if (line[8] != '-' || ++checked % 7 != 0) continue;  // a sample of the smaller blocks
    std::string mac = line.substr(0, line.find('=')) + "0:00:00";
    std::replace(mac.begin(), mac.end(), '-', ':');
    ASSERT_EQ(table.LookupVendor(mac), table.LookupVendorLinear(mac)) << mac;
  }
}

TEST(ReadIeeeLists, ReadsTheRegistrysTextListsAsTheGeneratorDoes) {
  // The installed lists of the date the built-in table was made from give exactly its lines.
  std::ifstream installed(std::string(kIeeeDataFolder) + "/.lastupdate");
  std::ifstream built(std::string(QZ_RESOURCES_DIR) + "/oui/ieee-data.lastupdate");
  std::string installedDate, builtDate;
  if (installed >> installedDate && built >> builtDate && installedDate == builtDate) {
    std::vector<std::string> expected = LoadEmbeddedOuiLines();
    for (std::string& line : LoadEmbeddedBlockLines()) expected.push_back(line);
    std::stable_sort(expected.begin(), expected.end(),
                     [](const std::string& a, const std::string& b) {
                       return a.substr(0, a.find('=')) < b.substr(0, b.find('='));
                     });
    EXPECT_EQ(ReadIeeeLists(kIeeeDataFolder), expected);
  }

  // A folder of lists in the registry's layouts: CR LF, tabs or runs of blanks, and a range
  // that is no block of a known size.
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("qz-ieee-lists-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "oui.txt") << "OUI/MA-L\r\n\r\nAA-BB-CC   (hex)\t\tNew Maker\r\n"
                                       "AABBCC     (base 16)\t\tNew Maker\r\n\t\t\tStreet 1\r\n";
  std::ofstream(folder / "mam.txt")
      << "aa-bb-cc   (hex)\t\tMedium\r\nD00000-DFFFFF     (base 16)\t\tMedium\r\n"
         "AA-BB-CC   (hex)\t\tOdd\r\nD00000-D7FFFF     (base 16)\t\tOdd\r\n";
  std::ofstream(folder / "iab.txt")
      << "AA-BB-CC                      (hex)                         Small Co   \r\n"
         "DE1000-DE1FFF                 (base 16)                     Small Co   \r\n";
  EXPECT_EQ(ReadIeeeLists(folder.string()),
            (std::vector<std::string>{"AA-BB-CC=New Maker", "AA-BB-CC-D=Medium",
                                      "AA-BB-CC-DE-1=Small Co"}));
  const TOuiTable table = TOuiTable::Load(folder.string());
  EXPECT_EQ(table.LookupVendor("aa:bb:cc:de:10:00"), "Small Co");
  EXPECT_EQ(table.LookupVendor("aa:bb:cc:de:20:00"), "Medium");
  EXPECT_EQ(table.LookupVendor("aa:bb:cc:00:00:00"), "New Maker");
  // Without a readable oui.txt the built-in table serves.
  std::filesystem::remove(folder / "oui.txt");
  EXPECT_EQ(TOuiTable::Load(folder.string()).EntryCount(), Full().EntryCount());
  std::filesystem::remove_all(folder);
}

TEST(SplitLines, SplitsAtCrLfAndAtLoneCrOrLf) {
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(SplitLines(""), (std::vector<std::string>{}));
}

}  // namespace
}  // namespace app
