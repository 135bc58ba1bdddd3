#include "app/history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

#include "app/applog.h"
#include "app/hosttable.h"
#include "app/ouitable.h"
#include "app/safetext.h"
#include "support/posix.h"

namespace app {

namespace {

// The objects of a history file, as SQLite keeps their text in sqlite_schema. A file holding
// anything else (a trigger, a view, another table) is not used.
constexpr const char* kCreateTable =
    "CREATE TABLE devices ("
    " mac TEXT PRIMARY KEY NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " last_address TEXT NOT NULL,"
    " host_name TEXT NOT NULL,"
    " title TEXT NOT NULL,"
    " runs_seen INTEGER NOT NULL) WITHOUT ROWID";
constexpr const char* kCreateIndex = "CREATE INDEX devices_by_last_seen ON devices(last_seen)";
// Since layout 2: the device a MAC belongs to (a MAC text), its names ("source<TAB>name" lines)
// and the addresses it answered for in its last run (separated by spaces).
constexpr const char* kCreateDetails =
    "CREATE TABLE device_details ("
    " mac TEXT PRIMARY KEY NOT NULL,"
    " device TEXT NOT NULL,"
    " names TEXT NOT NULL,"
    " addresses TEXT NOT NULL) WITHOUT ROWID";

struct TSchemaObject {
  const char* Type;
  const char* Name;
  const char* Table;
  const char* Sql;
  int Since;  // the layout that added it
};
constexpr TSchemaObject kSchemaObjects[] = {
    {"table", "devices", "devices", kCreateTable, 1},
    {"index", "devices_by_last_seen", "devices", kCreateIndex, 1},
    {"table", "device_details", "device_details", kCreateDetails, 2}};

// What is read of a device's names and addresses, in characters: enough for what is written.
constexpr int64_t kMaxNamesText = static_cast<int64_t>(kMaxDeviceNames) * (kNameCapacity * 4 + 16);
constexpr int64_t kMaxAddressesText = static_cast<int64_t>(kMaxAddressesPerMac) * 16;

constexpr const char* kUpsert =
    "INSERT INTO devices(mac, first_seen, last_seen, last_address, host_name, title, runs_seen)"
    " VALUES(?1, ?2, ?2, ?3, ?4, ?5, 1)"
    " ON CONFLICT(mac) DO UPDATE SET last_seen = ?2, last_address = ?3, host_name = ?4,"
    " title = ?5, runs_seen = runs_seen + ?6";
constexpr const char* kUpsertDetails =
    "INSERT INTO device_details(mac, device, names, addresses) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(mac) DO UPDATE SET device = ?2, names = ?3, addresses = ?4";

// A statement that finalises itself.
class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql)
      : m_code(sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr)) {}
  ~TStatement() { sqlite3_finalize(m_stmt); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  sqlite3_stmt* Get() const { return m_stmt; }
  int Code() const { return m_code; }

 private:
  sqlite3_stmt* m_stmt = nullptr;
  int m_code;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* text = sqlite3_column_text(stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
              : std::string();
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// mkdir -p with mode 0700 for every folder it makes: the folders under the data home are the
// user's own (XDG Base Directory: "created with permissions 0700").
bool MakeFolders(const std::string& folder) {
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    const std::string part = folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) < 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A path as the file part of an SQLite URI: every byte but the plain ones as %HH.
std::string UriPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || std::strchr("/._-~", c) != nullptr) {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 15];
    }
  }
  return uri;
}

// The file is data, never code: no trigger or view in it runs, the schema cannot be written
// through SQL, and functions with side effects are refused inside the schema.
int Harden(sqlite3* db) {
  int code = sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  if (code == SQLITE_OK) code = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
#ifdef SQLITE_DBCONFIG_ENABLE_VIEW
  if (code == SQLITE_OK) code = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
#endif
  if (code == SQLITE_OK)
    code = sqlite3_exec(db, "PRAGMA trusted_schema=OFF", nullptr, nullptr, nullptr);
  return code;
}

bool IsDamaged(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool IsBusy(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// "source<TAB>name" lines, as written; lines of another source, or past the bound, are skipped.
std::vector<TDeviceName> ReadNames(const std::string& text) {
  std::vector<TDeviceName> names;
  size_t start = 0;
  while (start < text.size() && names.size() < kMaxDeviceNames) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || !IsIdentifyingSource(line.substr(0, tab))) continue;
    const std::string name = CleanText(line.substr(tab + 1), kNameCapacity);
    std::string key = NameKey(name);
    if (!key.empty()) names.push_back({name, line.substr(0, tab), std::move(key)});
  }
  return names;
}

std::string WriteNames(const std::vector<TDeviceName>& names) {
  std::string text;
  for (const TDeviceName& name : names) {
    if (!text.empty()) text += '\n';
    text += name.Source + '\t' + name.Text;
  }
  return text;
}

std::vector<std::string> ReadAddresses(const std::string& text) {
  std::vector<std::string> addresses;
  size_t start = 0;
  while (start < text.size() && addresses.size() < kMaxAddressesPerMac) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) addresses.push_back(CleanText(text.substr(start, end - start), 15));
    start = end + 1;
  }
  return addresses;
}

std::string WriteAddresses(const std::vector<std::string>& addresses) {
  std::string text;
  for (size_t i = 0; i < addresses.size() && i < kMaxAddressesPerMac; ++i) {
    if (i > 0) text += ' ';
    text += addresses[i];
  }
  return text;
}

// The names a device told that may tell it apart. A MAC that answered for other addresses, or
// whose address another MAC answered for, shows what the name step found at an address: the
// names may be another device's.
std::vector<TDeviceName> NamesTold(const TSeenDevice& seen) {
  return seen.SharedAddress ? std::vector<TDeviceName>{} : IdentifyingNames(seen.Evidence);
}

}  // namespace

std::string DefaultHistoryFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return std::string(dataHome) + "/quenzor";
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] ? home : "/") + "/.local/share/quenzor";
}

THistory::THistory(const std::string& folder, int64_t nowSeconds) : m_runStart(nowSeconds) {
  m_path = folder + "/" + kHistoryFileName;
  if (!Open(folder)) Close();
  if (!m_problem.empty()) qCWarning(lcApp, "device history off: %s", m_problem.c_str());
}

THistory::THistory() : m_problem("it was not read") {}

THistory::~THistory() { Close(); }

void THistory::Close() {
  if (m_db) sqlite3_close_v2(m_db);
  m_db = nullptr;
}

bool THistory::Open(const std::string& folder) {
  if (!MakeFolders(folder)) {
    m_problem = "its folder " + folder + " cannot be made (" + std::strerror(errno) + ")";
    return false;
  }
  // The folder is resolved first: a home reached through a link (a data disk mounted elsewhere)
  // is the user's own. Only the file itself must not be a link; O_NOFOLLOW and SQLite's
  // NOFOLLOW (which refuses a link anywhere in the path) check that on the resolved path.
  {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
      m_problem = "its folder " + folder + " cannot be read (" + std::strerror(errno) + ")";
      return false;
    }
    m_path = resolved.get();
    if (m_path.back() != '/') m_path += '/';
    m_path += kHistoryFileName;
  }
  // The file is made here, not by SQLite, so that it is 0600 from its first byte whatever the
  // umask; SQLite gives its -wal file the mode of the database file. No link is followed.
  {
    support::TUniqueFd fd(support::RetryOnEintr(
        [&] { return ::open(m_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); }));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) < 0 || !S_ISREG(info.st_mode)) {
      m_problem = m_path + " cannot be read (" + std::strerror(fd ? EINVAL : errno) + ")";
      return false;
    }
  }
  if (!Inspect()) return false;
  const int code =
      sqlite3_open_v2(m_path.c_str(), &m_db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (code != SQLITE_OK) {
    TurnOff(code, "opening");
    return false;
  }
  return Configure() && PrepareSchema() && LoadKnown();
}

bool THistory::Configure() {
  sqlite3_extended_result_codes(m_db, 1);
  sqlite3_busy_timeout(m_db, 0);
  const int code = Harden(m_db);
  if (code == SQLITE_OK) return true;
  TurnOff(code, "configuring");
  return false;
}

bool THistory::Inspect() {
  // Nothing is written before the file is known to be of this layout and to hold nothing else,
  // so the layout is read on a read-only connection first. Without a write-ahead log beside it
  // the file is the whole database and is read as immutable, which leaves no -wal or -shm file
  // behind; with one, the log is read too. The version lies in the header, so a later layout
  // is recognised even when this SQLite cannot parse its schema.
  struct stat info {};
  const bool hasLog = ::lstat((m_path + "-wal").c_str(), &info) == 0;
  const std::string uri =
      "file:" + UriPath(m_path) + (hasLog ? "?mode=ro" : "?mode=ro&immutable=1");
  const int code = sqlite3_open_v2(
      uri.c_str(), &m_db,
      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (code != SQLITE_OK) {
    TurnOff(code, "opening");
    return false;
  }
  if (!Configure() || !CheckLayout()) return false;
  Close();
  return true;
}

bool THistory::CheckLayout() {
  int version = -1;
  {
    TStatement stmt(m_db, "PRAGMA user_version");
    const int code = stmt.Code() == SQLITE_OK ? sqlite3_step(stmt.Get()) : stmt.Code();
    if (code != SQLITE_ROW) {
      TurnOff(code, "reading its version");
      return false;
    }
    version = sqlite3_column_int(stmt.Get(), 0);
  }
  if (version > kHistorySchemaVersion) {
    Close();
    m_problem = m_path + " was written by a later quenZOR (layout " + std::to_string(version) +
                "); it is left as it is";
    return false;
  }
  // A new file holds nothing; one of a known layout holds exactly the objects of that layout.
  size_t matched = 0;
  size_t objects = 0;
  size_t expected = 0;
  for (const TSchemaObject& object : kSchemaObjects) expected += object.Since <= version ? 1 : 0;
  TStatement stmt(m_db, "SELECT type, name, tbl_name, sql FROM sqlite_schema");
  int code = stmt.Code();
  while (code == SQLITE_OK && (code = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
    code = SQLITE_OK;
    ++objects;
    for (const TSchemaObject& object : kSchemaObjects) {
      if (object.Since <= version && ColumnText(stmt.Get(), 0) == object.Type &&
          ColumnText(stmt.Get(), 1) == object.Name && ColumnText(stmt.Get(), 2) == object.Table &&
          ColumnText(stmt.Get(), 3) == object.Sql)
        ++matched;
    }
  }
  if (code != SQLITE_DONE) {
    TurnOff(code, "reading its layout");
    return false;
  }
  if (objects != expected || matched != expected) {
    Close();
    m_problem = m_path + " holds tables, views or triggers that quenZOR did not make; it is " +
                "left as it is";
    return false;
  }
  m_version = version;
  return true;
}

bool THistory::Exec(const char* sql) {
  const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) return true;
  TurnOff(code, sql);
  return false;
}

bool THistory::PrepareSchema() {
  // One copy owns the file while it runs (exclusive locking, taken at once by the first
  // transaction): a second copy finds it locked and runs without history instead of waiting.
  // The write-ahead log keeps commits cheap (no sync per commit with synchronous=NORMAL) and
  // the file consistent after a crash. The layout is read again under the lock, in case the
  // file changed since it was inspected.
  if (!Exec("PRAGMA locking_mode=EXCLUSIVE") || !Exec("PRAGMA journal_mode=WAL") ||
      !Exec("PRAGMA synchronous=NORMAL") || !Exec("BEGIN EXCLUSIVE") || !CheckLayout())
    return false;
  // A new file gets every object; one of an earlier layout the objects added since, in the same
  // transaction as its new version, so it is either upgraded whole or left as it was.
  if (m_version < kHistorySchemaVersion) {
    for (const TSchemaObject& object : kSchemaObjects) {
      if (object.Since > m_version && !Exec(object.Sql)) return false;
    }
    const std::string setVersion = "PRAGMA user_version=" + std::to_string(kHistorySchemaVersion);
    if (!Exec(setVersion.c_str())) return false;
    m_version = kHistorySchemaVersion;
  }
  return Exec("COMMIT");
}

bool THistory::LoadKnown() {
  // What is read is bounded whatever the file holds: the devices seen last, up to the bound,
  // and each text cut to what the host table keeps (a MAC text is 17 characters; one read
  // longer is no MAC and is skipped).
  int code = SQLITE_OK;
  {
    TStatement count(m_db, "SELECT count(*) FROM devices");
    code = count.Code() == SQLITE_OK ? sqlite3_step(count.Get()) : count.Code();
    if (code == SQLITE_ROW) m_deviceCount = sqlite3_column_int64(count.Get(), 0);
  }
  TStatement stmt(m_db,
                  "SELECT substr(d.mac, 1, 18), d.first_seen, d.last_seen,"
                  " substr(d.last_address, 1, ?1), substr(x.device, 1, 18),"
                  " substr(x.names, 1, ?3), substr(x.addresses, 1, ?4)"
                  " FROM devices AS d LEFT JOIN device_details AS x ON x.mac = d.mac"
                  " ORDER BY d.last_seen DESC LIMIT ?2");
  if (code == SQLITE_ROW) code = stmt.Code();
  if (code == SQLITE_OK) {
    sqlite3_bind_int64(stmt.Get(), 1, static_cast<int64_t>(kNameCapacity));
    sqlite3_bind_int64(stmt.Get(), 2, kMaxHistoryDevices);
    sqlite3_bind_int64(stmt.Get(), 3, kMaxNamesText);
    sqlite3_bind_int64(stmt.Get(), 4, kMaxAddressesText);
    while ((code = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
      const int64_t key = MacKey(ColumnText(stmt.Get(), 0));
      if (key < 0) continue;
      const int64_t device = MacKey(ColumnText(stmt.Get(), 4));
      m_known[static_cast<uint64_t>(key)] = {sqlite3_column_int64(stmt.Get(), 1),
                                             sqlite3_column_int64(stmt.Get(), 2),
                                             CleanText(ColumnText(stmt.Get(), 3), kNameCapacity),
                                             static_cast<uint64_t>(device < 0 ? key : device),
                                             ReadNames(ColumnText(stmt.Get(), 5)),
                                             ReadAddresses(ColumnText(stmt.Get(), 6))};
    }
  }
  if (code == SQLITE_DONE) {
    m_startedEmpty = m_known.empty();
    m_linker.Index(m_known);
    return true;
  }
  m_known.clear();
  TurnOff(code, "reading");
  return false;
}

const TKnownDevice* THistory::Known(std::string_view macAddress) const {
  const int64_t key = MacKey(macAddress);
  if (key < 0) return nullptr;
  const auto found = m_known.find(static_cast<uint64_t>(key));
  return found == m_known.end() ? nullptr : &found->second;
}

const TDeviceLink* THistory::LinkOf(std::string_view macAddress) const {
  const int64_t key = MacKey(macAddress);
  return key < 0 ? nullptr : m_linker.LinkOf(static_cast<uint64_t>(key));
}

void THistory::NoteLink(const TSeenDevice& seen) {
  const int64_t key = MacKey(seen.MacAddress);
  if (key < 0) return;
  const auto mac = static_cast<uint64_t>(key);
  m_macTexts.try_emplace(mac, seen.MacAddress);
  for (const uint64_t changed : m_linker.Note(
           mac, Known(seen.MacAddress), IsLocallyAdministered(seen.MacAddress), NamesTold(seen)))
    Requeue(changed);
}

void THistory::Requeue(uint64_t mac) {
  const auto text = m_macTexts.find(mac);
  if (text == m_macTexts.end() || m_pendingMacs.count(text->second)) return;
  const auto written = m_written.find(text->second);
  if (written == m_written.end()) return;
  m_pendingMacs.insert(text->second);
  m_pending.push_back(written->second);
}

std::string THistory::DeviceOf(const TSeenDevice& device) const {
  const int64_t key = MacKey(device.MacAddress);
  if (key >= 0 && m_linker.IsSplit(static_cast<uint64_t>(key))) return device.MacAddress;
  if (const TDeviceLink* link = LinkOf(device.MacAddress)) return MacText(link->Device);
  if (const TKnownDevice* known = Known(device.MacAddress)) return MacText(known->Device);
  return device.MacAddress;
}

std::string THistory::NamesOf(const TSeenDevice& device) const {
  // A run in which the device told no name (heard only, its name step found nothing, or its
  // names may be another device's) keeps the names it gave before.
  const std::vector<TDeviceName> names = NamesTold(device);
  const TKnownDevice* known = Known(device.MacAddress);
  return WriteNames(names.empty() && known ? known->Names : names);
}

void THistory::Record(const TSeenDevice& device) {
  if (!m_db) return;
  const auto written = m_written.find(device.MacAddress);
  if (written != m_written.end() && written->second == device) return;
  NoteLink(device);
  if (m_pendingMacs.count(device.MacAddress)) {
    for (TSeenDevice& pending : m_pending) {
      if (pending.MacAddress == device.MacAddress) pending = device;
    }
    return;
  }
  m_pendingMacs.insert(device.MacAddress);
  m_pending.push_back(device);
}

size_t THistory::Flush(int64_t nowSeconds) {
  if (!m_db || m_pending.empty()) return m_pending.size();
  const size_t count = std::min(m_pending.size(), kFlushBatch);
  const std::vector<TSeenDevice> batch(m_pending.begin(), m_pending.begin() + count);
  if (!WriteBatch(batch, nowSeconds)) return m_db ? m_pending.size() : 0;
  for (const TSeenDevice& device : batch) {
    m_pendingMacs.erase(device.MacAddress);
    m_written[device.MacAddress] = device;
  }
  m_pending.erase(m_pending.begin(), m_pending.begin() + count);
  return m_pending.size();
}

bool THistory::WriteBatch(const std::vector<TSeenDevice>& batch, int64_t nowSeconds) {
  int code = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (IsBusy(code)) return false;  // another writer: the batch waits for the next flush
  if (code != SQLITE_OK) {
    TurnOff(code, "writing");
    return false;
  }
  int64_t added = 0;
  {
    TStatement upsert(m_db, kUpsert);
    TStatement details(m_db, kUpsertDetails);
    code = upsert.Code() != SQLITE_OK ? upsert.Code() : details.Code();
    for (size_t i = 0; code == SQLITE_OK && i < batch.size(); ++i) {
      const TSeenDevice& device = batch[i];
      const bool seenThisRun = m_written.count(device.MacAddress) > 0;
      sqlite3_stmt* stmt = upsert.Get();
      BindText(stmt, 1, device.MacAddress);
      sqlite3_bind_int64(stmt, 2, nowSeconds);
      BindText(stmt, 3, device.IpAddress);
      BindText(stmt, 4, device.HostName);
      BindText(stmt, 5, device.Title);
      // A run counts once per device, however often its row changes.
      sqlite3_bind_int(stmt, 6, seenThisRun ? 0 : 1);
      code = sqlite3_step(stmt);
      sqlite3_reset(stmt);
      if (code == SQLITE_DONE) code = WriteDetails(details.Get(), device);
      if (!seenThisRun && !Known(device.MacAddress)) ++added;
    }
  }
  if (code == SQLITE_OK && m_deviceCount + added > kMaxHistoryDevices)
    code = ForgetOldest(m_deviceCount + added - kMaxHistoryDevices, &added);
  if (code == SQLITE_OK) code = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) {
    m_deviceCount += added;
    return true;
  }
  sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  if (!IsBusy(code)) TurnOff(code, "writing");
  return false;
}

int THistory::WriteDetails(sqlite3_stmt* stmt, const TSeenDevice& device) {
  BindText(stmt, 1, device.MacAddress);
  BindText(stmt, 2, DeviceOf(device));
  BindText(stmt, 3, NamesOf(device));
  BindText(stmt, 4, WriteAddresses(device.Addresses));
  const int code = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return code == SQLITE_DONE ? SQLITE_OK : code;
}

int THistory::ForgetOldest(int64_t excess, int64_t* added) {
  // The devices unseen for longest go first; this run's devices carry the newest times.
  TStatement forgetDetails(m_db,
                           "DELETE FROM device_details WHERE mac IN"
                           " (SELECT mac FROM devices ORDER BY last_seen ASC LIMIT ?1)");
  if (forgetDetails.Code() != SQLITE_OK) return forgetDetails.Code();
  sqlite3_bind_int64(forgetDetails.Get(), 1, excess);
  if (const int code = sqlite3_step(forgetDetails.Get()); code != SQLITE_DONE) return code;
  TStatement forget(m_db,
                    "DELETE FROM devices WHERE mac IN"
                    " (SELECT mac FROM devices ORDER BY last_seen ASC LIMIT ?1)");
  if (forget.Code() != SQLITE_OK) return forget.Code();
  sqlite3_bind_int64(forget.Get(), 1, excess);
  const int code = sqlite3_step(forget.Get());
  if (code != SQLITE_DONE) return code;
  *added -= sqlite3_changes(m_db);
  return SQLITE_OK;
}

void THistory::TurnOff(int code, const std::string& doing) {
  const std::string reason = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
  qCDebug(lcApp, "history: %s failed: %s (%d)", doing.c_str(), reason.c_str(), code);
  Close();
  if (IsBusy(code)) {
    m_problem = m_path + " is in use by another copy of quenZOR";
  } else if (IsDamaged(code)) {
    SetAside();
    m_problem = m_path + " is damaged";
    m_problem += m_keptAside.empty()
                     ? " and could not be moved aside"
                     : "; it was kept as " + m_keptAside + " and a new history starts next time";
  } else {
    m_problem = m_path + " cannot be used (" + reason + ")";
  }
}

void THistory::SetAside() {
  // A name of its own beside the file: link() never replaces an existing file, so an earlier
  // damaged copy is not overwritten either.
  char stamp[32];
  const time_t now = static_cast<time_t>(m_runStart);
  struct tm local {};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  for (int n = 0; n < 100; ++n) {
    std::string aside = m_path + ".damaged-" + stamp;
    if (n > 0) aside += "-" + std::to_string(n);
    if (::link(m_path.c_str(), aside.c_str()) < 0) {
      if (errno == EEXIST) continue;
      return;
    }
    ::unlink(m_path.c_str());
    // The write-ahead log belongs to the damaged file; a new file must not replay it.
    const std::string wal = m_path + "-wal";
    if (::link(wal.c_str(), (aside + "-wal").c_str()) == 0) ::unlink(wal.c_str());
    ::unlink((m_path + "-shm").c_str());
    m_keptAside = aside;
    return;
  }
}

}  // namespace app
