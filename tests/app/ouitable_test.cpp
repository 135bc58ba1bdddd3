#include "app/ouitable.h"

#include <gtest/gtest.h>

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
  const TOuiTable table({"ab-cd-ef=Lower", "AB-CD-EF=Upper", "00-00-01", "00-00-02=", "x", "00-00-03=A=B"});
  for (const char* mac : {"AB:CD:EF:00:00:00", "ab-cd-ef", "00:00:01:11:11:11", "00-00-02-00", "x", "X", "", "00:00:03",
                          "00:00:0"}) {
    EXPECT_EQ(table.LookupVendor(mac), table.LookupVendorLinear(mac)) << mac;
  }
  EXPECT_EQ(table.LookupVendor("AB:CD:EF:00:00:00"), "Lower");
  EXPECT_EQ(table.LookupVendor("00:00:01:11:11:11"), "");
  EXPECT_EQ(table.LookupVendor("00:00:03:11:11:11"), "A=B");
}

TEST(SplitLines, SplitsAtCrLfAndAtLoneCrOrLf) {
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(SplitLines(""), (std::vector<std::string>{}));
}

}  // namespace
}  // namespace app
