#include "app/history.h"

#include <sqlite3.h>

#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/hosttable.h"
#include "common/temphome.h"

namespace app {
namespace {

void ExecSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

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

// The history is the user's own file wherever the home lies: a home reached through a link
// works, the file itself as a link is refused. A file it cannot use stays byte for byte as it
// was, with nothing beside it: one of a later layout (even one whose schema this SQLite cannot
// parse) and one holding a trigger, which is refused rather than run. What is read of a file
// is bounded: an over-long address is cut to the host table's length.
TEST(History, IsTheUsersOwnFileAndNeverRunsOrChangesWhatItCannotUse) {
  test::TTempDir dir;
  std::filesystem::create_directory(dir.Path() + "/disk");
  std::filesystem::create_directory_symlink(dir.Path() + "/disk", dir.Path() + "/home");
  const test::TScopedEnv home("HOME", dir.Path() + "/home");
  const test::TScopedEnv dataHome("XDG_DATA_HOME", "");
  const std::string folder = DefaultHistoryFolder();
  const std::string path = dir.Path() + "/disk/.local/share/quenzor/" + kHistoryFileName;
  {
    THistory history(folder, 1);
    ASSERT_TRUE(history.Available()) << history.Problem();
    history.Record({"00:00:0C:00:00:01", "10.0.0.1", "", ""});
    EXPECT_EQ(history.Flush(1), 0u);
  }
  EXPECT_EQ(Count(path, "SELECT count(*) FROM devices"), 1);

  const auto expectUnused = [&](const char* says) {
    const std::string before = test::ReadFile(path);
    {
      THistory history(folder, 2);
      EXPECT_FALSE(history.Available());
      EXPECT_NE(history.Problem().find(says), std::string::npos) << history.Problem();
      history.Record({"00:00:0C:00:00:02", "10.0.0.2", "", ""});
      history.Flush(2);
    }
    EXPECT_TRUE(test::ReadFile(path) == before) << says << ": the file changed";
    EXPECT_FALSE(Exists(path + "-wal")) << says;
    EXPECT_FALSE(Exists(path + "-shm")) << says;
  };

  // A trigger that would mark every device it sees; no run of it shows.
  ExecSql(path,
          "CREATE TRIGGER planted AFTER UPDATE ON devices BEGIN"
          " UPDATE devices SET title = 'planted' WHERE mac = new.mac; END");
  expectUnused("did not make");
  EXPECT_EQ(Count(path, "SELECT count(*) FROM devices WHERE title = 'planted'"), 0);

  // A later layout, in the write-ahead mode this program leaves its own files in, with a
  // schema this SQLite cannot parse.
  ExecSql(path,
          "PRAGMA journal_mode=WAL; DROP TRIGGER planted; PRAGMA user_version=3;"
          " PRAGMA writable_schema=ON;"
          " UPDATE sqlite_schema SET sql = 'CREATE INDEX devices_by_last_seen ON devices(last_seen)"
          " WHERE a syntax to come' WHERE name = 'devices_by_last_seen';");
  expectUnused("later quenZOR");

  std::filesystem::remove(path);
  std::filesystem::create_symlink(dir.Path() + "/elsewhere", path);
  {
    THistory history(folder, 3);
    EXPECT_FALSE(history.Available());
  }
  EXPECT_FALSE(Exists(dir.Path() + "/elsewhere"));

  std::filesystem::remove(path);
  THistory(folder, 4).Flush(4);
  ExecSql(path,
          "INSERT INTO devices VALUES('00:00:0C:00:00:03', 1, 2,"
          " '10.0.0.3' || printf('%.*c', 1000000, 'x'), '', '', 1)");
  THistory history(folder, 5);
  ASSERT_TRUE(history.Available()) << history.Problem();
  const TKnownDevice* known = history.Known("00:00:0C:00:00:03");
  ASSERT_NE(known, nullptr);
  EXPECT_TRUE(known->LastAddress == "10.0.0.3" + std::string(kNameCapacity - 8, 'x'))
      << known->LastAddress.size() << " bytes";
}

}  // namespace
}  // namespace app
