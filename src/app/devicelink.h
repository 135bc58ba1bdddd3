#pragma once

// Which of the names a device gives for itself tell it apart from other devices, so that the
// same device under a new private (locally administered) MAC is known again. The rules are
// strict: a false link is worse than a missed one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "scan/hostdetails.h"

namespace app {

// A MAC text ("00:00:0C:12:34:56", either case, ":" or "-") as a 48-bit number; -1 when the text
// is not one.
int64_t MacKey(std::string_view macAddress);
// A 48-bit MAC as text, "00:00:0C:12:34:56".
std::string MacText(uint64_t key);

// A name the device gave for itself, in words, and the name as names are compared.
struct TDeviceName {
  std::string Text;    // cleaned, as shown
  std::string Source;  // one of the identifying sources
  std::string Key;     // NameKey(Text)
  bool operator==(const TDeviceName&) const = default;
};

// At most this many names are kept per device.
inline constexpr size_t kMaxDeviceNames = 4;

// A name as names are compared: cleaned, white space collapsed, case-folded, a trailing dot
// and ".local" dropped. Empty for a name too short to tell a device by (under 3 characters).
std::string NameKey(std::string_view name);

// Whether a name from source is the device's own choice of name: mDNS host name, DNS-SD instance
// name, NetBIOS name and UPnP friendly name are; reverse DNS is not (a router hands those out
// by address).
bool IsIdentifyingSource(std::string_view source);

// Whether a name key is a product's default name, the same on every device of its kind:
// "iphone", "android", "raspberrypi", "esp_1a2b3c", "iphone (2)" and the like.
bool IsProductDefault(std::string_view key);

// The names in a device's evidence that may tell it apart: from identifying sources, neither a
// product default nor the device's own model or manufacturer (UPnP or DNS-SD); each key once,
// at most kMaxDeviceNames.
std::vector<TDeviceName> IdentifyingNames(const std::vector<scan::TEvidence>& evidence);

// What an earlier run knew of a device: times in seconds since the epoch, the address as the
// dotted text it was listed with.
struct TKnownDevice {
  int64_t FirstSeen = 0;
  int64_t LastSeen = 0;
  std::string LastAddress;
  // The device this MAC belongs to, as the 48-bit MAC that stands for it: its own, or that of
  // the MAC it was linked to as a new private address of the same device.
  uint64_t Device = 0;
  // The names that tell it apart, and the addresses it answered for in its last run (empty for
  // devices kept by an earlier layout, which kept neither).
  std::vector<TDeviceName> Names;
  std::vector<std::string> Addresses;
};

// A MAC that this run takes for a new private address of a known device.
struct TDeviceLink {
  std::string Name;      // the name both gave
  std::string OldMac;    // the device's MAC seen most recently before
  int64_t LastSeen = 0;  // when that MAC was last seen
  uint64_t Device = 0;
};

// Which MACs of this run are new private addresses of known devices. Told of every device the
// run lists, it links a MAC that the history has never seen, with the locally administered bit,
// whose device gives a name that one known device gave and no other, and that no other MAC of
// this run gives. Not when the device's own MAC shows up in this run too, or when another new
// MAC of this run claims the same device (then neither is linked); a link whose names stop
// naming its device is undone. Two MACs of one device listed in one run are split: each is
// written as a device of its own.
class TDeviceLinker {
 public:
  // What earlier runs knew: who gave which name, and each device's MAC seen most recently.
  void Index(const std::unordered_map<uint64_t, TKnownDevice>& known);

  // Notes a MAC of this run (known: what the history knew of it, null for a MAC never seen)
  // with the names its device told. Returns the MACs of this run whose device changed: they
  // are written again.
  std::vector<uint64_t> Note(uint64_t mac, const TKnownDevice* known, bool locallyAdministered,
                             const std::vector<TDeviceName>& names);

  const TDeviceLink* LinkOf(uint64_t mac) const;
  bool IsSplit(uint64_t mac) const { return m_split.count(mac) > 0; }
  // Grows whenever a link is made or undone.
  uint64_t ChangeCount() const { return m_changes; }
  // How many devices the known MACs are, linked MACs counting as one.
  size_t DeviceCount() const { return m_deviceLatest.size(); }

 private:
  // The one known device that a name among names stands for; none when no name does, or
  // when they stand for different devices.
  std::optional<uint64_t> DeviceNamed(const std::vector<TDeviceName>& names) const;
  void Link(uint64_t mac, uint64_t device, const std::vector<TDeviceName>& names);
  // Notes which MAC of this run gave each name; a name two MACs give counts for nothing.
  void NoteRunNames(uint64_t mac, const std::vector<TDeviceName>& names);
  void NoteKnownSeen(uint64_t mac, uint64_t device);
  void DropLinkTo(uint64_t device);
  void Contest(uint64_t device);

  // Per name key, the one device that gave it, or that more than one did.
  struct TNameOwner {
    uint64_t Device = 0;
    bool Shared = false;
  };
  std::unordered_map<std::string, TNameOwner> m_nameOwners;
  // Per device, its MAC seen most recently, and when.
  struct TLatest {
    uint64_t Mac = 0;
    int64_t LastSeen = 0;
  };
  std::unordered_map<uint64_t, TLatest> m_deviceLatest;
  // This run's links by the new MAC, and the new MAC that claims each linked device.
  std::unordered_map<uint64_t, TDeviceLink> m_links;
  std::unordered_map<uint64_t, uint64_t> m_claims;
  // Per known device, its first MAC listed this run; MACs of one device listed together;
  // devices that no new MAC may be taken for any more.
  std::unordered_map<uint64_t, uint64_t> m_seenBy;
  std::unordered_set<uint64_t> m_split;
  std::unordered_set<uint64_t> m_contested;
  // Per name key, the first MAC of this run that gave it, and the keys more than one gave.
  std::unordered_map<std::string, uint64_t> m_runNames;
  std::unordered_set<std::string> m_runNamesShared;
  uint64_t m_changes = 0;
  // The MACs whose device changed during the current Note.
  std::vector<uint64_t> m_changed;
};

}  // namespace app
