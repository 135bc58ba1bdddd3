#include "app/devicelink.h"

#include <QString>
#include <algorithm>
#include <cstdio>

#include "app/hosttable.h"
#include "app/safetext.h"

namespace app {

namespace {

constexpr size_t kMinKeyLength = 3;

// Names that a product gives every device of its kind until its owner names it.
constexpr std::string_view kDefaultNames[] = {
    "iphone",      "ipad",        "ipod",        "ipod touch",   "macbook",    "macbook air",
    "macbook pro", "macbook-air", "macbook-pro", "imac",         "mac mini",   "mac-mini",
    "apple tv",    "appletv",     "homepod",     "android",      "android tv", "galaxy",
    "pixel",       "chromecast",  "google home", "nest",         "echo",       "amazon echo",
    "fire tv",     "roku",        "raspberrypi", "raspberry pi", "localhost",  "ubuntu",
    "debian",      "linux",       "openwrt",     "windows",      "desktop",    "laptop",
    "printer",     "camera",      "ipcam",       "tv",           "smart tv",   "router",
    "gateway",     "esp",         "espressif",   "tasmota",      "shelly",     "unknown",
    "default",     "device",      "none",        "host"};

// Prefixes that a product follows with a number taken from its MAC or serial: the name changes
// with the MAC or repeats across devices, so it tells nothing.
constexpr std::string_view kDefaultPrefixes[] = {"esp_",     "esp-",     "esp32-", "esp8266-",
                                                 "android-", "tasmota-", "shelly", "wlan"};

bool IsHexOrSeparator(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-' || c == '_';
}

// "iphone (2)", "iphone-2", "iphone 2": a default with a number a second device of a kind gets.
std::string_view WithoutCopyNumber(std::string_view key) {
  size_t end = key.size();
  if (end > 0 && key[end - 1] == ')') {
    const size_t open = key.rfind(" (");
    if (open == std::string_view::npos) return key;
    const std::string_view number = key.substr(open + 2, end - open - 3);
    if (number.empty() ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return key;
    return key.substr(0, open);
  }
  while (end > 0 && key[end - 1] >= '0' && key[end - 1] <= '9') --end;
  if (end == key.size() || end < 2 || (key[end - 1] != '-' && key[end - 1] != ' ')) return key;
  return key.substr(0, end - 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int64_t MacKey(std::string_view macAddress) {
  if (macAddress.size() != 17) return -1;
  int64_t key = 0;
  for (size_t i = 0; i < 17; i += 3) {
    const int high = HexDigit(macAddress[i]);
    const int low = HexDigit(macAddress[i + 1]);
    if (high < 0 || low < 0) return -1;
    if (i + 2 < 17 && macAddress[i + 2] != ':' && macAddress[i + 2] != '-') return -1;
    key = (key << 8) | (high << 4) | low;
  }
  return key;
}

std::string MacText(uint64_t key) {
  char text[18];
  std::snprintf(
      text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((key >> 40) & 0xff),
      static_cast<unsigned>((key >> 32) & 0xff), static_cast<unsigned>((key >> 24) & 0xff),
      static_cast<unsigned>((key >> 16) & 0xff), static_cast<unsigned>((key >> 8) & 0xff),
      static_cast<unsigned>(key & 0xff));
  return text;
}

std::string NameKey(std::string_view name) {
  const std::string clean = CleanText(name, kNameCapacity);
  QString key = QString::fromUtf8(clean.data(), static_cast<qsizetype>(clean.size()))
                    .simplified()
                    .toCaseFolded();
  while (key.endsWith(QLatin1Char('.'))) key.chop(1);
  if (key.endsWith(QLatin1String(".local"))) key.chop(6);
  if (key.size() < static_cast<qsizetype>(kMinKeyLength)) return {};
  return key.toStdString();
}

bool IsIdentifyingSource(std::string_view source) {
  return source == scan::kSourceMdns || source == scan::kSourceDnsSd ||
         source == scan::kSourceNetBios || source == scan::kSourceUpnp;
}

bool IsProductDefault(std::string_view key) {
  const std::string_view bare = WithoutCopyNumber(key);
  for (const std::string_view name : kDefaultNames) {
    if (bare == name) return true;
  }
  for (const std::string_view prefix : kDefaultPrefixes) {
    if (key.substr(0, prefix.size()) != prefix) continue;
    const std::string_view rest = key.substr(prefix.size());
    if (std::all_of(rest.begin(), rest.end(), IsHexOrSeparator)) return true;
  }
  return false;
}

std::vector<TDeviceName> IdentifyingNames(const std::vector<scan::TEvidence>& evidence) {
  std::vector<std::string> ownWords;
  for (const scan::TEvidence& item : evidence) {
    const bool describesProduct = item.What == "Model" || item.What == "Manufacturer";
    if (describesProduct && (item.Source == scan::kSourceUpnp || item.Source == scan::kSourceDnsSd))
      ownWords.push_back(NameKey(item.Text));
  }
  std::vector<TDeviceName> names;
  for (const scan::TEvidence& item : evidence) {
    if (item.What != "Name" || !IsIdentifyingSource(item.Source)) continue;
    std::string key = NameKey(item.Text);
    if (key.empty() || IsProductDefault(key) ||
        std::find(ownWords.begin(), ownWords.end(), key) != ownWords.end())
      continue;
    const bool seen = std::any_of(names.begin(), names.end(),
                                  [&](const TDeviceName& name) { return name.Key == key; });
    if (seen || names.size() >= kMaxDeviceNames) continue;
    // White space is collapsed, so a name is one line of plain words wherever it is kept.
    const std::string clean = CleanText(item.Text, kNameCapacity);
    const std::string text = QString::fromUtf8(clean.data(), static_cast<qsizetype>(clean.size()))
                                 .simplified()
                                 .toStdString();
    names.push_back({text, item.Source, std::move(key)});
  }
  return names;
}

void TDeviceLinker::Index(const std::unordered_map<uint64_t, TKnownDevice>& known) {
  for (const auto& [mac, device] : known) {
    const auto [latest, added] =
        m_deviceLatest.try_emplace(device.Device, TLatest{mac, device.LastSeen});
    if (!added && latest->second.LastSeen < device.LastSeen)
      latest->second = {mac, device.LastSeen};
    // Each device counts once, however many of its MACs gave the name.
    for (const TDeviceName& name : device.Names) {
      const auto [owner, first] = m_nameOwners.try_emplace(name.Key, TNameOwner{device.Device});
      if (!first && owner->second.Device != device.Device) owner->second.Shared = true;
    }
  }
}

const TDeviceLink* TDeviceLinker::LinkOf(uint64_t mac) const {
  const auto found = m_links.find(mac);
  return found == m_links.end() ? nullptr : &found->second;
}

std::optional<uint64_t> TDeviceLinker::DeviceNamed(const std::vector<TDeviceName>& names) const {
  std::optional<uint64_t> device;
  for (const TDeviceName& name : names) {
    const auto owner = m_nameOwners.find(name.Key);
    if (owner == m_nameOwners.end() || owner->second.Shared || m_runNamesShared.count(name.Key))
      continue;
    if (device && *device != owner->second.Device) return std::nullopt;
    device = owner->second.Device;
  }
  return device;
}

std::vector<uint64_t> TDeviceLinker::Note(uint64_t mac, const TKnownDevice* known,
                                          bool locallyAdministered,
                                          const std::vector<TDeviceName>& names) {
  m_changed.clear();
  NoteRunNames(mac, names);
  if (known) {
    NoteKnownSeen(mac, known->Device);
    return std::move(m_changed);
  }
  const std::optional<uint64_t> device = locallyAdministered ? DeviceNamed(names) : std::nullopt;
  if (const auto link = m_links.find(mac); link != m_links.end()) {
    if (device == link->second.Device) return std::move(m_changed);
    // Its names no longer name the device it was taken for.
    DropLinkTo(link->second.Device);
  }
  if (device && !m_seenBy.count(*device) && !m_contested.count(*device)) {
    // Two new MACs claim one device: neither is taken for it.
    if (m_claims.count(*device)) {
      Contest(*device);
    } else {
      Link(mac, *device, names);
    }
  }
  return std::move(m_changed);
}

void TDeviceLinker::Link(uint64_t mac, uint64_t device, const std::vector<TDeviceName>& names) {
  const auto name = std::find_if(names.begin(), names.end(), [&](const TDeviceName& each) {
    const auto owner = m_nameOwners.find(each.Key);
    return owner != m_nameOwners.end() && owner->second.Device == device;
  });
  const TLatest& latest = m_deviceLatest.at(device);
  m_links[mac] = {name->Text, MacText(latest.Mac), latest.LastSeen, device};
  m_claims[device] = mac;
  ++m_changes;
  m_changed.push_back(mac);
}

void TDeviceLinker::NoteRunNames(uint64_t mac, const std::vector<TDeviceName>& names) {
  for (const TDeviceName& name : names) {
    const auto [giver, first] = m_runNames.try_emplace(name.Key, mac);
    if (first || giver->second == mac || !m_runNamesShared.insert(name.Key).second) continue;
    // Two devices of this run give the name: it tells apart none of them, nor the device that
    // gave it before.
    const auto owner = m_nameOwners.find(name.Key);
    if (owner != m_nameOwners.end() && !owner->second.Shared) Contest(owner->second.Device);
  }
}

void TDeviceLinker::NoteKnownSeen(uint64_t mac, uint64_t device) {
  const auto [seen, first] = m_seenBy.try_emplace(device, mac);
  // The device is here under a MAC it had before: a new MAC is someone else.
  if (first) DropLinkTo(device);
  if (first || seen->second == mac) return;
  // Two MACs of one device answer in one run: they are two devices after all.
  for (const uint64_t each : {seen->second, mac}) {
    if (m_split.insert(each).second) m_changed.push_back(each);
  }
}

void TDeviceLinker::Contest(uint64_t device) {
  m_contested.insert(device);
  DropLinkTo(device);
}

void TDeviceLinker::DropLinkTo(uint64_t device) {
  const auto claim = m_claims.find(device);
  if (claim == m_claims.end()) return;
  const uint64_t mac = claim->second;
  m_claims.erase(claim);
  m_links.erase(mac);
  ++m_changes;
  m_changed.push_back(mac);
}

}  // namespace app
