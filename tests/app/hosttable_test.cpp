#include "app/hosttable.h"

#include "app/hostlistmodel.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace app {
namespace {

constexpr double kSecond = 1.0 / 86400.0;

// A table whose clock the test moves.
struct TClockedTable {
  double now = 46000.5;  // some afternoon in 2025
  THostTable table{[this] { return now; }};
};

void Report(THostTable& table, const std::string& mac, const std::string& ip = "192.168.1.20",
            const std::string& title = "", const std::string& name = "",
            const std::string& protocol = "http") {
  table.Update(ip, name.empty() ? ip : name, mac, protocol, title, "Vendor of " + mac);
}

TEST(HostTable, FirstReportCreatesPendingRow) {
  TClockedTable t;
  t.table.Update("192.168.1.20", "ROUTER", "00:11:22:33:44:55", "https", "Login", "ACME");
  ASSERT_EQ(t.table.RowCount(), 1);
  const HostRecord row = t.table.Row(0);
  EXPECT_EQ(row.HostName, "ROUTER");
  EXPECT_EQ(row.IpAddress, "192.168.1.20");
  EXPECT_EQ(row.MacAddress, "00:11:22:33:44:55");
  EXPECT_EQ(row.Vendor, "ACME");
  EXPECT_EQ(row.Title, "Login");
  EXPECT_TRUE(row.IsHttps);
  EXPECT_DOUBLE_EQ(row.FirstSeen, t.now);
  EXPECT_FALSE(row.Expired);
}

TEST(HostTable, SecondReportOfSameMacUpdatesTheRowInPlace) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55", "192.168.1.20", "Old");
  Report(t.table, "00:11:22:33:44:55", "192.168.1.21", "New", "NAS", "");
  ASSERT_EQ(t.table.RowCount(), 1);
  const HostRecord row = t.table.Row(0);
  EXPECT_EQ(row.IpAddress, "192.168.1.21");
  EXPECT_EQ(row.HostName, "NAS");
  EXPECT_EQ(row.Title, "New");
  EXPECT_FALSE(row.IsHttps);
  EXPECT_EQ(row.FirstSeen, 0);
}

// A station heard late makes a row as a first report does; heard again, a listed row keeps the
// name and title its worker found. However many MACs answer for one address, two get rows
// and each row counts the others.
TEST(HostTable, HeardStationsKeepWhatWorkersFoundAndAnAddressMakesAtMostTwoRows) {
  TClockedTable t;
  t.table.Heard("10.0.0.9", "00:11:22:33:44:09", "Vendor");
  ASSERT_EQ(t.table.RowCount(), 1);
  EXPECT_EQ(t.table.Row(0).HostName, "10.0.0.9");
  Report(t.table, "00:11:22:33:44:09", "10.0.0.9", "Camera", "CAM", "http");
  t.table.Heard("10.0.0.9", "00:11:22:33:44:09", "Vendor");
  EXPECT_EQ(t.table.Row(0).HostName, "CAM");
  EXPECT_EQ(t.table.Row(0).Title, "Camera");
  EXPECT_EQ(t.table.Row(0).FirstSeen, 0) << "heard again: seen again";

  for (const char* fake : {"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"}) {
    scan::THostDetails details;
    details.OtherMac = "00:11:22:33:44:09";
    t.table.Heard("10.0.0.9", fake, "", details);
  }
  ASSERT_EQ(t.table.RowCount(), 2) << "the first MAC and one other";
  for (int32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(t.table.Row(i).OtherMacCount, 3) << i;
    EXPECT_EQ(t.table.Row(i).OtherMacs.size(), 3u) << i;
  }
  EXPECT_EQ(THostListModel::OtherMacsText(t.table.Row(1)).toStdString(),
            "00:11:22:33:44:09, 02:00:00:00:00:02 and 02:00:00:00:00:03");
  // A new MAC answering first next time makes no third row; what a worker finds at the address
  // shows on its other row too.
  Report(t.table, "02:00:00:00:00:04", "10.0.0.9");
  Report(t.table, "00:11:22:33:44:09", "10.0.0.9", "Camera 2", "CAM", "http");
  EXPECT_EQ(t.table.RowCount(), 2);
  EXPECT_EQ(t.table.Row(1).Title, "Camera 2");
  EXPECT_EQ(t.table.Row(1).HostName, "CAM");
  EXPECT_EQ(t.table.Row(0).OtherMacCount, 4);
  HostRecord many = t.table.Row(1);
  many.OtherMacCount = 7;
  EXPECT_EQ(THostListModel::OtherMacsText(many).toStdString(),
            "00:11:22:33:44:09, 02:00:00:00:00:02 and 5 more");
}

TEST(HostTable, NoTitleFillsOnlyAnEmptyTitle) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "");
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "<no title>");
  EXPECT_EQ(t.table.Row(0).Title, "<no title>");
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "Printer");
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "<no title>");
  EXPECT_EQ(t.table.Row(0).Title, "Printer");
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "");
  EXPECT_EQ(t.table.Row(0).Title, "");
}

TEST(HostTable, SameAddressWithTwoMacsAndMacsDifferingInCaseAreSeparateRows) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:AA", "10.0.0.1");
  Report(t.table, "00:11:22:33:44:BB", "10.0.0.1");
  Report(t.table, "00:11:22:33:44:aa", "10.0.0.1");
  EXPECT_EQ(t.table.RowCount(), 3);
}

TEST(HostTable, TextsAreCutToTheirCapacity) {
  TClockedTable t;
  const std::string longName(60, 'n');
  t.table.Update("10.0.0.1", longName, "00:11:22:33:44:55", "http", std::string(70, 't'),
                 std::string(300, 'v'));
  const HostRecord row = t.table.Row(0);
  EXPECT_EQ(row.HostName, std::string(50, 'n'));
  EXPECT_EQ(row.Title, std::string(50, 't'));
  EXPECT_EQ(row.Vendor, std::string(250, 'v'));
}

// Names and titles from devices are stored clean: no terminal controls, no bidi overrides,
// valid UTF-8 only, cut after 50 characters, never inside one.
TEST(HostTable, NamesAndTitlesAreStoredCleanAndCutOnACharacterBoundary) {
  const std::string u = "\xC3\xBC";  // ü, two bytes
  const std::string fffd = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\x1B]52;c;ZWNobyBoaQ==\x07Router", "]52;c;ZWNobyBoaQ==Router"},  // OSC 52 clipboard write
      {"\x1B[2J\x7F\xC2\x9B"
       "31mRed",
       "[2J31mRed"},  // ESC, DEL, C1 CSI
      {"keep\ttab\rcr\nlf", "keep\ttab\rcr\nlf"},
      {"a\xE2\x80\xAE"
       "evil\xE2\x81\xA6"
       "b\xE2\x80\x8E"
       "c\xE2\x80\x8F\xD8\x9C"
       "d",
       "aevilbcd"},  // RLO, LRI, LRM, RLM, ALM
      // Zero-width space, non-joiner, joiner, word joiner, BOM, soft hyphen, tag characters
      // (U+E0001, U+E0041, U+E007F), line and paragraph separators; U+200A (a visible
      // space) and U+2070 stay.
      {"a\u200B\u200C\u200D\u2060\uFEFF\u00AD"
       "b\U000E0001\U000E0041\U000E007F"
       "c\u2028\u2029"
       "d\u200A\u2070",
       "abcd\u200A\u2070"},
      {"bad\xFF\xC3(\xED\xA0\x80z", "bad" + fffd + fffd + "(" + fffd + fffd + fffd + "z"},
      {std::string(49, 'x') + u + u, std::string(49, 'x') + u},  // 50 characters, 51 bytes
  };
  for (const auto& [reported, stored] : cases) {
    TClockedTable t;
    t.table.Update("10.0.0.1", reported, "00:11:22:33:44:55", "http", reported, "V");
    EXPECT_EQ(t.table.Row(0).HostName, stored) << reported;
    EXPECT_EQ(t.table.Row(0).Title, stored) << reported;
  }
}

TEST(HostTable, RowOutsideTheRowsInUseIsEmpty) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55");
  EXPECT_EQ(t.table.Row(1).MacAddress, "");
  EXPECT_EQ(t.table.Row(-1).MacAddress, "");
}

TEST(HostTableExpiry, PendingRowExpiresOnlyAfterNineteenWholeSeconds) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55");
  t.now += 18.5 * kSecond;
  EXPECT_FALSE(t.table.ExpireRows());
  EXPECT_FALSE(t.table.Row(0).Expired);
  t.now += 0.5 * kSecond;
  EXPECT_TRUE(t.table.ExpireRows());
  EXPECT_TRUE(t.table.Row(0).Expired);
  EXPECT_FALSE(t.table.ExpireRows()) << "an expired row is not marked again";
}

TEST(HostTableExpiry, ConfirmedRowNeverExpires) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55");
  t.now += 5 * kSecond;
  Report(t.table, "00:11:22:33:44:55");
  t.now += 3600 * kSecond;
  EXPECT_FALSE(t.table.ExpireRows());
  EXPECT_FALSE(t.table.Row(0).Expired);
}

TEST(HostTableExpiry, ExpiredRowReportedAgainIsBackToNormalForGood) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55");
  t.now += 30 * kSecond;
  ASSERT_TRUE(t.table.ExpireRows());
  Report(t.table, "00:11:22:33:44:55");
  EXPECT_FALSE(t.table.Row(0).Expired);
  t.now += 60 * kSecond;
  EXPECT_FALSE(t.table.ExpireRows());
  EXPECT_FALSE(t.table.Row(0).Expired);
}

TEST(HostTableExpiry, ClockSetBackAMinuteExpiresAPendingRow) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55");
  t.now -= 60 * kSecond;
  EXPECT_TRUE(t.table.ExpireRows());
  EXPECT_TRUE(t.table.Row(0).Expired);
}

// A busy network's second pass runs longer than the time-out: a row waits for a pass that
// started after its report, and only the pass's end without it lets the rule apply.
TEST(HostTableExpiry, RowWaitsWhileALaterPassRunsAndRowsOfTheLastPassExpireAsBefore) {
  TClockedTable t;
  t.table.PassStarted();
  Report(t.table, "00:00:00:00:00:01");  // gone after pass 1
  Report(t.table, "00:00:00:00:00:02");  // live: pass 2 reaches it late
  t.table.PassEnded();
  t.now += 10 * kSecond;
  t.table.PassStarted();
  Report(t.table, "00:00:00:00:00:03");  // first seen in the last pass
  t.now += 30 * kSecond;
  EXPECT_TRUE(t.table.ExpireRows());
  EXPECT_FALSE(t.table.Row(0).Expired) << "pass 2 still runs";
  EXPECT_FALSE(t.table.Row(1).Expired) << "pass 2 still runs";
  EXPECT_TRUE(t.table.Row(2).Expired) << "no later pass: 19 s as before";
  Report(t.table, "00:00:00:00:00:02");
  t.table.PassEnded();
  EXPECT_TRUE(t.table.ExpireRows());
  EXPECT_TRUE(t.table.Row(0).Expired) << "the pass ended without it";
  EXPECT_FALSE(t.table.Row(1).Expired);
}

TEST(HostTableLimit, NewMacBeyondTheLastRowChangesNothingButKnownMacsStillUpdate) {
  TClockedTable t;
  for (int i = 0; i < kMaxRows; ++i) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "00:00:00:00:%02X:%02X", i / 256, i % 256);
    Report(t.table, mac);
  }
  ASSERT_EQ(t.table.RowCount(), kMaxRows);
  const uint64_t changes = t.table.ChangeCount();
  Report(t.table, "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(t.table.RowCount(), kMaxRows);
  EXPECT_EQ(t.table.ChangeCount(), changes);
  Report(t.table, "00:00:00:00:00:07", "10.9.9.9", "Updated");
  EXPECT_EQ(t.table.Row(7).Title, "Updated");
  EXPECT_EQ(t.table.Row(7).IpAddress, "10.9.9.9");
}

TEST(HostTableChanges, ChangeCountGrowsOnlyWhenAnExportedFieldChanges) {
  TClockedTable t;
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "Title");
  const uint64_t afterNew = t.table.ChangeCount();
  EXPECT_GT(afterNew, 0u);
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "Title");
  EXPECT_EQ(t.table.ChangeCount(), afterNew) << "a repeat that changes nothing exported";
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "<no title>");
  EXPECT_EQ(t.table.ChangeCount(), afterNew);
  Report(t.table, "00:11:22:33:44:55", "10.0.0.1", "Other title");
  EXPECT_GT(t.table.ChangeCount(), afterNew);
}

// Workers report while the main thread reads and ticks. Every row a reader sees must be whole:
// the texts of one report, never parts of two. (Run this under ThreadSanitizer as well.)
TEST(HostTableConcurrency, ReadersNeverSeeAHalfWrittenRowAndConfirmedRowsStayUnexpired) {
  std::atomic<double> now{46000.5};
  THostTable table([&] { return now.load(); });
  constexpr int kWriters = 4;
  constexpr int kReportsPerWriter = 3000;
  constexpr int kMacs = 50;
  std::atomic<int> writersLeft{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kReportsPerWriter; ++i) {
        const int n = (i * 7 + w) % kMacs;
        char mac[18];
        std::snprintf(mac, sizeof mac, "00:00:00:00:00:%02X", n);
        // Every field of one report carries the same stamp: a mixed row shows as differing stamps.
        const std::string stamp = std::to_string(w * kReportsPerWriter + i);
        table.Update("10.0." + stamp, "host-" + stamp, mac, "http", "title-" + stamp,
                     "vendor-" + stamp);
      }
      --writersLeft;
    });
  }
  std::thread ticker([&] {
    while (writersLeft > 0) {
      now = now + 20.0 / 86400.0;
      table.ExpireRows();
    }
  });
  std::string mixedRow;
  while (writersLeft > 0 && mixedRow.empty()) {
    for (int32_t r = 0; r < table.RowCount(); ++r) {
      const HostRecord row = table.Row(r);
      const std::string stamp = row.HostName.substr(5);
      if (row.IpAddress != "10.0." + stamp || row.Title != "title-" + stamp ||
          row.Vendor != "vendor-" + stamp) {
        mixedRow = row.HostName + " " + row.IpAddress + " " + row.Title + " " + row.Vendor;
      }
    }
  }
  for (auto& w : writers) w.join();
  ticker.join();
  EXPECT_EQ(mixedRow, "");
  EXPECT_EQ(table.RowCount(), kMacs);
  // Every MAC was reported many times: the last report confirmed it, so no tick may leave it
  // marked expired.
  table.ExpireRows();
  for (int32_t r = 0; r < table.RowCount(); ++r) {
    EXPECT_FALSE(table.Row(r).Expired) << "row " << r;
    EXPECT_EQ(table.Row(r).FirstSeen, 0);
  }
}

}  // namespace
}  // namespace app
