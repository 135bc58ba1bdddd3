#include <sqlite3.h>

#include <QTemporaryDir>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/devicelink.h"
#include "app/history.h"
#include "app/hostlistmodel.h"
#include "app/hosttable.h"

namespace app {
namespace {

using scan::TEvidence;

std::vector<TEvidence> Named(const std::string& name, const char* source = scan::kSourceMdns) {
  return {{"Name", name, source}};
}

TEST(DeviceNames, OnlyANameTheDeviceChoseTellsItApart) {
  EXPECT_EQ(NameKey("  Bobs-Laptop.local. "), "bobs-laptop");
  EXPECT_EQ(NameKey("Hall\tPrinter"), "hall printer");
  EXPECT_EQ(NameKey("ab"), "");
  for (const char* fallback : {"iphone", "iphone (2)", "android-1a2b3c4d5e6f", "esp_0a1b2c",
                               "raspberrypi", "macbook-pro-3", "esp32-c3d4"})
    EXPECT_TRUE(IsProductDefault(fallback)) << fallback;
  for (const char* chosen : {"bobs-iphone", "desktop-4k2j9x1", "hall printer", "esp_kitchen"})
    EXPECT_FALSE(IsProductDefault(chosen)) << chosen;

  // Reverse DNS, defaults, the device's own model or maker and repeats count for nothing.
  const std::vector<TDeviceName> names = IdentifyingNames({
      {"Name", "bobs-laptop.lan", scan::kSourceReverseDns},
      {"Name", "iPhone", scan::kSourceMdns},
      {"Name", "OLED55", scan::kSourceUpnp},
      {"Model", "oled55", scan::kSourceUpnp},
      {"Manufacturer", "LG", scan::kSourceUpnp},
      {"Name", "Bobs Laptop", scan::kSourceNetBios},
      {"Name", "BOBS LAPTOP", scan::kSourceDnsSd},
  });
  EXPECT_EQ(names,
            (std::vector<TDeviceName>{{"Bobs Laptop", scan::kSourceNetBios, "bobs laptop"}}));
}

// A new private address is linked to a known device only on strict evidence, the link is
// remembered, and a history of the first layout is brought up in place without linking.
TEST(History, NewPrivateAddressIsLinkedOnlyOnStrictEvidenceAndRemembered) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string path = folder + "/" + kHistoryFileName;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE devices ( mac TEXT PRIMARY KEY NOT NULL, first_seen "
                           "INTEGER NOT NULL, last_seen INTEGER NOT NULL, last_address TEXT NOT "
                           "NULL, host_name TEXT NOT NULL, title TEXT NOT NULL, runs_seen INTEGER "
                           "NOT NULL) WITHOUT ROWID; CREATE INDEX devices_by_last_seen ON "
                           "devices(last_seen); INSERT INTO devices VALUES('00:00:0C:00:00:09', "
                           "5, 5, '10.0.0.9', 'OLD-PC', '', 1); PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  {
    THistory history(folder, 100);
    ASSERT_TRUE(history.Available()) << history.Problem();
    EXPECT_FALSE(history.StartedEmpty());
    // The first layout kept the shown name only: a device of it is never linked.
    history.Record({"02:00:00:00:00:09", "10.0.0.9", "OLD-PC", "", Named("OLD-PC")});
    EXPECT_EQ(history.LinkOf("02:00:00:00:00:09"), nullptr);
    history.Record({"00:00:0C:00:00:01", "10.0.0.1", "", "", Named("bobs-laptop.local")});
    for (const char* mac : {"00:00:0C:00:00:02", "00:00:0C:00:00:03"})
      history.Record({mac, "10.0.0.2", "", "", Named("Living Room", scan::kSourceUpnp)});
    history.Record({"00:00:0C:00:00:04", "10.0.0.4", "", "", Named("kitchen-tv")});
    history.Record({"00:00:0C:00:00:05", "10.0.0.5", "", "", Named("den-pad")});
    const char* const others[] = {"attic-nas", "study-mac", "hall-ipad"};
    for (int i = 0; i < 3; ++i)
      history.Record(
          {"00:00:0C:00:01:0" + std::to_string(i), "10.0.0.6", "", "", Named(others[i])});
    EXPECT_EQ(history.Flush(200), 0u);
  }
  THistory history(folder, 300);
  ASSERT_TRUE(history.Available()) << history.Problem();
  // Bob's laptop under a private address: linked, by any identifying source.
  history.Record(
      {"06:11:11:11:11:11", "10.0.0.7", "", "", Named("BOBS-LAPTOP", scan::kSourceNetBios)});
  const TDeviceLink* link = history.LinkOf("06:11:11:11:11:11");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Name, "BOBS-LAPTOP");
  EXPECT_EQ(link->OldMac, "00:00:0C:00:00:01");
  EXPECT_EQ(link->LastSeen, 200);
  // Not linked: a universal MAC; a name two devices gave; a name equal to its own model; a MAC
  // that answered for several addresses (a repeater shows a name found behind it).
  history.Record({"00:00:0C:11:11:11", "10.0.0.8", "", "", Named("attic-nas")});
  history.Record(
      {"02:22:22:22:22:22", "10.0.0.2", "", "", Named("living room", scan::kSourceUpnp)});
  history.Record(
      {"02:33:33:33:33:33",
       "10.0.0.4",
       "",
       "",
       {{"Name", "kitchen-tv", scan::kSourceMdns}, {"Model", "Kitchen-TV", scan::kSourceUpnp}}});
  history.Record({"02:66:66:66:66:66", "10.0.0.3", "", "", Named("study-mac"), {}, true});
  for (const char* mac :
       {"00:00:0C:11:11:11", "02:22:22:22:22:22", "02:33:33:33:33:33", "02:66:66:66:66:66"})
    EXPECT_EQ(history.LinkOf(mac), nullptr) << mac;
  // A name another device of this run gives too undoes a link made on it.
  history.Record({"02:88:88:88:88:88", "10.0.0.9", "", "", Named("hall-ipad")});
  EXPECT_NE(history.LinkOf("02:88:88:88:88:88"), nullptr);
  history.Record({"00:00:0C:00:00:04", "10.0.0.4", "", "", Named("hall-ipad")});
  EXPECT_EQ(history.LinkOf("02:88:88:88:88:88"), nullptr);
  // Two new MACs claiming one device: neither; the device's own MAC showing up undoes a link.
  history.Record({"02:44:44:44:44:44", "10.0.0.5", "", "", Named("den-pad")});
  EXPECT_NE(history.LinkOf("02:44:44:44:44:44"), nullptr);
  history.Record({"02:55:55:55:55:55", "10.0.0.6", "", "", Named("den-pad")});
  EXPECT_EQ(history.LinkOf("02:44:44:44:44:44"), nullptr);
  EXPECT_EQ(history.LinkOf("02:55:55:55:55:55"), nullptr);
  const uint64_t changes = history.LinkChangeCount();
  history.Record({"00:00:0C:00:00:01", "10.0.0.1", "", "", {}});
  EXPECT_EQ(history.LinkOf("06:11:11:11:11:11"), nullptr);
  EXPECT_GT(history.LinkChangeCount(), changes);
  EXPECT_EQ(history.Flush(400), 0u);

  // A link that stands is remembered: the linked MACs count as one device from then on.
  {
    THistory next(folder + "/next", 500);
    next.Record({"00:00:0C:00:00:0A", "10.0.0.1", "", "", Named("desk")});
    next.Flush(500);
  }
  {
    THistory second(folder + "/next", 600);
    second.Record({"0A:00:00:00:00:0A", "10.0.0.1", "", "", Named("Desk")});
    ASSERT_NE(second.LinkOf("0A:00:00:00:00:0A"), nullptr);
    second.Flush(600);
  }
  {
    THistory third(folder + "/next", 700);
    EXPECT_EQ(third.KnownCount(), 2u);
    EXPECT_EQ(third.KnownDeviceCount(), 1u);
    EXPECT_EQ(third.Known("0A:00:00:00:00:0A")->Device, third.Known("00:00:0C:00:00:0A")->Device);
    // Both MACs of the device answer in one run: they are two devices after all.
    third.Record({"00:00:0C:00:00:0A", "10.0.0.1", "", "", Named("desk")});
    third.Record({"0A:00:00:00:00:0A", "10.0.0.2", "", "", Named("desk")});
    third.Flush(700);
  }
  EXPECT_EQ(THistory(folder + "/next", 800).KnownDeviceCount(), 2u);
}

// The words a screen reader reads for a router answering for others, a device in conflict with
// it, a printer's services, and rows of a run that began the history.
TEST(RowWords, RoutersOffersAndAFirstRunAreSaidInWords) {
  THostTable table([] { return 46000.5; });
  const std::string router = "00:00:0C:00:00:AA";
  for (int host = 1; host <= 12; ++host)
    table.Heard("10.0.0." + std::to_string(host), router, "Cisco");
  scan::THostDetails spoof;
  spoof.OtherMac = router;
  table.Update("10.0.0.3", "10.0.0.3", "02:00:00:00:00:BB", "", "", "", spoof);
  scan::THostDetails printer;
  printer.Offers = {"Printing (IPP)", "Printing (LPD)", "Web page (HTTP)",    "SSH", "AirPlay",
                    "Google Cast",    "Scanning",       "File sharing (SMB)", "hap", "foo"};
  table.Update("10.0.1.5", "HALL", "00:00:0C:00:00:CC", "", "", "", printer);

  QTemporaryDir dir;
  THistory history(dir.path().toStdString(), 1);
  ASSERT_TRUE(history.StartedEmpty());
  const QString routerWords = THostListModel::RowDescription(table.Row(0), &history);
  EXPECT_TRUE(routerWords.contains(
      "Answers for 12 addresses (a router or Wi-Fi repeater answering for the devices behind it): "
      "10.0.0.1, 10.0.0.2, 10.0.0.3, 10.0.0.4, 10.0.0.5, 10.0.0.6, 10.0.0.7, 10.0.0.8\u2026"))
      << routerWords.toStdString();
  EXPECT_TRUE(routerWords.contains("10.0.0.3 also answered from 02:00:00:00:00:BB"));
  EXPECT_FALSE(routerWords.contains("New"));
  const QString spoofWords = THostListModel::RowDescription(table.Row(1), &history);
  EXPECT_TRUE(spoofWords.contains(QString::fromStdString(
      router + " is a router or Wi-Fi repeater answering for the devices behind it")))
      << spoofWords.toStdString();
  EXPECT_TRUE(THostListModel::RowDescription(table.Row(2), &history)
                  .contains("Offers: Printing (IPP), Printing (LPD), Web page (HTTP), SSH, "
                            "AirPlay, Google Cast, Scanning, File sharing (SMB) and 2 more"));

  // A router alone carries no warning and no bold; the model says so without history too.
  THostTable alone([] { return 46000.5; });
  for (int host = 1; host <= 3; ++host) alone.Heard("10.0.0." + std::to_string(host), router, "");
  THostListModel model(alone);
  model.AppendRow(0);
  model.SetHistory(&history);
  const QModelIndex cell = model.index(0, 0);
  EXPECT_FALSE(model.data(cell, Qt::FontRole).isValid());
  EXPECT_FALSE(
      model.data(cell, Qt::AccessibleDescriptionRole).toString().contains("also answered"));
}

}  // namespace
}  // namespace app
