#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "scan/hostdetails.h"

namespace app {

// One device, keyed by its MAC text. Texts keep at most the first kNameCapacity
// (kVendorCapacity for Vendor) characters of what was reported; host name, vendor and title
// are stored cleaned (CleanText: valid UTF-8, no controls).
struct HostRecord {
  std::string HostName;
  std::string IpAddress;
  std::string Vendor;
  std::string Title;
  std::string MacAddress;
  bool IsHttps = false;
  double FirstSeen =
      0;  // local date-time of the first report (days since 1899-12-30); 0 once seen again
  bool Expired = false;
  // What the reports said beyond the five texts: the other MAC that answered for the address
  // in this run, the names and models with their sources (cleaned), the type they name.
  std::string OtherMac;
  // Every other MAC that answered for the row's address this run (at most kMaxOtherMacs, the
  // first of them OtherMac), and how many others there were in all.
  std::vector<std::string> OtherMacs;
  int32_t OtherMacCount = 0;
  std::vector<scan::TEvidence> Evidence;
  scan::TDeviceType DeviceType = scan::TDeviceType::None;
  // The address OtherMacs answered for: the row's own, or one of its Addresses.
  std::string OtherMacsAt;
  // Those of OtherMacs that answer for kRepeaterAddresses or more addresses: routers or Wi-Fi
  // repeaters answering for the devices behind them.
  std::vector<std::string> Repeaters;
  // The addresses this MAC answered from in this run, in order of first report (at most
  // kMaxAddressesPerMac), and how many there were in all: two are a proxy ARP or a spoofer,
  // kRepeaterAddresses or more a router or repeater answering for the devices behind it.
  std::vector<std::string> Addresses;
  int32_t AddressCount = 0;
  // What the device offers, in words, from the types it announced (at most kMaxOffers).
  std::vector<std::string> Offers;
  // How many passes had started when the row was first reported.
  int32_t PassesAtReport = 0;
};

inline constexpr int32_t kHostSlots = 10001;
inline constexpr int32_t kMaxRows = 9999;
inline constexpr size_t kNameCapacity = 50;
inline constexpr size_t kVendorCapacity = 250;
inline constexpr const char* kNoTitle = "<no title>";
inline constexpr size_t kMaxAddressesPerMac = 8;
inline constexpr size_t kMaxOtherMacs = 8;
inline constexpr size_t kMaxOffers = 32;
// A MAC answering for this many addresses or more in one run answers for others: a router's
// proxy ARP or a Wi-Fi repeater's MAC translation, not a conflict.
inline constexpr int32_t kRepeaterAddresses = 3;
// However many MACs answer for one address (a spoofer may send any number), at most this
// many of them get a row of their own; the rows name the others.
inline constexpr int32_t kMaxRowsPerAddress = 2;

// A host seen once and not again for more than this many whole seconds is marked expired.
inline constexpr int64_t kExpirySeconds = 18;

// The result rows: a fixed set of slots, rows 0 to RowCount() - 1 in use in order of first report.
// Rows never move, so list rows refer to them by index for the life of the table.
//
// Worker threads report into the table while the main thread reads it (list, export, time-out
// tick), so every access goes through one lock. It is held only for the copy or the update
// itself: never while window messages are dispatched, because a reporting worker holds the scan
// lock while it waits for this one, and the main thread needs the scan lock to count workers out.
class THostTable {
 public:
  using TClock = std::function<double()>;

  explicit THostTable(TClock clock = {});
  THostTable(const THostTable&) = delete;
  THostTable& operator=(const THostTable&) = delete;

  // The result callback's work: one row per MAC, created on the first report, updated in place
  // on later ones. vendor is the vendor name already looked up for the MAC. A later report's
  // details replace the row's where they say something (a conflict, evidence, a type).
  void Update(const std::string& ipAddress, const std::string& hostName,
              const std::string& macAddress, const std::string& protocol, const std::string& title,
              const std::string& vendor, const scan::THostDetails& details = {});

  // A station heard answering for an address outside a worker's report: a late first answer,
  // or a further MAC answering for the same address. A new MAC gets its row as a first report
  // makes one (the address as its name, no title); a listed MAC keeps its name and title and
  // counts as seen again. details.OtherMac: another MAC that answered for the address.
  void Heard(const std::string& ipAddress, const std::string& macAddress, const std::string& vendor,
             const scan::THostDetails& details = {});

  int32_t RowCount() const { return m_rowCount.load(std::memory_order_acquire); }

  // A consistent copy of one row; an empty record for an index outside the rows in use.
  HostRecord Row(int32_t index) const;

  // Marks the pending rows whose first report lies more than kExpirySeconds whole seconds away
  // from now (either way: a clock set back counts too). A row waits while a pass that started
  // after its report still runs: that pass may report it again however long it takes, and a
  // busy network's second pass outlasts the time-out. Returns whether any row changed; the
  // rows it marked are added to `marked` when given.
  bool ExpireRows(std::vector<int32_t>* marked = nullptr);

  // A scan pass begins and ends (main thread).
  void PassStarted();
  void PassEnded();

  // Grows whenever a report changes a field that the export writes.
  uint64_t ChangeCount() const { return m_changeCount.load(std::memory_order_acquire); }
  // Grows whenever a report changes what the device history keeps of a row beyond those
  // fields: its evidence and its addresses.
  uint64_t DetailChangeCount() const { return m_detailChangeCount.load(std::memory_order_acquire); }

  // Runs reader over rows 0 to RowCount() - 1 under the lock, with the change count that the
  // rows reflect. reader must not block or dispatch messages.
  void ReadRows(const std::function<void(const std::vector<HostRecord>& rows, int32_t rowCount,
                                         uint64_t changeCount)>& reader) const;

 private:
  // Update's and Heard's work under the lock; keepTexts leaves a listed row's name, title and
  // protocol as they are.
  // Notes that mac and other both answered for ipAddress (count: how many did, when counted)
  // and tells each row of the address's MACs about the others. False when mac has no row
  // and may not get one: the address's MACs have kMaxRowsPerAddress rows already.
  bool NoteConflict(const std::string& ipAddress, const std::string& mac, const std::string& other,
                    uint16_t count);
  int32_t FindRow(const std::string& macAddress) const;
  void Store(const std::string& ipAddress, const std::string& hostName,
             const std::string& macAddress, const std::string& protocol, const std::string& title,
             const std::string& vendor, const scan::THostDetails& details, bool keepTexts);

  TClock m_clock;
  mutable std::mutex m_lock;
  std::vector<HostRecord> m_rows;  // kHostSlots slots, never resized
  std::atomic<int32_t> m_rowCount{0};
  std::atomic<uint64_t> m_changeCount{0};
  std::atomic<uint64_t> m_detailChangeCount{0};
  // The MACs that answered for each address where more than one did (at most kMaxOtherMacs
  // + 1 kept), and how many did.
  struct TAnswers {
    std::vector<std::string> Macs;
    std::vector<uint64_t> Unnamed;  // hashes of the MACs past Macs, at most kMaxCountedMacs
    int32_t Count = 0;
  };
  static constexpr size_t kMaxCountedMacs = 64;
  bool MayStore(const std::string& ipAddress, const std::string& macAddress,
                const scan::THostDetails& details);
  void ShareTexts(const std::string& ipAddress, const std::string& macAddress);
  std::unordered_map<std::string, TAnswers> m_conflicts;
  // Past a row's kept Addresses, the further addresses its MAC answered from, so that a router
  // answering for a whole segment is counted; bounded per MAC and in all.
  static constexpr size_t kMaxCountedAddresses = 1024;
  static constexpr size_t kMaxCountedAddressesInAll = 65536;
  std::unordered_map<std::string, std::unordered_set<std::string>> m_moreAddresses;
  size_t m_moreAddressCount = 0;
  void CountAddress(HostRecord& row);
  // Names, in the row at index and in the rows of the MACs it names as others, which of their
  // others answer for others.
  void NoteRepeaters(int32_t index);
  int32_t m_passesStarted = 0;
  bool m_passRunning = false;
};

// The process-wide table that the main window fills.
THostTable& HostTable();

}  // namespace app
