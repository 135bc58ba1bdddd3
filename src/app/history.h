#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/devicelink.h"
#include "scan/hostdetails.h"

struct sqlite3;
struct sqlite3_stmt;

namespace app {

// At most this many devices are remembered; past it the ones unseen for longest go first.
inline constexpr int64_t kMaxHistoryDevices = 100000;
// The history file's layout; a file of an earlier layout is brought up to it in place, one of a
// later layout is left alone. Layout 2 keeps each device's names with their sources, the
// addresses it answered for, and the device it belongs to.
inline constexpr int kHistorySchemaVersion = 2;
inline constexpr const char* kHistoryFileName = "history.sqlite";

// A device as this run lists it, to be remembered.
struct TSeenDevice {
  std::string MacAddress;
  std::string IpAddress;
  std::string HostName;
  std::string Title;
  // What the device said about itself, and the addresses its MAC answered for this run.
  std::vector<scan::TEvidence> Evidence = {};
  std::vector<std::string> Addresses = {};
  // Whether the MAC answered for more than one address or another MAC for its address: what
  // was found at the address may then be another device's.
  bool SharedAddress = false;
  bool operator==(const TSeenDevice&) const = default;
};

// "$XDG_DATA_HOME/quenzor" (an absolute XDG_DATA_HOME only), else "$HOME/.local/share/quenzor".
std::string DefaultHistoryFolder();

// The devices of earlier runs, keyed by MAC, in an SQLite file of the user's own (folder 0700,
// file 0600). Opening reads what the list needs into memory, so the list never waits on the
// file; what this run sees is written in small transactions from the main thread, with no busy
// wait: a write that finds the file locked is tried again at the next flush. A file that cannot
// be used (folder or file unreadable, locked by another copy, damaged, of a later layout, holding
// objects it did not make) leaves the history off for this run, with Problem() saying why; a
// damaged file is renamed aside, never overwritten, and any other is left byte for byte as it
// is. The folder may be reached through links; the file itself must not be one. Nothing in the
// file runs (no trigger, no view), and what is read of it is bounded.
class THistory {
 public:
  // No history at all (Problem() says it was not read).
  THistory();
  // Opens (creating where missing) the history in folder; nowSeconds stamps this run.
  THistory(const std::string& folder, int64_t nowSeconds);
  ~THistory();
  THistory(const THistory&) = delete;
  THistory& operator=(const THistory&) = delete;

  bool Available() const { return m_db != nullptr; }
  // Why the history is off, in words for the window; empty while it works.
  const std::string& Problem() const { return m_problem; }
  const std::string& Path() const { return m_path; }
  // Where a damaged file was put aside; empty when none was.
  const std::string& KeptAside() const { return m_keptAside; }

  // What the history knew of a MAC before this run; null for a device never seen.
  const TKnownDevice* Known(std::string_view macAddress) const;
  size_t KnownCount() const { return m_known.size(); }
  // How many devices those MACs are, linked MACs counting as one.
  size_t KnownDeviceCount() const { return m_linker.DeviceCount(); }
  // Whether the history held no device when this run began: a first run marks nothing new.
  bool StartedEmpty() const { return Available() && m_startedEmpty; }
  // The known device whose new private address a MAC of this run is; null when it is none.
  const TDeviceLink* LinkOf(std::string_view macAddress) const;
  // Grows whenever a link is made or undone, which changes a row's marks without changing it.
  uint64_t LinkChangeCount() const { return m_linker.ChangeCount(); }
  // Calls visit(48-bit MAC, what was known of it) for every device of earlier runs.
  template <typename TVisit>
  void ForEachKnown(TVisit&& visit) const {
    for (const auto& [mac, device] : m_known) visit(mac, device);
  }

  // Notes a device as this run lists it; written at the next Flush when anything changed.
  // A MAC that the history has never seen, with the locally administered bit, whose device
  // gives a name (IdentifyingNames) that one known device gave and no other, and that no other
  // MAC of this run gives, is linked to that device. Not when its address was shared, when the
  // device's own MAC shows up in this run too, or when another new MAC of this run claims the
  // same device (then neither is linked). Two MACs of one device listed in one run are written
  // as two devices.
  void Record(const TSeenDevice& device);
  // Writes up to kFlushBatch noted devices in one transaction. A locked file keeps them for
  // the next flush; a damaged one turns the history off. Returns the number still waiting.
  size_t Flush(int64_t nowSeconds);

  static constexpr size_t kFlushBatch = 256;

 private:
  bool Open(const std::string& folder);
  // Settings of every connection: no busy wait, and nothing in the file ever runs.
  bool Configure();
  // Reads the layout on a read-only connection that writes nothing beside the file.
  bool Inspect();
  // Whether the open file is of a layout this run writes (noted in m_version) and holds nothing
  // but its objects; otherwise the history is off with Problem() saying why.
  bool CheckLayout();
  bool Exec(const char* sql);
  bool PrepareSchema();
  bool LoadKnown();
  void NoteLink(const TSeenDevice& device);
  // Writes a MAC of this run again at the next flush, as the device it belongs to changed.
  void Requeue(uint64_t mac);
  // The device column, names and addresses a MAC is written with.
  std::string DeviceOf(const TSeenDevice& device) const;
  std::string NamesOf(const TSeenDevice& device) const;
  bool WriteBatch(const std::vector<TSeenDevice>& batch, int64_t nowSeconds);
  int WriteDetails(sqlite3_stmt* stmt, const TSeenDevice& device);
  int ForgetOldest(int64_t excess, int64_t* added);
  void TurnOff(int code, const std::string& doing);
  void SetAside();
  void Close();

  sqlite3* m_db = nullptr;
  std::string m_path;
  std::string m_problem;
  std::string m_keptAside;
  int64_t m_runStart = 0;
  int m_version = 0;
  int64_t m_deviceCount = 0;
  std::unordered_map<uint64_t, TKnownDevice> m_known;
  bool m_startedEmpty = false;
  TDeviceLinker m_linker;
  // The MAC texts of this run, as the table gives them, by their number.
  std::unordered_map<uint64_t, std::string> m_macTexts;
  // The last values written per MAC this run, and the devices noted since then.
  std::unordered_map<std::string, TSeenDevice> m_written;
  std::vector<TSeenDevice> m_pending;
  std::unordered_set<std::string> m_pendingMacs;
};

}  // namespace app
