#include "app/hosttable.h"

#include <algorithm>
#include <cmath>

#include "app/safetext.h"
#include "platform/clock.h"

namespace app {

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;

// Whole seconds between two local date-times, either way round. Counting whole milliseconds
// first keeps 19 s from landing a hair below 19 in floating point.
int64_t WholeSecondsBetween(double a, double b) {
  return std::llround(std::fabs(a - b) * kMillisecondsPerDay) / 1000;
}

std::string Cut(const std::string& text, size_t capacity) {
  return text.size() <= capacity ? text : text.substr(0, capacity);
}

}  // namespace

THostTable::THostTable(TClock clock) : m_clock(std::move(clock)), m_rows(kHostSlots) {
  if (!m_clock) m_clock = [] { return platform::NowDateTime(); };
}

void THostTable::Update(const std::string& ipAddress, const std::string& hostName,
                        const std::string& macAddress, const std::string& protocol,
                        const std::string& title, const std::string& vendor,
                        const scan::THostDetails& details) {
  std::lock_guard guard(m_lock);
  if (!MayStore(ipAddress, macAddress, details)) return;
  Store(ipAddress, hostName, macAddress, protocol, title, vendor, details, false);
  ShareTexts(ipAddress, macAddress);
}

// The other rows of a conflict at ipAddress show what the worker found there too: the name,
// the title and the evidence belong to the address, while the answers do not tell which
// station gave them (the device type stays with the row it came with).
void THostTable::ShareTexts(const std::string& ipAddress, const std::string& macAddress) {
  const auto found = m_conflicts.find(ipAddress);
  const int32_t from = FindRow(macAddress);
  if (found == m_conflicts.end() || from < 0) return;
  const HostRecord source = m_rows[from];
  for (const std::string& other : found->second.Macs) {
    const int32_t index = FindRow(other);
    if (index < 0 || index == from || m_rows[index].IpAddress != ipAddress) continue;
    HostRecord& row = m_rows[index];
    if (row.HostName != source.HostName || row.Title != source.Title) {
      m_changeCount.fetch_add(1, std::memory_order_release);
    }
    if (row.Evidence != source.Evidence)
      m_detailChangeCount.fetch_add(1, std::memory_order_release);
    row.HostName = source.HostName;
    row.Title = source.Title;
    row.IsHttps = source.IsHttps;
    row.Evidence = source.Evidence;
  }
}

bool THostTable::MayStore(const std::string& ipAddress, const std::string& macAddress,
                          const scan::THostDetails& details) {
  if (!details.OtherMac.empty()) {
    return NoteConflict(ipAddress, macAddress, details.OtherMac, details.MacCount);
  }
  // An address that more than one MAC answered for stays within its rows whichever MAC
  // answers first next time.
  const auto found = m_conflicts.find(ipAddress);
  if (found == m_conflicts.end()) return true;
  return NoteConflict(ipAddress, macAddress, found->second.Macs.front(), details.MacCount);
}

void THostTable::Heard(const std::string& ipAddress, const std::string& macAddress,
                       const std::string& vendor, const scan::THostDetails& details) {
  std::lock_guard guard(m_lock);
  if (!MayStore(ipAddress, macAddress, details)) return;
  Store(ipAddress, ipAddress, macAddress, "", "", vendor, details, true);
}

int32_t THostTable::FindRow(const std::string& macAddress) const {
  int32_t found = -1;
  const int32_t rowCount = m_rowCount.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < rowCount; ++i) {
    if (m_rows[i].MacAddress == macAddress) found = i;  // the last match, as Store finds it
  }
  return found;
}

bool THostTable::NoteConflict(const std::string& ipAddress, const std::string& mac,
                              const std::string& other, uint16_t count) {
  auto found = m_conflicts.find(ipAddress);
  if (found == m_conflicts.end()) {
    // One entry per address that more than one MAC answered for: at most a sweep's worth.
    if (m_conflicts.size() >= static_cast<size_t>(kHostSlots)) return FindRow(mac) >= 0;
    found = m_conflicts.emplace(ipAddress, TAnswers{}).first;
  }
  TAnswers& answers = found->second;
  int32_t rows = 0;
  for (const std::string& known : answers.Macs) rows += FindRow(known) >= 0 ? 1 : 0;
  for (const std::string& each : {other, mac}) {
    if (std::find(answers.Macs.begin(), answers.Macs.end(), each) != answers.Macs.end()) continue;
    if (answers.Macs.size() <= kMaxOtherMacs) {
      answers.Macs.push_back(Cut(each, kNameCapacity));
      continue;
    }
    // Past the named ones a MAC is told apart by its hash, up to a bound; past that the count
    // grows only with what the scan counted.
    const uint64_t key = std::hash<std::string>{}(each);
    if (answers.Unnamed.size() < kMaxCountedMacs &&
        std::find(answers.Unnamed.begin(), answers.Unnamed.end(), key) == answers.Unnamed.end()) {
      answers.Unnamed.push_back(key);
    }
  }
  answers.Count = std::max(static_cast<int32_t>(count),
                           static_cast<int32_t>(answers.Macs.size() + answers.Unnamed.size()));
  const bool mayStore = FindRow(mac) >= 0 || rows < kMaxRowsPerAddress;
  // Every row of the address's MACs names the others, and how many there were.
  for (const std::string& known : answers.Macs) {
    const int32_t index = FindRow(known);
    if (index < 0) continue;
    HostRecord& row = m_rows[index];
    row.OtherMacs.clear();
    for (const std::string& each : answers.Macs) {
      if (each != known && row.OtherMacs.size() < kMaxOtherMacs) row.OtherMacs.push_back(each);
    }
    row.OtherMacCount = answers.Count - 1;
    row.OtherMac = row.OtherMacs.empty() ? std::string() : row.OtherMacs.front();
    row.OtherMacsAt = Cut(ipAddress, kNameCapacity);
    NoteRepeaters(index);
  }
  return mayStore;
}

void THostTable::Store(const std::string& ipAddress, const std::string& hostName,
                       const std::string& macAddress, const std::string& protocol,
                       const std::string& title, const std::string& vendor,
                       const scan::THostDetails& details, bool keepTexts) {
  const double now = m_clock();
  const int32_t rowCount = m_rowCount.load(std::memory_order_relaxed);
  // A new MAC with every row in use changes nothing (the table has one spare slot, but nothing
  // reads past RowCount, so writing it would be invisible work).
  int32_t target = -1;
  for (int32_t i = 0; i < rowCount; ++i) {
    if (m_rows[i].MacAddress == macAddress)
      target = i;  // the last match, as the rows were searched
  }
  const bool isNew = target < 0;
  if (isNew && rowCount >= kMaxRows) return;
  if (isNew) target = rowCount;

  HostRecord& row = m_rows[target];
  const HostRecord before = row;
  if (isNew) {
    row.FirstSeen = now;
    row.PassesAtReport = m_passesStarted;
  } else {
    row.FirstSeen = 0;
  }
  row.Expired = false;
  // Names and titles come from the devices: they are cleaned as they are stored, so the list
  // and the export only ever hold valid UTF-8 without controls.
  if (isNew || !keepTexts) {
    row.HostName = CleanText(hostName, kNameCapacity);
    // "<no title>" only fills an empty title: a title already known stays.
    if (title != kNoTitle || row.Title.empty()) row.Title = CleanText(title, kNameCapacity);
    row.IsHttps = protocol == "https";
  }
  row.IpAddress = Cut(ipAddress, kNameCapacity);
  row.MacAddress = Cut(macAddress, kNameCapacity);
  row.Vendor = CleanText(vendor, kVendorCapacity);
  CountAddress(row);
  if (!details.OtherMac.empty() && row.OtherMacs.empty()) {
    // A new row of a conflict: it names the others as the address's other rows do.
    const auto found = m_conflicts.find(row.IpAddress);
    if (found != m_conflicts.end()) {
      for (const std::string& each : found->second.Macs) {
        if (each != row.MacAddress && row.OtherMacs.size() < kMaxOtherMacs)
          row.OtherMacs.push_back(each);
      }
      row.OtherMacCount = found->second.Count - 1;
    } else {
      row.OtherMacs = {Cut(details.OtherMac, kNameCapacity)};
      row.OtherMacCount = 1;
    }
    row.OtherMac =
        row.OtherMacs.empty() ? Cut(details.OtherMac, kNameCapacity) : row.OtherMacs.front();
    row.OtherMacsAt = row.IpAddress;
  }
  if (!details.Evidence.empty()) {
    row.Evidence.clear();
    for (const scan::TEvidence& e : details.Evidence) {
      // Texts that differ only in what cleaning drops or cuts are said once.
      scan::TEvidence clean{e.What, CleanText(e.Text, kNameCapacity), e.Source};
      if (std::find(row.Evidence.begin(), row.Evidence.end(), clean) == row.Evidence.end())
        row.Evidence.push_back(std::move(clean));
    }
  }
  if (details.DeviceType != scan::TDeviceType::None) row.DeviceType = details.DeviceType;
  if (!details.Offers.empty()) {
    row.Offers.clear();
    for (const std::string& offer : details.Offers) {
      if (row.Offers.size() < kMaxOffers) row.Offers.push_back(CleanText(offer, kNameCapacity));
    }
  }
  // A MAC that now answers for others tells the rows that name it; a new row of a conflict
  // learns which of its others do.
  if (before.AddressCount < kRepeaterAddresses && row.AddressCount >= kRepeaterAddresses) {
    for (int32_t i = 0; i < rowCount; ++i) {
      const std::vector<std::string>& others = m_rows[i].OtherMacs;
      if (std::find(others.begin(), others.end(), row.MacAddress) != others.end()) NoteRepeaters(i);
    }
  }
  if (!row.OtherMacs.empty()) NoteRepeaters(target);
  if (before.Evidence != row.Evidence || before.Addresses != row.Addresses ||
      before.AddressCount != row.AddressCount || before.Offers != row.Offers)
    m_detailChangeCount.fetch_add(1, std::memory_order_release);

  const bool exportedFieldsChanged = isNew || before.HostName != row.HostName ||
                                     before.IpAddress != row.IpAddress ||
                                     before.Vendor != row.Vendor || before.Title != row.Title ||
                                     before.MacAddress != row.MacAddress;
  if (exportedFieldsChanged) m_changeCount.fetch_add(1, std::memory_order_release);
  // Publishing the count last keeps a reader that respects RowCount away from a half-made row.
  if (isNew) m_rowCount.store(rowCount + 1, std::memory_order_release);
}

void THostTable::CountAddress(HostRecord& row) {
  const bool kept =
      std::find(row.Addresses.begin(), row.Addresses.end(), row.IpAddress) != row.Addresses.end();
  if (!kept && row.Addresses.size() < kMaxAddressesPerMac) {
    row.Addresses.push_back(row.IpAddress);
  } else if (!kept && m_moreAddressCount < kMaxCountedAddressesInAll) {
    std::unordered_set<std::string>& more = m_moreAddresses[row.MacAddress];
    if (more.size() < kMaxCountedAddresses && more.insert(row.IpAddress).second)
      ++m_moreAddressCount;
  }
  const auto more = m_moreAddresses.find(row.MacAddress);
  row.AddressCount = static_cast<int32_t>(
      row.Addresses.size() + (more == m_moreAddresses.end() ? 0 : more->second.size()));
}

void THostTable::NoteRepeaters(int32_t index) {
  HostRecord& row = m_rows[index];
  row.Repeaters.clear();
  for (const std::string& other : row.OtherMacs) {
    const int32_t found = FindRow(other);
    if (found >= 0 && m_rows[found].AddressCount >= kRepeaterAddresses)
      row.Repeaters.push_back(other);
  }
}

HostRecord THostTable::Row(int32_t index) const {
  std::lock_guard guard(m_lock);
  if (index < 0 || index >= m_rowCount.load(std::memory_order_relaxed)) return {};
  return m_rows[index];
}

bool THostTable::ExpireRows(std::vector<int32_t>* marked) {
  const double now = m_clock();
  bool changed = false;
  std::lock_guard guard(m_lock);
  const int32_t rowCount = m_rowCount.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < rowCount; ++i) {
    HostRecord& row = m_rows[i];
    if (row.Expired || !(row.FirstSeen > 0)) continue;
    if (m_passRunning && m_passesStarted > row.PassesAtReport) continue;
    if (WholeSecondsBetween(now, row.FirstSeen) > kExpirySeconds) {
      row.Expired = true;
      changed = true;
      if (marked) marked->push_back(i);
    }
  }
  return changed;
}

void THostTable::PassStarted() {
  std::lock_guard guard(m_lock);
  ++m_passesStarted;
  m_passRunning = true;
}

void THostTable::PassEnded() {
  std::lock_guard guard(m_lock);
  m_passRunning = false;
}

void THostTable::ReadRows(
    const std::function<void(const std::vector<HostRecord>&, int32_t, uint64_t)>& reader) const {
  std::lock_guard guard(m_lock);
  reader(m_rows, m_rowCount.load(std::memory_order_relaxed),
         m_changeCount.load(std::memory_order_relaxed));
}

THostTable& HostTable() {
  static THostTable table;
  return table;
}

}  // namespace app
