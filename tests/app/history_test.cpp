#include "app/history.h"

#include <sqlite3.h>

#include <QTemporaryDir>
#include <string>

#include <gtest/gtest.h>

namespace app {
namespace {

int64_t Count(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  const int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return n;
}

// A full history keeps its bound: the device unseen for longest makes room for a new one, and
// the devices read at start are what the marks compare with.
TEST(History, FullHistoryForgetsTheDeviceUnseenForLongest) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string path = folder + "/" + kHistoryFileName;
  THistory(folder, 1).Flush(1);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "BEGIN; WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n"
                 " WHERE i < 99999) INSERT INTO devices SELECT printf('02:00:00:%02X:%02X:%02X',"
                 " i / 65536, (i / 256) % 256, i % 256), 10 + i, 1000 + i, '10.0.0.1', '', '', 1"
                 " FROM n; COMMIT;",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ASSERT_EQ(Count(path, "SELECT count(*) FROM devices"), kMaxHistoryDevices);
  {
    THistory history(folder, 5000);
    ASSERT_TRUE(history.Available()) << history.Problem();
    EXPECT_EQ(history.KnownCount(), static_cast<size_t>(kMaxHistoryDevices));
    const TKnownDevice* known = history.Known("02:00:00:00:01:00");
    ASSERT_NE(known, nullptr);
    EXPECT_EQ(known->FirstSeen, 10 + 256);
    EXPECT_EQ(known->LastSeen, 1000 + 256);
    history.Record({"00:00:0C:00:00:01", "10.0.0.2", "NEW", ""});
    history.Record({"02:00:00:00:00:05", "10.0.0.3", "SEEN AGAIN", ""});
    EXPECT_EQ(history.Flush(5000), 0u);
    EXPECT_TRUE(history.Available()) << history.Problem();
  }
  EXPECT_EQ(Count(path, "SELECT count(*) FROM devices"), kMaxHistoryDevices);
  EXPECT_EQ(Count(path, "SELECT count(*) FROM devices WHERE mac = '02:00:00:00:00:00'"), 0);
  EXPECT_EQ(Count(path, "SELECT count(*) FROM devices WHERE mac = '02:00:00:00:00:01'"), 1);
  EXPECT_EQ(Count(path, "SELECT runs_seen FROM devices WHERE mac = '02:00:00:00:00:05'"), 2);
  EXPECT_EQ(Count(path, "SELECT runs_seen FROM devices WHERE mac = '00:00:0C:00:00:01'"), 1);
}

}  // namespace
}  // namespace app
